"""Live view: a local web page of the device's nodes, their reports and their annotated frames.

Served by ``python -m kestrix_sdk view``; needs the optional extra ``view`` (``pip install
'kestrix-sdk[view]'``, or ``pip install '.[view]'`` in a checkout: the tool names the command
that fits where the kit was installed from).
"""
