"""Values shared by every node of the kit: key and topic prefixes, the running node's identity,
the field names of detection records and the font directory.

Nodes that talk to each other must use the same values. Every prefix is followed by "_" and
the node identifier (and, for node-local Redis keys, "_" and a port) when a name is built.
"""

import os as _os

__all__ = ["PREFIX", "NODE_ID", "NODE_TYPE", "KEY", "FONTS_DIR"]


class PREFIX:
    """Prefixes of MQTT topics and Redis keys."""

    class MQTT:
        #: node-local topic: gen_mqtt_key_local(node_id)
        LOCAL = "kestrix_local"
        #: error reports of a node's status reporter
        CLOUD = "kestrix_cloud"
        #: status reports of a node's status reporter
        DEBUG = "kestrix_debug"

    class REDIS:
        #: node-local key: gen_redis_key_local(node_id, port)
        LOCAL = "kestrix_local"
        #: status keys: the reporter's "<STATUS>_<node_id>" and gen_redis_key_status's
        #: "<STATUS>_<node_id>_<port>"
        STATUS = "kestrix_status"


#: Identifier of the running node: the environment variable NODE_ID, else "node".
NODE_ID = _os.environ.get("NODE_ID", "node")

#: Type of the running node: the environment variable NODE_TYPE, else "generic".
NODE_TYPE = _os.environ.get("NODE_TYPE", "generic")


class KEY:
    """Keys of a detection record (a mapping)."""

    #: box as (left, top, width, height), relative (width < 1.0) or in pixels
    TLWH = "tlwh"
    #: class number
    CLASS_ID = "class_id"
    #: class name
    LABEL = "label"
    #: confidence
    SCORE = "score"


#: Directory of the TrueType fonts: the environment variable KESTRIX_FONTS_DIR, else the
#: package's own fonts/ directory.
FONTS_DIR = _os.environ.get("KESTRIX_FONTS_DIR") or _os.path.join(
    _os.path.dirname(_os.path.abspath(__file__)), "fonts"
)
