"""kestrix_sdk.visualize"""
