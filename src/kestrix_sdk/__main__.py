"""Operator tool: ``python -m kestrix_sdk <command>``.

  status            the latest status record of every node, read from Redis
  watch             status and error reports live from the MQTT broker
  frame KEY --out F save the frame stored under a Redis key as an image file
  bridge            the device broker's configuration for a fleet link to a cloud broker
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

# The kit's default server addresses (those of CourierClient and VaultClient) and the variables
# that hold a node's server URLs.
from kestrix_sdk.constants import (  # noqa: E402
    DEFAULT_MQTT_HOST,
    DEFAULT_MQTT_PORT,
    DEFAULT_REDIS_HOST,
    DEFAULT_REDIS_PORT,
    MQTT_URL_ENV,
    REDIS_URL_ENV,
)
from kestrix_sdk.server_urls import chosen_url, mqtt_connection, redis_url_address  # noqa: E402

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


def redis_client(host: str, port: int, url: str | None = None):
    """A client of the Redis server at host:port, or at `url` (which replaces both) when given."""
    import redis
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    where = f"{host}:{port}"
    address: dict[str, Any] = {"host": host, "port": port}
    if url is not None:
        where, address = redis_url_address(url)
    # One immediate retry, not the client's default backed-off retries: a person is waiting.
    client = redis.Redis(**address, socket_connect_timeout=5, socket_timeout=10,
                         retry=Retry(NoBackoff(), 1))
    try:
        client.ping()
    except (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError) as e:
        raise Unreachable(f"cannot reach the Redis server at {where} - {e}") from None
    except redis.exceptions.ResponseError as e:
        # A server that wants authentication, for instance.
        raise Unreachable(f"the Redis server at {where} refused the request - {e}") from None
    return client


# ---------------------------------------------------------------------------------------------
# Server URLs (--mqtt-url, --redis-url and the environment)


def resolve_servers(args: argparse.Namespace) -> None:
    """Sets args.redis_url / args.mqtt_url to the URL each server is reached by (or None).

    `view` names its servers' addresses --redis-host/--redis-port and --mqtt-host/--mqtt-port
    (its --host and --port are where it listens); the other commands --host and --port."""
    if hasattr(args, "redis_url"):
        args.redis_url = chosen_url(args.redis_url, getattr(args, "redis_host", args.host),
                                    getattr(args, "redis_port", args.port), DEFAULT_REDIS_HOST,
                                    DEFAULT_REDIS_PORT, REDIS_URL_ENV)
    if hasattr(args, "mqtt_url"):
        args.mqtt_url = chosen_url(args.mqtt_url, getattr(args, "mqtt_host", args.host),
                                   getattr(args, "mqtt_port", args.port), DEFAULT_MQTT_HOST,
                                   DEFAULT_MQTT_PORT, MQTT_URL_ENV)


def server_text(args: argparse.Namespace, url_attr: str) -> str:
    """Where a sub-command's server is, for messages: the URL without its password, or
    host:port."""
    url = getattr(args, url_attr, None)
    if url:
        from kestrix_sdk.mqtt.courier import redact_url

        return redact_url(url)
    return f"{args.host}:{args.port}"


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
    client = redis_client(args.host, args.port, getattr(args, "redis_url", None))
    records = status_records(client)
    if args.nodes:
        missing = [n for n in args.nodes if n not in records]
        records = {n: records[n] for n in args.nodes if n in records}
    else:
        missing = []
    if args.json:
        print(json.dumps({n: records[n] for n in sorted(records)}, indent=2))
    elif not records and not missing:
        print(f"no status records under {PREFIX.REDIS.STATUS}_* on {server_text(args, 'redis_url')}")
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

    client = redis_client(args.host, args.port, getattr(args, "redis_url", None))
    try:
        value = client.get(args.key)
    except redis.exceptions.ResponseError as e:
        fail(f"cannot read key {args.key!r} - {e}", EXIT_NOT_FOUND)
    if value is None:
        fail(f"no value under key {args.key!r} on {server_text(args, 'redis_url')}", EXIT_NOT_FOUND)
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

    if args.fleet:
        filters = fleet_filters(args)
    elif args.nodes:
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
    where, host, port = mqtt_connection(client, args.host, args.port, args.username,
                                        args.password, getattr(args, "mqtt_url", None))
    client.on_connect = on_connect
    client.on_subscribe = on_subscribe
    client.on_message = on_message
    try:
        client.connect(host, port, keepalive=30)
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
        shown = ", ".join(filters) if args.nodes or args.fleet else f"{PREFIX.MQTT.DEBUG}_*, {PREFIX.MQTT.CLOUD}_*"
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
        if args.fleet:
            seen += print_fleet_message(topic, payload, args)
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
# Fleet


def fleet_filters(args: argparse.Namespace) -> list[str]:
    """Subscriptions of `watch --fleet`: every device's forwarded reports and online state."""
    from kestrix_sdk import fleet

    try:
        prefix = fleet.check_prefix(args.prefix)
        if not args.nodes:
            return [f"{prefix}/#"]
        topics = [t for n in args.nodes for t in fleet.node_topics(n)]
    except fleet.BridgeError as e:
        fail(str(e), 2)
    return [f"{prefix}/+/{t}" for t in topics] + [f"{prefix}/+/online"]


