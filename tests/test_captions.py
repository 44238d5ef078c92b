"""Caption drawing and fonts (kestrix_sdk.visualize.captions)."""

import logging
import os
import shutil

import numpy as np
import pytest
from PIL import Image, ImageDraw, ImageFont

from kestrix_sdk.constants import KEY
from kestrix_sdk.visualize import captions
from kestrix_sdk.visualize.boxes import BoxesDraw
from kestrix_sdk.visualize.captions import CaptionsDraw, get_supported_fonts, get_text_size
from kestrix_sdk.visualize.zones import VizPolygonDraw

PACKAGE_FONT = os.path.join(captions.FONTS_DIR, "DejaVuSans.ttf")


class RecordingDraw:
    """A drawing context that records the calls made on it; textbbox reports a box of the
    given size at the origin it is asked about."""

    def __init__(self, width=40, height=14):
        self.size = (width, height)
        self.calls = []

    def textbbox(self, xy, text, **kwargs):
        self.calls.append(("textbbox", (xy, text), kwargs))
        return (xy[0], xy[1], xy[0] + self.size[0], xy[1] + self.size[1])

    def textsize(self, text, font):
        self.calls.append(("textsize", (text, font), {}))
        return self.size

    def rectangle(self, *args, **kwargs):
        self.calls.append(("rectangle", args, kwargs))

    def multiline_text(self, *args, **kwargs):
        self.calls.append(("multiline_text", args, kwargs))


def vis_font_lines(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "kestrix_sdk.vis-font"]


@pytest.fixture
def font_dir(tmp_path, monkeypatch):
    """A font directory of two copies of the package font; FONTS_DIR points at it."""
    for name in ("zeta.ttf", "alpha.ttf"):
        shutil.copy(PACKAGE_FONT, tmp_path / name)
    monkeypatch.setattr(captions, "FONTS_DIR", str(tmp_path))
    return tmp_path


@pytest.fixture(scope="module")
def drawer():
    return CaptionsDraw()


# --- module values and fonts ------------------------------------------------------------------

def test_module_values():
    assert captions.DEFAULT_FONT_SIZE == 15
    assert captions.DEFAULT_TXT_COLOR == (255, 255, 255, 1.0)
    assert captions.DEFAULT_SHADOW_COLOR == (0, 0, 0, 1.0)
    assert captions.logger is logging.getLogger("kestrix_sdk.vis-font")
    assert get_supported_fonts() == ["DejaVuSans"]


def test_font_listing_keeps_exact_ttf_entries_in_listing_order(tmp_path):
    for name in ("a.ttf", "b.TTF", "c.otf", "d.e.ttf", ".ttf", "f.ttf.bak", "..ttf"):
        (tmp_path / name).write_bytes(b"")
    (tmp_path / "sub.ttf").mkdir()  # entries are not tested to be files
    expected = [os.path.splitext(e)[0] for e in os.listdir(tmp_path) if e in ("a.ttf", "d.e.ttf", "sub.ttf")]
    assert get_supported_fonts(str(tmp_path)) == expected
    assert get_supported_fonts(fonts_dir=tmp_path) == expected


def test_font_listing_of_a_missing_directory_fails(tmp_path):
    with pytest.raises(FileNotFoundError):
        get_supported_fonts(str(tmp_path / "none"))


# --- measurement ------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "version, call",
    [("13.0.0", "textbbox"), ("10.0.0", "textbbox"), ("9.5.0", "textbbox"), ("1.1.7", "textsize"),
     ("1", "textsize")],
)
def test_measurement_follows_the_version_text(monkeypatch, version, call):
    monkeypatch.setattr(captions, "_pil_version", version)
    draw = RecordingDraw(33, 12)
    assert get_text_size(draw, "ab", "F", (5, 7)) == (33, 12)
    expected = {"textbbox": ("textbbox", ((5, 7), "ab"), {"font": "F"}),
                "textsize": ("textsize", ("ab", "F"), {})}[call]
    assert draw.calls == [expected]


