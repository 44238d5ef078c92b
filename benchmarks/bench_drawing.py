"""Per-frame cost of detection and region drawing: the kit against the plain overlay route.

A 1920x1080 frame with 20 detections (boxes with label and score captions) and, separately, 4
named regions. The baseline is the plain route written in Python in the same process: copy the
frame, cvtColor BGR->RGBA, Image.fromarray, a transparent white overlay from Image.new drawn
through ImageDraw.Draw with the same drawing calls (the kit's palette and caption drawer),
Image.alpha_composite, back to an array and cvtColor RGBA->BGR. The kit draws the same overlay
and blends it natively. Both results are compared (largest difference per channel).

    PYTHONPATH=src python benchmarks/bench_drawing.py [--frames N] [--rounds N] [--profile]

Exits with status 1 when the kit is less than 4 times faster or the frames differ by more than
1 in any channel.
"""

import argparse
import statistics
import time

import cv2
import numpy as np
from PIL import Image, ImageDraw

from kestrix_sdk.constants import KEY
from kestrix_sdk.visualize import palette
from kestrix_sdk.visualize.boxes import BoxesDraw
from kestrix_sdk.visualize.zones import VizPolygonDraw

WIDTH, HEIGHT = 1920, 1080
LABELS = ["person", "car", "bicycle", "dog", "truck"]


