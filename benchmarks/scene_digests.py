"""Draws one fixed scene with the installed kit (boxes with captions, zones with labels, a
caption with box and shadow, a far-away caption) and prints a sha256 per drawing, one
"name digest" line each. scripts/ci-wheels.sh runs it with the x86-64 wheel and, under qemu,
with the aarch64 wheel, and compares the two outputs: the same Pillow and text layout on both
sides must give the same pixels.

    python benchmarks/scene_digests.py
"""

from __future__ import annotations

import hashlib

import numpy as np
from PIL import Image, ImageDraw

from kestrix_sdk.constants import KEY
from kestrix_sdk.visualize.boxes import BoxesDraw
from kestrix_sdk.visualize.captions import CaptionsDraw
from kestrix_sdk.visualize.zones import VizPolygonDraw


def frame() -> np.ndarray:
    # A deterministic pattern, not a random generator's: the same on every NumPy.
    y, x = np.mgrid[0:240, 0:320]
    return np.stack([(x * 3) % 256, (y * 5) % 256, (x + y) % 256], axis=-1).astype(np.uint8)


def digest(a) -> str:
    return hashlib.sha256(np.ascontiguousarray(np.asarray(a)).tobytes()).hexdigest()


def main() -> None:
    detections = [
        {KEY.TLWH: (0.1, 0.2, 0.5, 0.25), KEY.CLASS_ID: 2, KEY.LABEL: "person", KEY.SCORE: 0.876},
        {KEY.TLWH: (5, 60, 40, 30), KEY.CLASS_ID: 7, KEY.LABEL: "car", KEY.SCORE: "0.125"},
        {KEY.TLWH: (150, 10, 20.9, 20.9), KEY.LABEL: "dog", KEY.SCORE: 1},
        {KEY.TLWH: (0.6, 0.05, 0.3, 0.9), KEY.CLASS_ID: 300, KEY.LABEL: 42, KEY.SCORE: 0.33},
    ]
    print("boxes", digest(BoxesDraw(None, 3, (255, 255, 255), 12).draw_detections(frame(), detections)))
    print("boxes-one-colour", digest(BoxesDraw((0, 200, 0), 1, (0, 0, 0), 20).draw_detections(frame(), detections)))
    rois = [{"polygon": np.array([[0.1, 0.1], [0.5, 0.1], [0.5, 0.5]]), "roi_name": "gate"},
            {"polygon": np.array([[0.6, 0.6], [0.9, 0.65], [0.8, 0.95], [0.55, 0.9]])}]
    print("zones", digest(VizPolygonDraw(show_label=True).draw_polygon_rois(frame(), rois)))
    captions = CaptionsDraw()
    for name, pos in [("caption", (20, 60)), ("caption-far", (2**62, 10)), ("caption-edge", (-8, 5))]:
        canvas = Image.new("RGBA", (160, 80), (255, 255, 255, 0))
        captions.draw_texts(ImageDraw.Draw(canvas), "Kx 42\nzone", pos=pos, fill_rectangle=True,
                            fill_rectangle_color=(0, 0, 255, 200), show_shadow=True)
        print(name, digest(canvas))


if __name__ == "__main__":
    main()
