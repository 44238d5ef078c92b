"""Operator tool: ``python -m kestrix_sdk <command>``.

  status            the latest status record of every node, read from Redis
  watch             status and error reports live from the MQTT broker
  frame KEY --out F save the frame stored under a Redis key as an image file
  view              a local web page of the nodes, their reports and their frames (live)

Exit status: 0 done; 1 nothing (or not all) of what was asked for was found; 2 wrong usage;
3 a server could not be reached.
"""

from __future__ import annotations

import argparse
import base64
import binascii
import json
import os
import queue
import re
import sys
import threading
import time
from typing import Any, NoReturn

from kestrix_sdk.constants import PREFIX

# The kit's default server addresses (those of CourierClient and VaultClient).
DEFAULT_MQTT_HOST = "127.0.0.1"
DEFAULT_MQTT_PORT = 1883
DEFAULT_REDIS_HOST = "localhost"
DEFAULT_REDIS_PORT = 6379

EXIT_NOT_FOUND = 1
EXIT_UNREACHABLE = 3

PROG = "python -m kestrix_sdk"


class Unreachable(Exception):
    """A server could not be reached (or refused the connection)."""


def fail(message: str, code: int) -> NoReturn:
    print(f"{PROG}: {message}", file=sys.stderr)
    raise SystemExit(code)


# ---------------------------------------------------------------------------------------------
# Redis


def redis_client(host: str, port: int):
    import redis
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    # One immediate retry, not the client's default backed-off retries: a person is waiting.
    client = redis.Redis(host=host, port=port, socket_connect_timeout=5, socket_timeout=10,
                         retry=Retry(NoBackoff(), 1))
    try:
        client.ping()
    except (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError) as e:
        raise Unreachable(f"cannot reach the Redis server at {host}:{port} - {e}") from None
    except redis.exceptions.ResponseError as e:
        # A server that wants authentication, for instance.
        raise Unreachable(f"the Redis server at {host}:{port} refused the request - {e}") from None
    return client


def glob_escape(text: str) -> str:
    """`text` as a Redis glob pattern that matches only itself."""
    return re.sub(r"([*?\[\]\\])", r"\\\1", text)


def status_records(client) -> dict[str, dict[str, Any]]:
    """The status records stored by the nodes' reporters, by node identifier.

    A reporter stores its record under "<PREFIX.REDIS.STATUS>_<node id>". Keys built by
    gen_redis_key_status ("<PREFIX.REDIS.STATUS>_<node id>_<port>") share the prefix but hold the
    applications' own data; a key counts as a reporter's only when it holds a JSON status record
    whose "id" gives back exactly that key.
    """
    import redis

    prefix = f"{PREFIX.REDIS.STATUS}_"
    records: dict[str, dict[str, Any]] = {}
    for raw_key in client.scan_iter(match=glob_escape(prefix) + "*", count=500):
        key = raw_key.decode("utf-8", "replace")
        try:
            value = client.get(raw_key)
        except redis.exceptions.ResponseError:  # not a string value
            continue
        if value is None:
            continue
        try:
            record = json.loads(value)
        except (ValueError, UnicodeDecodeError):
            continue
        if not isinstance(record, dict) or "msg_type" not in record:
            continue
        node_id = record.get("id")
        if not isinstance(node_id, str) or prefix + node_id != key:
            continue
        records[node_id] = record
    return records


def describe_age(ts: Any, now: float) -> str:
    if not isinstance(ts, (int, float)) or isinstance(ts, bool) or ts <= 0:
        return "no update reported yet"
    stamp = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(ts))
    age = now - ts
    if age < 0:
        return f"last update {stamp}"
    return f"last update {stamp}, {int(age)} s ago"


def cmd_status(args: argparse.Namespace) -> int:
    client = redis_client(args.host, args.port)
    records = status_records(client)
    if args.nodes:
        missing = [n for n in args.nodes if n not in records]
        records = {n: records[n] for n in args.nodes if n in records}
    else:
        missing = []
    if args.json:
        print(json.dumps({n: records[n] for n in sorted(records)}, indent=2))
    elif not records and not missing:
        print(f"no status records under {PREFIX.REDIS.STATUS}_* on {args.host}:{args.port}")
    else:
        now = time.time()
        for node_id in sorted(records):
            record = records[node_id]
            print(f"{node_id}  (name {record.get('name', '')!r}, type {record.get('type', '')!r}; "
                  f"{describe_age(record.get('ts'), now)})")
            print("  " + json.dumps(record))
    for n in missing:
        print(f"{PROG}: no status record of node {n!r} ({PREFIX.REDIS.STATUS}_{n})", file=sys.stderr)
    return EXIT_NOT_FOUND if missing else 0