def make_frame():
    rng = np.random.default_rng(2024)
    # A smooth picture with some noise, like a camera frame (the content does not change the work).
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH]
    base = np.stack([(x * 255 // WIDTH), (y * 255 // HEIGHT), ((x + y) * 255 // (WIDTH + HEIGHT))], axis=2)
    return np.clip(base + rng.integers(-20, 20, base.shape), 0, 255).astype(np.uint8)


def make_detections():
    rng = np.random.default_rng(7)
    dets = []
    for i in range(20):
        w, h = rng.uniform(0.04, 0.2), rng.uniform(0.08, 0.35)
        dets.append({
            KEY.TLWH: (float(rng.uniform(0, 1 - w)), float(rng.uniform(0.03, 1 - h)), float(w), float(h)),
            KEY.CLASS_ID: i % len(LABELS),
            KEY.LABEL: LABELS[i % len(LABELS)],
            KEY.SCORE: float(rng.uniform(0.3, 1.0)),
        })
    return dets


def make_regions():
    return [
        {"polygon": np.array([[0.05, 0.1], [0.4, 0.08], [0.45, 0.5], [0.1, 0.55]]), "roi_name": "entrance"},
        {"polygon": np.array([[1100, 100], [1800, 150], [1700, 600], [1200, 500]]), "roi_name": "parking"},
        {"polygon": np.array([[0.2, 0.6], [0.5, 0.65], [0.45, 0.95], [0.15, 0.9]]), "roi_name": "crossing"},
        {"polygon": np.array([[1000, 650], [1850, 700], [1600, 1050], [1050, 1000], [950, 800]]),
         "roi_name": "loading bay"},
    ]


# ---------------------------------------------------------------------------------------------
# The plain route, in Python


def plain_overlay_route(img, draw_into, parts=None):
    clock = time.process_time
    t0 = clock()
    base = Image.fromarray(cv2.cvtColor(img.copy(), cv2.COLOR_BGR2RGBA), "RGBA")
    t1 = clock()
    overlay = Image.new("RGBA", base.size, (255, 255, 255, 0))
    draw = ImageDraw.Draw(overlay, "RGBA")
    t2 = clock()
    draw_into(draw)
    t3 = clock()
    blended = Image.alpha_composite(base, overlay)
    t4 = clock()
    out = cv2.cvtColor(np.asarray(blended), cv2.COLOR_RGBA2BGR)
    t5 = clock()
    if parts is not None:
        for name, dt in (("copy + BGR2RGBA + fromarray", t1 - t0), ("overlay creation", t2 - t1),
                         ("drawing", t3 - t2), ("alpha_composite", t4 - t3),
                         ("asarray + RGBA2BGR", t5 - t4)):
            parts.setdefault(name, []).append(dt)
    return out


def plain_detections(drawer, img, detections, parts=None):
    def draw_into(draw):
        width, height = draw.im.size
        for rec in detections:
            x, y, w, h = rec[KEY.TLWH]
            if w < 1.0:
                x, y, w, h = x * width, y * height, w * width, h * height
            x, y, w, h = int(x), int(y), int(w), int(h)
            color = drawer.bbox_color
            if color is None:
                color = palette.get_rgba_color_with_palette_id(palette_id=rec.get(KEY.CLASS_ID, 0))
            draw.rectangle(xy=[(x, y), (x + w, y + h)], fill=None, outline=color, width=drawer.bbox_thickness)
            text = str(rec.get(KEY.LABEL, "")) + " " + format(float(rec[KEY.SCORE]), ".2f")
            drawer.label_drawer.draw_texts(draw=draw, pos=(x, y), text=text, fill_rectangle=True,
                                           fill_rectangle_color=color)

    return plain_overlay_route(img, draw_into, parts)


def plain_regions(drawer, img, rois, parts=None):
    def draw_into(draw):
        height, width = img.shape[:2]
        for roi in rois:
            p = roi["polygon"]
            if p.max() < 1.0:
                p = p * np.array([width, height])
            cx, cy = p.mean(axis=0)
            drawer._draw_polygon_(draw=draw, polygon=[int(v) for v in p.flatten()],
                                  outline_color=drawer.default_outline_color, fill=True,
                                  fill_color=drawer.default_roi_color)
            if drawer.show_label:
                drawer.label_drawer.draw_texts(draw=draw, pos=(int(cx), int(cy)), large_padding=True,
                                               text=roi.get("roi_name", ""), show_shadow=True,
                                               fill_rectangle=False)

    return plain_overlay_route(img, draw_into, parts)


# ---------------------------------------------------------------------------------------------


def compare(name, kit_call, plain_call, frames, rounds):
    """Interleaved rounds of each side. The ratio is taken on the processor time the process
    spends per frame (time.process_time), which a busy machine disturbs far less than the
    wall clock; both are shown (medians over the rounds)."""
    cpu = {"kit": [], "plain": []}
    wall = {"kit": [], "plain": []}
    for _ in range(rounds):
        for side, call in (("kit", kit_call), ("plain", plain_call)):
            w0, c0 = time.perf_counter(), time.process_time()
            for _ in range(frames):
                call()
            c1, w1 = time.process_time(), time.perf_counter()
            cpu[side].append((c1 - c0) / frames)
            wall[side].append((w1 - w0) / frames)
    kit_out, plain_out = kit_call(), plain_call()
    diff = int(np.abs(kit_out.astype(np.int16) - plain_out.astype(np.int16)).max())
    med = {side: (statistics.median(cpu[side]), statistics.median(wall[side])) for side in cpu}
    ratio = med["plain"][0] / med["kit"][0]
    ms = 1000.0
    print(name)
    for side, label in (("kit", "kit        "), ("plain", "plain route")):
        print(f"  {label}  {med[side][0] * ms:7.2f} ms/frame processor time  ({med[side][1] * ms:6.2f} wall)")
    print(f"  speed-up     {ratio:5.1f} x (wall {med['plain'][1] / med['kit'][1]:4.1f} x)"
          f"   largest channel difference {diff}")
    return ratio, diff


def profile(name, kit_call, kit_drawing, plain_parts, frames):
    """Medians per frame of the plain route's steps and of the kit's: overlay creation, the
    drawing calls (the same in both) and, by difference, the kit's native blend."""
    ms = 1000.0
    parts = {}
    for _ in range(frames):
        plain_parts(parts)
    print(f"{name}: where the processor time goes (median per frame)")
    print("  plain route")
    for part, times in parts.items():
        print(f"    {part:32s} {statistics.median(times) * ms:7.2f} ms")
    create, drawing, whole = [], [], []
    for _ in range(frames):
        t0 = time.process_time()
        overlay = Image.new("RGBA", (WIDTH, HEIGHT), (255, 255, 255, 0))
        draw = ImageDraw.Draw(overlay, "RGBA")
        t1 = time.process_time()
        kit_drawing(draw)
        t2 = time.process_time()
        kit_call()
        t3 = time.process_time()
        create.append(t1 - t0)
        drawing.append(t2 - t1)
        whole.append(t3 - t2)
    c, d, w = (statistics.median(x) * ms for x in (create, drawing, whole))
    print("  kit")
    print(f"    {'overlay creation':32s} {c:7.2f} ms")
    print(f"    {'drawing':32s} {d:7.2f} ms")
    print(f"    {'blend and the rest (difference)':32s} {w - c - d:7.2f} ms")
    print(f"    {'whole call':32s} {w:7.2f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=10, help="frames per round and side")
    parser.add_argument("--rounds", type=int, default=7, help="interleaved rounds")
    parser.add_argument("--profile", action="store_true", help="also show where the time goes")
    args = parser.parse_args()

    frame = make_frame()
    detections = make_detections()
    regions = make_regions()
    boxes = BoxesDraw(None, 2, (255, 255, 255), 15)
    zones = VizPolygonDraw(show_label=True)

    # warm-up (font caches, first allocations)
    boxes.draw_detections(frame, detections)
    zones.draw_polygon_rois(frame, regions)

    print(f"frame {WIDTH}x{HEIGHT}, {args.rounds} rounds of {args.frames} frames per side")
    r1, d1 = compare("20 detections with label and score captions",
                     lambda: boxes.draw_detections(frame, detections),
                     lambda: plain_detections(boxes, frame, detections), args.frames, args.rounds)
    r2, d2 = compare("4 named regions",
                     lambda: zones.draw_polygon_rois(frame, regions),
                     lambda: plain_regions(zones, frame, regions), args.frames, args.rounds)
    if args.profile:
        def draw_regions(draw):
            for roi in regions:
                p = roi["polygon"]
                if p.max() < 1.0:
                    p = p * np.array([WIDTH, HEIGHT])
                cx, cy = p.mean(axis=0)
                zones._draw_polygon_(draw=draw, polygon=[int(v) for v in p.flatten()])
                zones.label_drawer.draw_texts(draw=draw, pos=(int(cx), int(cy)), large_padding=True,
                                              text=roi["roi_name"], show_shadow=True, fill_rectangle=False)

        profile("detections", lambda: boxes.draw_detections(frame, detections),
                lambda draw: boxes._draw_objs_(draw=draw, objs=detections),
                lambda parts: plain_detections(boxes, frame, detections, parts), args.frames * 3)
        profile("regions", lambda: zones.draw_polygon_rois(frame, regions), draw_regions,
                lambda parts: plain_regions(zones, frame, regions, parts), args.frames * 3)
    ok = min(r1, r2) >= 4.0 and max(d1, d2) <= 1
    print(f"target (>= 4x faster, same frame within 1 per channel): {'met' if ok else 'NOT met'}")
    raise SystemExit(0 if ok else 1)


if __name__ == "__main__":
    main()
