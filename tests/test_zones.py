"""kestrix_sdk.visualize.zones: region polygons and their names blended over frames."""

from __future__ import annotations

import numpy as np
import pytest
from drawing_fixtures import (RecordingCaptions, RecordingDraw, frame_views, max_diff, noise_frame,
                              plain_route, split_overlays)

from kestrix_sdk.visualize import captions, palette, zones
from kestrix_sdk.visualize.zones import VizPolygonDraw

TRIANGLE = np.array([[0.1, 0.1], [0.5, 0.1], [0.5, 0.5]])


def blend(color, base, alpha):
    return [round((c * alpha + b * (255 - alpha)) / 255) for c, b in zip(color, base)]


def recording(**kwargs):
    """An instance whose polygons and names go to a recording context and caption drawer."""
    drawer = VizPolygonDraw(**kwargs)
    drawer.label_drawer = RecordingCaptions()
    return drawer


def record_rois(drawer, rois, size, **kwargs):
    """Runs draw_polygon_rois with _draw_polygon_ and the name drawer recorded on one list."""
    log = RecordingDraw(size)

    class Recording(type(drawer)):
        def _draw_polygon_(self, *args, **kw):
            log.calls.append(("_draw_polygon_", args, kw))
            return kw["draw"]

    rec = Recording.__new__(Recording)
    VizPolygonDraw.__init__(rec, show_label=drawer.show_label)
    rec.label_drawer = _Relay(log)
    width, height = size
    rec.draw_polygon_rois(np.zeros((height, width, 3), np.uint8), rois, **kwargs)
    return log.calls


class _Relay:
    """Caption drawer that records into `log` whatever context it is given."""

    def __init__(self, log):
        self.log = log

    def draw_texts(self, **kwargs):
        self.log.calls.append(("draw_texts", (), kwargs))
        return kwargs["draw"]


# Reference: the drawing steps written out in Python, through the plain overlay route.
def reference_rois(drawer, img, rois, fill_color=None, outline_color=None):
    fill = drawer.default_roi_color if fill_color is None else fill_color
    outline = drawer.default_outline_color if outline_color is None else outline_color

    def draw_into(draw):
        height, width = img.shape[:2]
        for roi in rois:
            p = np.asarray(roi["polygon"], dtype=float)
            if p.max() < 1.0:
                p = p * np.array([width, height])
            cx, cy = p.mean(axis=0)
            draw.polygon(xy=[int(v) for v in p.flatten()], fill=fill, outline=outline)
            if drawer.show_label:
                drawer.label_drawer.draw_texts(draw=draw, pos=(int(cx), int(cy)), large_padding=True,
                                               text=roi.get("roi_name", ""), show_shadow=True,
                                               fill_rectangle=False)

    return plain_route(img, draw_into)


SCENE = [
    {"polygon": TRIANGLE, "roi_name": "entrance"},
    {"polygon": np.array([[10, 10], [150.7, 20.2], [120, 90], [30, 80]]), "roi_name": "yard"},
    {"polygon": [[0.6, 0.6], [0.95, 0.65], [0.7, 0.95]]},
    {"polygon": np.array([[5, 50], [60, 50], [60, 95]], np.int32), "roi_name": "7"},
]


# ---------------------------------------------------------------------------------------------
# Module values and construction


def test_module_constants():
    assert zones.DEFAULT_ROI_COLOR == (255, 150, 113, 0.4)
    assert zones.DEFAULT_ROI_OUTLINE_COLOR == (70, 70, 70, 1.0)
    assert zones.DEFAULT_ROI_OUTLINE_THICKNESS == 1
    assert zones.DEFAULT_LABEL_COLOR == (255, 255, 255, 0.4)
    assert zones.DEFAULT_LABEL_SIZE == 20
    assert zones.get_rgba_color is palette.get_rgba_color
    assert zones.get_rgba_color_with_palette_id is palette.get_rgba_color_with_palette_id
    assert zones.CaptionsDraw is captions.CaptionsDraw


def test_defaults():
    drawer = VizPolygonDraw()
    assert drawer.default_roi_color == (255, 150, 113, 102)
    assert drawer.default_outline_color == (255, 150, 113, 102)
    assert drawer.show_label is False and drawer.show_roi is True
    assert isinstance(drawer.label_drawer, captions.CaptionsDraw)
    assert drawer.label_drawer.font.size == 20
    assert drawer.label_drawer.default_txt_color == (255, 255, 255, 102)


