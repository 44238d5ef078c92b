"""Per-frame cost of detection and region drawing at 1920x1080: the kit against the plain routes
and two peers, in one process.

Routes (each leaves the input frame unchanged and returns a new one):
  kit              BoxesDraw.draw_detections / VizPolygonDraw.draw_polygon_rois
  opencv           the plain OpenCV route: a frame copy, cv2.rectangle and Hershey cv2.putText on a
                   filled label box; for regions one copy, cv2.fillPoly, one cv2.addWeighted blend
  overlay          the plain overlay route the tests use: copy, BGR->RGBA, a transparent white
                   whole-frame overlay drawn through ImageDraw with the kit's own drawing calls,
                   Image.alpha_composite, RGBA->BGR (the kit's output must equal it)
  sv box+label     supervision BoxAnnotator + LabelAnnotator on a copy (OpenCV text)
  sv box+rich      supervision BoxAnnotator + RichLabelAnnotator with the kit's font (TrueType text)

supervision is a peer for comparison only: install it in the benchmark's own environment, never
in the kit's (the peers are skipped when it is missing):

    python -m venv /tmp/bench-venv && /tmp/bench-venv/bin/pip install supervision opencv-python-headless pillow numpy
    PYTHONPATH=src /tmp/bench-venv/bin/python benchmarks/bench_drawing.py [--frames N] [--rounds N]

Times are medians over interleaved rounds of the processor time per frame (time.process_time),
which a busy machine disturbs less than the wall clock. Each line gives the route's time and its
ratio to the kit (above 1: the kit is faster). The largest channel difference between the kit
and the overlay route is printed; the exit status is 1 when it exceeds 1.
"""

import argparse
import statistics
import time

import cv2
import numpy as np
from PIL import Image, ImageDraw

from kestrix_sdk.constants import FONTS_DIR, KEY
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


def make_detections(count=20):
    rng = np.random.default_rng(7)
    dets = []
    for i in range(count):
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


# ---------------------------------------------------------------------------------------------
# The plain OpenCV route and the supervision peers


def pixel_box(rec):
    x, y, w, h = rec[KEY.TLWH]
    if w < 1.0:
        x, y, w, h = x * WIDTH, y * HEIGHT, w * WIDTH, h * HEIGHT
    return int(x), int(y), int(w), int(h)


def caption(rec):
    return str(rec.get(KEY.LABEL, "")) + " " + format(float(rec[KEY.SCORE]), ".2f")


def bgr(rgba):
    return (int(rgba[2]), int(rgba[1]), int(rgba[0]))


def opencv_detections(img, detections):
    out = img.copy()
    font = cv2.FONT_HERSHEY_SIMPLEX
    for rec in detections:
        x, y, w, h = pixel_box(rec)
        color = bgr(palette.get_rgba_color_with_palette_id(palette_id=rec.get(KEY.CLASS_ID, 0)))
        cv2.rectangle(out, (x, y), (x + w, y + h), color, 2)
        text = caption(rec)
        (tw, th), _ = cv2.getTextSize(text, font, 0.5, 1)
        cv2.rectangle(out, (x, y - th - 6), (x + tw + 6, y), color, -1)
        cv2.putText(out, text, (x + 3, y - 4), font, 0.5, (255, 255, 255), 1, cv2.LINE_AA)
    return out


def region_pixels(roi):
    p = roi["polygon"]
    if p.max() < 1.0:
        p = p * np.array([WIDTH, HEIGHT])
    return p


def opencv_regions(img, rois, color=(113, 150, 255), alpha=0.4):
    fill = img.copy()
    centres = []
    for roi in rois:
        p = region_pixels(roi)
        pts = p.astype(np.int32).reshape(-1, 1, 2)
        cv2.fillPoly(fill, [pts], color)
        cv2.polylines(fill, [pts], True, color, 1)
        centres.append((int(p[:, 0].mean()), int(p[:, 1].mean()), roi.get("roi_name", "")))
    out = cv2.addWeighted(fill, alpha, img, 1 - alpha, 0)
    for cx, cy, name in centres:
        cv2.putText(out, name, (cx + 1, cy - 5), cv2.FONT_HERSHEY_SIMPLEX, 0.7, (0, 0, 0), 1, cv2.LINE_AA)
        cv2.putText(out, name, (cx, cy - 6), cv2.FONT_HERSHEY_SIMPLEX, 0.7, (255, 255, 255), 1, cv2.LINE_AA)
    return out


