"""Detections and regions are drawn onto crops where they are, with cached caption and polygon
rasterisations: every frame must equal the one the whole-frame overlay gives (the caller's own
drawing context through _draw_objs_ / _draw_polygon_ and draw_texts, blended by Pillow)."""

from __future__ import annotations

import numpy as np
import pytest
from drawing_fixtures import max_diff, noise_frame, plain_route

from kestrix_sdk.constants import KEY
from kestrix_sdk.visualize import captions
from kestrix_sdk.visualize.boxes import BoxesDraw
from kestrix_sdk.visualize.zones import VizPolygonDraw

LABELS = ["person", "car", "bicycle", "dog", "", "truck"]


def overlay_detections(drawer, img, detections, show_label=True, show_confidence=True):
    """The frame through the caller's-context route: _draw_objs_ into a whole-frame overlay."""
    return plain_route(img, lambda draw: drawer._draw_objs_(
        draw=draw, objs=detections, show_label=show_label, show_confidence=show_confidence))


def overlay_regions(drawer, img, rois, fill_color=None, outline_color=None):
    fill = drawer.default_roi_color if fill_color is None else fill_color
    outline = drawer.default_outline_color if outline_color is None else outline_color
    height, width = img.shape[:2]

    def draw_into(draw):
        for roi in rois:
            p = np.asarray(roi["polygon"], dtype=float)
            if p.max() < 1.0:
                p = p * np.array([width, height])
            cx, cy = p.mean(axis=0)
            drawer._draw_polygon_(draw=draw, polygon=[int(v) for v in p.flatten()], outline_color=outline,
                                  fill=True, fill_color=fill)
            if drawer.show_label:
                drawer.label_drawer.draw_texts(draw=draw, pos=(int(cx), int(cy)), large_padding=True,
                                               text=roi.get("roi_name", ""), show_shadow=True,
                                               fill_rectangle=False)

    return plain_route(img, draw_into)


def scene(seed, count, width, height, spill=0.15):
    """Boxes of every size, overlapping each other and crossing the frame's edges."""
    rng = np.random.default_rng(seed)
    dets = []
    for i in range(count):
        w, h = rng.uniform(2, width * 0.5), rng.uniform(2, height * 0.5)
        x = rng.uniform(-spill * width, width * (1 + spill) - w)
        y = rng.uniform(-spill * height, height * (1 + spill) - h)
        dets.append({KEY.TLWH: (x, y, w, h), KEY.CLASS_ID: int(rng.integers(0, 40)),
                     KEY.LABEL: LABELS[i % len(LABELS)], KEY.SCORE: float(rng.uniform(0, 1))})
    return dets


@pytest.mark.parametrize("seed, count, size", [(1, 20, (320, 240)), (2, 60, (200, 150)), (3, 8, (97, 61)),
                                               (4, 30, (640, 48))])
@pytest.mark.parametrize("bbox_color, thickness, text_color, text_size", [
    (None, 2, (255, 255, 255), 15),
    ((20, 200, 90, 255), 1, (0, 0, 0, 120), 11),
    ("orange", 3, (255, 255, 0, 0.5), 24),
    ((200, 30, 30, 0), 1, (255, 255, 255), 15),
    (None, 0, (10, 20, 30), 9),
])
def test_detections_equal_the_whole_overlay(seed, count, size, bbox_color, thickness, text_color, text_size):
    width, height = size
    img = noise_frame(height, width, seed)
    drawer = BoxesDraw(bbox_color, thickness, text_color, text_size)
    dets = scene(seed, count, width, height)
    for flags in ((True, True), (True, False), (False, True)):
        assert max_diff(drawer.draw_detections(img, dets, *flags), overlay_detections(drawer, img, dets, *flags)) == 0


