"""Memory of the live view under a flood of reports from the broker, and the size of its answers.

    nodes:  N status reports of N invented node ids (default 20,000)
    errors: M error reports of S bytes each (default 40 of 4 MB)

The view (`python -m kestrix_sdk view` on its own redis-server and mosquitto, started on free
loopback ports) is measured by its resident memory (VmRSS, /proc) before and after each flood,
and by the bytes of /api/status and /api/errors once the flood has arrived (the last report of
each flood is waited for). Run from the repository root after building, with the view's extra:

    PYTHONPATH=src python benchmarks/bench_view_flood.py [--nodes 20000] [--errors 40] [--error-mb 4]
"""

from __future__ import annotations

import argparse
import json
import sys
import time
import urllib.request
from pathlib import Path

import paho.mqtt.client as mqtt

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from servers import Mosquitto, RedisServer  # noqa: E402
from view_fixtures import ViewProcess  # noqa: E402

from kestrix_sdk.constants import PREFIX  # noqa: E402


def rss_mib(pid: int) -> float:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def answer_bytes(base: str, path: str) -> int:
    with urllib.request.urlopen(base + path, timeout=120) as response:
        return len(response.read())


def publish_all(port: int, messages) -> None:
    client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)
    client.max_queued_messages_set(0)
    client.connect("127.0.0.1", port)
    client.loop_start()
    try:
        last = None
        for topic, payload in messages:
            last = client.publish(topic, payload, qos=1)
        if last is not None:
            last.wait_for_publish(300)
    finally:
        client.disconnect()
        client.loop_stop()


def wait_until(predicate, timeout: float = 300) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.2)
    return False


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--nodes", type=int, default=20000)
    ap.add_argument("--errors", type=int, default=40)
    ap.add_argument("--error-mb", type=float, default=4.0)
    args = ap.parse_args()

    redis_server = RedisServer().start()
    broker = Mosquitto().start()
    # The broker's own limit on a message (268 MB by default) lets the large reports through.
    view = ViewProcess("--redis-host", "127.0.0.1", "--redis-port", str(redis_server.port),
                       "--mqtt-host", "127.0.0.1", "--mqtt-port", str(broker.port))
    try:
        def health() -> dict:
            with urllib.request.urlopen(view.base + "/api/health", timeout=30) as response:
                return json.loads(response.read())

        wait_until(lambda: health()["mqtt"])
        pid = view.proc.pid
        print(f"start: {rss_mib(pid):.0f} MiB")

        last = f"flood-{args.nodes - 1}"
        publish_all(broker.port, ((f"{PREFIX.MQTT.DEBUG}_flood-{i}",
                                   json.dumps({"id": f"flood-{i}", "ts": time.time(), "msg_type": "info",
                                               "name": "flooder", "type": "camera", "fps": [15.0]}))
                                  for i in range(args.nodes)))
        wait_until(lambda: last in json.loads(urllib.request.urlopen(view.base + "/api/status",
                                                                     timeout=120).read()))
        print(f"after {args.nodes} node ids: {rss_mib(pid):.0f} MiB, "
              f"/api/status {answer_bytes(view.base, '/api/status') / 1e6:.2f} MB")

        size = int(args.error_mb * 1e6)
        marker = f"big-{time.time()}"
        publish_all(broker.port, ((f"{PREFIX.MQTT.CLOUD}_{marker}-{i}",
                                   json.dumps({"message": "x" * size, "msg_type": "error"}))
                                  for i in range(args.errors)))

        def arrived() -> bool:
            with urllib.request.urlopen(view.base + "/api/errors", timeout=120) as response:
                return f"{marker}-{args.errors - 1}".encode() in response.read()

        wait_until(arrived)
        print(f"after {args.errors} error reports of {args.error_mb:g} MB: {rss_mib(pid):.0f} MiB, "
              f"/api/errors {answer_bytes(view.base, '/api/errors') / 1e6:.2f} MB")
    finally:
        view.close()
        broker.close()
        redis_server.close()


if __name__ == "__main__":
    main()