def supervision_peers(detections):
    """(name, call) for each supervision peer, or [] when supervision is not installed."""
    try:
        import supervision as sv
    except ImportError:
        return []
    boxes = np.array([[x, y, x + w, y + h] for x, y, w, h in map(pixel_box, detections)], dtype=float)
    dets = sv.Detections(xyxy=boxes, class_id=np.array([r.get(KEY.CLASS_ID, 0) for r in detections]),
                         confidence=np.array([float(r[KEY.SCORE]) for r in detections]))
    labels = [caption(r) for r in detections]
    box = sv.BoxAnnotator(thickness=2)
    label = sv.LabelAnnotator(text_padding=3)
    font = str(FONTS_DIR) + "/DejaVuSans.ttf"
    rich = sv.RichLabelAnnotator(font_path=font, font_size=15, text_padding=3)

    def box_label(img):
        return label.annotate(box.annotate(img.copy(), dets), dets, labels)

    def box_rich(img):
        return rich.annotate(box.annotate(img.copy(), dets), dets, labels)

    return [("sv box+label", box_label), ("sv box+rich", box_rich)]


# ---------------------------------------------------------------------------------------------


def measure(routes, frames, rounds):
    """Median processor time per frame of each route, rounds interleaved."""
    times = {name: [] for name, _ in routes}
    for _ in range(rounds):
        for name, call in routes:
            t0 = time.process_time()
            for _ in range(frames):
                call()
            times[name].append((time.process_time() - t0) / frames)
    return {name: statistics.median(t) for name, t in times.items()}


def report(title, routes, frames, rounds, kit_out, overlay_out):
    med = measure(routes, frames, rounds)
    diff = int(np.abs(kit_out.astype(np.int16) - overlay_out.astype(np.int16)).max())
    print(title)
    kit = med["kit"]
    for name, t in med.items():
        ratio = "" if name == "kit" else f"   {t / kit:5.2f} x the kit"
        print(f"  {name:14s} {t * 1000:7.2f} ms/frame{ratio}")
    print(f"  largest channel difference kit vs overlay route: {diff}")
    return med, diff


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=10, help="frames per round and route")
    parser.add_argument("--rounds", type=int, default=9, help="interleaved rounds")
    args = parser.parse_args()

    frame = make_frame()
    regions = make_regions()
    boxes = BoxesDraw(None, 2, (255, 255, 255), 15)
    zones = VizPolygonDraw(show_label=True)
    print(f"frame {WIDTH}x{HEIGHT}, {args.rounds} rounds of {args.frames} frames per route")
    worst = 0
    results = {}
    for count in (20, 100):
        dets = make_detections(count)
        routes = [("kit", lambda: boxes.draw_detections(frame, dets)),
                  ("opencv", lambda: opencv_detections(frame, dets)),
                  ("overlay", lambda: plain_detections(boxes, frame, dets))]
        routes += [(name, lambda call=call: call(frame)) for name, call in supervision_peers(dets)]
        boxes.draw_detections(frame, dets)  # warm-up: fonts, caption cache
        med, diff = report(f"{count} detections with label and score captions", routes, args.frames,
                           args.rounds, boxes.draw_detections(frame, dets), plain_detections(boxes, frame, dets))
        results[count] = med
        worst = max(worst, diff)
    zones.draw_polygon_rois(frame, regions)
    routes = [("kit", lambda: zones.draw_polygon_rois(frame, regions)),
              ("opencv", lambda: opencv_regions(frame, regions)),
              ("overlay", lambda: plain_regions(zones, frame, regions))]
    med, diff = report("4 named translucent regions", routes, args.frames, args.rounds,
                       zones.draw_polygon_rois(frame, regions), plain_regions(zones, frame, regions))
    results["regions"] = med
    worst = max(worst, diff)
    print("targets: kit at or under the plain OpenCV route; 20 detections <= 1.2 ms, 100 <= 4.5 ms,"
          " 4 regions <= 1.2 ms (this machine, this run)")
    for key, limit in ((20, 1.2), (100, 4.5), ("regions", 1.2)):
        kit, cv = results[key]["kit"] * 1000, results[key]["opencv"] * 1000
        print(f"  {str(key):8s} kit {kit:5.2f} ms, opencv {cv:5.2f} ms, kit/opencv {kit / cv:4.2f}:"
              f" {'met' if kit <= limit and kit <= cv else 'not met'}")
    print(f"largest channel difference: {worst} ({'same frames' if worst <= 1 else 'FRAMES DIFFER'})")
    raise SystemExit(0 if worst <= 1 else 1)


if __name__ == "__main__":
    main()
