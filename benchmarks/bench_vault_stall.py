"""Background frame writes while the Redis server stalls: a camera writes 640 x 480 frames at
30 frames a second per key with VaultClient(thread=True); the server is stopped (SIGSTOP) for a
while and then resumed (SIGCONT). Printed:

    peak writer threads   the most _FrameWriter threads alive at once
    memory growth         peak resident size during the stall minus the size just before it
    newest frame after    time from the resume until a reader finds, under every key, the
                          frame written last before the resume (frames carry their index in
                          their pixels)
    a key went back       how often a reader found an older frame than it had seen before

for the kit and, as the baseline in the same run, for one plain thread per frame (copy, encode,
base64, SET through a redis-py client with the kit's settings).

Run from the repository root after building (scripts/dev-build.sh vault):

    PYTHONPATH=src python benchmarks/bench_vault_stall.py [--stall 8] [--keys 1] [--fps 30] [--no-baseline]

It starts its own redis-server (the Debian package) on a free loopback port.
"""

from __future__ import annotations

import argparse
import base64
import logging
import os
import signal
import sys
import threading
import time
from pathlib import Path

import cv2
import numpy as np
import redis

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import frame_stamps  # noqa: E402
from servers import RedisServer  # noqa: E402

from kestrix_sdk.redis import vault  # noqa: E402


def rss_bytes() -> int:
    with open("/proc/self/status") as status:
        return int(next(line.split()[1] for line in status if line.startswith("VmRSS:"))) * 1024


def writer_threads() -> int:
    return sum(isinstance(t, vault._FrameWriter) for t in threading.enumerate())


def camera_frame(width: int, height: int) -> np.ndarray:
    rng = np.random.default_rng(1)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    img = np.stack([128 + 100 * np.sin(x / 97.0), 128 + 100 * np.cos(y / 61.0),
                    (x + y) * 255.0 / (width + height)], axis=-1)
    img += rng.normal(0, 4, img.shape)
    return np.clip(img, 0, 255).astype(np.uint8)


class PlainWriter:
    """The baseline: one thread per frame (copy, encode, base64, SET), nothing shared between
    writes but a redis-py client with the kit's settings."""

    def __init__(self, port: int) -> None:
        self.client = vault.VaultClient(False, "127.0.0.1", port)._redis_client

    def write_frame(self, frame: np.ndarray, key: str) -> bool:
        copy = frame.copy()

        def write() -> None:
            ok, buf = cv2.imencode(".jpg", copy)
            try:
                self.client.set(key, base64.b64encode(buf))
            except redis.RedisError:
                pass

        threading.Thread(target=write, name="plain-writer").start()
        return True

    @staticmethod
    def threads() -> int:
        return sum(t.name == "plain-writer" for t in threading.enumerate())


class KitWriter:
    def __init__(self, port: int) -> None:
        self.client = vault.VaultClient(True, "127.0.0.1", port)

    def write_frame(self, frame: np.ndarray, key: str) -> bool:
        return self.client.write_frame(frame, key)

    @staticmethod
    def threads() -> int:
        return writer_threads()


def run(make_writer, args) -> dict:
    server = RedisServer().start()
    writer = make_writer(server.port)
    reader = redis.Redis(host="127.0.0.1", port=server.port, socket_timeout=60)
    keys = [f"bench_stall_{i}" for i in range(args.keys)]
    frame = camera_frame(args.width, args.height)
    period = 1.0 / args.fps
    index = 0
    peak_threads = 0
    newest = {k: -1 for k in keys}
    went_back = []
    stop = threading.Event()

    def read_keys() -> None:
        while not stop.is_set():
            for k, value in zip(keys, reader.mget(keys)):
                if value:
                    i = frame_stamps.read_value(value)
                    if i < newest[k]:
                        went_back.append((k, newest[k], i))
                    newest[k] = max(newest[k], i)

    def write_for(seconds: float, sample=None) -> None:
        nonlocal index, peak_threads
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            index += 1
            for k in keys:
                writer.write_frame(frame_stamps.stamp(frame, index), k)
            peak_threads = max(peak_threads, writer.threads())
            if sample:
                sample()
            time.sleep(period)  # the camera's frame rate

    watcher = threading.Thread(target=read_keys)
    watcher.start()
    try:
        write_for(1.0)  # warm-up: connections made, every key written
        while min(newest.values()) < index:
            time.sleep(0.01)
        baseline = rss_bytes()
        peak = [baseline]
        os.kill(server.proc.pid, signal.SIGSTOP)
        try:
            write_for(args.stall, lambda: peak.__setitem__(0, max(peak[0], rss_bytes())))
            last_before_resume = index
        finally:
            os.kill(server.proc.pid, signal.SIGCONT)
        resumed = time.monotonic()
        while min(newest.values()) < last_before_resume:
            write_for(period)
        to_newest = time.monotonic() - resumed
        write_for(0.5)
    finally:
        stop.set()
        watcher.join()
        deadline = time.monotonic() + 60
        while writer.threads() and time.monotonic() < deadline:
            time.sleep(0.05)
        left = writer.threads()
        reader.close()
        server.close()
    return {"threads": peak_threads, "memory": (peak[0] - baseline) / 2**20,
            "newest": to_newest, "went_back": went_back, "left": left}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--stall", type=float, default=8.0, help="seconds the server is stopped")
    parser.add_argument("--keys", type=int, default=1, help="keys written each frame period")
    parser.add_argument("--fps", type=float, default=30.0)
    parser.add_argument("--width", type=int, default=640)
    parser.add_argument("--height", type=int, default=480)
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the one-thread-per-frame baseline")
    args = parser.parse_args()

    logging.getLogger("kestrix_sdk").setLevel(logging.CRITICAL)  # the stall's error lines
    results = [("kit", run(KitWriter, args))]
    if not args.no_baseline:
        results.append(("one thread per frame", run(PlainWriter, args)))

    print(f"{args.width}x{args.height}, {args.fps:g} fps, {args.keys} key(s), "
          f"server stopped {args.stall:g} s (OpenCV {cv2.__version__}, redis-py {redis.__version__})")
    print(f"{'':24}" + "".join(f"{name:>24}" for name, _ in results))
    rows = [
        ("peak writer threads", lambda r: f"{r['threads']}"),
        ("memory growth", lambda r: f"{r['memory']:.1f} MB"),
        ("newest frame after", lambda r: f"{r['newest']:.2f} s"),
        ("a key went back", lambda r: f"{len(r['went_back'])} times" if r["went_back"] else "never"),
        ("writer threads at end", lambda r: f"{r['left']}"),
    ]
    for label, cell in rows:
        print(f"{label:24}" + "".join(f"{cell(r):>24}" for _, r in results))


if __name__ == "__main__":
    main()