@pytest.mark.parametrize(
    "roi_color, outline",
    [((255, 150, 113, 0.4), (265, 160, 123, 102)), ((0, 1, 2, 255), (10, 11, 12, 255)),
     ([1, 2, 3, 4], (11, 12, 13, 4))],
)
def test_absent_outline_is_derived_from_the_callers_fill(roi_color, outline):
    assert VizPolygonDraw(roi_color=roi_color, outline_color=None).default_outline_color == outline


def test_derived_outline_is_drawn_limited_to_the_channel_range():
    drawer = VizPolygonDraw(outline_color=None)
    frame = np.full((20, 20, 3), 40, np.uint8)
    # Transparent fill: only the outline shows, in (255, 160, 123) at alpha 102.
    out = drawer.draw_polygon_rois(frame, [{"polygon": np.array([[2, 2], [15, 2], [15, 15], [2, 15]])}],
                                   fill_color=(0, 0, 0, 0))
    assert out[2, 8].tolist() == blend((123, 160, 255), (40, 40, 40), 102)
    assert out[8, 8].tolist() == [40, 40, 40]


@pytest.mark.parametrize("roi_color, error", [("red", TypeError), ((1, 2, 3), IndexError)])
def test_derivation_needs_four_numeric_channels(roi_color, error):
    with pytest.raises(error):
        VizPolygonDraw(roi_color=roi_color, outline_color=None)


def test_constructor_calls_in_order(monkeypatch):
    log = []
    monkeypatch.setattr(zones, "get_rgba_color", lambda c: log.append(("rgba", c)) or ("rgba", c))
    monkeypatch.setattr(zones, "CaptionsDraw", lambda **kw: log.append(("captions", kw)) or "drawer")
    drawer = VizPolygonDraw(False, (1, 2, 3, 4), None, 9, True, 33, "pink")
    assert log == [("rgba", "pink"), ("captions", {"font_size": 33, "font_color": ("rgba", "pink")}),
                   ("rgba", (1, 2, 3, 4)), ("rgba", (11, 12, 13, 4))]
    assert (drawer.show_roi, drawer.show_label, drawer.label_drawer) == (False, True, "drawer")
    assert drawer.default_roi_color == ("rgba", (1, 2, 3, 4))


def test_absent_fill_takes_the_module_default():
    drawer = VizPolygonDraw(roi_color=None, outline_color=None)
    assert drawer.default_roi_color == (255, 150, 113, 102)
    assert drawer.default_outline_color == (265, 160, 123, 102)


def test_colours_the_converter_turns_absent_draw_nothing():
    drawer = VizPolygonDraw(roi_color=(1, 2), outline_color=(1, 2, 3, 4, 5))
    assert drawer.default_roi_color is None and drawer.default_outline_color is None
    frame = noise_frame(30, 30)
    assert np.array_equal(drawer.draw_polygon_rois(frame, [{"polygon": TRIANGLE}]), frame)


# ---------------------------------------------------------------------------------------------
# Geometry and names, through recording


@pytest.mark.parametrize(
    "polygon, size, xy, pos",
    [
        (TRIANGLE, (200, 100), [20, 10, 100, 10, 100, 50], (73, 23)),
        # a coordinate of exactly 1.0 makes the whole polygon pixels
        (np.array([[0.5, 0.5], [1.0, 0.5], [1.0, 0.9]]), (200, 100), [0, 0, 1, 0, 1, 0], (0, 0)),
        # pixels: truncated vertices, name at the truncated mean of the untruncated values
        (np.array([[10.9, 10.9], [20.9, 10.9], [20.9, 20.9]]), (64, 48), [10, 10, 20, 10, 20, 20], (17, 14)),
        ([[0.2, 0.2], [0.8, 5.0], [0.5, 0.5]], (100, 100), [0, 0, 0, 5, 0, 0], (0, 1)),
    ],
)
def test_vertices_and_name_position(polygon, size, xy, pos):
    drawer = VizPolygonDraw(show_label=True)
    calls = record_rois(drawer, [{"polygon": polygon, "roi_name": "zone"}], size)
    [(name1, args1, kw1), (name2, args2, kw2)] = calls
    assert name1 == "_draw_polygon_" and args1 == ()
    assert set(kw1) == {"draw", "polygon", "outline_color", "fill", "fill_color"}
    assert kw1["polygon"] == xy and all(type(v) is int for v in kw1["polygon"])
    assert kw1["fill"] is True
    assert kw1["fill_color"] == (255, 150, 113, 102) == kw1["outline_color"]
    assert name2 == "draw_texts" and args2 == ()
    assert kw2 == {"draw": kw1["draw"], "pos": pos, "large_padding": True, "text": "zone",
                   "show_shadow": True, "fill_rectangle": False}


