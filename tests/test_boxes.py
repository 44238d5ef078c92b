"""kestrix_sdk.visualize.boxes: detection boxes and captions blended over frames."""

from __future__ import annotations

import threading

import numpy as np
import pytest
from PIL import Image
from drawing_fixtures import (RecordingCaptions, RecordingDraw, frame_views, max_diff, noise_frame,
                              plain_route, split_overlays)

from kestrix_sdk.constants import KEY
from kestrix_sdk.visualize import boxes, palette
from kestrix_sdk.visualize.boxes import BoxesDraw


def det(tlwh, class_id=None, label=None, score=None):
    record = {KEY.TLWH: tlwh}
    if class_id is not None:
        record[KEY.CLASS_ID] = class_id
    if label is not None:
        record[KEY.LABEL] = label
    if score is not None:
        record[KEY.SCORE] = score
    return record


def recording(bbox_color=None, thickness=2):
    drawer = BoxesDraw(bbox_color, thickness, (255, 255, 255), 12)
    drawer.label_drawer = RecordingCaptions()
    return drawer


def calls(draw, name):
    return [c for c in draw.calls if c[0] == name]


# Reference: the drawing steps written out in Python, through the plain overlay route.
def reference_detections(drawer, img, detections, show_label=True, show_confidence=True):
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
            draw.rectangle(xy=[(x, y), (x + w, y + h)], fill=None, outline=color,
                           width=drawer.bbox_thickness)
            if not show_label:
                continue
            text = str(rec[KEY.LABEL]) if KEY.LABEL in rec else ""
            if show_confidence:
                text += " " + format(float(rec[KEY.SCORE]), ".2f")
            drawer.label_drawer.draw_texts(draw=draw, pos=(x, y), text=text, fill_rectangle=True,
                                           fill_rectangle_color=color)

    return plain_route(img, draw_into)


SCENE = [
    det((0.1, 0.2, 0.5, 0.25), class_id=2, label="person", score=0.876),
    det((0.3, 0.3, 0.4, 0.5), class_id=2, label="person", score=0.5),
    det((5, 60, 40, 30), class_id=7, label="car", score="0.125"),
    det((150, 10, 20.9, 20.9), label="dog", score=1),
    det(np.array([0.6, 0.05, 0.3, 0.9]), class_id=300, label=42, score=np.float32(0.33)),
]


# ---------------------------------------------------------------------------------------------
# Whole frames


@pytest.mark.parametrize("layout", list(frame_views(noise_frame(4, 4))))
@pytest.mark.parametrize("bbox_color, thickness", [(None, 2), ((10, 200, 30, 255), 1), ("yellow", 0),
                                                   ((0, 0, 0, 0.5), 4)])
def test_frame_matches_the_plain_route(layout, bbox_color, thickness):
    frame = noise_frame(120, 200, seed=3)
    img = frame_views(frame)[layout]
    drawer = BoxesDraw(bbox_color, thickness, (255, 255, 255), 12)
    before = img.copy()
    out = drawer.draw_detections(img, SCENE)
    assert max_diff(out, reference_detections(drawer, frame, SCENE)) <= 1
    assert np.array_equal(img, before)
    assert out.shape == frame.shape and out.flags.c_contiguous and not np.shares_memory(out, img)


@pytest.mark.parametrize("records", [SCENE, SCENE[2:3], []])
def test_overlays_pillow_cannot_export_in_place_give_the_same_frame(records):
    frame = noise_frame(120, 200, seed=11)
    drawer = BoxesDraw(None, 2, (255, 255, 255), 12)
    with split_overlays():
        with pytest.raises(ValueError):  # Pillow cannot hand out such an image's pixels in place
            Image.new("RGBA", (200, 120)).__arrow_c_array__()
        out = drawer.draw_detections(frame[::-1], records)
    assert max_diff(out, reference_detections(drawer, frame[::-1], records)) <= 1
    if not records:
        assert np.array_equal(out, frame[::-1])


@pytest.mark.parametrize("show_label, show_confidence", [(False, True), (True, False), (0, 1)])
def test_caption_switches_match_the_plain_route(show_label, show_confidence):
    frame = noise_frame(100, 160, seed=4)
    drawer = BoxesDraw(None, 1, "white", 10)
    out = drawer.draw_detections(frame, SCENE, show_label=show_label, show_confidence=show_confidence)
    ref = reference_detections(drawer, frame, SCENE, bool(show_label), bool(show_confidence))
    assert max_diff(out, ref) <= 1


