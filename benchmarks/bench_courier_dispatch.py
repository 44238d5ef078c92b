"""Dispatch throughput of CourierClient against a plain paho-mqtt client doing the same work.

Both receivers subscribe to their own topic on one local Mosquitto broker (started here on a free
loopback port) in the same process:

  kit       CourierClient(subscribe_topics=[topic], verbose=False): native _on_message (UTF-8
            decode, table look-up, call of the built-in listener: json.loads, store under _lock)
  baseline  paho.mqtt.client.Client whose Python on_message decodes the payload as UTF-8, parses
            it with json.loads and stores the object under a lock, keyed like the kit's listener

Each round sends N PUBLISH packets (QoS 0) to one receiver's topic in a single write from a raw
socket, so the broker is never the limit, and times until the receiver has stored the last one
(the last message alone carries "source_key"). Rounds alternate between the receivers. Reported:
the median throughput of each (messages per second, wall clock) and the median CPU time per
message of the receiver's network thread (steadier on a shared machine), with both ratios.

    PYTHONPATH=src python benchmarks/bench_courier_dispatch.py [--messages N] [--rounds R]
"""

from __future__ import annotations

import argparse
import json
import os
import socket
import statistics
import struct
import sys
import threading
import time
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import paho.mqtt.client as mqtt  # noqa: E402

from kestrix_sdk.mqtt.courier import CourierClient  # noqa: E402
from servers import Mosquitto, wait_for  # noqa: E402


def _remaining_length(n: int) -> bytes:
    out = bytearray()
    while True:
        byte, n = n % 128, n // 128
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def _publish_packet(topic: str, payload: bytes) -> bytes:
    name = topic.encode()
    body = struct.pack("!H", len(name)) + name + payload
    return b"\x30" + _remaining_length(len(body)) + body


class RawPublisher:
    """An MQTT 3.1.1 connection that writes prebuilt PUBLISH packets (QoS 0) in one go."""

    def __init__(self, port: int) -> None:
        self.sock = socket.create_connection(("127.0.0.1", port))
        client_id = b"bench-publisher"
        body = (struct.pack("!H", 4) + b"MQTT" + bytes([4, 2]) + struct.pack("!H", 600)
                + struct.pack("!H", len(client_id)) + client_id)
        self.sock.sendall(b"\x10" + _remaining_length(len(body)) + body)
        if self.sock.recv(4)[:4] != b"\x20\x02\x00\x00":
            raise RuntimeError("broker refused the publisher")

    def send(self, packets: bytes) -> None:
        self.sock.sendall(packets)

    def close(self) -> None:
        self.sock.sendall(b"\xe0\x00")
        self.sock.close()


def messages(topic: str, count: int) -> bytes:
    packets = []
    for i in range(count):
        record = {"i": i, "node_id": "cam-1", "objs": [
            {"tlwh": [0.1, 0.2, 0.3, 0.4], "class_id": 2, "label": "car", "score": 0.87}]}
        if i == count - 1:
            record["source_key"] = "last"
        packets.append(_publish_packet(topic, json.dumps(record).encode()))
    return b"".join(packets)


class BaselineReceiver:
    """A plain paho client whose Python on_message does the kit listener's work."""

    def __init__(self, port: int, topic: str) -> None:
        self.lock = threading.Lock()
        self.table: dict = {}
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)
        self.client.on_message = self.on_message
        self.client.on_connect = lambda c, u, f, rc, p: c.subscribe(topic)
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def on_message(self, client, userdata, message) -> None:
        text = message.payload.decode("utf-8")
        obj = json.loads(text)
        key = message.topic if "source_key" in obj else 0
        with self.lock:
            self.table[key] = obj

    def snapshot(self) -> dict:
        with self.lock:
            return dict(self.table)

    def reset(self) -> None:
        with self.lock:
            self.table.clear()

    def close(self) -> None:
        self.client.disconnect()
        self.client.loop_stop()


