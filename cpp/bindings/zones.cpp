// kestrix_sdk.visualize.zones: regions of interest drawn as filled polygons with outlines and,
// on request, their names at their centres, into an RGBA overlay through Pillow and blended
// natively over a copy of the frame.
//
// The names this module uses from its neighbours are bound as module attributes at load
// (get_rgba_color, get_rgba_color_with_palette_id, CaptionsDraw) and read at each use.
#include <Python.h>

#include <string>

#include "frames.hpp"
#include "sparse_draw.hpp"
#include "kestrix/geometry.hpp"

using namespace pybind11::literals;

namespace {

constexpr const char* kModule = "kestrix_sdk.visualize.zones";

// The class and its own _draw_polygon_, kept at load for the crop route's check.
py::object* zones_class = nullptr;
py::object* own_draw_polygon = nullptr;

// The region's polygon in pixels: `polygon` is an array (or nested sequence) of (x, y) rows.
kestrix::PixelPolygon region_polygon(const py::object& polygon, int width, int height) {
  using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;
  Array points(polygon);  // converts, or raises numpy's error
  if (points.ndim() != 2 || points.shape(1) != 2) {
    throw py::value_error("polygon must be an array of (x, y) rows, got shape " +
                          kx::text_of(points.attr("shape")));
  }
  return kestrix::polygon_to_pixels(points.data(), static_cast<std::size_t>(points.shape(0)),
                                    width, height);
}

// The caller's fill colour with 10 added to each of its first three channels, alpha unchanged
// (channel by channel, in order, so the first unsuitable channel is the one reported).
py::object derived_outline(const py::object& color) {
  py::int_ ten(10);
  py::object red = py::object(color[py::int_(0)]) + ten;
  py::object green = py::object(color[py::int_(1)]) + ten;
  py::object blue = py::object(color[py::int_(2)]) + ten;
  py::object alpha = color[py::int_(3)];
  return py::make_tuple(red, green, blue, alpha);
}

// draw_polygon_rois through crops: the same drawing as into a whole-frame overlay, region by
// region, recorded and drawn onto crops. None when the call needs the overlay route (a
// replaced method or caption drawer, a name the caption cache cannot hold, a name over a
// background of several colours); nothing visible has happened then.
py::object sparse_regions(py::object self, const py::array& frame, py::object rois, py::object fill_color,
                          py::object outline_color) {
  if (!kx::method_plain(self, *zones_class, "_draw_polygon_", *own_draw_polygon)) return py::none();
  const int height = static_cast<int>(frame.shape(0));
  const int width = static_cast<int>(frame.shape(1));
  if (fill_color.is_none()) fill_color = self.attr("default_roi_color");
  if (outline_color.is_none()) outline_color = self.attr("default_outline_color");
  kx::SparseDrawing drawing(width, height);
  bool drawer_checked = false;
  py::str polygon_key("polygon"), name_key("roi_name");
  for (py::handle roi : rois) {
    const kestrix::PixelPolygon polygon = region_polygon(roi[polygon_key], width, height);
    py::object name = kx::contains(roi, name_key) ? py::object(roi[name_key]) : py::object(py::str(""));
    // As _draw_polygon_ with fill: ImageDraw.polygon resolves the outline ink, then the fill's.
    if (!fill_color.is_none() || !outline_color.is_none()) {
      kestrix::Ink outline_ink = 0, fill_ink = 0;
      if (!outline_color.is_none()) outline_ink = kx::ink_of(outline_color);
      if (!fill_color.is_none()) fill_ink = kx::ink_of(fill_color);
      std::vector<long long> xy(polygon.xy.begin(), polygon.xy.end());
      drawing.polygon(xy, fill_color.is_none() ? nullptr : &fill_ink,
                      outline_color.is_none() ? nullptr : &outline_ink);
    }
    if (kx::truthy(self.attr("show_label"))) {
      py::object drawer = self.attr("label_drawer");
      if (!drawer_checked && !kx::caption_drawer_plain(drawer)) return py::none();
      drawer_checked = true;
      if (!drawing.caption(drawer, name, py::none(), polygon.label_x, polygon.label_y, true, false, py::none(),
                           true, py::none())) {
        return py::none();
      }
    }
  }
  return drawing.render(frame);
}

py::object draw_polygon_rois(py::object self, py::object img, py::object rois,
                             py::object fill_color, py::object outline_color) {
  py::array frame = kx::frame_arg(img, "img");
  py::object fast = sparse_regions(self, frame, rois, fill_color, outline_color);
  if (!fast.is_none()) return fast;
  const int height = static_cast<int>(frame.shape(0));
  const int width = static_cast<int>(frame.shape(1));
  py::object overlay = kx::module_attr(kModule, "Image").attr("new")("RGBA", py::make_tuple(width, height),
                                                        py::make_tuple(255, 255, 255, 0));
  py::object draw = kx::module_attr(kModule, "ImageDraw").attr("Draw")(overlay, "RGBA");
  if (fill_color.is_none()) fill_color = self.attr("default_roi_color");
  if (outline_color.is_none()) outline_color = self.attr("default_outline_color");

  py::str polygon_key("polygon"), name_key("roi_name");
  for (py::handle roi : rois) {
    const kestrix::PixelPolygon polygon = region_polygon(roi[polygon_key], width, height);
    py::list xy;
    for (std::int64_t v : polygon.xy) xy.append(py::int_(v));
    py::object name = kx::contains(roi, name_key) ? py::object(roi[name_key]) : py::object(py::str(""));
    self.attr("_draw_polygon_")("draw"_a = draw, "polygon"_a = xy,
                                "outline_color"_a = outline_color, "fill"_a = true,
                                "fill_color"_a = fill_color);
    if (kx::truthy(self.attr("show_label"))) {
      self.attr("label_drawer").attr("draw_texts")(
          "draw"_a = draw, "pos"_a = py::make_tuple(polygon.label_x, polygon.label_y),
          "large_padding"_a = true, "text"_a = name, "show_shadow"_a = true,
          "fill_rectangle"_a = false);
    }
  }
  return kx::blend_overlay(frame, overlay);
}

py::object draw_polygon(py::object self, py::object draw, py::object polygon,
                        py::object outline_color, py::object fill, py::object fill_color) {
  py::object fill_ink = py::none();
  if (kx::truthy(fill)) fill_ink = fill_color.is_none() ? self.attr("default_roi_color") : fill_color;
  if (outline_color.is_none()) outline_color = self.attr("default_outline_color");
  // Without fill and without outline there is nothing to draw (Pillow would fall back to its
  // default ink, an opaque white outline).
  if (fill_ink.is_none() && outline_color.is_none()) return draw;
  draw.attr("polygon")("xy"_a = polygon, "fill"_a = fill_ink, "outline"_a = outline_color);
  return draw;
}

}  // namespace