def cmd_frame(args: argparse.Namespace) -> int:
    import cv2
    import numpy as np
    import redis

    client = redis_client(args.host, args.port)
    try:
        value = client.get(args.key)
    except redis.exceptions.ResponseError as e:
        fail(f"cannot read key {args.key!r} - {e}", EXIT_NOT_FOUND)
    if value is None:
        fail(f"no value under key {args.key!r} on {args.host}:{args.port}", EXIT_NOT_FOUND)
    try:
        data = base64.b64decode(value)
    except (binascii.Error, ValueError):
        data = b""
    image = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED) if data else None
    if image is None:
        fail(f"the value under key {args.key!r} is not a frame (base64 text of an image)", EXIT_NOT_FOUND)
    ext = os.path.splitext(args.out)[1].lower()
    try:
        if ext in (".jpg", ".jpeg") and data[:2] == b"\xff\xd8":
            # The stored JPEG file itself, without decoding and encoding it again.
            with open(args.out, "wb") as f:
                f.write(data)
        elif not cv2.imwrite(args.out, image):
            fail(f"cannot write {args.out}", EXIT_NOT_FOUND)
    except cv2.error:
        fail(f"cannot write {args.out}: unknown image format {ext or '(no extension)'!r}"
             " (use .jpg, .png, .bmp, ...)", 2)
    except OSError as e:
        fail(f"cannot write {args.out} - {e}", EXIT_NOT_FOUND)
    height, width = image.shape[:2]
    channels = 1 if image.ndim == 2 else image.shape[2]
    print(f"saved the frame under {args.key!r} ({width} x {height}, {channels} channel"
          f"{'s' if channels != 1 else ''}) to {args.out}")
    return 0


# ---------------------------------------------------------------------------------------------
# MQTT


def report_kind(topic: str) -> tuple[str, str] | None:
    """("status" | "error", node id) for a report topic, None for any other topic."""
    for kind, prefix in (("status", PREFIX.MQTT.DEBUG), ("error", PREFIX.MQTT.CLOUD)):
        if topic.startswith(prefix + "_"):
            return kind, topic[len(prefix) + 1:]
    return None


def cmd_watch(args: argparse.Namespace) -> int:
    import paho.mqtt.client as mqtt

    if args.nodes:
        filters = [f"{p}_{n}" for n in args.nodes for p in (PREFIX.MQTT.DEBUG, PREFIX.MQTT.CLOUD)]
    else:
        # A wildcard stands for whole topic levels only, so a filter such as "kestrix_debug_+"
        # does not exist: take every topic and keep the reports.
        filters = ["#"]
    messages: queue.Queue = queue.Queue()
    connected = threading.Event()
    subscribed = threading.Event()
    refused: list[str] = []

    def on_connect(client, userdata, flags, reason_code, properties):  # noqa: ARG001
        if reason_code.is_failure:
            refused.append(str(reason_code))
            connected.set()
            return
        client.subscribe([(f, 0) for f in filters])
        connected.set()

    def on_subscribe(client, userdata, mid, reason_codes, properties):  # noqa: ARG001
        subscribed.set()

    def on_message(client, userdata, msg):  # noqa: ARG001
        messages.put((msg.topic, msg.payload))

    client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=f"kestrix-watch-{os.getpid()}")
    if args.username:
        client.username_pw_set(args.username, args.password)
    client.on_connect = on_connect
    client.on_subscribe = on_subscribe
    client.on_message = on_message
    where = f"{args.host}:{args.port}"
    try:
        client.connect(args.host, args.port, keepalive=30)
    except (OSError, ValueError) as e:
        raise Unreachable(f"cannot reach the MQTT broker at {where} - {e}") from None
    client.loop_start()
    try:
        if not connected.wait(10):
            raise Unreachable(f"the MQTT broker at {where} did not answer the connection request")
        if refused:
            raise Unreachable(f"the MQTT broker at {where} refused the connection - {refused[0]}")
        if not subscribed.wait(10):
            raise Unreachable(f"the MQTT broker at {where} did not confirm the subscription")
        shown = ", ".join(filters) if args.nodes else f"{PREFIX.MQTT.DEBUG}_*, {PREFIX.MQTT.CLOUD}_*"
        print(f"watching {shown} on {where}", file=sys.stderr, flush=True)
        return watch_loop(messages, args)
    except KeyboardInterrupt:
        return 0
    finally:
        client.disconnect()
        client.loop_stop()


