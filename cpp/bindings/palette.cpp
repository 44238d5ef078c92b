// kestrix_sdk.visualize.palette: the colours of the drawing modules. ColorPalette generates a
// list of well-separated saturated colours (the search runs in the core library), PALETTE is the
// shared 256-colour palette built at load, and get_rgba_color / get_rgba_color_with_palette_id
// turn a caller's colour value into an RGBA colour.
#include <Python.h>

#include <cmath>
#include <string>
#include <vector>

#include "binding.hpp"
#include "kestrix/palette.hpp"

namespace pal = kestrix::palette;

namespace {

constexpr int kDefaultOpacity = 100;
constexpr int kPaletteSize = 256;

// Python's int(d) of an integer-valued double (ValueError for NaN, OverflowError for infinity).
py::object int_of(double d) {
  PyObject* o = PyLong_FromDouble(d);
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

// An HSV colour given as a sequence of three numbers.
pal::Hsv hsv_of(py::handle colour, const char* name) {
  py::object c = py::reinterpret_borrow<py::object>(colour);
  if (py::len(c) != 3) {
    throw py::value_error(std::string(name) + " must be an HSV colour (hue, saturation, value)");
  }
  return pal::Hsv{kx::as_double(c[py::int_(0)]), kx::as_double(c[py::int_(1)]), kx::as_double(c[py::int_(2)])};
}

// The RGB palette entry of an HSV colour, as a tuple of ints. Arithmetic as in the standard
// colorsys conversion, so non-finite input fails the way int() fails on it.
py::tuple rgb_tuple(double h, double s, double v) {
  if (s != 0.0 && !std::isfinite(h * 6.0)) int_of(h * 6.0);  // raises
  const std::array<double, 3> c = pal::hsv2rgb_scaled(h, s, v);
  return py::make_tuple(int_of(c[0]), int_of(c[1]), int_of(c[2]));
}

py::list rgb_list(const std::vector<pal::Hsv>& colours) {
  py::list out;
  for (const pal::Hsv& c : colours) out.append(rgb_tuple(c.h, c.s, c.v));
  return out;
}

// A draw from a caller's generator, which must be a finite number.
double checked_draw(py::object value) {
  const double d = kx::as_double(value);
  if (!std::isfinite(d)) throw py::value_error("the random generator returned " + kx::text_of(value));
  return d;
}

// The palette drawn from a caller's generator: its random() and uniform(lo, hi) are called in
// the palette's draw order; the search between the rounds of draws runs without the GIL.
std::vector<pal::Hsv> hsv_from_caller_rng(std::size_t n, py::object rng) {
  pal::PaletteBuilder builder;
  std::vector<pal::Hsv> candidates(pal::candidates_num);
  for (std::size_t k = 1; k < n; ++k) {
    for (pal::Hsv& c : candidates) {
      c.h = checked_draw(rng.attr("random")());
      c.s = checked_draw(rng.attr("uniform")(0.8, 1.0));
      c.v = checked_draw(rng.attr("uniform")(0.5, 1.0));
    }
    py::gil_scoped_release nogil;
    builder.add_best(candidates.data(), candidates.size());
  }
  return builder.chosen();
}

void color_palette_init(py::object self, py::object n, py::object rng) {
  kx::check_arg(n, "n", kx::Type::Int);
  if (n.cast<py::int_>() <= py::int_(0)) {
    throw py::value_error("Invalid Color Palette number - " + kx::text_of(n));
  }
  const Py_ssize_t count = PyLong_AsSsize_t(n.ptr());
  if (count == -1 && PyErr_Occurred()) throw py::error_already_set();
  std::vector<pal::Hsv> colours;
  if (rng.is_none()) {
    py::gil_scoped_release nogil;
    pal::Mt19937 generator(pal::default_seed);
    colours = pal::generate_hsv(static_cast<std::size_t>(count), generator);
  } else {
    colours = hsv_from_caller_rng(static_cast<std::size_t>(count), rng);
  }
  self.attr("palette") = rgb_list(colours);
}

py::object color_palette_getitem(py::object self, py::object item) {
  py::object entries = self.attr("palette");
  PyObject* index = PyNumber_Index(item.ptr());
  if (index == nullptr) throw py::error_already_set();
  py::object i = py::reinterpret_steal<py::object>(index);
  PyObject* wrapped = PyNumber_Remainder(i.ptr(), py::int_(py::len(entries)).ptr());  // floor modulo
  if (wrapped == nullptr) throw py::error_already_set();
  return entries[py::reinterpret_steal<py::object>(wrapped)];
}

double min_distance(py::object /*cls*/, py::object colors_set, py::object color_candidate) {
  const pal::Hsv candidate = hsv_of(color_candidate, "color_candidate");
  std::vector<pal::Hsv> set;
  for (py::handle o : colors_set) set.push_back(hsv_of(o, "an element of colors_set"));
  if (set.empty()) throw py::value_error("colors_set is empty");
  return pal::min_distance(set.data(), set.size(), candidate);
}

// The alpha of a 4-item colour value: a fraction in [0, 1] scaled to 0..255 and
// truncated, anything else truncated to its integer part.
py::object alpha_channel_value(py::object a) {
  if (PyLong_Check(a.ptr()) || PyIndex_Check(a.ptr())) {
    PyObject* index = PyNumber_Index(a.ptr());
    if (index == nullptr) throw py::error_already_set();
    py::object value = py::reinterpret_steal<py::object>(index);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0) return value;  // far outside [0, 1]: unchanged
    return py::int_(pal::alpha_channel_value(v));
  }
  return int_of(pal::alpha_channel_value(kx::as_double(a)));
}

py::object get_rgba_color(py::object getcolor, py::object color) {
  if (color.is_none()) return py::none();
  if (PyUnicode_Check(color.ptr())) {
    py::object rgba = getcolor(color, "RGBA");
    return py::make_tuple(rgba[py::int_(0)], rgba[py::int_(1)], rgba[py::int_(2)], rgba[py::int_(3)]);
  }
  const size_t items = py::len(color);
  if (items == 3) {
    return py::make_tuple(color[py::int_(0)], color[py::int_(1)], color[py::int_(2)], kDefaultOpacity);
  }
  if (items == 4) {
    return py::make_tuple(color[py::int_(0)], color[py::int_(1)], color[py::int_(2)],
                          alpha_channel_value(color[py::int_(3)]));
  }
  return py::none();
}

const char* kColorPaletteDoc =
    "A fixed-size list of well-separated, saturated colours.\n\n"
    "ColorPalette(n, rng=None) picks n colours one by one in HSV space: the first is red\n"
    "(1.0, 1.0, 1.0); each further one is the best of 100 random candidates, the one farthest\n"
    "(by dist) from its nearest already chosen colour, the first drawn among equals. Each\n"
    "candidate draws hue = rng.random(), saturation = rng.uniform(0.8, 1.0) and value =\n"
    "rng.uniform(0.5, 1.0), in that order. Without rng the generator is MT19937 seeded with\n"
    "2766 (the sequence of random.Random(2766)), so the palette is always the same.\n\n"
    "palette: the list of (red, green, blue) tuples in the order generated.\n"
    "len(p) is n; p[i] is palette[i % n] (floor modulo: p[-1] is the last entry).";

}  // namespace

