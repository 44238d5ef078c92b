"""Live view: a local web page of the device's nodes, their reports and their annotated frames.

Served by ``python -m kestrix_sdk view`` (needs the optional extra ``kestrix_sdk[view]``).
"""