def print_fleet_message(topic: str, payload: bytes, args: argparse.Namespace) -> int:
    """Prints one message forwarded by a device's bridge; 1 when it was a report, else 0."""
    from kestrix_sdk import fleet

    where = fleet.fleet_topic(topic, args.prefix)
    if where is None:
        return 0
    device, local = where
    if local == "online":
        state = {b"1": "online", b"0": "offline"}.get(payload)
        if state is None:
            return 0
        if args.json:
            print(json.dumps({"device": device, "online": state == "online"}), flush=True)
        else:
            print(f"{device} {state}", flush=True)
        return 0
    kind = report_kind(local)
    if kind is None:
        return 0
    text = payload.decode("utf-8", "replace")
    try:
        record: Any = json.loads(text)
    except ValueError:
        record = None
    if args.json:
        print(json.dumps({"device": device, "node": kind[1], "kind": kind[0],
                          "record": record if record is not None else text}), flush=True)
    else:
        body = json.dumps(record) if record is not None else repr(text)
        print(f"{device} {kind[1]} {kind[0]} {body}", flush=True)
    return 1


def cmd_bridge(args: argparse.Namespace) -> int:
    from kestrix_sdk import fleet
    from kestrix_sdk.mqtt import courier

    try:
        remote = courier.parse_mqtt_url(args.remote)
        shown = courier.redact_url(args.remote)
    except ValueError as e:
        fail(f"unusable --remote URL - {e}", 2)
    if remote.get("password") is not None and args.out is None:
        fail("the --remote URL holds a password, which is not written to standard output: "
             "give --out FILE (created readable by its owner only)", 2)
    try:
        text = fleet.bridge_config(remote, args.device, args.nodes or (), args.all,
                                   args.prefix, shown_url=shown)
    except fleet.BridgeError as e:
        fail(str(e), 2)
    if args.out is None:
        sys.stdout.write(text)
        return 0
    try:
        fd = os.open(args.out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "w") as f:
            os.fchmod(f.fileno(), 0o600)   # also when the file was there before
            f.write(text)
    except OSError as e:
        fail(f"cannot write {args.out} - {e}", EXIT_NOT_FOUND)
    print(f"wrote the fleet link of device {args.device} to {shown} into {args.out}", file=sys.stderr)
    return 0
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
        mqtt_username=args.mqtt_username, mqtt_password=args.mqtt_password,
        redis_url=args.redis_url, mqtt_url=args.mqtt_url))


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


def redis_url_option(p: argparse.ArgumentParser, address: str = "--host and --port") -> None:
    p.add_argument("--redis-url", metavar="URL",
                   help=f"Redis URL, replacing {address}: redis://[[user]:password@]host"
                   "[:port][/db], rediss://... (TLS; ?ca=, cert=, key= files) or "
                   f"unix:///path/to/redis.sock[?db=N] (default: ${REDIS_URL_ENV} when {address} "
                   "are the defaults)")