def test_measurement_default_origin_and_real_context(drawer):
    draw = RecordingDraw()
    get_text_size(draw=draw, text="x", font=None)
    assert draw.calls[0][1][0] == (10, 10)
    real = ImageDraw.Draw(Image.new("RGBA", (100, 50)))
    x0, y0, x1, y1 = real.textbbox((10, 10), "Hello", font=drawer.font)
    assert get_text_size(real, "Hello", drawer.font) == (x1 - x0, y1 - y0)


# --- construction and font resolution ---------------------------------------------------------

def test_default_construction(kit_log):
    d = CaptionsDraw()
    assert isinstance(d.font, ImageFont.FreeTypeFont) and d.font.size == 15
    assert d.font.path == PACKAGE_FONT
    assert d.default_txt_color == (255, 255, 255, 255)
    assert d.default_shadow_color == (0, 0, 0, 255)
    assert d.verbose is False
    assert vis_font_lines(kit_log) == [("INFO", "load font DejaVuSans")]


@pytest.mark.parametrize("verbose", [True, False])
@pytest.mark.parametrize(
    "font, warning",
    [(None, "font_name is not specified, use default {default}"),
     ("missing", "can not fine such font file missing, use default {default}"),
     ("alpha.ttf", "can not fine such font file alpha.ttf, use default {default}"),
     ("/no/such/font.ttf", "can not fine such font file /no/such/font.ttf, use default {default}")],
)
def test_fall_back_to_the_first_listed_font(font_dir, kit_log, verbose, font, warning):
    default = os.path.splitext(os.listdir(font_dir)[0])[0]
    d = CaptionsDraw(font=font, verbose=verbose)
    assert d.font.path == os.path.join(str(font_dir), default + ".ttf")
    info = ("INFO", "load font " + default)
    expected = [("WARNING", warning.format(default=default)), info] if verbose else [info]
    assert vis_font_lines(kit_log) == expected


def test_named_font_from_the_directory(font_dir, kit_log):
    d = CaptionsDraw(font="alpha", font_size=22, verbose=True)
    assert d.font.path == os.path.join(str(font_dir), "alpha.ttf") and d.font.size == 22
    assert vis_font_lines(kit_log) == [("INFO", "load font alpha")]


@pytest.mark.parametrize("file_name", ["custom.ttf", "custom"])
def test_existing_absolute_path_is_loaded_as_given(tmp_path, kit_log, file_name):
    path = tmp_path / file_name
    shutil.copy(PACKAGE_FONT, path)
    d = CaptionsDraw(font=str(path), verbose=True)
    assert d.font.path == str(path)
    assert vis_font_lines(kit_log) == [("INFO", "load font " + str(path))]


def test_init_font_returns_without_storing(drawer):
    before = drawer.font
    font = drawer.init_font(font_name="DejaVuSans", font_size=30)
    assert font.size == 30 and drawer.font is before


def test_constructor_calls_init_font_with_keywords(monkeypatch):
    seen = []

    class Tracing(CaptionsDraw):
        def init_font(self, *args, **kwargs):
            seen.append((args, kwargs))
            return "FONT"

    d = Tracing(font="x", font_size=None, font_color=(1, 2, 3), shadow_color="blue")
    assert seen == [((), {"font_name": "x", "font_size": 15})]
    assert d.font == "FONT"
    assert d.default_txt_color == (1, 2, 3, 100) and d.default_shadow_color == (0, 0, 255, 255)


@pytest.mark.parametrize(
    "kwargs, message",
    [({"font": 5}, "Argument 'font' has incorrect type (expected str, got int)"),
     ({"font_size": "12"}, "Argument 'font_size' has incorrect type (expected int, got str)"),
     ({"font_size": 12.0}, "Argument 'font_size' has incorrect type (expected int, got float)"),
     ({"font_size": True}, "Argument 'font_size' has incorrect type (expected int, got bool)")],
)
def test_argument_types_are_checked(kit_log, kwargs, message):
    with pytest.raises(TypeError) as err:
        CaptionsDraw(**kwargs)
    assert str(err.value) == message
    assert vis_font_lines(kit_log) == []  # refused before any work


