"""A node's whole loop at 1920x1080, frames per second: get_frame, 4 named regions, 20 labelled
detections, write_frame, against the JPEG codec alone (cv2.imdecode + cv2.imencode of the same
frame), which no node loop can beat, and the loop without drawing.

    PYTHONPATH=src python benchmarks/bench_node_loop.py [--rounds 9] [--frames 10]

It starts its own redis-server (the Debian package) on a free loopback port. The loop runs on one
core: OpenCV is held to one thread (cv2.setNumThreads(1)). Each line is the median over the rounds
of the processor time per frame of this process, as frames per second, with the wall-clock time
beside it (on a machine shared with other work the wall clock mostly measures the waiting).
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import cv2
import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "benchmarks"))
from bench_drawing import make_detections, make_regions  # noqa: E402
from bench_vault_frames import camera_like  # noqa: E402
from servers import RedisServer  # noqa: E402

from kestrix_sdk.redis.vault import VaultClient  # noqa: E402
from kestrix_sdk.visualize.boxes import BoxesDraw  # noqa: E402
from kestrix_sdk.visualize.zones import VizPolygonDraw  # noqa: E402


def per_frame(fn, frames):
    w0, c0 = time.perf_counter(), time.process_time()
    for _ in range(frames):
        fn()
    return (time.perf_counter() - w0) / frames, (time.process_time() - c0) / frames


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=9, help="rounds (median taken)")
    parser.add_argument("--frames", type=int, default=10, help="frames per loop and round")
    args = parser.parse_args()

    cv2.setNumThreads(1)
    img = camera_like(1920, 1080)
    regions, detections = make_regions(), make_detections(20)
    zones = VizPolygonDraw(show_label=True)
    boxes = BoxesDraw(None, 2, (255, 255, 255), 15)
    _, jpeg = cv2.imencode(".jpg", img)

    server = RedisServer().start()
    try:
        vault = VaultClient(False, "127.0.0.1", server.port)
        assert vault.write_frame(img, "bench_in")

        def node():
            frame = vault.get_frame("bench_in")
            frame = zones.draw_polygon_rois(frame, regions)
            frame = boxes.draw_detections(frame, detections)
            vault.write_frame(frame, "bench_out")

        def node_without_drawing():
            vault.write_frame(vault.get_frame("bench_in"), "bench_out")

        def codec():
            cv2.imencode(".jpg", cv2.imdecode(jpeg, -1))

        def drawing_only():
            boxes.draw_detections(zones.draw_polygon_rois(img, regions), detections)

        loops = {"JPEG codec alone": codec, "node loop without drawing": node_without_drawing,
                 "node loop": node, "drawing alone": drawing_only}
        for fn in loops.values():  # warm-up: fonts, caption and polygon caches
            fn()
        times = {name: [] for name in loops}
        for r in range(args.rounds):
            for name in (list(loops) if r % 2 == 0 else list(reversed(loops))):
                times[name].append(per_frame(loops[name], args.frames))
        print(f"1920x1080, median of {args.rounds} rounds of {args.frames} frames per loop")
        med = {}
        for name, samples in times.items():
            wall = statistics.median(s[0] for s in samples)
            cpu = statistics.median(s[1] for s in samples)
            med[name] = cpu
            print(f"  {name:26s} {1 / cpu:6.1f} fps   {cpu * 1e3:6.2f} ms/frame processor   {wall * 1e3:6.2f} ms wall")
        print(f"node loop / codec alone: {med['JPEG codec alone'] / med['node loop']:.2f} of the codec's rate; "
              f"the kit adds {(med['node loop'] - med['JPEG codec alone']) * 1e3:.2f} ms above the codec")
        print(f"target 50 fps: {'met' if med['node loop'] <= 0.02 else 'not met'}"
              f" (the codec alone runs at {1 / med['JPEG codec alone']:.1f} fps here)")
    finally:
        server.stop()


if __name__ == "__main__":
    main()