@pytest.mark.parametrize("layout", list(frame_views(noise_frame(4, 4))))
def test_empty_list_returns_the_input_pixel_for_pixel(layout):
    img = frame_views(noise_frame(37, 53, seed=1))[layout]
    out = BoxesDraw(None, 3, (255, 255, 255), 12).draw_detections(img, [])
    assert np.array_equal(out, img) and not np.shares_memory(out, img)


def test_pixels_outside_the_drawing_are_exact_and_inside_blend_by_alpha():
    frame = np.full((60, 80, 3), (10, 20, 30), np.uint8)
    out = BoxesDraw((200, 100, 50), 1, (255, 255, 255), 10).draw_detections(
        frame, [det((20, 30, 40, 20))], show_label=False)
    # outline pixel: (200, 100, 50) at alpha 100 over (30, 20, 10) in RGB
    expected = [round((c * 100 + b * 155) / 255) for c, b in zip((50, 100, 200), (10, 20, 30))]
    assert out[30, 20].tolist() == expected == out[50, 60].tolist()
    mask = np.zeros((60, 80), bool)
    mask[30:51, 20:61] = True
    mask[31:50, 21:60] = False
    assert np.all(out[~mask] == (10, 20, 30)) and np.all(out[mask] == expected)


def test_opaque_colour_replaces_and_thickness_draws_nested_frames_inside():
    frame = np.zeros((50, 50, 3), np.uint8)
    out = BoxesDraw((255, 0, 0, 255), 3, (255, 255, 255), 10).draw_detections(
        frame, [det((10, 10, 20, 20))], show_label=False)
    red = [0, 0, 255]
    assert out[10, 10].tolist() == red and out[12, 15].tolist() == red and out[30, 30].tolist() == red
    assert out[13, 15].tolist() == [0, 0, 0] and out[9, 10].tolist() == [0, 0, 0]


def test_thickness_zero_draws_no_outline_but_still_the_caption():
    frame = noise_frame(80, 120, seed=2)
    drawer = BoxesDraw("red", 0, (255, 255, 255), 10)
    assert np.array_equal(drawer.draw_detections(frame, [det((20, 40, 60, 30))], show_label=False), frame)
    out = drawer.draw_detections(frame, [det((20, 40, 60, 30), label="cat", score=0.5)])
    changed = np.argwhere((out != frame).any(axis=2))
    assert len(changed) and changed[:, 0].max() <= 40  # only the caption box, above the box's top


def test_later_objects_cover_earlier_ones():
    frame = np.zeros((40, 40, 3), np.uint8)
    drawer = BoxesDraw(None, 5, (255, 255, 255), 10)
    out = drawer.draw_detections(frame, [det((5, 5, 20, 20), class_id=0), det((5, 5, 20, 20), class_id=1)],
                                 show_label=False)
    r, g, b, _ = palette.get_rgba_color_with_palette_id(1)
    assert out[5, 5].tolist() == [round(c * 100 / 255) for c in (b, g, r)]


# ---------------------------------------------------------------------------------------------
# Geometry, colours and captions, through a recording drawing context


@pytest.mark.parametrize(
    "tlwh, size, corners",
    [
        ((0.1, 0.2, 0.5, 0.25), (640, 480), [(64, 96), (384, 216)]),
        ((0.29, 0, 0.5, 0.5), (100, 100), [(28, 0), (78, 50)]),  # 0.29 * 100 == 28.999...
        ((10, 20, 1.0, 5), (640, 480), [(10, 20), (11, 25)]),  # width exactly 1.0: pixels
        ((10, 20, 0.5, 5), (640, 480), [(6400, 9600), (6720, 12000)]),  # relative, all four
        ([10.7, 20.2, 30.9, 40.99], (640, 480), [(10, 20), (40, 60)]),
        (np.array([0.5, 0.5, 0.25, 0.25], np.float32), (64, 48), [(32, 24), (48, 36)]),
        ((np.int64(3), 4, 5, 6), (64, 48), [(3, 4), (8, 10)]),
    ],
)
def test_box_geometry(tlwh, size, corners):
    draw = RecordingDraw(size)
    recording(thickness=4)._draw_objs_(draw, [det(tlwh)], show_label=False)
    [(_, args, kwargs)] = calls(draw, "rectangle")
    assert args == () and kwargs == {"xy": corners, "fill": None,
                                     "outline": palette.get_rgba_color_with_palette_id(0), "width": 4}
    assert all(type(v) is int for corner in kwargs["xy"] for v in corner)