def watch_loop(messages: queue.Queue, args: argparse.Namespace) -> int:
    deadline = None if args.timeout is None else time.monotonic() + args.timeout
    seen = 0
    while args.count is None or seen < args.count:
        wait = None if deadline is None else deadline - time.monotonic()
        if wait is not None and wait <= 0:
            break
        try:
            topic, payload = messages.get(timeout=wait if wait is not None else 1.0)
        except queue.Empty:
            continue
        kind = report_kind(topic)
        if kind is None:
            continue
        seen += 1
        print_report(topic, kind, payload, args.json)
    if args.count is not None and seen < args.count:
        print(f"{PROG}: {seen} of {args.count} reports received within {args.timeout:g} s", file=sys.stderr)
        return EXIT_NOT_FOUND
    return 0


def print_report(topic: str, kind: tuple[str, str], payload: bytes, as_json: bool) -> None:
    text = payload.decode("utf-8", "replace")
    try:
        record: Any = json.loads(text)
    except ValueError:
        record = None
    if as_json:
        print(json.dumps({"topic": topic, "kind": kind[0], "node": kind[1],
                          "record": record if record is not None else text}), flush=True)
        return
    body = json.dumps(record) if record is not None else repr(text)
    label = "ERROR " if kind[0] == "error" else "status"
    print(f"{time.strftime('%H:%M:%S')} {label} {kind[1]}  {body}", flush=True)


# ---------------------------------------------------------------------------------------------
# Live view


def cmd_view(args: argparse.Namespace) -> int:
    try:
        from kestrix_sdk.view.server import ViewConfig, serve
    except ImportError as e:
        fail(f"the live view needs the optional extra: pip install 'kestrix_sdk[view]' ({e})", 2)
    return serve(ViewConfig(
        host=args.host, port=args.port, frames=args.frames or [], fps=args.fps, token=args.token,
        max_streams=args.max_streams, stale_after=args.stale_after,
        redis_host=args.redis_host, redis_port=args.redis_port,
        mqtt_host=args.mqtt_host, mqtt_port=args.mqtt_port,
        mqtt_username=args.mqtt_username, mqtt_password=args.mqtt_password))


def listen_port(text: str) -> int:
    value = int(text)
    if not 0 <= value < 65536:
        raise argparse.ArgumentTypeError("must be a TCP port number (0 for any free port)")
    return value


# ---------------------------------------------------------------------------------------------