PYBIND11_MODULE(palette, m) {
  kx::translate_exceptions_here();
  py::options opts;
  opts.disable_function_signatures();
  m.doc() =
      "Colours for the drawing modules: ColorPalette, the shared 256-colour PALETTE, and the\n"
      "conversion of colour values to RGBA colours (red, green, blue, alpha).";

  py::object getcolor = kx::module_attr("PIL.ImageColor", "getcolor");

  kx::HeapClass palette_class(m, "ColorPalette", kColorPaletteDoc);
  palette_class
      .def_init(&color_palette_init, py::arg("n"), py::arg("rng") = py::none(),
                "ColorPalette(n, rng=None)\n\n"
                "Builds a palette of n colours (n an int > 0, else ValueError \"Invalid Color\n"
                "Palette number - <n>\"). rng, when given, is any object with random() and\n"
                "uniform(lo, hi); it is advanced by the construction (300 draws per colour after\n"
                "the first).")
      .def("__len__", [](py::object self) { return py::len(self.attr("palette")); },
           "Number of colours.")
      .def("__getitem__", &color_palette_getitem, py::arg("item"),
           "p[i]: the entry at i modulo the palette length (floor modulo).")
      // Without it, iteration would fall back on the wrapping index and never end.
      .def("__iter__", [](py::object self) { return py::iter(self.attr("palette")); },
           "Iterates over the n entries once.")
      .def_static(
          "dist",
          [](py::object c1, py::object c2) { return pal::dist(hsv_of(c1, "c1"), hsv_of(c2, "c2")); },
          py::arg("c1"), py::arg("c2"),
          "dist(c1, c2)\n\n"
          "Squared distance of two HSV colours (h, s, v): dh*dh + ds*ds + dv*dv, where dh is\n"
          "twice the hue difference taken around the colour circle (opposite hues give 1).")
      .def_classmethod("min_distance", &min_distance, py::arg("cls"), py::arg("colors_set"), py::arg("color_candidate"),
                       "min_distance(colors_set, color_candidate)\n\n"
                       "The smallest dist(o, color_candidate) over the HSV colours o of colors_set.")
      .def_static(
          "hsv2rgb",
          [](py::object h, py::object s, py::object v) { return rgb_tuple(kx::as_double(h), kx::as_double(s), kx::as_double(v)); },
          py::arg("h"), py::arg("s"), py::arg("v"),
          "hsv2rgb(h, s, v)\n\n"
          "The (red, green, blue) entry of an HSV colour: the standard hexcone conversion, each\n"
          "channel scaled by 255 and rounded to the nearest integer, halves to even.");

  m.attr("DEFAULT_OPACITY") = kDefaultOpacity;
  py::object palette = palette_class.cls()(kPaletteSize);
  m.attr("PALETTE") = palette;

  m.def(
      "get_rgba_color",
      [getcolor](py::object color) { return get_rgba_color(getcolor, color); },
      py::arg("color") = py::none(),
      "get_rgba_color(color=None)\n\n"
      "The RGBA colour (red, green, blue, alpha) of a colour value:\n"
      "  None                 -> None\n"
      "  a string             -> PIL.ImageColor.getcolor(color, \"RGBA\") (names, \"#rrggbb\", ...)\n"
      "  (r, g, b)            -> (r, g, b, DEFAULT_OPACITY)\n"
      "  (r, g, b, a)         -> alpha int(a * 255) when 0 <= a <= 1 (a fraction), else int(a)\n"
      "  any other length     -> None\n"
      "Components other than a 4-item alpha pass through unchanged.");
  m.def(
      "get_rgba_color_with_palette_id",
      [palette](py::object palette_id) {
        py::object e = palette[palette_id];
        return py::make_tuple(e[py::int_(2)], e[py::int_(1)], e[py::int_(0)], kDefaultOpacity);
      },
      py::arg("palette_id"),
      "get_rgba_color_with_palette_id(palette_id)\n\n"
      "The RGBA colour of PALETTE entry palette_id (wrapping modulo 256): the entry's channels\n"
      "in reverse order, then alpha DEFAULT_OPACITY; entry 0, (255, 0, 0), gives (0, 0, 255, 100).");
}