def test_names_only_when_shown_and_empty_when_missing():
    rois = [{"polygon": TRIANGLE, "roi_name": "a"}, {"polygon": TRIANGLE}]
    hidden = record_rois(VizPolygonDraw(), rois, (200, 100))
    assert [c[0] for c in hidden] == ["_draw_polygon_", "_draw_polygon_"]
    shown = record_rois(VizPolygonDraw(show_label=True), rois, (200, 100))
    assert [c[0] for c in shown] == ["_draw_polygon_", "draw_texts"] * 2
    assert [c[2]["text"] for c in shown if c[0] == "draw_texts"] == ["a", ""]


def test_call_colours_override_the_instance_defaults():
    calls = record_rois(VizPolygonDraw(), [{"polygon": TRIANGLE}], (200, 100),
                        fill_color=(1, 2, 3, 4), outline_color=(5, 6, 7, 8))
    assert calls[0][2]["fill_color"] == (1, 2, 3, 4) and calls[0][2]["outline_color"] == (5, 6, 7, 8)


@pytest.mark.parametrize(
    "kwargs, fill, outline",
    [
        ({}, (255, 150, 113, 102), (255, 150, 113, 102)),
        ({"fill": False, "fill_color": (1, 1, 1, 1)}, None, (255, 150, 113, 102)),
        ({"fill": 1, "fill_color": (1, 1, 1, 1), "outline_color": (2, 2, 2, 2)}, (1, 1, 1, 1), (2, 2, 2, 2)),
    ],
)
def test_draw_polygon(kwargs, fill, outline):
    draw = RecordingDraw()
    assert VizPolygonDraw()._draw_polygon_(draw, [1, 2, 3, 4, 5, 6], **kwargs) is draw
    assert draw.calls == [("polygon", (), {"xy": [1, 2, 3, 4, 5, 6], "fill": fill, "outline": outline})]


def test_nothing_is_drawn_without_fill_and_outline():
    draw = RecordingDraw()
    drawer = VizPolygonDraw(roi_color=(1, 2), outline_color=(1, 2))
    assert drawer._draw_polygon_(draw, [1, 2, 3, 4, 5, 6]) is draw
    assert VizPolygonDraw(outline_color=(1, 2))._draw_polygon_(draw, [1, 2, 3, 4, 5, 6], fill=False) is draw
    assert draw.calls == []


def test_draw_line_rois_draws_nothing():
    assert VizPolygonDraw().draw_line_rois() is None
    with pytest.raises(TypeError):
        VizPolygonDraw().draw_line_rois(None)


# ---------------------------------------------------------------------------------------------
# Whole frames


@pytest.mark.parametrize("layout", list(frame_views(noise_frame(4, 4))))
@pytest.mark.parametrize("kwargs", [{}, {"show_label": True, "label_size": 14},
                                    {"roi_color": "navy", "outline_color": (255, 255, 0, 1.0), "show_label": True}])
def test_frame_matches_the_plain_route(layout, kwargs):
    frame = noise_frame(100, 160, seed=5)
    img = frame_views(frame)[layout]
    before = img.copy()
    drawer = VizPolygonDraw(**kwargs)
    out = drawer.draw_polygon_rois(img, SCENE)
    assert max_diff(out, reference_rois(drawer, frame, SCENE)) <= 1
    assert np.array_equal(img, before) and out.flags.c_contiguous and not np.shares_memory(out, img)


