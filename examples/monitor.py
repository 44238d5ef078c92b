"""Demo monitor: prints the nodes' status and error reports as they arrive.

Listens with a `CourierClient` to the status topic (PREFIX.MQTT.DEBUG) and the error topic
(PREFIX.MQTT.CLOUD) of each node, prints every report and appends it to <out>/reports.jsonl.
Runs until SIGINT or SIGTERM.

Run by examples/run_demo.py; alone: python examples/monitor.py --out /tmp/x camera analytics
(`python -m kestrix_sdk watch` shows the reports of every node, without knowing their names).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import threading
import time

from kestrix_sdk.mqtt.courier import CourierClient

import demo_common as common


def summary(record: dict) -> str:
    """The record's reported items, one "name=value" each (single-source lists unwrapped)."""
    parts = []
    for k, v in record.items():
        if k in ("ts", "id", "name", "type", "msg_type"):
            continue
        if isinstance(v, list) and len(v) == 1:
            v = v[0]
        parts.append(f"{k}={v}")
    return " ".join(parts) or "(nothing reported yet)"


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("nodes", nargs="*", default=list(common.NODES), help="node identifiers")
    ap.add_argument("--out", required=True, help="folder for reports.jsonl")
    ap.add_argument("--verbose", action="store_true", help="show the kit's info log lines")
    args = ap.parse_args(argv)
    common.setup_logging(args.verbose)
    stop = common.stop_on_signals()

    kinds = {}
    for node in args.nodes:
        kinds[common.status_topic(node)] = ("status", node)
        kinds[common.error_topic(node)] = ("error", node)
    os.makedirs(args.out, exist_ok=True)
    lock = threading.Lock()
    log = open(os.path.join(args.out, "reports.jsonl"), "a")

    def on_report(topic: str, msg: str) -> None:
        kind, node = kinds[topic]
        try:
            record = json.loads(msg)
        except ValueError:
            print(f"monitor: {kind} report of {node} is not JSON: {msg!r}", flush=True)
            return
        with lock:
            log.write(json.dumps({"received": time.time(), "topic": topic, "kind": kind, "record": record}) + "\n")
            log.flush()
        if kind == "error":
            print(f"monitor: ERROR from {node}: {record.get('message')}", flush=True)
        else:
            print(f"monitor: status of {node}: {summary(record)}", flush=True)

    try:
        with CourierClient(subscribe_topics=list(kinds), verbose=False) as courier:
            for topic in kinds:
                courier.callbacks[topic] = on_report
            if not common.wait_connected(courier, 15, stop):
                print("monitor: no connection to the MQTT broker", flush=True)
                return 1
            print(f"monitor: ready, listening to the reports of {', '.join(args.nodes)}", flush=True)
            stop.wait()
            return 0
    finally:
        with lock:
            log.close()


if __name__ == "__main__":
    sys.exit(main())
