"""`watch`: status and error reports live from the MQTT broker (or, with --fleet, from a cloud
broker the devices' bridges forward them to)."""

from __future__ import annotations

import argparse
import json
import os
import queue
import sys
import threading
import time
from typing import Any

from kestrix_sdk.cli.common import (
    EXIT_NOT_FOUND,
    EXIT_USAGE,
    PROG,
    Unreachable,
    fail,
    mqtt_options,
    positive_float,
    positive_int,
)
from kestrix_sdk.constants import PREFIX
from kestrix_sdk.reports import report_kind, report_topics
from kestrix_sdk.server_urls import mqtt_connection

NAME = "watch"
HELP = "status and error reports live (from the MQTT broker)"
DESCRIPTION = ("Prints the nodes' status reports (topics "
               f"{PREFIX.MQTT.DEBUG}_<node id>) and error reports ({PREFIX.MQTT.CLOUD}_<node id>) "
               "as they arrive, until interrupted, --count reports or --timeout seconds.")


def add_arguments(p: argparse.ArgumentParser) -> None:
    mqtt_options(p)
    p.add_argument("--node", dest="nodes", action="append", metavar="NODE",
                   help="only this node's reports (repeatable)")
    p.add_argument("--count", type=positive_int, help="end after N reports (exit 1 if fewer arrive in --timeout)")
    p.add_argument("--timeout", type=positive_float, help="end after S seconds")
    p.add_argument("--json", action="store_true", help="one JSON object per report")
    p.add_argument("--fleet", action="store_true",
                   help="on a cloud broker: every device's forwarded reports, printed as "
                   "'<device> <node> status|error ...', and each device's online/offline change")
    p.add_argument("--prefix", default="fleet", help="with --fleet: the bridges' topic prefix (default fleet)")


def run(args: argparse.Namespace) -> int:
    import paho.mqtt.client as mqtt

    if args.fleet:
        filters = fleet_filters(args)
    elif args.nodes:
        filters = [t for n in args.nodes for t in report_topics(n)]
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


def _record(payload: bytes) -> tuple[str, Any]:
    """A report's text and the JSON value it holds (None when it holds none)."""
    text = payload.decode("utf-8", "replace")
    try:
        return text, json.loads(text)
    except ValueError:
        return text, None


def print_report(topic: str, kind: tuple[str, str], payload: bytes, as_json: bool) -> None:
    text, record = _record(payload)
    if as_json:
        print(json.dumps({"topic": topic, "kind": kind[0], "node": kind[1],
                          "record": record if record is not None else text}), flush=True)
        return
    body = json.dumps(record) if record is not None else repr(text)
    label = "ERROR " if kind[0] == "error" else "status"
    print(f"{time.strftime('%H:%M:%S')} {label} {kind[1]}  {body}", flush=True)


# ---------------------------------------------------------------------------------------------
# --fleet


def fleet_filters(args: argparse.Namespace) -> list[str]:
    """Subscriptions of `watch --fleet`: every device's forwarded reports and online state."""
    from kestrix_sdk import fleet

    try:
        prefix = fleet.check_prefix(args.prefix)
        if not args.nodes:
            return [f"{prefix}/#"]
        topics = [t for n in args.nodes for t in fleet.node_topics(n)]
    except fleet.BridgeError as e:
        fail(str(e), EXIT_USAGE)
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
    text, record = _record(payload)
    if args.json:
        print(json.dumps({"device": device, "node": kind[1], "kind": kind[0],
                          "record": record if record is not None else text}), flush=True)
    else:
        body = json.dumps(record) if record is not None else repr(text)
        print(f"{device} {kind[1]} {kind[0]} {body}", flush=True)
    return 1
