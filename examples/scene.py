"""The demo camera's synthetic scene: a street seen from above, with people, cars and bicycles
moving across it.

Everything is computed from the frame index, so any frame can be rendered again exactly (the
demo test does that to compare the annotated frames with the originals). Every frame carries its
index as a row of black and white 8 x 8 blocks along its bottom edge (the "frame stamp"), which
survives JPEG compression and lets a consumer tell which frame it read from Redis.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import cv2
import numpy as np

from kestrix_sdk.constants import KEY

WIDTH = 640
HEIGHT = 480

STAMP_BLOCK = 8
STAMP_BITS = 20
# The stamp: a start pattern (white, black), the frame index in STAMP_BITS bits (most significant
# first) and a parity bit.
_STAMP_START = (1, 0)

# Named regions of the scene (the crossing and the parking lot), relative to the frame size, as
# region records for VizPolygonDraw.
REGIONS = [
    {"roi_name": "crossing", "polygon": np.array([[0.40, 0.30], [0.55, 0.30], [0.55, 0.66], [0.40, 0.66]])},
    {"roi_name": "parking", "polygon": np.array([[0.62, 0.72], [0.95, 0.72], [0.95, 0.95], [0.62, 0.95]])},
]

# Classes as the detector of this scene reports them: class id and label.
CLASSES = {"person": 0, "car": 2, "bicycle": 1}


@dataclass(frozen=True)
class Mover:
    label: str
    size: tuple[int, int]           # width, height in pixels
    colour: tuple[int, int, int]    # blue, green, red
    start: tuple[float, float]      # top-left corner at frame 0, as fractions of the free area
    velocity: tuple[float, float]   # pixels per frame
    score: float


MOVERS = (
    Mover("car", (96, 48), (40, 60, 200), (0.05, 0.32), (4.0, 0.0), 0.94),
    Mover("car", (88, 44), (180, 140, 30), (0.85, 0.52), (-3.2, 0.0), 0.88),
    Mover("person", (26, 58), (30, 180, 240), (0.35, 0.05), (0.6, 2.1), 0.91),
    Mover("person", (24, 54), (200, 90, 200), (0.70, 0.75), (-1.1, -1.7), 0.76),
    Mover("bicycle", (50, 34), (60, 200, 60), (0.15, 0.80), (2.6, -0.9), 0.67),
)


def _bounce(start: float, velocity: float, span: int, index: int) -> int:
    """Position at frame `index` of a point moving at `velocity` inside [0, span], reflected at
    both ends."""
    if span <= 0:
        return 0
    pos = (start * span + velocity * index) % (2 * span)
    return int(pos if pos <= span else 2 * span - pos)


def objects_at(index: int, width: int = WIDTH, height: int = HEIGHT) -> list[dict]:
    """The detections of frame `index`: one record per object, box in pixels (left, top, width,
    height), fully inside the picture and above the frame stamp."""
    objects = []
    for m in MOVERS:
        w, h = m.size
        x = _bounce(m.start[0], m.velocity[0], width - w - 1, index)
        y = _bounce(m.start[1], m.velocity[1], stamp_top(height) - h - 1, index)
        objects.append({
            KEY.TLWH: [x, y, w, h],
            KEY.CLASS_ID: CLASSES[m.label],
            KEY.LABEL: m.label,
            KEY.SCORE: m.score,
        })
    return objects


def _background(width: int, height: int) -> np.ndarray:
    img = np.zeros((height, width, 3), np.uint8)
    ys = np.linspace(0.0, 1.0, height)[:, None]
    xs = np.linspace(0.0, 1.0, width)[None, :]
    img[..., 0] = (70 + 30 * ys + 10 * xs).astype(np.uint8)
    img[..., 1] = (75 + 25 * ys).astype(np.uint8)
    img[..., 2] = (72 + 20 * xs).astype(np.uint8)
    # Road with lane markings, a pavement and two buildings' roofs.
    road_top, road_bottom = int(height * 0.30), int(height * 0.66)
    img[road_top:road_bottom] = (58, 58, 62)
    for x in range(0, width, 60):
        cv2.rectangle(img, (x, (road_top + road_bottom) // 2 - 2), (x + 30, (road_top + road_bottom) // 2 + 2),
                      (200, 200, 200), -1)
    cv2.rectangle(img, (int(width * 0.05), 0), (int(width * 0.30), int(height * 0.22)), (90, 100, 120), -1)
    cv2.rectangle(img, (int(width * 0.62), int(height * 0.72)), (int(width * 0.95), height - 20),
                  (110, 96, 84), -1)
    return img


_BACKGROUNDS: dict[tuple[int, int], np.ndarray] = {}


def _draw_mover(img: np.ndarray, m: Mover, box: list[int]) -> None:
    x, y, w, h = box
    if m.label == "car":
        cv2.rectangle(img, (x, y), (x + w - 1, y + h - 1), m.colour, -1)
        cv2.rectangle(img, (x + w // 4, y + 6), (x + 3 * w // 4, y + h - 7), (40, 40, 40), -1)
    elif m.label == "person":
        r = w // 2
        cv2.circle(img, (x + r, y + r), r - 1, (150, 190, 230), -1)
        cv2.rectangle(img, (x, y + 2 * r - 2), (x + w - 1, y + h - 1), m.colour, -1)
    else:
        cv2.rectangle(img, (x, y + h // 3), (x + w - 1, y + 2 * h // 3), m.colour, -1)
        cv2.circle(img, (x + h // 3, y + h // 2), h // 3, m.colour, 3)
        cv2.circle(img, (x + w - h // 3, y + h // 2), h // 3, m.colour, 3)


def stamp_top(height: int) -> int:
    """First row of the frame stamp (aligned to the 8 x 8 blocks of JPEG)."""
    return height - STAMP_BLOCK - height % STAMP_BLOCK


def write_stamp(img: np.ndarray, index: int) -> None:
    bits = list(_STAMP_START) + [(index >> (STAMP_BITS - 1 - i)) & 1 for i in range(STAMP_BITS)]
    bits.append(sum(bits[2:]) % 2)
    top = stamp_top(img.shape[0])
    img[top:] = 0
    for i, bit in enumerate(bits):
        img[top:top + STAMP_BLOCK, i * STAMP_BLOCK:(i + 1) * STAMP_BLOCK] = 255 if bit else 0


def read_stamp(img: np.ndarray) -> int | None:
    """The frame index stamped into `img`, or None when it carries no readable stamp."""
    n = len(_STAMP_START) + STAMP_BITS + 1
    top = stamp_top(img.shape[0])
    if top < 0 or img.shape[1] < n * STAMP_BLOCK:
        return None
    values = []
    for i in range(n):
        block = img[top + 2:top + STAMP_BLOCK - 2, i * STAMP_BLOCK + 2:(i + 1) * STAMP_BLOCK - 2]
        values.append(1 if block.mean() >= 128 else 0)
    if tuple(values[:2]) != _STAMP_START or sum(values[2:-1]) % 2 != values[-1]:
        return None
    index = 0
    for bit in values[2:-1]:
        index = (index << 1) | bit
    return index


def render(index: int, fps: float = 15.0, width: int = WIDTH, height: int = HEIGHT) -> np.ndarray:
    """Frame `index` of the scene: an 8-bit blue-green-red image of height x width x 3."""
    key = (width, height)
    if key not in _BACKGROUNDS:
        _BACKGROUNDS[key] = _background(width, height)
    img = _BACKGROUNDS[key].copy()
    for m, obj in zip(MOVERS, objects_at(index, width, height)):
        _draw_mover(img, m, obj[KEY.TLWH])
    seconds = index / fps
    text = f"CAM-1  frame {index:05d}  t={int(seconds // 60):02d}:{seconds % 60:05.2f}"
    cv2.putText(img, text, (width - 330, 24), cv2.FONT_HERSHEY_SIMPLEX, 0.55, (235, 235, 235), 1,
                cv2.LINE_AA)
    # A slowly drifting light, so that consecutive frames differ everywhere a little.
    glow = int(8 + 6 * math.sin(index / 10.0))
    img[: height // 10] = np.clip(img[: height // 10].astype(np.int16) + glow, 0, 255).astype(np.uint8)
    write_stamp(img, index)
    return img
