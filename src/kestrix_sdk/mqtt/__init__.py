"""kestrix_sdk.mqtt"""
