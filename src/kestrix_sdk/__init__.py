"""kestrix_sdk: messaging, frame store, status reporting and frame drawing for edge vision nodes.

The modules are extension modules, loaded by their dotted names:
``kestrix_sdk.mqtt.courier``, ``kestrix_sdk.redis.vault``, ``kestrix_sdk.status.pulse``,
``kestrix_sdk.visualize.palette``, ``kestrix_sdk.visualize.captions``,
``kestrix_sdk.visualize.boxes``, ``kestrix_sdk.visualize.zones`` and ``kestrix_sdk._buildinfo``.
"""
