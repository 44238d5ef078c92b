"""Frames written to and read back from a local Redis per second: VaultClient (direct mode)
against the plain Python route, in the same run.

    plain write: cv2.imencode(".jpg", img) -> base64.b64encode -> redis.set
    plain read:  redis.get -> base64.b64decode -> np.frombuffer -> cv2.imdecode(arr, -1)
    kit write:   VaultClient.write_frame(img, key)
    kit read:    VaultClient.get_frame(key)

Both routes store and read the same bytes (checked before timing). The share of the time spent
in the JPEG codec itself (cv2.imencode + cv2.imdecode) is given for each route.

Run from the repository root after building (scripts/dev-build.sh vault):

    PYTHONPATH=src python benchmarks/bench_vault_frames.py [--rounds 21] [--frames 10]

It starts its own redis-server (the Debian package) on a free loopback port.
"""

from __future__ import annotations

import argparse
import base64
import statistics
import sys
import time
from pathlib import Path

import cv2
import numpy as np
import redis

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from servers import RedisServer  # noqa: E402

from kestrix_sdk.redis.vault import VaultClient  # noqa: E402

SIZES = [(640, 480), (1920, 1080)]


def camera_like(width: int, height: int, seed: int = 1) -> np.ndarray:
    """Smooth shading with edges and sensor noise: compresses like a camera frame."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    img = np.stack([128 + 100 * np.sin(x / 97.0), 128 + 100 * np.cos(y / 61.0),
                    (x + y) * 255.0 / (width + height)], axis=-1)
    for _ in range(30):  # a few solid shapes
        x0, y0 = int(rng.integers(0, width - 20)), int(rng.integers(0, height - 20))
        w, h = int(rng.integers(10, width // 4)), int(rng.integers(10, height // 4))
        img[y0:y0 + h, x0:x0 + w] = rng.integers(0, 256, 3)
    img += rng.normal(0, 4, img.shape)
    return np.clip(img, 0, 255).astype(np.uint8)


def plain_write(client: redis.Redis, img: np.ndarray, key: str) -> None:
    _, buf = cv2.imencode(".jpg", img)
    client.set(key, base64.b64encode(buf))


def plain_read(client: redis.Redis, key: str) -> np.ndarray:
    data = client.get(key)
    return cv2.imdecode(np.frombuffer(base64.b64decode(data), dtype=np.uint8), -1)


def per_frame(fn, frames: int) -> float:
    start = time.perf_counter()
    for _ in range(frames):
        fn()
    return (time.perf_counter() - start) / frames


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=21, help="rounds (median taken)")
    parser.add_argument("--frames", type=int, default=10, help="frames per step and round")
    args = parser.parse_args()

    server = RedisServer().start()
    try:
        plain = redis.Redis(host="127.0.0.1", port=server.port)
        kit = VaultClient(False, "127.0.0.1", server.port)
        print(f"redis-py {redis.__version__}, OpenCV {cv2.__version__}, NumPy {np.__version__}; "
              f"median of {args.rounds} rounds of {args.frames} frames per step\n")
        header = (f"{'frame':>10} {'route':>6} {'write/s':>9} {'read/s':>9} {'both/s':>9} "
                  f"{'JPEG codec share':>17} {'rest ms/frame':>14}")
        print(header)
        print("-" * len(header))
        for width, height in SIZES:
            img = camera_like(width, height)
            kit_key, plain_key = f"bench_kit_{width}", f"bench_plain_{width}"

            # Same stored bytes, same decoded image.
            assert kit.write_frame(img, kit_key) is True
            plain_write(plain, img, plain_key)
            assert plain.get(kit_key) == plain.get(plain_key)
            assert np.array_equal(kit.get_frame(kit_key), plain_read(plain, plain_key))
            _, jpeg = cv2.imencode(".jpg", img)

            # Each round times every step once; the order flips from round to round so that
            # drifting load on the machine falls on both routes alike.
            steps = {
                "kit write": lambda: kit.write_frame(img, kit_key),
                "plain write": lambda: plain_write(plain, img, plain_key),
                "kit read": lambda: kit.get_frame(kit_key),
                "plain read": lambda: plain_read(plain, plain_key),
                "encode": lambda: cv2.imencode(".jpg", img),
                "decode": lambda: cv2.imdecode(jpeg, -1),
            }
            times: dict[str, list[float]] = {name: [] for name in steps}
            for r in range(args.rounds):
                for name in (list(steps) if r % 2 == 0 else list(reversed(steps))):
                    times[name].append(per_frame(steps[name], args.frames))
            med = {name: statistics.median(v) for name, v in times.items()}
            codec = med["encode"] + med["decode"]
            for route in ("kit", "plain"):
                write, read = med[f"{route} write"], med[f"{route} read"]
                print(f"{width}x{height:<5} {route:>6} {1 / write:9.1f} {1 / read:9.1f} "
                      f"{1 / (write + read):9.1f} {codec / (write + read):16.0%} "
                      f"{(write + read - codec) * 1e3:14.2f}")
            k = {"write": med["kit write"], "read": med["kit read"]}
            p = {"write": med["plain write"], "read": med["plain read"]}
            print(f"{'':>10} {'ratio':>6} {p['write'] / k['write']:8.2f}x {p['read'] / k['read']:8.2f}x "
                  f"{(p['write'] + p['read']) / (k['write'] + k['read']):8.2f}x   (kit / plain, frames per second)")
            print(f"{'':>10} {'size':>6} JPEG {len(jpeg) / 1024:.0f} KiB, "
                  f"base64 {len(plain.get(kit_key)) / 1024:.0f} KiB\n")
        plain.close()
    finally:
        server.close()


if __name__ == "__main__":
    main()
