"""The nodes' reports and records as the operator tool and the live view read them.

A node's status reporter publishes its status record on "<PREFIX.MQTT.DEBUG>_<node id>" and its
error records on "<PREFIX.MQTT.CLOUD>_<node id>", and stores the latest status record in Redis
under "<PREFIX.REDIS.STATUS>_<node id>". Frames are stored under keys starting with
"<PREFIX.REDIS.LOCAL>_".
"""

from __future__ import annotations

import json
import re
import time
from typing import Any

from kestrix_sdk.constants import PREFIX

#: Every key a reporter may store its record under starts with this.
STATUS_KEY_PREFIX = f"{PREFIX.REDIS.STATUS}_"
#: Every key a node stores its frames under starts with this.
FRAME_KEY_PREFIX = f"{PREFIX.REDIS.LOCAL}_"


def glob_escape(text: str) -> str:
    """`text` as a Redis glob pattern that matches only itself."""
    return re.sub(r"([*?\[\]\\])", r"\\\1", text)


def prefix_pattern(prefix: str) -> str:
    """The Redis glob pattern of every key that starts with `prefix`."""
    return glob_escape(prefix) + "*"


def status_key(node_id: str) -> str:
    """The key a node's reporter stores its status record under."""
    return STATUS_KEY_PREFIX + node_id


def report_topics(node_id: str) -> list[str]:
    """A node's report topics: its status topic, then its error topic."""
    return [f"{PREFIX.MQTT.DEBUG}_{node_id}", f"{PREFIX.MQTT.CLOUD}_{node_id}"]


def report_kind(topic: str) -> tuple[str, str] | None:
    """("status" | "error", node id) for a report topic, None for any other topic."""
    for kind, prefix in (("status", PREFIX.MQTT.DEBUG), ("error", PREFIX.MQTT.CLOUD)):
        if topic.startswith(prefix + "_"):
            return kind, topic[len(prefix) + 1:]
    return None


def status_records(client, *, max_nodes: int | None = None, max_record_bytes: int | None = None,
                   strict: bool = False) -> dict[str, dict[str, Any]]:
    """The status records stored by the nodes' reporters, by node identifier.

    A reporter stores its record under "<PREFIX.REDIS.STATUS>_<node id>". Keys built by
    gen_redis_key_status ("<PREFIX.REDIS.STATUS>_<node id>_<port>") share the prefix but hold the
    applications' own data; a key counts as a reporter's only when it holds a JSON status record
    whose "id" gives back exactly that key.

    The live view bounds what it reads: at most `max_nodes` records, and a value longer than
    `max_record_bytes` is not read but given as {"id", "oversized": true, "bytes"}; `strict`
    leaves out records holding NaN or an infinity, which JSON answers cannot carry.
    """
    import redis

    from kestrix_sdk.view import limits

    parse = limits.loads if strict else json.loads

    records: dict[str, dict[str, Any]] = {}
    for raw_key in client.scan_iter(match=prefix_pattern(STATUS_KEY_PREFIX), count=500):
        if max_nodes is not None and len(records) >= max_nodes:
            break
        key = raw_key.decode("utf-8", "replace")
        try:
            if max_record_bytes is not None:
                size = client.strlen(raw_key)
                if size > max_record_bytes:
                    node_id = key[len(STATUS_KEY_PREFIX):]
                    records[node_id] = {"id": node_id, "oversized": True, "bytes": size}
                    continue
            value = client.get(raw_key)
        except redis.exceptions.ResponseError:  # not a string value
            continue
        if value is None:
            continue
        try:
            record = parse(value)
        except (ValueError, UnicodeDecodeError):
            continue
        if not isinstance(record, dict) or "msg_type" not in record:
            continue
        node_id = record.get("id")
        if not isinstance(node_id, str) or status_key(node_id) != key:
            continue
        records[node_id] = record
    return records


def timestamp(value: Any) -> float:
    """A record's "ts" value as seconds since the epoch; 0 for anything but a number."""
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else 0.0


def record_ts(record: dict[str, Any]) -> float:
    """The record's "ts"; 0 when it has none (a reporter stores 0 until its first update)."""
    return timestamp(record.get("ts"))


def describe_age(ts: Any, now: float) -> str:
    """When a record's "ts" was, for people."""
    seconds = timestamp(ts)
    if seconds <= 0:
        return "no update reported yet"
    stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(seconds))
    age = now - seconds
    if age < 0:
        return f"last update {stamp}"
    return f"last update {stamp}, {int(age)} s ago"