@pytest.mark.parametrize(
    "bbox_color, stored",
    [("red", (255, 0, 0, 255)), ("#102030", (16, 32, 48, 255)), ((10, 20, 30), (10, 20, 30, 100)),
     ([10, 20, 30, 0.5], (10, 20, 30, 127)), ((10, 20, 30, 200.9), (10, 20, 30, 200)),
     (None, None), ((1, 2), None)],
)
def test_fixed_colours_and_per_class_colours(bbox_color, stored):
    drawer = recording(bbox_color)
    assert drawer.bbox_color == stored
    draw = RecordingDraw()
    records = [det((1, 1, 5, 5), class_id=2, label="a", score=0.1), det((1, 1, 5, 5), class_id=2, label="b", score=0.1),
               det((1, 1, 5, 5), label="c", score=0.1)]
    drawer._draw_objs_(draw, records)
    outlines = [kw["outline"] for _, _, kw in calls(draw, "rectangle")]
    fills = [kw["fill_rectangle_color"] for _, _, kw in calls(draw, "draw_texts")]
    if stored is None:
        per_class = palette.get_rgba_color_with_palette_id(2)
        assert outlines == [per_class, per_class, palette.get_rgba_color_with_palette_id(0)]
        assert outlines[2] == (0, 0, 255, 100)
    else:
        assert outlines == [stored] * 3
    assert fills == outlines  # the caption background has the box's colour


def test_palette_lookup_is_by_keyword_with_the_class_id(monkeypatch):
    seen = []
    monkeypatch.setattr(boxes, "get_rgba_color_with_palette_id",
                        lambda **kw: seen.append(kw) or (1, 2, 3, 4))
    draw = RecordingDraw()
    recording()._draw_objs_(draw, [det((1, 1, 2, 2), class_id="7"), det((1, 1, 2, 2))], show_label=False)
    assert seen == [{"palette_id": "7"}, {"palette_id": 0}]
    assert [kw["outline"] for _, _, kw in calls(draw, "rectangle")] == [(1, 2, 3, 4)] * 2
    # A fixed colour needs no lookup.
    seen.clear()
    recording("blue")._draw_objs_(RecordingDraw(), [det((1, 1, 2, 2), class_id=1)], show_label=False)
    assert seen == []


@pytest.mark.parametrize(
    "record, flags, text",
    [
        (det((1, 2, 30, 40), 3, "person", 0.876), (True, True, True), "3 person 0.88"),
        (det((1, 2, 30, 40), 3, "person", 0.876), (True, True, False), "person 0.88"),
        (det((1, 2, 30, 40), 3, "person", 0.876), (True, False, False), "person"),
        (det((1, 2, 30, 40), 3, "person", 0.876), (True, False, True), "3 person"),
        (det((1, 2, 30, 40), None, "person", 0.875), (True, True, True), "person 0.88"),
        (det((1, 2, 30, 40), 3, None, 0.125), (True, True, False), " 0.12"),
        (det((1, 2, 30, 40), 3, None, None), (True, False, True), "3 "),
        (det((1, 2, 30, 40), None, 42, "0.5"), (True, True, False), "42 0.50"),
        (det((1, 2, 30, 40), None, "x", -0.004), (True, True, False), "x -0.00"),
        (det((1, 2, 30, 40), None, "x", 12), (True, True, False), "x 12.00"),
        (det((1, 2, 30, 40), 3, "no score needed"), (False, True, True), None),
    ],
)
def test_caption_text(record, flags, text):
    show_label, show_confidence, show_class_id = flags
    draw = RecordingDraw()
    result = recording((9, 9, 9, 255))._draw_objs_(draw=draw, objs=[record], show_label=show_label,
                                                   show_confidence=show_confidence,
                                                   show_class_id=show_class_id)
    assert result is draw
    captions = calls(draw, "draw_texts")
    if text is None:
        assert captions == []
        return
    [(_, _, kwargs)] = captions
    assert kwargs == {"draw": draw, "pos": (1, 2), "text": text, "fill_rectangle": True,
                      "fill_rectangle_color": (9, 9, 9, 255)}


def test_each_box_precedes_its_caption_in_list_order():
    draw = RecordingDraw()
    recording()._draw_objs_(draw, [det((1, 1, 5, 5), label="a", score=0.1), det((2, 2, 5, 5), label="b", score=0.2)])
    assert [c[0] for c in draw.calls] == ["rectangle", "draw_texts", "rectangle", "draw_texts"]
    assert [c[2]["text"] for c in calls(draw, "draw_texts")] == ["a 0.10", "b 0.20"]


def test_draw_detections_passes_its_switches_and_never_the_class_id():
    seen = []

    class Recording(BoxesDraw):
        def _draw_objs_(self, *args, **kwargs):
            seen.append((args, kwargs))
            return BoxesDraw._draw_objs_(self, *args, **kwargs)

    drawer = Recording(None, 1, (255, 255, 255), 10)
    frame = noise_frame(30, 40)
    drawer.draw_detections(frame, [det((1, 1, 5, 5), 4, "a", 0.5)], show_confidence=False)
    [(args, kwargs)] = seen
    assert args == () and set(kwargs) == {"draw", "objs", "show_label", "show_confidence"}
    assert kwargs["draw"].im.size == (40, 30) and kwargs["show_label"] is True
    assert kwargs["show_confidence"] is False