def test_font_directory_failures_reach_the_caller(tmp_path, monkeypatch):
    monkeypatch.setattr(captions, "FONTS_DIR", str(tmp_path))
    with pytest.raises(IndexError):
        CaptionsDraw()
    monkeypatch.setattr(captions, "FONTS_DIR", str(tmp_path / "none"))
    with pytest.raises(FileNotFoundError):
        CaptionsDraw()


def test_unloadable_font_file_fails(tmp_path, monkeypatch):
    (tmp_path / "broken.ttf").write_bytes(b"not a font")
    monkeypatch.setattr(captions, "FONTS_DIR", str(tmp_path))
    with pytest.raises(OSError):
        CaptionsDraw()


# --- layout and drawing calls -----------------------------------------------------------------

@pytest.mark.parametrize(
    "size, large, box, text_origin",
    [((40, 14), False, [(50, 35), (96, 50)], (53, 34)),  # padding 3, padding_top 1
     ((40, 14), True, [(50, 30), (96, 50)], (53, 24)),   # padding_top 6
     ((40, 6), False, [(50, 43), (94, 50)], (52, 42)),   # padding takes its minimum 2
     ((40, 6), True, [(50, 40), (94, 50)], (52, 36)),
     ((10, 41), False, [(50, 4), (80, 50)], (60, -1)),   # padding 10, padding_top 5
     ((0, 0), False, [(50, 49), (54, 50)], (52, 48))],   # empty text
)
def test_caption_geometry_and_call_order(drawer, size, large, box, text_origin):
    draw = RecordingDraw(*size)
    result = drawer.draw_texts(draw, "txt", pos=(50, 50), large_padding=large, fill_rectangle=True,
                               fill_rectangle_color="navy", show_shadow=True)
    assert result is draw
    shadow_origin = (text_origin[0] + 1, text_origin[1] + 1)
    assert draw.calls == [
        ("textbbox", ((50, 50), "txt"), {"font": drawer.font}),
        ("rectangle", (box,), {"fill": "navy"}),
        ("multiline_text", (shadow_origin,), {"text": "txt", "font": drawer.font, "fill": (0, 0, 0, 255)}),
        ("multiline_text", (text_origin,), {"text": "txt", "font": drawer.font, "fill": (255, 255, 255, 255)}),
    ]


def test_plain_caption_is_one_text_call_at_the_default_position(drawer):
    draw = RecordingDraw(40, 14)
    assert drawer.draw_texts(draw, "a\nb") is draw
    assert [c[0] for c in draw.calls] == ["textbbox", "multiline_text"]
    assert draw.calls[1] == ("multiline_text", ((53, 34),),
                             {"text": "a\nb", "font": drawer.font, "fill": (255, 255, 255, 255)})


def test_colours_reach_the_drawing_layer_unchanged(drawer):
    draw = RecordingDraw()
    colours = {"txt_color": "red", "fill_rectangle_color": [1, 2, 3], "shadow_color": (9, 8, 7, 0.5)}
    drawer.draw_texts(draw=draw, text="t", fill_rectangle=True, show_shadow=True, **colours)
    fills = [c[2]["fill"] for c in draw.calls[1:]]
    assert fills == [[1, 2, 3], (9, 8, 7, 0.5), "red"]
    assert fills[0] is colours["fill_rectangle_color"]


def test_non_integer_positions_keep_their_fractions(drawer):
    draw = RecordingDraw(40, 14)
    drawer.draw_texts(draw, "t", pos=(50.5, np.float64(50)), fill_rectangle=True)
    assert draw.calls[1][1] == ([(50.5, 35.0), (96.5, 50.0)],)
    assert draw.calls[2][1] == ((53.5, 34.0),)
    draw = RecordingDraw(40, 14)
    drawer.draw_texts(draw, "t", pos=[np.int64(50), 50])
    assert draw.calls[1][1] == ((53, 34),) and type(draw.calls[1][1][0][0]) is int


@pytest.mark.parametrize("pos", [(1,), (1, 2, 3)])
def test_position_must_be_a_pair(drawer, pos):
    class AnyOrigin(RecordingDraw):
        def textbbox(self, xy, text, **kwargs):
            return (0, 0, 10, 10)

    draw = AnyOrigin()
    with pytest.raises(ValueError):
        drawer.draw_texts(draw, "t", pos=pos, fill_rectangle=True)
    assert draw.calls == []


