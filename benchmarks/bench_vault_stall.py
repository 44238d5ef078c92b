"""Background frame writes while the Redis server stalls: a camera writes 640 x 480 frames at
30 frames a second per key with VaultClient(thread=True); the server is stopped (SIGSTOP) for a
while and then resumed (SIGCONT). Printed:

    peak writer threads   the most _FrameWriter threads alive at once
    memory growth         peak resident size during the stall minus the size just before it
    newest frame after    time from the resume until a reader finds, under every key, the
                          frame written last before the resume (frames carry their index in
                          their pixels), and whether any key went back to an older frame

Run from the repository root after building (scripts/dev-build.sh vault):

    PYTHONPATH=src python benchmarks/bench_vault_stall.py [--stall 8] [--keys 1] [--fps 30]

It starts its own redis-server (the Debian package) on a free loopback port.
"""

from __future__ import annotations

import argparse
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--stall", type=float, default=8.0, help="seconds the server is stopped")
    parser.add_argument("--keys", type=int, default=1, help="keys written each frame period")
    parser.add_argument("--fps", type=float, default=30.0)
    parser.add_argument("--width", type=int, default=640)
    parser.add_argument("--height", type=int, default=480)
    args = parser.parse_args()

    server = RedisServer().start()
    client = vault.VaultClient(True, "127.0.0.1", server.port)
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
                client.write_frame(frame_stamps.stamp(frame, index), k)
            peak_threads = max(peak_threads, writer_threads())
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
        deadline = time.monotonic() + 30
        while writer_threads() and time.monotonic() < deadline:
            time.sleep(0.05)
        left = writer_threads()
        reader.close()
        server.close()

    print(f"{args.width}x{args.height}, {args.fps:g} fps, {args.keys} key(s), "
          f"server stopped {args.stall:g} s ({cv2.__name__} {cv2.__version__})")
    print(f"peak writer threads     {peak_threads}")
    print(f"memory growth           {(peak[0] - baseline) / 2**20:.1f} MB")
    print(f"newest frame after      {to_newest:.2f} s after the resume")
    print(f"key went back           {'yes: ' + str(went_back[:3]) if went_back else 'never'}")
    print(f"writer threads at end   {left}")


if __name__ == "__main__":
    main()