def test_constructor_builds_its_caption_drawer(monkeypatch):
    made = []
    monkeypatch.setattr(boxes, "CaptionsDraw", lambda **kw: made.append(kw) or "drawer")
    drawer = BoxesDraw(bbox_color=None, bbox_thickness=7, text_color="red", text_size=30)
    assert made == [{"font_color": "red", "font_size": 30}]
    assert (drawer.bbox_color, drawer.bbox_thickness, drawer.label_drawer) == (None, 7, "drawer")


def test_module_binds_its_neighbours_names():
    from kestrix_sdk.visualize import captions

    assert boxes.get_rgba_color is palette.get_rgba_color
    assert boxes.get_rgba_color_with_palette_id is palette.get_rgba_color_with_palette_id
    assert boxes.CaptionsDraw is captions.CaptionsDraw and boxes.KEY is KEY


@pytest.mark.parametrize("call", [lambda: BoxesDraw(None, 1, (1, 2, 3)),
                                  lambda: BoxesDraw(None, 1, (1, 2, 3), 10, 5),
                                  lambda: BoxesDraw(None, 1, (1, 2, 3), text_sise=10),
                                  lambda: BoxesDraw(None, 1, (1, 2, 3), 10).draw_detections(noise_frame(5, 5)),
                                  lambda: BoxesDraw(None, 1, (1, 2, 3), 10).draw_tracking(None)])
def test_wrong_arguments_are_refused(call):
    with pytest.raises(TypeError):
        call()


def test_draw_tracking_draws_nothing():
    draw = RecordingDraw()
    assert recording().draw_tracking(draw, [det((1, 1, 2, 2))]) is None
    assert draw.calls == []


# ---------------------------------------------------------------------------------------------
# Failures leave the input untouched


@pytest.mark.parametrize(
    "record, show_confidence, error",
    [
        ({KEY.LABEL: "no box"}, False, KeyError),
        (det((1, 2, 3)), False, ValueError),
        (det((1, 2, 3, 4, 5)), False, ValueError),
        (det((1, "2", 3, 4)), False, TypeError),
        (det(5), False, TypeError),
        (det((float("nan"), 2, 30, 40)), False, ValueError),
        (det((1, 2, 30, 40), label="a"), True, KeyError),
        (det((1, 2, 30, 40), label="a", score="high"), True, ValueError),
        ({KEY.TLWH: (1, 2, 30, 40), KEY.SCORE: None}, True, TypeError),
    ],
)
def test_records_missing_what_the_call_needs_fail(record, show_confidence, error):
    frame = noise_frame(40, 60)
    before = frame.copy()
    drawer = BoxesDraw(None, 1, (255, 255, 255), 10)
    with pytest.raises(error):
        drawer.draw_detections(frame, [det((1, 1, 10, 10), label="ok", score=0.5), record],
                               show_confidence=show_confidence)
    assert np.array_equal(frame, before)


@pytest.mark.parametrize(
    "img, error, words",
    [
        (np.zeros((10, 10, 3), np.float32), TypeError, "dtype float32"),
        (np.zeros((10, 10, 3), np.int8), TypeError, "dtype int8"),
        (np.zeros((10, 10), np.uint8), ValueError, "(10, 10)"),
        (np.zeros((10, 10, 4), np.uint8), ValueError, "(10, 10, 4)"),
        (np.zeros((0, 10, 3), np.uint8), ValueError, "no pixels"),
        ([[[0, 0, 0]]], TypeError, "got list"),
    ],
)
def test_frames_that_are_not_8_bit_three_channel_are_refused(img, error, words):
    before = np.array(img, copy=True)
    drawer = recording()
    with pytest.raises(error, match="img") as info:
        drawer.draw_detections(img, [det((1, 1, 5, 5), label="a", score=0.5)])
    assert words in str(info.value)
    assert np.array_equal(np.asarray(img), before)


def test_concurrent_calls_on_one_instance_agree():
    drawer = BoxesDraw(None, 2, (255, 255, 255), 12)
    frame = noise_frame(240, 320, seed=9)
    expected = drawer.draw_detections(frame, SCENE)
    results = []

    def work():
        for _ in range(5):
            results.append(drawer.draw_detections(frame, SCENE))

    threads = [threading.Thread(target=work) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 15 and all(np.array_equal(r, expected) for r in results)
