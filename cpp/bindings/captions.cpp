// kestrix_sdk.visualize.captions: captions on frames. get_supported_fonts lists the kit's
// TrueType fonts, get_text_size measures a text, and CaptionsDraw loads one font and draws
// captions (text above a point, with an optional box behind it and a one-pixel drop shadow)
// through the caller's Pillow ImageDraw context. The layout arithmetic is in the core library.
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "binding.hpp"
#include "kestrix/caption_layout.hpp"

namespace cap = kestrix::captions;

namespace {

constexpr const char* kModule = "kestrix_sdk.visualize.captions";
constexpr int kDefaultFontSize = 15;
// Pillow versions whose version text sorts below this one measure with textsize().
constexpr const char* kBboxVersion = "10.0.0";

const kx::ModuleLogger logger(kModule);

py::object get_supported_fonts(py::object fonts_dir) {
  py::module_ os = py::module_::import("os");
  py::object splitext = os.attr("path").attr("splitext");
  py::list names;
  for (py::handle entry : os.attr("listdir")(fonts_dir)) {
    py::tuple parts = splitext(entry);
    if (py::str(".ttf").equal(parts[1])) names.append(parts[0]);
  }
  return std::move(names);
}

py::tuple get_text_size(py::object draw, py::object text, py::object font, py::object xy) {
  py::object version = kx::module_attr(kModule, "_pil_version");
  if (version < py::str(kBboxVersion)) {
    py::object size = draw.attr("textsize")(text, font);
    return py::make_tuple(size[py::int_(0)], size[py::int_(1)]);
  }
  py::object box = draw.attr("textbbox")(xy, text, py::arg("font") = font);
  return py::make_tuple(box[py::int_(2)] - box[py::int_(0)], box[py::int_(3)] - box[py::int_(1)]);
}

// ---------------------------------------------------------------------------------------------
// CaptionsDraw

py::object init_font(py::object self, py::object font_name, py::object font_size) {
  py::object fonts_dir = kx::module_attr(kModule, "FONTS_DIR");
  py::object fonts = kx::module_attr(kModule, "get_supported_fonts")(fonts_dir);
  const bool verbose = py::bool_(self.attr("verbose"));
  py::object path = kx::module_attr("os", "path");
  bool absolute = false;
  if (font_name.is_none()) {
    py::object fallback = fonts[py::int_(0)];
    if (verbose) logger.warning("font_name is not specified, use default " + kx::quoted(fallback));
    font_name = fallback;
  } else if (py::bool_(path.attr("isabs")(font_name)) && py::bool_(path.attr("exists")(font_name))) {
    absolute = true;
  } else if (!fonts.contains(font_name)) {
    py::object fallback = fonts[py::int_(0)];
    if (verbose) {
      logger.warning("can not fine such font file " + kx::quoted(font_name) + ", use default " +
                     kx::text_of(fallback));
    }
    font_name = fallback;
  }
  logger.info("load font " + kx::quoted(font_name));
  // An absolute path that exists is loaded as it is; a name from the font directory is the
  // file of that name plus ".ttf" there.
  py::object font_file = absolute ? font_name : path.attr("join")(fonts_dir, font_name + py::str(".ttf"));
  return kx::module_attr("PIL.ImageFont", "truetype")(font_file, font_size);
}

void captions_draw_init(py::object self, py::object font, py::object font_size, py::object font_color,
                        py::object shadow_color, py::object verbose) {
  kx::check_arg(font, "font", kx::Type::Str, true);
  kx::check_arg(font_size, "font_size", kx::Type::Int, true);
  self.attr("verbose") = verbose;
  if (font_size.is_none()) font_size = kx::module_attr(kModule, "DEFAULT_FONT_SIZE");
  self.attr("font") = self.attr("init_font")(py::arg("font_name") = font, py::arg("font_size") = font_size);
  py::object get_rgba_color = kx::module_attr(kModule, "get_rgba_color");
  if (font_color.is_none()) font_color = kx::module_attr(kModule, "DEFAULT_TXT_COLOR");
  self.attr("default_txt_color") = get_rgba_color(font_color);
  if (shadow_color.is_none()) shadow_color = kx::module_attr(kModule, "DEFAULT_SHADOW_COLOR");
  self.attr("default_shadow_color") = get_rgba_color(shadow_color);
}

// A number used as an integer coordinate when it is one (int or any integer type).
bool integral(py::handle v) { return PyLong_Check(v.ptr()) || (PyIndex_Check(v.ptr()) && !PyFloat_Check(v.ptr())); }

// x, y = pos, with the interpreter's unpacking errors.
std::pair<py::object, py::object> unpack_pos(py::object pos) {
  std::vector<py::object> items;
  for (py::handle item : pos) {
    items.push_back(py::reinterpret_borrow<py::object>(item));
    if (items.size() > 2) throw py::value_error("too many values to unpack (expected 2)");
  }
  if (items.size() < 2) {
    throw py::value_error("not enough values to unpack (expected 2, got " + std::to_string(items.size()) + ")");
  }
  return {items[0], items[1]};
}

struct Placement {
  py::object box0, box1, text, shadow;  // the corner points and origins as Python tuples
};

template <typename T>
Placement placement_of(const cap::CaptionLayout<T>& l) {
  return Placement{py::make_tuple(l.box_x0, l.box_y0), py::make_tuple(l.box_x1, l.box_y1),
                   py::make_tuple(l.text_x, l.text_y), py::make_tuple(l.shadow_x, l.shadow_y)};
}

// An integer coordinate of a caption at (x, y) as a 64-bit integer; one beyond that range
// raises OverflowError naming the position.
std::int64_t coordinate(py::handle v, py::handle x, py::handle y) {
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(py::int_(py::reinterpret_borrow<py::object>(v)).ptr(), &overflow);
  if (overflow != 0) {
    PyErr_Format(PyExc_OverflowError,
                 "caption position (%S, %S) out of range: coordinates must fit in 64 bits",
                 x.ptr(), y.ptr());
    throw py::error_already_set();
  }
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  return static_cast<std::int64_t>(n);
}

// The layout of a caption; a position whose caption would leave the 64-bit range raises
// OverflowError (ValueError for a coordinate that is not a number) before anything is drawn.
Placement place(py::object width, py::object height, py::object x, py::object y, bool large_padding) {
  if (integral(width) && integral(height) && integral(x) && integral(y)) {
    auto i64 = [&](py::handle v) { return coordinate(v, x, y); };
    return placement_of(cap::layout_caption(i64(width), i64(height), i64(x), i64(y), large_padding));
  }
  const double h = kx::as_double(height);
  if (!std::isfinite(h)) {  // int() of it fails as in the interpreter
    PyObject* fail = PyLong_FromDouble(h);
    Py_XDECREF(fail);
    throw py::error_already_set();
  }
  return placement_of(cap::layout_caption(kx::as_double(width), h, kx::as_double(x), kx::as_double(y), large_padding));
}

// Whether text of the measured `size` placed at `origin` may put a pixel on a canvas of
// `canvas` = (width, height). Text wholly outside is never handed to Pillow: its rasteriser
// works with the machine's native integers and gives different (wrong) results on different
// architectures for positions such as (2**62, 10). The test keeps a margin of the font size
// around the measured box (glyph overhang and the offsets Pillow adds to the origin), so it
// only ever skips text that draws nothing. Python arithmetic: positions may be any integer.
bool reaches_canvas(py::object origin, py::tuple size, py::object font, py::object canvas) {
  if (canvas.is_none()) return true;
  py::object margin = py::int_(16);
  if (py::hasattr(font, "size")) margin = margin + font.attr("size");
  auto item = [](py::handle seq, int i) { return py::reinterpret_borrow<py::object>(seq)[py::int_(i)].cast<py::object>(); };
  const py::object x = item(origin, 0), y = item(origin, 1), zero = py::int_(0);
  if (!(x < item(canvas, 0) + margin) || !(y < item(canvas, 1) + margin)) return false;
  return x + item(size, 0) + margin > zero && y + item(size, 1) + margin > zero;
}

py::object draw_texts(py::object self, py::object draw, py::object text, py::object txt_color, py::object pos,
                      py::object large_padding, py::object fill_rectangle, py::object fill_rectangle_color,
                      py::object show_shadow, py::object shadow_color) {
  py::object font = self.attr("font");
  py::tuple size = get_text_size(draw, text, font, pos);
  auto [x, y] = unpack_pos(pos);
  const Placement at = place(size[0], size[1], x, y, py::bool_(large_padding));
  if (py::bool_(fill_rectangle)) {
    py::list corners;
    corners.append(at.box0);
    corners.append(at.box1);
    draw.attr("rectangle")(corners, py::arg("fill") = fill_rectangle_color);
  }
  // A context without a canvas of known size (a stand-in) gets every call.
  py::object im = py::getattr(draw, "im", py::none());
  py::object canvas = im.is_none() ? py::object(py::none()) : py::getattr(im, "size", py::none());
  if (py::bool_(show_shadow) && reaches_canvas(at.shadow, size, font, canvas)) {
    py::object colour = shadow_color.is_none() ? self.attr("default_shadow_color") : shadow_color;
    draw.attr("multiline_text")(at.shadow, py::arg("text") = text, py::arg("font") = font, py::arg("fill") = colour);
  }
  if (reaches_canvas(at.text, size, font, canvas)) {
    py::object colour = txt_color.is_none() ? self.attr("default_txt_color") : txt_color;
    draw.attr("multiline_text")(at.text, py::arg("text") = text, py::arg("font") = font, py::arg("fill") = colour);
  }
  return draw;
}

const char* kCaptionsDrawDoc =
    "Draws captions with one TrueType font.\n\n"
    "CaptionsDraw(font=None, font_size=DEFAULT_FONT_SIZE, font_color=DEFAULT_TXT_COLOR,\n"
    "             shadow_color=DEFAULT_SHADOW_COLOR, verbose=False)\n\n"
    "font is a font name from FONTS_DIR (the file name without \".ttf\"), an absolute path to a\n"
    "font file, or None for the first font of the directory; a name that is not found falls\n"
    "back to that default (logged as a warning when verbose). font_color and shadow_color are\n"
    "colour values as get_rgba_color takes them.\n\n"
    "Attributes: verbose, font (the loaded ImageFont), default_txt_color, default_shadow_color.";

}  // namespace

