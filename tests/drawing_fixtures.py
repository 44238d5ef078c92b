"""Helpers for the drawing tests: frames, the plain overlay route, recording fakes."""

from __future__ import annotations

import cv2
import numpy as np
from PIL import Image, ImageDraw


def noise_frame(height: int, width: int, seed: int = 0) -> np.ndarray:
    return np.random.default_rng(seed).integers(0, 256, (height, width, 3), dtype=np.uint8)


def frame_views(frame: np.ndarray) -> dict[str, np.ndarray]:
    """Views of one picture in the memory layouts a caller may hand over."""
    wide = np.zeros((frame.shape[0], frame.shape[1] * 2, 3), np.uint8)
    wide[:, ::2] = frame
    return {
        "contiguous": frame,
        "rows flipped": np.ascontiguousarray(frame[::-1])[::-1],
        "every other column": wide[:, ::2],
        "channels reversed view": np.ascontiguousarray(frame[..., ::-1])[..., ::-1],
        "fortran order": np.asfortranarray(frame),
        "read-only": _read_only(frame),
    }


def _read_only(frame: np.ndarray) -> np.ndarray:
    view = frame.copy()
    view.flags.writeable = False
    return view


def plain_route(img: np.ndarray, draw_into) -> np.ndarray:
    """Overlay drawing the plain way: copy, BGR->RGBA base, transparent white overlay drawn by
    `draw_into(draw)`, Image.alpha_composite, RGBA->BGR."""
    base = Image.fromarray(cv2.cvtColor(np.ascontiguousarray(img).copy(), cv2.COLOR_BGR2RGBA), "RGBA")
    overlay = Image.new("RGBA", base.size, (255, 255, 255, 0))
    draw_into(ImageDraw.Draw(overlay, "RGBA"))
    return cv2.cvtColor(np.asarray(Image.alpha_composite(base, overlay)), cv2.COLOR_RGBA2BGR)


def max_diff(a: np.ndarray, b: np.ndarray) -> int:
    assert a.shape == b.shape and a.dtype == b.dtype == np.uint8
    return int(np.abs(a.astype(np.int16) - b.astype(np.int16)).max())


class RecordingDraw:
    """A drawing context that records its calls; `im.size` is the canvas size."""

    class _Im:
        def __init__(self, size):
            self.size = size

    def __init__(self, size=(640, 480)):
        self.im = self._Im(size)
        self.calls: list[tuple[str, tuple, dict]] = []

    def __getattr__(self, name):
        def record(*args, **kwargs):
            self.calls.append((name, args, kwargs))

        return record


class RecordingCaptions:
    """Stands in for a CaptionsDraw over a RecordingDraw: each draw_texts call (keywords only,
    as the drawing modules pass them) joins the context's own call list; returns the context."""

    def draw_texts(self, **kwargs):
        draw = kwargs["draw"]
        draw.calls.append(("draw_texts", (), kwargs))
        return draw


def split_overlays():
    """Context in which Pillow stores every new image in several memory blocks (as it does for
    large frames), so the overlay's pixels cannot be read in place."""
    import contextlib

    from PIL import Image as _Image

    @contextlib.contextmanager
    def ctx():
        size = _Image.core.get_block_size()
        _Image.core.set_block_size(4096)
        try:
            yield
        finally:
            _Image.core.set_block_size(size)

    return ctx()