def _draw_at(drawer, where, pos, canvas):
    draw = ImageDraw.Draw(canvas, "RGBA")
    x, y = pos
    if where == "caption":
        drawer.draw_texts(draw, "t", pos=pos, fill_rectangle=True, show_shadow=True)
    elif where == "box":
        record = {KEY.TLWH: (x, y, 20, 20), KEY.LABEL: "a", KEY.SCORE: 0.5}
        BoxesDraw(None, 2, (255, 255, 255), 12)._draw_objs_(draw, [record])
    else:
        frame = np.zeros((64, 64, 3), np.uint8)
        roi = {"roi_name": "r", "polygon": np.array([[x, y], [x, 20], [20, 20]], dtype=object)}
        try:
            VizPolygonDraw(show_label=True).draw_polygon_rois(frame, [roi])
        finally:
            assert not frame.any()


@pytest.mark.parametrize("where", ["caption", "box", "zone"])
@pytest.mark.parametrize("pos", [(2**63 - 1, 10), (2**70, 10), (-2**70, 10), (10, -2**64),
                                 (10, 2**70), (1e30, 10.0)])
def test_positions_beyond_64_bits_are_refused_before_anything_is_drawn(drawer, where, pos):
    canvas = Image.new("RGBA", (64, 64), (0, 0, 0, 0))
    with pytest.raises(OverflowError, match="out of range"):
        _draw_at(drawer, where, pos, canvas)
    assert canvas.getbbox() is None


@pytest.mark.parametrize("pos", [(2**62, 10), (10, 2**63 - 1), (4e18, 10.0)])
def test_far_positions_inside_64_bits_are_drawn_off_the_canvas(drawer, pos):
    canvas = Image.new("RGBA", (64, 64), (0, 0, 0, 0))
    _draw_at(drawer, "caption", pos, canvas)
    assert canvas.getbbox() is None


@pytest.mark.parametrize("pos, drawn", [
    ((2**62, 10), False), ((10, 2**62), False), ((-2**62, 30), False), ((4e18, 10.0), False),
    ((700, 40), False), ((30, 560), False), ((-60, 30), False),
    ((20, 60), True), ((-6, 30), True), ((630, 40), True), ((30, 490), True),
])
def test_text_off_the_canvas_never_reaches_pillow(drawer, pos, drawn):
    draw = RecordingDraw(12, 14)
    draw.im = Image.new("RGBA", (640, 480)).im  # the canvas size the drawer reads
    drawer.draw_texts(draw, "t", pos=pos, fill_rectangle=False, show_shadow=True)
    texts = [c for c in draw.calls if c[0] == "multiline_text"]
    assert len(texts) == (2 if drawn else 0)


def test_real_caption_on_a_pillow_canvas(drawer):
    canvas = Image.new("RGBA", (160, 80), (255, 255, 255, 0))
    draw = ImageDraw.Draw(canvas)
    x0, y0, x1, y1 = draw.textbbox((20, 60), "Kx", font=drawer.font)
    width, height = x1 - x0, y1 - y0
    padding = max(2, height // 4)
    drawer.draw_texts(draw, "Kx", pos=(20, 60), fill_rectangle=True, fill_rectangle_color=(0, 0, 255, 200),
                      show_shadow=True)
    px = np.asarray(canvas)
    top = 60 - height - padding // 2
    right = 20 + width + 2 * padding
    # The box's corners carry the fill colour; the area around it is untouched.
    for x, y in [(20, top), (right, top), (20, 60), (right, 60)]:
        assert tuple(px[y, x]) == (0, 0, 255, 200)
    assert (px[:, right + 2:] == (255, 255, 255, 0)).all()
    assert (px[:top - padding - 1] == (255, 255, 255, 0)).all()
    # Both the text (white) and its shadow (black) show, blended over the box at their edges.
    region = px[: 62, 20: right + 2].reshape(-1, 4).astype(int)
    assert ((region[:, :3] > 235).all(axis=1) & (region[:, 3] > 235)).any()
    assert ((region[:, :3] < 20).all(axis=1) & (region[:, 3] > 235)).any()