@pytest.mark.parametrize("record", [
    {KEY.TLWH: (0, 0, 30, 20), KEY.LABEL: "top edge", KEY.SCORE: 0.5},        # caption above the frame
    {KEY.TLWH: (-40, -40, 60, 50), KEY.LABEL: "corner", KEY.SCORE: 0.5},      # box and caption clipped
    {KEY.TLWH: (150, 110, 60, 50), KEY.LABEL: "bottom right", KEY.SCORE: 1},  # beyond right and bottom
    {KEY.TLWH: (500, 500, 10, 10), KEY.LABEL: "outside", KEY.SCORE: 0.2},     # nowhere on the frame
    {KEY.TLWH: (20, 40, 3, 3), KEY.LABEL: "thick on small", KEY.SCORE: 0.2},  # outline frames meet
    {KEY.TLWH: (20, 40, 100, 0), KEY.LABEL: "flat", KEY.SCORE: 0.2},
    {KEY.TLWH: (20, 60, 50, 30), KEY.LABEL: "two\nlines", KEY.SCORE: 0.9},    # multi-line caption
    {KEY.TLWH: (20, 60, 50, 30), KEY.LABEL: 12345, KEY.SCORE: "0.875"},
    {KEY.TLWH: (20, 60, 50, 30), KEY.LABEL: "Ågjy ÿ€", KEY.SCORE: 0.125},
    {KEY.TLWH: (20, 60, 50, 30)},
])
@pytest.mark.parametrize("thickness", [1, 4])
def test_detection_edge_cases_equal_the_whole_overlay(record, thickness):
    img = noise_frame(120, 160, 9)
    drawer = BoxesDraw(None, thickness, (255, 255, 255, 200), 15)
    dets = [record, {KEY.TLWH: (10, 30, 80, 40), KEY.LABEL: "under", KEY.SCORE: 0.3}, record]
    show = KEY.SCORE in record
    assert max_diff(drawer.draw_detections(img, dets, show_confidence=show),
                    overlay_detections(drawer, img, dets, show_confidence=show)) == 0


def test_negative_box_fails_as_the_whole_overlay_does():
    img = noise_frame(60, 80)
    drawer = BoxesDraw(None, 2, (255, 255, 255), 12)
    dets = [{KEY.TLWH: (40, 20, -10, 5), KEY.LABEL: "x", KEY.SCORE: 0.1}]
    with pytest.raises(ValueError) as whole:
        overlay_detections(drawer, img, dets)
    with pytest.raises(ValueError) as crops:
        drawer.draw_detections(img, dets)
    assert str(crops.value) == str(whole.value)


def test_repeated_frames_and_many_distinct_captions_stay_exact():
    img = noise_frame(90, 120, 5)
    drawer = BoxesDraw(None, 1, (255, 255, 255), 10)
    first = [{KEY.TLWH: (5, 30, 50, 40), KEY.LABEL: "first", KEY.SCORE: 0.5}]
    expected = overlay_detections(drawer, img, first)
    assert max_diff(drawer.draw_detections(img, first), expected) == 0
    # More distinct captions than the cache holds, then the first again.
    for start in range(0, 4200, 300):
        batch = [{KEY.TLWH: (5 + i % 7, 30, 50, 40), KEY.LABEL: f"n{start + i}", KEY.SCORE: 0.5}
                 for i in range(300)]
        drawer.draw_detections(img, batch, show_label=True)
    assert max_diff(drawer.draw_detections(img, first), expected) == 0
    assert max_diff(drawer.draw_detections(img, first), expected) == 0


def test_a_replaced_caption_drawer_method_is_called_for_every_caption(monkeypatch):
    calls = []
    original = captions.CaptionsDraw.draw_texts

    def counting(self, *args, **kwargs):
        calls.append(kwargs["text"])
        return original(self, *args, **kwargs)

    monkeypatch.setattr(captions.CaptionsDraw, "draw_texts", counting)
    img = noise_frame(60, 80)
    drawer = BoxesDraw(None, 1, (255, 255, 255), 12)
    dets = scene(7, 5, 80, 60)
    out = drawer.draw_detections(img, dets)
    assert len(calls) == 5
    assert max_diff(out, overlay_detections(drawer, img, dets)) == 0


def test_a_subclass_drawing_its_own_objects_is_used():
    class Marked(BoxesDraw):
        def _draw_objs_(self, draw, objs, show_label=True, show_confidence=True, show_class_id=False):
            draw.rectangle(xy=[(0, 0), (3, 3)], fill=(255, 0, 0, 255))
            return draw

    out = Marked(None, 1, (255, 255, 255), 12).draw_detections(noise_frame(20, 20), [])
    assert (out[:4, :4] == (0, 0, 255)).all()


REGIONS = [
    {"polygon": np.array([[0.05, 0.1], [0.4, 0.08], [0.45, 0.5], [0.1, 0.55]]), "roi_name": "entrance"},
    {"polygon": np.array([[210, 20], [300, 30], [290, 120], [220, 100]]), "roi_name": "parking"},
    {"polygon": np.array([[0.2, 0.6], [0.5, 0.65], [0.45, 0.95], [0.15, 0.9]]), "roi_name": "crossing"},
    {"polygon": np.array([[150, 130], [330, 140], [300, 260], [160, 250], [140, 190]])},
]
OVERLAPPING = [
    {"polygon": np.array([[10, 10], [200, 20], [180, 150], [20, 140]]), "roi_name": "big"},
    {"polygon": np.array([[60, 50], [150, 60], [120, 120]]), "roi_name": "inside"},        # name over two
    {"polygon": np.array([[-30, -20], [90, -10], [40, 60]]), "roi_name": "clipped"},        # off the frame
    {"polygon": np.array([[250, 200], [400, 220], [380, 300], [240, 290]]), "roi_name": "edge"},
    {"polygon": np.array([[100.7, 30.2], [110.9, 30.5], [105.5, 38.9]]), "roi_name": "tiny"},
]


