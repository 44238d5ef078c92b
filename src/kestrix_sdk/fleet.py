"""Fleet link: the Mosquitto bridge that carries a device's reports to a cloud broker.

Every device runs its own broker; a bridge connection from it to a central broker forwards the
nodes' error and status topics under "<prefix>/<device>/", keeps a persistent session and a
bounded queue so that reports made while the cloud is unreachable are delivered when it is back,
and publishes the link's state on "<prefix>/<device>/online" ("1" while up, "0" when it drops).

This module writes that bridge configuration and reads the topics it produces; the broker does
the transport.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from typing import Any

from kestrix_sdk.constants import PREFIX

__all__ = [
    "DEFAULT_PREFIX", "MAX_QUEUED_MESSAGES", "MAX_QUEUED_BYTES", "SYSTEM_CA_PATH",
    "BridgeError", "check_level", "check_prefix", "node_topics", "online_topic",
    "bridge_config", "fleet_topic",
]

#: First topic levels of everything the bridge forwards: "<prefix>/<device>/<local topic>".
DEFAULT_PREFIX = "fleet"

#: Bound of the device broker's queue for the bridge while the cloud is unreachable: messages
#: beyond either limit are dropped (the newest ones), so the device's memory stays bounded.
MAX_QUEUED_MESSAGES = 10000
MAX_QUEUED_BYTES = 16 * 1024 * 1024

#: Where the system's CA certificates live, for a TLS remote given without its own CA file.
SYSTEM_CA_PATH = "/etc/ssl/certs"

#: Seconds between the bridge's keep-alive pings: a silently dead link is noticed (and the
#: cloud publishes the device's "0") within one and a half of them.
KEEPALIVE_SECONDS = 30

# MQTT allows 65535 bytes for a whole topic; one level of ours stays well below.
_MAX_LEVEL_LENGTH = 256


class BridgeError(ValueError):
    """A device id, node id, prefix or remote address the bridge cannot use."""


def check_level(what: str, text: str) -> str:
    """`text` as one topic level (and configuration token), or BridgeError naming the fault.

    Refused: empty text, "/" (it would split the level), the wildcards "+" and "#", NUL, any
    white space or control character (the broker's configuration is split at white space) and
    the double quote (the configuration's empty-prefix mark).
    """
    if not isinstance(text, str) or text == "":
        raise BridgeError(f"the {what} is empty")
    for ch, name in (("/", "'/'"), ("+", "'+'"), ("#", "'#'"), ("\0", "NUL"), ('"', "'\"'")):
        if ch in text:
            raise BridgeError(f"the {what} {text!r} contains {name}, which a topic level cannot hold")
    if any(ch.isspace() or ord(ch) < 32 or ord(ch) == 127 for ch in text):
        raise BridgeError(f"the {what} {text!r} contains white space or a control character")
    if len(text.encode("utf-8", "surrogatepass")) > _MAX_LEVEL_LENGTH:
        raise BridgeError(f"the {what} is longer than {_MAX_LEVEL_LENGTH} bytes")
    return text


def check_prefix(prefix: str) -> str:
    """`prefix` as one or more topic levels ("fleet", "acme/fleet"), or BridgeError."""
    if not isinstance(prefix, str) or prefix == "":
        raise BridgeError("the prefix is empty")
    if prefix.startswith("$"):
        raise BridgeError(f"the prefix {prefix!r} starts with '$' (topics of the broker itself)")
    for level in prefix.split("/"):
        check_level(f"prefix level of {prefix!r}", level)
    return prefix


def node_topics(node: str) -> list[str]:
    """The topics of a node's reporter the bridge forwards: its error and its status topic."""
    if not isinstance(node, str) or node == "":
        raise BridgeError("the node id is empty")
    for ch, name in (("+", "'+'"), ("#", "'#'"), ("\0", "NUL"), ('"', "'\"'")):
        if ch in node:
            raise BridgeError(f"the node id {node!r} contains {name}")
    if any(ch.isspace() or ord(ch) < 32 or ord(ch) == 127 for ch in node):
        raise BridgeError(f"the node id {node!r} contains white space or a control character")
    return [f"{PREFIX.MQTT.CLOUD}_{node}", f"{PREFIX.MQTT.DEBUG}_{node}"]


def online_topic(prefix: str, device: str) -> str:
    """Where the cloud learns whether `device` is linked: retained "1" or "0"."""
    return f"{check_prefix(prefix)}/{check_level('device id', device)}/online"


def _config_value(what: str, text: str) -> str:
    # A value the broker reads as the rest of its line: one line, no surrounding white space.
    if any(ch in text for ch in "\r\n\0") or text != text.strip():
        raise BridgeError(f"the {what} cannot be written to a broker configuration "
                          "(line break, NUL or surrounding white space)")
    return text


def _file(what: str, path: str) -> str:
    path = os.path.abspath(path)
    _config_value(what, path)
    if not os.access(path, os.R_OK):
        raise BridgeError(f"the {what} {path} cannot be read")
    return path


def bridge_config(remote: Mapping[str, Any], device: str, nodes: Iterable[str] = (),
                  all_topics: bool = False, prefix: str = DEFAULT_PREFIX,
                  shown_url: str = "") -> str:
    """The Mosquitto configuration fragment of one device's fleet link.

    `remote` is a parsed MQTT URL (scheme, host, port, username, password, tls, ca, cert, key).
    Either `nodes` (their error and status topics) or `all_topics` (every topic) say what is
    forwarded, at QoS 1, under "<prefix>/<device>/". `shown_url` goes into the leading comment
    and must not hold a password.
    """
    device = check_level("device id", device)
    prefix = check_prefix(prefix)
    nodes = list(nodes)
    if all_topics and nodes:
        raise BridgeError("give either nodes or every topic, not both")
    if not all_topics and not nodes:
        raise BridgeError("nothing to forward: give at least one node, or every topic")
    topics = ["#"] if all_topics else [t for n in nodes for t in node_topics(n)]
    topics = list(dict.fromkeys(topics))

    host = remote.get("host") or ""
    if not host:
        raise BridgeError("the remote URL names no host")
    _config_value("remote host", host)
    if any(ch.isspace() for ch in host) or ":" in host:
        raise BridgeError(f"the remote host {host!r} cannot be used in a bridge address "
                          "(use a host name or an IPv4 address)")
    port = int(remote.get("port") or 0)
    if not 0 < port < 65536:
        raise BridgeError(f"the remote port {port} is not a TCP port number")
    name = f"kestrix-fleet-{device}"
    remote_prefix = f"{prefix}/{device}/"

    lines = [
        f"# Fleet link of device {device}: its reports to {shown_url or f'{host}:{port}'}",
        "# (written by python -m kestrix_sdk bridge; for the device broker's include_dir or to",
        "# append to its configuration; needs Mosquitto 2.0 or later).",
        "#",
        "# Broker-wide options. The nodes publish at QoS 0: upgrade_outgoing_qos hands their",
        "# messages to the bridge at its QoS 1 (acknowledged by the cloud, sent again after a",
        "# broken link; local subscribers at QoS 1 get QoS 1 too), and queue_qos0_messages keeps",
        "# QoS-0 messages for a disconnected persistent client. The queue is bounded by the two",
        "# limits, which apply to every persistent client of this broker.",
        "upgrade_outgoing_qos true",
        "queue_qos0_messages true",
        f"max_queued_messages {MAX_QUEUED_MESSAGES}",
        f"max_queued_bytes {MAX_QUEUED_BYTES}",
        "",
        f"connection {name}",
        f"address {host}:{port}",
        "bridge_protocol_version mqttv311",
        f"remote_clientid {name}",
        "cleansession false",
        "restart_timeout 1 20",
        f"keepalive_interval {KEEPALIVE_SECONDS}",
        "notifications true",
        f"notification_topic {remote_prefix}online",
    ]
    # Mosquitto takes a user name alone, but refuses to start at all on an empty value
    # ("remote_password " with nothing after it), and the fragment lives in its include_dir.
    for field, what in (("username", "user name"), ("password", "password")):
        if remote.get(field) == "":
            raise BridgeError(f"the remote URL's {what} is empty (Mosquitto refuses an empty "
                              f"{what}): give one, or leave the credentials out")
    if remote.get("username") is not None:
        lines.append(f"remote_username {_config_value('user name', remote['username'])}")
    if remote.get("password") is not None:
        lines.append(f"remote_password {_config_value('password', remote['password'])}")
    if remote.get("tls"):
        if remote.get("ca"):
            lines.append(f"bridge_cafile {_file('CA file', remote['ca'])}")
        else:
            lines.append(f"bridge_capath {SYSTEM_CA_PATH}")
        if remote.get("cert"):
            lines.append(f"bridge_certfile {_file('client certificate', remote['cert'])}")
        if remote.get("key"):
            lines.append(f"bridge_keyfile {_file('client key', remote['key'])}")
        lines.append("bridge_insecure false")
    elif remote.get("cert") or remote.get("key") or remote.get("ca"):
        raise BridgeError("certificate files are given for a remote without TLS (use mqtts://)")
    lines += [f'topic {t} out 1 "" {remote_prefix}' for t in topics]
    return "\n".join(lines) + "\n"


def fleet_topic(topic: str, prefix: str = DEFAULT_PREFIX) -> tuple[str, str] | None:
    """(device, local topic) of a topic the bridge forwarded, None for any other topic."""
    head = prefix + "/"
    if not topic.startswith(head):
        return None
    device, sep, rest = topic[len(head):].partition("/")
    if not device or not sep or not rest:
        return None
    return device, rest
