"""Camera node against the loop a user would write, in the same run.

    H.264 (GStreamer's RTSP server, 1920x1080):
      kit node:   CameraSource(url, key)
      plain loop: cv2.VideoCapture.read -> cv2.imencode -> base64.b64encode -> redis.set
      floor:      cv2.VideoCapture.read -> cv2.imencode (decode and encode alone, no store)
    Motion-JPEG (ffmpeg serving HTTP, 1920x1080):
      pass-through: CameraSource(url, key), the camera's JPEG files stored as they are
      decoding:     the plain loop on the same stream

Each route reads the live source for --seconds; the figures are frames stored per second and
processor time (user + system, all threads of this process) per stored frame. The sources run
in their own processes, so their encoding is not counted.

Run from the repository root after building (scripts/dev-build.sh):

    PYTHONPATH=src nice -n 10 python benchmarks/bench_camera.py [--seconds 10] [--fps 15]

It starts its own redis-server, mosquitto, RTSP server (Debian's /usr/bin/python3 with
python3-gi) and ffmpeg on free loopback ports.
"""

from __future__ import annotations

import argparse
import base64
import os
import sys
import time
from pathlib import Path

import cv2
import redis

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from camera_sources import MjpegServer, RtspServer  # noqa: E402
from servers import Mosquitto, RedisServer, wait_for  # noqa: E402


def cpu() -> float:
    t = os.times()
    return t.user + t.system


def plain_loop(url: str, client: redis.Redis | None, seconds: float) -> tuple[int, float, float]:
    deadline = time.monotonic() + 10
    cap = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
    while not cap.isOpened() and time.monotonic() < deadline:  # ffmpeg may not listen yet
        time.sleep(0.2)
        cap = cv2.VideoCapture(url, cv2.CAP_FFMPEG)
    assert cap.isOpened(), url
    ok, _ = cap.read()  # the stream's start is not timed
    stored, t0, c0 = 0, time.monotonic(), cpu()
    while time.monotonic() - t0 < seconds:
        ok, frame = cap.read()
        if not ok:
            continue
        _, buf = cv2.imencode(".jpg", frame)
        if client is not None:
            client.set("bench-frame", base64.b64encode(buf))
        stored += 1
    elapsed, used = time.monotonic() - t0, cpu() - c0
    cap.release()
    return stored, elapsed, used


def kit_node(url: str, seconds: float) -> tuple[int, float, float, bool]:
    from kestrix_sdk.camera import CameraSource

    with CameraSource(url, "bench-frame", node_id="bench-camera") as cam:
        assert wait_for(lambda: cam.frames_stored >= 1, 30), "no frame from the source"
        s0, t0, c0 = cam.frames_stored, time.monotonic(), cpu()
        while time.monotonic() - t0 < seconds:
            time.sleep(0.1)
        stored, elapsed, used = cam.frames_stored - s0, time.monotonic() - t0, cpu() - c0
        passthrough = cam.passthrough
    return stored, elapsed, used, passthrough


def row(name: str, stored: int, elapsed: float, used: float) -> float:
    per = used / stored * 1000 if stored else float("inf")
    print(f"  {name:<14} {stored / elapsed:7.1f} frames/s stored   {per:7.2f} ms processor time per frame")
    return per


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=10.0, help="seconds per route (default 10)")
    ap.add_argument("--fps", type=int, default=15, help="source frame rate (default 15)")
    args = ap.parse_args()

    redis_server = RedisServer().start()
    broker = Mosquitto().start()
    os.environ["KESTRIX_REDIS_URL"] = f"redis://127.0.0.1:{redis_server.port}/0"
    os.environ["KESTRIX_MQTT_URL"] = f"mqtt://127.0.0.1:{broker.port}"
    client = redis.Redis(port=redis_server.port)
    try:
        rtsp = RtspServer(1920, 1080, args.fps).start()
        try:
            print(f"1080p H.264 over RTSP at {args.fps} fps, {args.seconds:g} s per route")
            kit_stored, kit_elapsed, kit_cpu, _ = kit_node(rtsp.url, args.seconds)
            kit = row("kit node", kit_stored, kit_elapsed, kit_cpu)
            plain = row("plain loop", *plain_loop(rtsp.url, client, args.seconds))
            floor = row("floor", *plain_loop(rtsp.url, None, args.seconds))
            print(f"  processor time: plain loop / kit node = {plain / kit:.2f}x, "
                  f"kit node / floor = {kit / floor:.2f}x")
        finally:
            rtsp.close()

        print(f"1080p Motion-JPEG over HTTP at {args.fps} fps, {args.seconds:g} s per route")
        mjpeg = MjpegServer(fps=args.fps, width=1920, height=1080)
        try:
            stored, elapsed, used, passthrough = kit_node(mjpeg.url, args.seconds)
            assert passthrough
            through = row("pass-through", stored, elapsed, used)
        finally:
            mjpeg.close()
        mjpeg = MjpegServer(fps=args.fps, width=1920, height=1080)
        try:
            decoding = row("decoding", *plain_loop(mjpeg.url, client, args.seconds))
        finally:
            mjpeg.close()
        print(f"  processor time: decoding / pass-through = {decoding / through:.1f}x")
    finally:
        broker.close()
        redis_server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