@pytest.mark.parametrize("rois", [REGIONS, OVERLAPPING, OVERLAPPING[::-1], REGIONS[1:2]])
@pytest.mark.parametrize("kwargs, call", [
    ({"show_label": True}, {}),
    ({}, {}),
    ({"show_label": True, "roi_color": (0, 120, 255, 1.0), "outline_color": (255, 255, 0, 0.5),
      "label_color": (255, 0, 0, 1.0), "label_size": 30}, {}),
    ({"show_label": True, "outline_color": None}, {}),
    ({"show_label": True}, {"fill_color": (1, 2, 3, 0), "outline_color": (200, 10, 10, 255)}),
    ({"show_label": True}, {"fill_color": (30, 60, 90, 255), "outline_color": (30, 60, 90, 255)}),
])
def test_regions_equal_the_whole_overlay(rois, kwargs, call):
    img = noise_frame(240, 320, 3)
    drawer = VizPolygonDraw(**kwargs)
    for _ in range(2):  # the second call takes the cached rasterisations
        assert max_diff(drawer.draw_polygon_rois(img, rois, **call), overlay_regions(drawer, img, rois, **call)) == 0


def test_regions_beyond_the_polygon_cache_stay_exact():
    img = noise_frame(60, 90, 4)
    drawer = VizPolygonDraw(show_label=True)
    first = [{"polygon": np.array([[5, 5], [60, 8], [40, 50]]), "roi_name": "a"}]
    expected = overlay_regions(drawer, img, first)
    assert max_diff(drawer.draw_polygon_rois(img, first), expected) == 0
    for k in range(80):
        rois = [{"polygon": np.array([[5 + k % 20, 5], [60, 8 + k % 30], [40, 50]]), "roi_name": str(k)}]
        assert max_diff(drawer.draw_polygon_rois(img, rois), overlay_regions(drawer, img, rois)) == 0
    assert max_diff(drawer.draw_polygon_rois(img, first), expected) == 0


@pytest.mark.parametrize("name", [7, "two\nlines", b"bytes"])
def test_names_the_caption_cache_cannot_hold_are_drawn_as_before(name):
    img = noise_frame(120, 160, 2)
    drawer = VizPolygonDraw(show_label=True)
    rois = [{"polygon": np.array([[10, 10], [150, 20], [100, 110]]), "roi_name": name}]
    try:
        expected = overlay_regions(drawer, img, rois)
    except Exception as err:  # the same failure either way
        with pytest.raises(type(err)):
            drawer.draw_polygon_rois(img, rois)
        return
    assert max_diff(drawer.draw_polygon_rois(img, rois), expected) == 0


def test_threads_filling_the_caches_at_once_get_their_own_frames():
    import threading

    img = noise_frame(120, 160, 8)
    boxes_drawer = BoxesDraw(None, 2, (255, 255, 255), 13)
    zones_drawer = VizPolygonDraw(show_label=True)
    jobs = []
    for k in range(8):  # captions and polygons no call has drawn before
        dets = [dict(d, **{KEY.LABEL: f"t{k}-{i}"}) for i, d in enumerate(scene(100 + k, 12, 160, 120))]
        rois = [{"polygon": np.array([[5 + k, 5], [150, 10 + k], [80 + k, 110]]), "roi_name": f"zone {k}"}]
        jobs.append((dets, rois, overlay_detections(boxes_drawer, img, dets),
                     overlay_regions(zones_drawer, img, rois)))
    errors = []

    def work(dets, rois, want_boxes, want_zones):
        try:
            for _ in range(3):
                assert max_diff(boxes_drawer.draw_detections(img, dets), want_boxes) == 0
                assert max_diff(zones_drawer.draw_polygon_rois(img, rois), want_zones) == 0
        except BaseException as err:  # reported below, in the test's own thread
            errors.append(err)

    threads = [threading.Thread(target=work, args=job) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert errors == []


def test_a_caption_box_without_colour_is_drawn_as_the_overlay_draws_it(monkeypatch):
    from kestrix_sdk.visualize import boxes as boxes_module

    monkeypatch.setattr(boxes_module, "get_rgba_color_with_palette_id", lambda palette_id: None)
    img = noise_frame(80, 100, 6)
    drawer = BoxesDraw(None, 1, (255, 255, 255), 12)
    dets = scene(11, 6, 100, 80)
    assert max_diff(drawer.draw_detections(img, dets), overlay_detections(drawer, img, dets)) == 0