PYBIND11_MODULE(zones, m) {
  kx::translate_exceptions_here();
  py::options opts;
  opts.disable_function_signatures();
  m.doc() = "Regions of interest drawn onto frames as filled polygons with their names.";

  py::module_ palette = py::module_::import("kestrix_sdk.visualize.palette");
  m.attr("get_rgba_color") = palette.attr("get_rgba_color");
  m.attr("get_rgba_color_with_palette_id") = palette.attr("get_rgba_color_with_palette_id");
  m.attr("CaptionsDraw") = kx::module_attr("kestrix_sdk.visualize.captions", "CaptionsDraw");
  m.attr("Image") = py::module_::import("PIL.Image");
  m.attr("ImageDraw") = py::module_::import("PIL.ImageDraw");

  py::tuple roi_color = py::make_tuple(255, 150, 113, 0.4);
  py::tuple label_color = py::make_tuple(255, 255, 255, 0.4);
  m.attr("DEFAULT_ROI_COLOR") = roi_color;
  m.attr("DEFAULT_ROI_OUTLINE_COLOR") = py::make_tuple(70, 70, 70, 1.0);
  m.attr("DEFAULT_ROI_OUTLINE_THICKNESS") = 1;
  m.attr("DEFAULT_LABEL_COLOR") = label_color;
  m.attr("DEFAULT_LABEL_SIZE") = 20;

  kx::HeapClass cls(
      m, "VizPolygonDraw",
      "Draws regions of interest (polygons) and their names onto frames.\n\n"
      "VizPolygonDraw(show_roi=True, roi_color=DEFAULT_ROI_COLOR,\n"
      "               outline_color=DEFAULT_ROI_COLOR,\n"
      "               outline_thickness=DEFAULT_ROI_OUTLINE_THICKNESS, show_label=False,\n"
      "               label_size=DEFAULT_LABEL_SIZE, label_color=DEFAULT_LABEL_COLOR)\n\n"
      "roi_color: fill colour (name, 3 or 4 channel values); outline_color: outline colour,\n"
      "or None for the fill colour with 10 added to its red, green and blue;\n"
      "outline_thickness: accepted, outlines are one pixel wide; show_label: write region\n"
      "names; label_size, label_color: font size and colour of the names.\n\n"
      "Attributes: show_roi, show_label, label_drawer (the CaptionsDraw that writes the\n"
      "names), default_roi_color and default_outline_color (RGBA colours used when a call\n"
      "gives none).");
  cls.def_init(
         [](py::object self, py::object show_roi, py::object roi_color, py::object outline_color,
            py::object /*outline_thickness*/, py::object show_label, py::object label_size,
            py::object label_color) {
           self.attr("show_roi") = show_roi;
           self.attr("show_label") = show_label;
           py::object get_rgba_color = kx::module_attr(kModule, "get_rgba_color");
           self.attr("label_drawer") = kx::module_attr(kModule, "CaptionsDraw")(
               "font_size"_a = label_size, "font_color"_a = get_rgba_color(label_color));
           if (roi_color.is_none()) roi_color = kx::module_attr(kModule, "DEFAULT_ROI_COLOR");
           self.attr("default_roi_color") = get_rgba_color(roi_color);
           if (outline_color.is_none()) outline_color = derived_outline(roi_color);
           self.attr("default_outline_color") = get_rgba_color(outline_color);
         },
         "show_roi"_a = true, "roi_color"_a = roi_color, "outline_color"_a = roi_color,
         "outline_thickness"_a = 1, "show_label"_a = false, "label_size"_a = 20,
         "label_color"_a = label_color)
      .def("draw_polygon_rois", &draw_polygon_rois, "img"_a, "rois"_a,
           "fill_color"_a = py::none(), "outline_color"_a = py::none(),
           "draw_polygon_rois(img, rois, fill_color=None, outline_color=None)\n\n"
           "Returns a new frame with every region of rois drawn. A region is a mapping with\n"
           "\"polygon\" (N x 2 vertices, relative when every coordinate is below 1.0, else\n"
           "pixels) and optionally \"roi_name\". fill_color and outline_color, when given, are\n"
           "RGBA colours of four integers used for every region. img is an 8-bit\n"
           "height x width x 3 blue-green-red frame; it is not changed.")
      .def("_draw_polygon_", &draw_polygon, "draw"_a, "polygon"_a,
           "outline_color"_a = py::none(), "fill"_a = true, "fill_color"_a = py::none(),
           "_draw_polygon_(draw, polygon, outline_color=None, fill=True, fill_color=None)\n\n"
           "Draws one polygon (flat pixel list x0, y0, x1, y1, ...) through draw; returns draw.")
      .def(
          "draw_line_rois", [](py::object) { return py::none(); },
          "draw_line_rois()\n\nDraws nothing; returns None.");
  zones_class = new py::object(cls.cls());
  own_draw_polygon = new py::object(cls.cls().attr("_draw_polygon_"));
  kx::prepare_sparse_drawing();
}
