"""Redis reads of the live view per frame period with N viewers of one key, against the naive
design in which every viewer reads the key itself once per frame period, in the same run.

    kit:   `python -m kestrix_sdk view --frames KEY --fps F`, N Motion-JPEG streams of KEY open
    naive: N threads, each reading KEY (GET + base64 decode) once per frame period

A camera-like writer stores a new 640x480 frame under KEY F times a second throughout. Reads are
counted by the Redis server itself (INFO commandstats, GET calls); the view's CPU time comes from
/proc. Each viewer's received frames per second are shown too: sharing must not cost frames.

Run from the repository root after building, with the view's extra installed (aiohttp):

    PYTHONPATH=src python benchmarks/bench_view_streams.py [--viewers 1 4 16] [--seconds 10] [--fps 15]

It starts its own redis-server and mosquitto (the Debian packages) on free loopback ports.
"""

from __future__ import annotations

import argparse
import base64
import os
import sys
import threading
import time
from pathlib import Path

import numpy as np
import redis

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from servers import Mosquitto, RedisServer  # noqa: E402
from view_fixtures import MjpegReader, ViewProcess  # noqa: E402

from kestrix_sdk.redis.vault import VaultClient  # noqa: E402

KEY = "kestrix_local_bench_6379"


def get_calls(client: redis.Redis) -> int:
    return int(client.info("commandstats").get("cmdstat_get", {}).get("calls", 0))


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Writer(threading.Thread):
    """Stores a new frame under KEY `fps` times a second."""

    def __init__(self, port: int, fps: float) -> None:
        super().__init__(daemon=True)
        self.vault = VaultClient(thread=False, host="127.0.0.1", port=port)
        self.fps = fps
        self.stop = threading.Event()

    def run(self) -> None:
        rng = np.random.default_rng(1)
        base = rng.integers(0, 256, (480, 640, 3), dtype=np.uint8)
        index = 0
        start = time.monotonic()
        while not self.stop.is_set():
            frame = np.roll(base, index * 4, axis=1)
            self.vault.write_frame(frame, KEY)
            index += 1
            self.stop.wait(max(0.0, start + index / self.fps - time.monotonic()))


def measure_view(view: ViewProcess, client: redis.Redis, viewers: int, seconds: float) -> dict:
    readers = [MjpegReader(view.base, f"/stream/{KEY}") for _ in range(viewers)]
    counts = [0] * viewers
    stop = threading.Event()

    def read(i: int) -> None:
        try:
            while not stop.is_set():
                readers[i].next_part()
                counts[i] += 1
        except (OSError, EOFError, ValueError, AttributeError):
            pass

    threads = [threading.Thread(target=read, args=(i,), daemon=True) for i in range(viewers)]
    for t in threads:
        t.start()
    # Every viewer has its first frame before counting starts.
    while min(counts) == 0:
        time.sleep(0.05)
    before_counts, gets, cpu = list(counts), get_calls(client), cpu_seconds(view.proc.pid)
    time.sleep(seconds)
    result = {"gets": get_calls(client) - gets, "cpu": cpu_seconds(view.proc.pid) - cpu,
              "frames": [c - b for c, b in zip(counts, before_counts)]}
    stop.set()
    for r in readers:
        r.close()
    for t in threads:
        t.join(5)
    return result


def measure_naive(port: int, client: redis.Redis, viewers: int, seconds: float, fps: float) -> dict:
    stop = threading.Event()
    changed = [0] * viewers

    def viewer(i: int) -> None:
        own = redis.Redis(host="127.0.0.1", port=port)
        last = None
        start = time.monotonic()
        n = 0
        while not stop.is_set():
            raw = own.get(KEY)
            if raw != last:
                base64.b64decode(raw)
                last = raw
                changed[i] += 1
            n += 1
            stop.wait(max(0.0, start + n / fps - time.monotonic()))
        own.close()

    threads = [threading.Thread(target=viewer, args=(i,), daemon=True) for i in range(viewers)]
    gets = get_calls(client)
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join(5)
    return {"gets": get_calls(client) - gets, "frames": changed}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--viewers", type=int, nargs="+", default=[1, 4, 16])
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--fps", type=float, default=15.0)
    args = ap.parse_args()

    rds, brk = RedisServer().start(), Mosquitto().start()
    client = redis.Redis(host="127.0.0.1", port=rds.port)
    writer = Writer(rds.port, args.fps)
    writer.start()
    view = ViewProcess("--redis-host", "127.0.0.1", "--redis-port", str(rds.port), "--mqtt-host",
                       "127.0.0.1", "--mqtt-port", str(brk.port), "--frames", KEY,
                       "--fps", str(args.fps), "--max-streams", str(max(args.viewers) + 1))
    periods = args.seconds * args.fps
    print(f"one key, new 640x480 frame {args.fps:g} times a second, {args.seconds:g} s per case "
          f"({periods:g} frame periods)")
    print(f"{'viewers':>7} | {'kit reads/period':>16} {'naive reads/period':>18} {'ratio':>6} | "
          f"{'kit fps/viewer (min)':>20} {'naive fps/viewer':>16} | {'view CPU':>8}")
    try:
        for n in args.viewers:
            kit = measure_view(view, client, n, args.seconds)
            naive = measure_naive(rds.port, client, n, args.seconds, args.fps)
            kit_rate, naive_rate = kit["gets"] / periods, naive["gets"] / periods
            print(f"{n:>7} | {kit_rate:>16.2f} {naive_rate:>18.2f} {naive_rate / kit_rate:>5.1f}x | "
                  f"{min(kit['frames']) / args.seconds:>20.1f} "
                  f"{min(naive['frames']) / args.seconds:>16.1f} | "
                  f"{100 * kit['cpu'] / args.seconds:>7.1f}%", flush=True)
    finally:
        writer.stop.set()
        writer.join(5)
        view.close()
        client.close()
        brk.close()
        rds.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