def positive_float(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be a positive number")
    return value


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def port_number(text: str) -> int:
    value = int(text)
    if not 0 < value < 65536:
        raise argparse.ArgumentTypeError("must be a TCP port number (1-65535)")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Operator tool for the nodes of kestrix_sdk.",
        epilog="Exit status: 0 done, 1 not (all) found, 2 wrong usage, 3 server unreachable.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def redis_options(p: argparse.ArgumentParser) -> None:
        p.add_argument("--host", default=DEFAULT_REDIS_HOST,
                       help=f"Redis server host (default {DEFAULT_REDIS_HOST})")
        p.add_argument("--port", type=port_number, default=DEFAULT_REDIS_PORT,
                       help=f"Redis server port (default {DEFAULT_REDIS_PORT})")

    p = sub.add_parser("status", help="latest status record of every node (from Redis)",
                       description="Shows the latest status record of every node, as its status "
                       f"reporter stored it in Redis under {PREFIX.REDIS.STATUS}_<node id>.")
    p.add_argument("nodes", nargs="*", metavar="NODE", help="only these node identifiers")
    redis_options(p)
    p.add_argument("--json", action="store_true", help="print one JSON object: node id -> record")
    p.set_defaults(run=cmd_status)

    p = sub.add_parser("watch", help="status and error reports live (from the MQTT broker)",
                       description="Prints the nodes' status reports (topics "
                       f"{PREFIX.MQTT.DEBUG}_<node id>) and error reports ({PREFIX.MQTT.CLOUD}_<node id>) "
                       "as they arrive, until interrupted, --count reports or --timeout seconds.")
    p.add_argument("--host", default=DEFAULT_MQTT_HOST, help=f"broker host (default {DEFAULT_MQTT_HOST})")
    p.add_argument("--port", type=port_number, default=DEFAULT_MQTT_PORT,
                   help=f"broker port (default {DEFAULT_MQTT_PORT})")
    p.add_argument("--username", help="broker user name")
    p.add_argument("--password", help="broker password")
    p.add_argument("--node", dest="nodes", action="append", metavar="NODE",
                   help="only this node's reports (repeatable)")
    p.add_argument("--count", type=positive_int, help="end after N reports (exit 1 if fewer arrive in --timeout)")
    p.add_argument("--timeout", type=positive_float, help="end after S seconds")
    p.add_argument("--json", action="store_true", help="one JSON object per report")
    p.set_defaults(run=cmd_watch)

    p = sub.add_parser("frame", help="save the frame stored under a Redis key as an image",
                       description="Reads the frame stored under KEY (base64 text of a JPEG file, as "
                       "VaultClient.write_frame stores it) and saves it as an image; the format "
                       "follows the file name's extension (.jpg keeps the stored file as it is).")
    p.add_argument("key", metavar="KEY", help="Redis key, e.g. kestrix_local_<node id>_6379")
    p.add_argument("--out", required=True, metavar="FILE", help="image file to write (.jpg, .png, ...)")
    redis_options(p)
    p.set_defaults(run=cmd_frame)

    p = sub.add_parser("view", help="a local web page of the nodes, reports and frames (live)",
                       description="Serves a web page showing, live, the frames stored in Redis, "
                       "the nodes' latest status records and the error reports from the broker. "
                       "Listening on another address than loopback requires a token (one is "
                       "generated and printed when --token and KESTRIX_VIEW_TOKEN are not given).")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=listen_port, default=8321, help="port to listen on (default 8321)")
    p.add_argument("--frames", nargs="+", metavar="KEY",
                   help="frame keys to show (default: the keys under "
                   f"{PREFIX.REDIS.LOCAL}_* that hold frames)")
    p.add_argument("--fps", type=positive_float, default=15.0,
                   help="most frames per second a stream sends (default 15)")
    p.add_argument("--token", help="token every request must carry (?token=... or header "
                   "X-Kestrix-Token / Authorization: Bearer); default $KESTRIX_VIEW_TOKEN")
    p.add_argument("--max-streams", type=positive_int, default=32,
                   help="most frame streams open at once (default 32)")
    p.add_argument("--stale-after", type=positive_float, default=180.0,
                   help="a status record older than this many seconds is marked stale (default 180)")
    p.add_argument("--redis-host", default=DEFAULT_REDIS_HOST,
                   help=f"Redis server host (default {DEFAULT_REDIS_HOST})")
    p.add_argument("--redis-port", type=port_number, default=DEFAULT_REDIS_PORT,
                   help=f"Redis server port (default {DEFAULT_REDIS_PORT})")
    p.add_argument("--mqtt-host", default=DEFAULT_MQTT_HOST,
                   help=f"broker host (default {DEFAULT_MQTT_HOST})")
    p.add_argument("--mqtt-port", type=port_number, default=DEFAULT_MQTT_PORT,
                   help=f"broker port (default {DEFAULT_MQTT_PORT})")
    p.add_argument("--mqtt-username", help="broker user name")
    p.add_argument("--mqtt-password", help="broker password")
    p.set_defaults(run=cmd_view)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except Unreachable as e:
        fail(str(e), EXIT_UNREACHABLE)
    except Exception as e:
        # The Redis server went away after the first exchange.
        if type(e).__module__.startswith("redis.") and type(e).__name__ in ("ConnectionError", "TimeoutError"):
            fail(f"lost the Redis server at {args.host}:{args.port} - {e}", EXIT_UNREACHABLE)
        raise
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
