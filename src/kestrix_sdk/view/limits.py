"""Bounds on what the live view keeps and answers, and the checks of what it is sent.

Everything the view holds comes from the network (the broker's reports, Redis values, requests):
the node table, a stored record and a JSON answer each have an upper size, and a record that
JSON cannot carry back to a browser (NaN, Infinity) is refused when it is read.
"""

from __future__ import annotations

import collections
import hmac
import ipaddress
import json
import secrets
from typing import Any, Iterable

DEFAULT_MAX_NODES = 1000                   # nodes whose latest status record is kept
DEFAULT_MAX_RECORD_BYTES = 64 * 1024       # larger records are kept as a marker with their size
DEFAULT_MAX_ANSWER_BYTES = 4 * 1024 * 1024  # most bytes of one JSON answer
DEFAULT_STREAMS_PER_CLIENT = 4             # streams one client address may hold open
DEFAULT_WRITE_TIMEOUT = 5.0                # a stream whose write stays blocked longer is dropped
MAX_NODE_ID_LENGTH = 256                   # reports of longer node ids are refused
MAX_FPS = 120.0
MAX_SECONDS = 366 * 24 * 3600.0            # the largest time option (a year)

TRUNCATED_HEADER = "X-Kestrix-Left-Out"    # entries an answer left out to stay within its bound


class BadRecord(ValueError):
    """A record the view does not keep (it holds NaN or an infinity)."""


def _refuse_constant(name: str) -> Any:
    raise BadRecord(f"{name} is not a JSON number")


def loads(text: str | bytes) -> Any:
    """json.loads without the NaN, Infinity and -Infinity that Python's reader accepts: a value
    holding one raises BadRecord (a ValueError), as text that is not JSON raises ValueError."""
    return json.loads(text, parse_constant=_refuse_constant)


def dumps(value: Any) -> str:
    """JSON text of `value` as json.dumps writes it, refusing (ValueError) what JSON cannot hold."""
    return json.dumps(value, allow_nan=False)


def oversized(size: int) -> dict[str, Any]:
    """The marker kept in place of a record of `size` bytes above the record bound."""
    return {"oversized": True, "bytes": size}


class NodeTable:
    """Node id -> latest record, at most `limit` nodes: the node updated longest ago makes room
    for a new one, and `dropped` counts the nodes so removed."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self.dropped = 0
        self._records: collections.OrderedDict[str, Any] = collections.OrderedDict()

    def put(self, node: str, record: Any) -> None:
        self._records[node] = record
        self._records.move_to_end(node)
        while len(self._records) > self.limit:
            self._records.popitem(last=False)
            self.dropped += 1

    def __len__(self) -> int:
        return len(self._records)

    def __contains__(self, node: object) -> bool:
        return node in self._records

    def get(self, node: str) -> Any:
        return self._records.get(node)

    def items(self) -> list[tuple[str, Any]]:
        return list(self._records.items())

    def copy(self) -> dict[str, Any]:
        return dict(self._records)


def bounded_object(entries: Iterable[tuple[str, Any]], max_bytes: int) -> tuple[str, int]:
    """(JSON text of an object of the entries, number of entries left out): entries are taken in
    order while the text stays within `max_bytes` (an empty object always fits)."""
    parts: list[str] = []
    size, left_out = 2, 0
    for key, value in entries:
        part = f"{dumps(key)}: {dumps(value)}"
        if left_out or size + len(part.encode()) + 2 > max_bytes:
            left_out += 1
            continue
        parts.append(part)
        size += len(part.encode()) + 2
    return "{" + ", ".join(parts) + "}", left_out


def bounded_list(items: list[Any], max_bytes: int) -> tuple[str, int]:
    """(JSON text of a list of the newest items that fit in `max_bytes`, number left out): the
    items are oldest first, and the newest are kept (in their order)."""
    parts: list[str] = []
    size = 2
    for item in reversed(items):
        part = dumps(item)
        if size + len(part.encode()) + 2 > max_bytes:
            break
        parts.append(part)
        size += len(part.encode()) + 2
    parts.reverse()
    return "[" + ", ".join(parts) + "]", len(items) - len(parts)


def token_matches(given: str, token: str) -> bool:
    """Whether a token taken from a request is `token` (in constant time). A header's bytes that
    are not UTF-8 reach the server as surrogate escapes: such a token is simply wrong."""
    try:
        raw = given.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return hmac.compare_digest(raw, token.encode("utf-8"))


def host_names(bound: str) -> list[str]:
    """The names a request's Host header may use for a view bound to address `bound`."""
    names = ["localhost", "127.0.0.1", "[::1]"]
    try:
        ip = ipaddress.ip_address(bound)
        names.append(f"[{ip.compressed}]" if ip.version == 6 else ip.compressed)
    except ValueError:
        names.append(bound.lower())
    return list(dict.fromkeys(names))


def allowed_hosts(bound: str, ports: Iterable[int], tls: bool = False) -> frozenset[str]:
    """Host header values accepted without a token: the bound address, localhost, 127.0.0.1 or
    [::1], each with the port listened on (also without it on the scheme's default port)."""
    default = 443 if tls else 80
    hosts = set()
    for port in ports:
        for name in host_names(bound):
            hosts.add(f"{name}:{port}")
            if port == default:
                hosts.add(name)
    return frozenset(hosts)


def new_boundary(avoid: bytes | None = None) -> str:
    """A random multipart boundary that does not occur in `avoid` (a frame about to be sent)."""
    while True:
        boundary = "kx" + secrets.token_hex(16)
        if avoid is None or boundary.encode("ascii") not in avoid:
            return boundary


class ClientSlots:
    """Open streams per client address, at most `limit` each."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self._open: collections.Counter[str] = collections.Counter()

    def take(self, client: str) -> bool:
        if self._open[client] >= self.limit:
            return False
        self._open[client] += 1
        return True

    def give(self, client: str) -> None:
        self._open[client] -= 1
        if self._open[client] <= 0:
            del self._open[client]

    def clients(self) -> int:
        return len(self._open)