def test_overlays_pillow_cannot_export_in_place_give_the_same_frame():
    frame = noise_frame(100, 160, seed=12)
    drawer = VizPolygonDraw(show_label=True)
    with split_overlays():
        out = drawer.draw_polygon_rois(frame, SCENE)
    assert max_diff(out, reference_rois(drawer, frame, SCENE)) <= 1


def test_call_colours_match_the_plain_route():
    frame = noise_frame(100, 160, seed=6)
    drawer = VizPolygonDraw(show_label=True)
    out = drawer.draw_polygon_rois(frame, SCENE, fill_color=(0, 200, 0, 60), outline_color=(255, 0, 0, 255))
    ref = reference_rois(drawer, frame, SCENE, (0, 200, 0, 60), (255, 0, 0, 255))
    assert max_diff(out, ref) <= 1


@pytest.mark.parametrize("layout", list(frame_views(noise_frame(4, 4))))
def test_empty_list_returns_the_input_pixel_for_pixel(layout):
    img = frame_views(noise_frame(33, 47, seed=7))[layout]
    out = VizPolygonDraw(show_label=True).draw_polygon_rois(img, [])
    assert np.array_equal(out, img) and not np.shares_memory(out, img)


def test_later_regions_cover_earlier_ones_and_their_names():
    frame = np.full((100, 200, 3), 50, np.uint8)
    first = VizPolygonDraw(roi_color=(255, 0, 0, 200), show_label=True, label_size=30)
    square = np.array([[0.05, 0.05], [0.9, 0.05], [0.9, 0.9], [0.05, 0.9]])
    out = first.draw_polygon_rois(frame, [{"polygon": square, "roi_name": "WWW"}, {"polygon": square}])
    # The second region hides the first region's name: the inside is one flat colour, the
    # second region's own, not a mix of two layers.
    inside = out[10:88, 12:178]
    assert np.all(inside == blend((0, 0, 255), (50, 50, 50), 200))


def test_show_roi_and_outline_thickness_change_nothing():
    frame = noise_frame(100, 160, seed=8)
    plain = VizPolygonDraw(outline_color=(0, 0, 0, 255)).draw_polygon_rois(frame, SCENE)
    other = VizPolygonDraw(show_roi=False, outline_color=(0, 0, 0, 255), outline_thickness=5)
    assert np.array_equal(other.draw_polygon_rois(frame, SCENE), plain)
    assert plain[10, 10].tolist() == [0, 0, 0] and plain[14, 20].tolist() != [0, 0, 0]


# ---------------------------------------------------------------------------------------------
# Failures leave the input untouched


@pytest.mark.parametrize(
    "rois, kwargs, error",
    [
        ([{"roi_name": "no polygon"}], {}, KeyError),
        ([{"polygon": np.array([1.0, 2.0, 3.0, 4.0])}], {}, ValueError),
        ([{"polygon": np.zeros((3, 3))}], {}, ValueError),
        ([{"polygon": np.zeros((0, 2))}], {}, ValueError),
        ([{"polygon": [[1, 2], [3]]}], {}, ValueError),
        ([{"polygon": [["a", "b"], ["c", "d"], ["e", "f"]]}], {}, ValueError),
        ([{"polygon": np.array([[np.nan, 2], [3, 4], [5, 6]])}], {}, ValueError),
        ([{"polygon": TRIANGLE}], {"fill_color": (255, 150, 113, 0.4)}, TypeError),
        ([5], {}, TypeError),
    ],
)
def test_bad_regions_and_colours_fail(rois, kwargs, error):
    frame = noise_frame(40, 60)
    before = frame.copy()
    with pytest.raises(error):
        VizPolygonDraw().draw_polygon_rois(frame, [{"polygon": TRIANGLE}] + rois, **kwargs)
    assert np.array_equal(frame, before)


@pytest.mark.parametrize(
    "img, error",
    [(np.zeros((10, 10, 3), np.float64), TypeError), (np.zeros((10, 10, 1), np.uint8), ValueError),
     (np.zeros((10, 0, 3), np.uint8), ValueError), ("frame", TypeError)],
)
def test_frames_that_are_not_8_bit_three_channel_are_refused(img, error):
    drawer = recording(show_label=True)
    with pytest.raises(error, match="img"):
        drawer.draw_polygon_rois(img, [{"polygon": TRIANGLE}])
