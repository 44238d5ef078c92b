"""CPU cost of a started status reporter.

A node's reporter wakes ten times a second for the life of the node. This measures the CPU time
the whole process uses over a period (30 s by default) with one started `StatusCaching` at the
default reporting interval, minus the CPU time the same process uses over an equally long idle
period measured just before, and reports the difference as a share of one core. For scale it
also measures a plain Python thread that only waits on an event every 0.1 s (the least any
reporter waking ten times a second can cost here).

The reporter's clients use the default addresses, which KESTRIX_MQTT_URL / KESTRIX_REDIS_URL
lead to a Mosquitto broker and a Redis server started for the run on free ports (servers on the
default ports are never touched).

    PYTHONPATH=src python benchmarks/bench_pulse_cpu.py [--seconds 30]
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from servers import Mosquitto, RedisServer, server_urls, wait_for  # noqa: E402

from kestrix_sdk.status import pulse  # noqa: E402


def cpu_over(seconds: float) -> float:
    """Process CPU time (user + system, all threads) spent while the caller sleeps `seconds`."""
    start = time.process_time()
    time.sleep(seconds)
    return time.process_time() - start


@contextlib.contextmanager
def own_servers():
    started = []
    try:
        started.append(Mosquitto().start())
        started.append(RedisServer().start())
        os.environ.update(server_urls(*started))
        yield
    finally:
        for server in started:
            server.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=30.0, help="length of each measured period")
    args = parser.parse_args()

    with own_servers():
        idle = cpu_over(args.seconds)

        reporter = pulse.StatusCaching("bench-pulse", "bench", "benchmark")
        reporter.update_status_info({"fps": 25, "frames": 0}, 0)
        reporter.start()
        try:
            # Let the reporter's MQTT client connect and the first report go out before measuring.
            wait_for(lambda: any(isinstance(t, pulse.KestrixMqtt) and t.client.is_connected()
                                 for t in threading.enumerate()), 5)
            time.sleep(1.0)
            busy = cpu_over(args.seconds)
        finally:
            reporter.stop()
            reporter.join(5)

        waker_stop = threading.Event()

        def plain_waker() -> None:
            while not waker_stop.is_set():
                waker_stop.wait(0.1)

        waker = threading.Thread(target=plain_waker)
        waker.start()
        try:
            floor = cpu_over(args.seconds)
        finally:
            waker_stop.set()
            waker.join()

    extra = max(busy - idle, 0.0)
    floor_extra = max(floor - idle, 0.0)
    print(f"reporting interval:        {reporter.log_interval} s (default)")
    print(f"measured period:           {args.seconds:.0f} s each")
    print(f"idle process CPU time:     {idle * 1000:.1f} ms")
    print(f"with a started reporter:   {busy * 1000:.1f} ms")
    print(f"reporter CPU time:         {extra * 1000:.1f} ms")
    print(f"share of one core:         {extra / args.seconds * 100:.4f} %")
    print(f"plain 0.1 s event waiter:  {floor_extra * 1000:.1f} ms "
          f"({floor_extra / args.seconds * 100:.4f} % of one core)")
    if floor_extra > 0:
        print(f"reporter / plain waiter:   {extra / floor_extra:.2f}")


if __name__ == "__main__":
    main()