PYBIND11_MODULE(captions, m) {
  kx::translate_exceptions_here();
  py::options opts;
  opts.disable_function_signatures();
  m.doc() =
      "Captions on frames: font discovery (get_supported_fonts), text measurement\n"
      "(get_text_size) and CaptionsDraw, which draws a text above a point with an optional box\n"
      "behind it and a one-pixel drop shadow, through a Pillow ImageDraw context.";

  py::object fonts_dir = kx::module_attr("kestrix_sdk.constants", "FONTS_DIR");
  py::object palette = py::module_::import("kestrix_sdk.visualize.palette");
  py::module_::import("PIL.ImageFont");
  m.attr("_pil_version") = kx::module_attr("PIL", "__version__");

  m.attr("FONTS_DIR") = fonts_dir;
  m.attr("get_rgba_color") = palette.attr("get_rgba_color");
  m.attr("DEFAULT_FONT_SIZE") = kDefaultFontSize;
  m.attr("DEFAULT_TXT_COLOR") = py::make_tuple(255, 255, 255, 1.0);
  m.attr("DEFAULT_SHADOW_COLOR") = py::make_tuple(0, 0, 0, 1.0);
  m.attr("logger") = kx::make_logger("kestrix_sdk.logging", "vis-font", false);

  m.def("get_supported_fonts", &get_supported_fonts, py::arg("fonts_dir") = fonts_dir,
        "get_supported_fonts(fonts_dir=FONTS_DIR)\n\n"
        "Names of the TrueType fonts in fonts_dir: every entry whose last extension is exactly\n"
        "\".ttf\", without it, in the order the directory lists them.");
  m.def("get_text_size", &get_text_size, py::arg("draw"), py::arg("text"), py::arg("font"),
        py::arg("xy") = py::make_tuple(10, 10),
        "get_text_size(draw, text, font, xy=(10, 10))\n\n"
        "(text_width, text_height) of text in font, from draw.textbbox(xy, text, font=font)\n"
        "(draw.textsize(text, font) with Pillow versions before 10.0.0).");

  kx::HeapClass cls(m, "CaptionsDraw", kCaptionsDrawDoc);
  cls.def_init(&captions_draw_init, py::arg("font") = py::none(), py::arg("font_size") = kDefaultFontSize,
               py::arg("font_color") = m.attr("DEFAULT_TXT_COLOR"),
               py::arg("shadow_color") = m.attr("DEFAULT_SHADOW_COLOR"), py::arg("verbose") = false,
               "Loads the font (init_font) and resolves the default text and shadow colours.")
      .def("init_font", &init_font, py::arg("font_name"), py::arg("font_size"),
           "init_font(font_name, font_size)\n\n"
           "Resolves font_name (None, a name from FONTS_DIR or an existing absolute path; anything\n"
           "else falls back to the first font of FONTS_DIR), logs \"load font <name>\" and returns\n"
           "ImageFont.truetype(font_file, font_size). The font is not stored.")
      .def("draw_texts", &draw_texts, py::arg("draw"), py::arg("text"), py::arg("txt_color") = py::none(),
           py::arg("pos") = py::make_tuple(50, 50), py::arg("large_padding") = false,
           py::arg("fill_rectangle") = false, py::arg("fill_rectangle_color") = py::none(),
           py::arg("show_shadow") = false, py::arg("shadow_color") = py::none(),
           "draw_texts(draw, text, txt_color=None, pos=(50, 50), large_padding=False,\n"
           "           fill_rectangle=False, fill_rectangle_color=None, show_shadow=False,\n"
           "           shadow_color=None)\n\n"
           "Draws one caption through draw and returns draw. The caption box has its bottom-left\n"
           "corner at pos and is text_width + 2 * padding wide and text_height + padding_top high,\n"
           "where padding = max(2, text_height // 4) and padding_top = padding // 2 (padding * 2\n"
           "with large_padding). In order: the box (draw.rectangle, when fill_rectangle), the\n"
           "shadow one pixel right and down (draw.multiline_text, when show_shadow), the text.\n"
           "Colours are passed to the drawing context unchanged; None means the defaults.");
}
