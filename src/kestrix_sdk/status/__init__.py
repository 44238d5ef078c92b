"""kestrix_sdk.status"""