def mqtt_url_option(p: argparse.ArgumentParser, address: str = "--host and --port",
                    credentials: str = "--username/--password") -> None:
    p.add_argument("--mqtt-url", metavar="URL",
                   help=f"broker URL, replacing {address} (and {credentials} when "
                   "it names a user): mqtt://[user[:password]@]host[:port] or mqtts://... (TLS; "
                   f"?ca=, cert=, key= files) (default: ${MQTT_URL_ENV} when {address} "
                   "are the defaults)")


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
        redis_url_option(p)

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
    mqtt_url_option(p)
    p.add_argument("--node", dest="nodes", action="append", metavar="NODE",
                   help="only this node's reports (repeatable)")
    p.add_argument("--count", type=positive_int, help="end after N reports (exit 1 if fewer arrive in --timeout)")
    p.add_argument("--timeout", type=positive_float, help="end after S seconds")
    p.add_argument("--json", action="store_true", help="one JSON object per report")
    p.add_argument("--fleet", action="store_true",
                   help="on a cloud broker: every device's forwarded reports, printed as "
                   "'<device> <node> status|error ...', and each device's online/offline change")
    p.add_argument("--prefix", default="fleet", help="with --fleet: the bridges' topic prefix (default fleet)")
    p.set_defaults(run=cmd_watch)

    p = sub.add_parser("frame", help="save the frame stored under a Redis key as an image",
                       description="Reads the frame stored under KEY (base64 text of a JPEG file, as "
                       "VaultClient.write_frame stores it) and saves it as an image; the format "
                       "follows the file name's extension (.jpg keeps the stored file as it is).")
    p.add_argument("key", metavar="KEY", help="Redis key, e.g. kestrix_local_<node id>_6379")
    p.add_argument("--out", required=True, metavar="FILE", help="image file to write (.jpg, .png, ...)")
    redis_options(p)
    p.set_defaults(run=cmd_frame)

    p = sub.add_parser("bridge", help="Mosquitto configuration of a device's fleet link to a cloud broker",
                       description="Writes a Mosquitto configuration fragment for a device's broker "
                       "(for its include_dir, or to append to its configuration): one bridge "
                       "connection to the cloud broker of --remote that forwards the nodes' error "
                       "and status topics at QoS 1 under <prefix>/<device>/, keeps a persistent "
                       "session and a bounded queue while the cloud is unreachable, and publishes "
                       "the link's state on <prefix>/<device>/online (retained 1 or 0).")
    p.add_argument("--remote", required=True, metavar="URL",
                   help="the cloud broker: mqtt://[user[:password]@]host[:port] or mqtts://... "
                   "with ?ca=FILE&cert=FILE&key=FILE")
    p.add_argument("--device", required=True, metavar="ID", help="this device's identifier (one topic level)")
    what = p.add_mutually_exclusive_group(required=True)
    what.add_argument("--node", dest="nodes", action="append", metavar="NODE",
                      help="forward this node's error and status topics (repeatable)")
    what.add_argument("--all", action="store_true", help="forward every topic of the device broker")
    p.add_argument("--prefix", default="fleet", help="first topic level(s) at the cloud (default fleet)")
    p.add_argument("--out", metavar="FILE", help="write to FILE (mode 0600) instead of standard output")
    p.set_defaults(run=cmd_bridge)
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
    redis_url_option(p, "--redis-host and --redis-port")
    mqtt_url_option(p, "--mqtt-host and --mqtt-port", "--mqtt-username/--mqtt-password")
    p.set_defaults(run=cmd_view)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    resolve_servers(args)
    try:
        return args.run(args)
    except ValueError as e:
        # An unusable server URL; the message shows it without its password.
        if "URL '" not in str(e):
            raise
        fail(str(e), 2)
    except Unreachable as e:
        fail(str(e), EXIT_UNREACHABLE)
    except Exception as e:
        # The Redis server went away after the first exchange.
        if type(e).__module__.startswith("redis.") and type(e).__name__ in ("ConnectionError", "TimeoutError"):
            fail(f"lost the Redis server at {server_text(args, 'redis_url')} - {e}", EXIT_UNREACHABLE)
        raise
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
