"""Dispatch throughput of CourierClient against a plain paho-mqtt client doing the same work.

Both receivers subscribe to their own topic on one local Mosquitto broker (started here on a free
loopback port) in the same process:

  kit       CourierClient(subscribe_topics=[topic], verbose=False): native _on_message (UTF-8
            decode, table look-up, call of the built-in listener: json.loads, store under _lock)
  baseline  paho.mqtt.client.Client whose Python on_message decodes the payload as UTF-8, parses
            it with json.loads and stores the object under a lock, keyed like the kit's listener

Each round sends N PUBLISH packets (QoS 0) to one receiver's topic in a single write from a raw
socket, so the broker is never the limit, and times until the receiver has stored the last one
(the last message alone carries "source_key"). Rounds come in pairs, one per receiver, in
alternating order. Reported for each receiver: the throughput (messages per second, wall clock)
and the CPU time per message of its network thread, which does all the receiving and
dispatching (steadier than the wall clock on a shared machine); and the median over the pairs
of the ratio kit / baseline of each.

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
    parser.add_argument("--rounds", type=int, default=10, help="rounds per receiver")
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

        def kit_round() -> tuple[float, float]:
            with kit._lock:
                kit.msg_subscribed.clear()
            return timed_round(publisher, kit_packets, lambda: kit_topic in kit.get_last_published_msg(),
                               args.messages, kit_thread)

        def base_round() -> tuple[float, float]:
            base.reset()
            return timed_round(publisher, base_packets, lambda: base_topic in base.snapshot(),
                               args.messages, base_thread)

        # Pairs of rounds, the order alternating, so that drifting load on the machine hits both.
        kit_rounds, base_rounds = [], []
        for n in range(args.rounds):
            if n % 2 == 0:
                kit_rounds.append(kit_round())
                base_rounds.append(base_round())
            else:
                base_rounds.append(base_round())
                kit_rounds.append(kit_round())
        publisher.close()
    finally:
        kit.stop()
        kit.disconnect()
        base.close()
        broker.close()

    def summary(rounds: list[tuple[float, float]]) -> str:
        rates, cpus = [r for r, _ in rounds], [c for _, c in rounds]
        return (f"{statistics.median(rates):8.0f} msg/s (best {max(rates):6.0f})  "
                f"{statistics.median(cpus):6.2f} us CPU/msg (best {min(cpus):5.2f})")

    rate_ratio = statistics.median(k[0] / b[0] for k, b in zip(kit_rounds, base_rounds))
    cpu_ratio = statistics.median(k[1] / b[1] for k, b in zip(kit_rounds, base_rounds))
    print(f"{args.messages} messages per round, {args.rounds} rounds per receiver; medians (best) of "
          "throughput and of the network thread's CPU time per message")
    print(f"kit      CourierClient:       {summary(kit_rounds)}")
    print(f"baseline paho + Python work:  {summary(base_rounds)}")
    print(f"kit / baseline, median over round pairs: throughput {rate_ratio:.3f} (above 1: kit "
          f"faster), CPU per message {cpu_ratio:.3f} (below 1: kit cheaper)")


if __name__ == "__main__":
    main()