def thread_cpu(thread: threading.Thread) -> float:
    """CPU seconds used so far by a running thread (Linux)."""
    return time.clock_gettime(time.pthread_getcpuclockid(thread.ident))


def timed_round(publisher: RawPublisher, packets: bytes, done, count: int,
                network_thread: threading.Thread) -> tuple[float, float]:
    """Sends the packets and waits for the last one to be stored. Returns the messages per second
    (wall clock) and the CPU microseconds per message of the receiver's network thread, which
    does all the receiving and dispatching and is not disturbed by other load on the machine."""
    start, cpu_start = time.perf_counter(), thread_cpu(network_thread)
    publisher.send(packets)
    if not wait_for(done, 120, 0.002):
        raise RuntimeError("receiver did not get every message")
    wall, cpu = time.perf_counter() - start, thread_cpu(network_thread) - cpu_start
    return count / wall, cpu / count * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--messages", type=int, default=20000, help="messages per round")
    parser.add_argument("--rounds", type=int, default=5, help="rounds per receiver")
    args = parser.parse_args()
    warnings.simplefilter("ignore", ResourceWarning)

    broker = Mosquitto().start()
    kit_topic, base_topic = "bench/kit", "bench/baseline"
    kit = CourierClient(port=broker.port, subscribe_topics=[kit_topic], verbose=False)
    base = BaselineReceiver(broker.port, base_topic)
    try:
        subscribed = lambda: broker.log().count(f"\t{kit_topic} (QoS 0)") and broker.log().count(
            f"\t{base_topic} (QoS 0)")
        if not wait_for(subscribed, 10):
            raise RuntimeError("receivers did not subscribe")
        publisher = RawPublisher(broker.port)
        kit_packets = messages(kit_topic, args.messages)
        base_packets = messages(base_topic, args.messages)

        # paho's network threads (the client's own, unchanged for the whole run)
        kit_thread, base_thread = kit.client._thread, base.client._thread

        # warm-up round for each, not counted
        timed_round(publisher, kit_packets, lambda: kit_topic in kit.get_last_published_msg(),
                    args.messages, kit_thread)
        timed_round(publisher, base_packets, lambda: base_topic in base.snapshot(), args.messages,
                    base_thread)

        kit_rounds, base_rounds = [], []
        for _ in range(args.rounds):
            with kit._lock:
                kit.msg_subscribed.clear()
            kit_rounds.append(timed_round(publisher, kit_packets,
                                          lambda: kit_topic in kit.get_last_published_msg(),
                                          args.messages, kit_thread))
            base.reset()
            base_rounds.append(timed_round(publisher, base_packets,
                                           lambda: base_topic in base.snapshot(), args.messages,
                                           base_thread))
        publisher.close()
    finally:
        kit.stop()
        kit.disconnect()
        base.close()
        broker.close()

    kit_rate = statistics.median(r for r, _ in kit_rounds)
    base_rate = statistics.median(r for r, _ in base_rounds)
    kit_cpu = statistics.median(c for _, c in kit_rounds)
    base_cpu = statistics.median(c for _, c in base_rounds)
    print(f"messages per round: {args.messages}, rounds per receiver: {args.rounds} (medians shown)")
    print(f"kit      CourierClient:      {kit_rate:8.0f} msg/s  {kit_cpu:6.2f} us CPU/msg (network thread)  rounds: "
          + ", ".join(f"{r:.0f}" for r, _ in kit_rounds))
    print(f"baseline paho + Python work: {base_rate:8.0f} msg/s  {base_cpu:6.2f} us CPU/msg (network thread)  rounds: "
          + ", ".join(f"{r:.0f}" for r, _ in base_rounds))
    print(f"ratio kit / baseline: throughput {kit_rate / base_rate:.3f}, "
          f"CPU per message {kit_cpu / base_cpu:.3f} (below 1: the kit needs less)")

if __name__ == "__main__":
    main()
