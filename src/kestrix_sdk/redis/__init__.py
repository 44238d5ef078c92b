"""kestrix_sdk.redis"""
