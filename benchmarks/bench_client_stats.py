"""Cost of the clients' stats() per call, against baselines measured in the same run.

A CourierClient connected to a local Mosquitto broker and a VaultClient on a local redis-server
(both started here on free loopback ports). Each call is timed in a tight loop of N calls,
alternating rounds, median over the rounds:

  empty      an empty Python method call (obj.m())
  dict       building a Python dict with the same number of int members as the stats dict
  courier    CourierClient.stats() (five keys; "connected" asks paho)
  vault      VaultClient.stats() (eight keys)
  is_conn    paho's client.is_connected(), the one Python call courier.stats() makes

Printed: nanoseconds per call of each and the ratios against the empty call and the dict.

    PYTHONPATH=src python benchmarks/bench_client_stats.py [--calls N] [--rounds R]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from kestrix_sdk.mqtt.courier import CourierClient  # noqa: E402
from kestrix_sdk.redis.vault import VaultClient  # noqa: E402
from servers import Mosquitto, RedisServer, wait_for  # noqa: E402


class Empty:
    def m(self) -> None:
        pass


def per_call(fn, calls: int) -> float:
    start = time.perf_counter_ns()
    for _ in range(calls):
        fn()
    return (time.perf_counter_ns() - start) / calls


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--calls", type=int, default=100_000)
    ap.add_argument("--rounds", type=int, default=7)
    args = ap.parse_args()

    broker = Mosquitto().start()
    redis_server = RedisServer().start()
    try:
        with CourierClient(port=broker.port, verbose=False) as courier, \
                VaultClient(False, "127.0.0.1", redis_server.port) as vault:
            assert wait_for(courier.client.is_connected, 10), "no broker connection"
            empty = Empty()
            a = b = c = d = e = 0
            cases = {
                "empty": empty.m,
                "dict": lambda: {"published": a, "received": b, "publish_failures": c,
                                 "reconnections": d, "connected": e},
                "courier": courier.stats,
                "vault": vault.stats,
                "is_conn": courier.client.is_connected,
            }
            times: dict[str, list[float]] = {name: [] for name in cases}
            for _ in range(args.rounds):
                for name, fn in cases.items():
                    times[name].append(per_call(fn, args.calls))
    finally:
        broker.close()
        redis_server.close()

    med = {name: statistics.median(v) for name, v in times.items()}
    print(f"{args.calls} calls x {args.rounds} rounds, median ns per call")
    for name, ns in med.items():
        print(f"  {name:8s} {ns:8.1f} ns   x{ns / med['empty']:5.1f} empty call   "
              f"x{ns / med['dict']:5.2f} dict")
    return 0


if __name__ == "__main__":
    sys.exit(main())
