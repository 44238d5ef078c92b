"""Reports through the fleet link: a device broker bridged to a cloud broker, against direct.

Two Mosquitto brokers on loopback, started here: a cloud broker, and an edge broker configured
with the fragment `python -m kestrix_sdk bridge` writes (device "bench", node "cam1"). A paho
subscriber on the cloud broker receives both

  bridged  a CourierClient connected to the edge broker publishes on kestrix_cloud_cam1, which
           reaches the cloud as fleet/bench/kestrix_cloud_cam1 through the bridge;
  direct   a CourierClient connected to the cloud broker publishes on kestrix_cloud_cam1.

Throughput: each round publishes N messages (QoS 0, as the kit does) as fast as the client
takes them and times until the subscriber has the last one; rounds alternate between the two
routes; reported is the median messages per second of each and of the ratio bridged / direct
(messages lost, if any, are counted too). Latency: one message at a time, the next when the
previous has arrived, the two routes alternating; the time from publish to arrival (one clock,
one process); reported are the median and 99th percentile of each and the difference.

    PYTHONPATH=src python benchmarks/bench_fleet.py [--messages N] [--rounds R] [--samples S]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import paho.mqtt.client as mqtt  # noqa: E402

from kestrix_sdk import fleet  # noqa: E402
from kestrix_sdk.constants import PREFIX  # noqa: E402
from kestrix_sdk.mqtt.courier import CourierClient  # noqa: E402
from servers import Mosquitto, wait_for  # noqa: E402

DEVICE = "bench"
NODE = "cam1"
LOCAL_TOPIC = f"{PREFIX.MQTT.CLOUD}_{NODE}"
BRIDGED_TOPIC = f"fleet/{DEVICE}/{LOCAL_TOPIC}"


class Subscriber:
    """Counts arrivals per topic and keeps the arrival time of the latest one."""

    def __init__(self, port: int) -> None:
        self.cond = threading.Condition()
        self.count = {BRIDGED_TOPIC: 0, LOCAL_TOPIC: 0}
        self.last: dict[str, tuple[bytes, float]] = {}
        self.subscribed = threading.Event()
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)
        self.client.on_connect = lambda c, u, f, rc, p: c.subscribe([(BRIDGED_TOPIC, 0), (LOCAL_TOPIC, 0)])
        self.client.on_subscribe = lambda c, u, mid, rcs, p: self.subscribed.set()
        self.client.on_message = self.on_message
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        if not self.subscribed.wait(10):
            raise RuntimeError("the subscriber did not get its subscription")

    def on_message(self, client, userdata, msg) -> None:
        now = time.perf_counter()
        with self.cond:
            self.count[msg.topic] += 1
            self.last[msg.topic] = (msg.payload, now)
            self.cond.notify_all()

    def wait(self, predicate, timeout: float = 60) -> bool:
        with self.cond:
            return self.cond.wait_for(predicate, timeout)

    def close(self) -> None:
        self.client.disconnect()
        self.client.loop_stop()


def node(port: int) -> CourierClient:
    client = CourierClient(port=port, verbose=False)   # its thread starts at once
    if not wait_for(client.client.is_connected, 20):
        raise RuntimeError(f"the node did not connect to port {port}")
    return client


def close_node(client: CourierClient) -> None:
    client.stop()
    client.join(5)
    client.client.disconnect()
    client.disconnect()


def throughput(pub: CourierClient, sub: Subscriber, topic: str, n: int) -> tuple[float, int]:
    with sub.cond:
        before = sub.count[topic]
    payload = "x" * 200
    start = time.perf_counter()
    for i in range(n - 1):
        pub.publish(LOCAL_TOPIC, payload)
    pub.publish(LOCAL_TOPIC, "last")
    if not sub.wait(lambda: sub.last.get(topic, (b"", 0))[0] == b"last"
                    and sub.count[topic] - before > 0, 120):
        raise RuntimeError(f"the last message did not arrive on {topic}")
    elapsed = sub.last[topic][1] - start
    with sub.cond:
        got = sub.count[topic] - before
        sub.last.pop(topic)
    return got / elapsed, n - got


def latency(pub: CourierClient, sub: Subscriber, topic: str, i: int) -> float:
    token = f"t{i}".encode()
    start = time.perf_counter()
    pub.publish(LOCAL_TOPIC, token)
    if not sub.wait(lambda: sub.last.get(topic, (b"", 0))[0] == token, 30):
        raise RuntimeError(f"message {i} did not arrive on {topic}")
    return sub.last[topic][1] - start


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(q * (len(ordered) - 1))))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=5000,
                        help=f"messages per throughput round (at most {fleet.MAX_QUEUED_MESSAGES}, "
                        "the bridge's queue bound)")
    parser.add_argument("--rounds", type=int, default=6, help="throughput rounds per route")
    parser.add_argument("--samples", type=int, default=1000, help="latency samples per route")
    args = parser.parse_args()

    cloud = Mosquitto().start()
    edge = Mosquitto()
    remote = {"scheme": "mqtt", "host": "127.0.0.1", "port": cloud.port, "tls": False}
    with open(edge.conf, "a") as f:
        f.write(fleet.bridge_config(remote, DEVICE, [NODE]))
    edge.start()
    sub = Subscriber(cloud.port)
    bridged, direct = node(edge.port), node(cloud.port)
    routes = {"bridged": (bridged, BRIDGED_TOPIC), "direct": (direct, LOCAL_TOPIC)}
    try:
        # The bridge is up once a message goes through.
        if not wait_for(lambda: bridged.publish(LOCAL_TOPIC, "probe") and sub.count[BRIDGED_TOPIC] > 0, 30, 0.1):
            raise RuntimeError("the bridge did not come up")
        for name, (pub, topic) in routes.items():   # warm-up
            throughput(pub, sub, topic, min(1000, args.messages))

        rates: dict[str, list[float]] = {"bridged": [], "direct": []}
        lost = {"bridged": 0, "direct": 0}
        ratios = []
        for r in range(args.rounds):
            order = ["bridged", "direct"] if r % 2 == 0 else ["direct", "bridged"]
            got = {}
            for name in order:
                rate, missing = throughput(*routes[name][:1], sub, routes[name][1], args.messages)
                got[name] = rate
                rates[name].append(rate)
                lost[name] += missing
            ratios.append(got["bridged"] / got["direct"])

        lat: dict[str, list[float]] = {"bridged": [], "direct": []}
        for i in range(args.samples):
            for name in (("bridged", "direct") if i % 2 == 0 else ("direct", "bridged")):
                pub, topic = routes[name]
                lat[name].append(latency(pub, sub, topic, i))
    finally:
        close_node(bridged)
        close_node(direct)
        sub.close()
        edge.close()
        cloud.close()

    print(f"throughput, {args.rounds} rounds of {args.messages} messages (median msg/s):")
    for name in ("bridged", "direct"):
        print(f"  {name:8s} {statistics.median(rates[name]):10,.0f} msg/s  (lost {lost[name]})")
    print(f"  ratio bridged / direct: {statistics.median(ratios):.2f}x")
    print(f"latency, {args.samples} samples per route (ms):")
    for name in ("bridged", "direct"):
        print(f"  {name:8s} median {statistics.median(lat[name]) * 1e3:.3f}  p99 {percentile(lat[name], 0.99) * 1e3:.3f}")
    added_median = (statistics.median(lat["bridged"]) - statistics.median(lat["direct"])) * 1e3
    added_p99 = (percentile(lat["bridged"], 0.99) - percentile(lat["direct"], 0.99)) * 1e3
    print(f"  added by the bridge: median {added_median:+.3f} ms, p99 {added_p99:+.3f} ms")


if __name__ == "__main__":
    main()
