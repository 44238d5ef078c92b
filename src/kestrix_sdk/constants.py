"""Values shared by every node of the kit: key and topic prefixes, the running node's identity,
the field names of detection records and the font directory.

Nodes that talk to each other must use the same values. Every prefix is followed by "_" and
the node identifier (and, for node-local Redis keys, "_" and a port) when a name is built.
"""

import os as _os

__all__ = [
    "PREFIX",
    "NODE_ID",
    "NODE_TYPE",
    "KEY",
    "FONTS_DIR",
    "DEFAULT_MQTT_HOST",
    "DEFAULT_MQTT_PORT",
    "DEFAULT_REDIS_HOST",
    "DEFAULT_REDIS_PORT",
    "MQTT_URL_ENV",
    "REDIS_URL_ENV",
]


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


# Where the kit's clients connect when nothing else is said. The client classes, the status
# reporter and the operator tool all take these values from here.

#: Broker host of a CourierClient made without host.
DEFAULT_MQTT_HOST = "127.0.0.1"
#: Broker port of a CourierClient made without port.
DEFAULT_MQTT_PORT = 1883
#: Redis host of a VaultClient made without host.
DEFAULT_REDIS_HOST = "localhost"
#: Redis port of a VaultClient made without port.
DEFAULT_REDIS_PORT = 6379

#: Environment variable holding the broker URL (mqtt://... or mqtts://...) that clients made
#: with the default host and port use instead of them.
MQTT_URL_ENV = "KESTRIX_MQTT_URL"
#: Environment variable holding the Redis URL (redis://..., rediss://... or unix://...) that
#: clients made with the default host and port use instead of them.
REDIS_URL_ENV = "KESTRIX_REDIS_URL"
