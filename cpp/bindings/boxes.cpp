// kestrix_sdk.visualize.boxes: detection boxes with class, label and confidence captions, drawn
// into an RGBA overlay through Pillow and blended natively over a copy of the frame.
//
// The names this module uses from its neighbours are bound as module attributes at load
// (get_rgba_color, get_rgba_color_with_palette_id, CaptionsDraw, KEY) and read at each use.
#include <Python.h>

#include <string>

#include "frames.hpp"
#include "sparse_draw.hpp"
#include "kestrix/geometry.hpp"

using namespace pybind11::literals;

namespace {

constexpr const char* kModule = "kestrix_sdk.visualize.boxes";

// The class and its own _draw_objs_, kept at load for the crop route's check.
py::object* boxes_class = nullptr;
py::object* own_draw_objs = nullptr;

// The record's box as pixels. tlwh is any sequence of exactly four numbers.
kestrix::PixelBox record_box(const py::object& tlwh, int width, int height) {
  py::list values(tlwh);
  if (values.size() != 4) {
    throw py::value_error("tlwh must have exactly four values (left, top, width, height), got " +
                          std::to_string(values.size()));
  }
  return kestrix::box_to_pixels(kx::as_double(values[0]), kx::as_double(values[1]), kx::as_double(values[2]),
                                kx::as_double(values[3]), width, height);
}

// The score with two decimals, rounded from the exact double ("0.875" -> "0.88").
py::str score_text(py::handle score) {
  py::object number = py::reinterpret_steal<py::object>(PyNumber_Float(score.ptr()));
  if (!number) throw py::error_already_set();
  char* text = PyOS_double_to_string(PyFloat_AS_DOUBLE(number.ptr()), 'f', 2, 0, nullptr);
  if (text == nullptr) throw py::error_already_set();
  py::str result(text);
  PyMem_Free(text);
  return result;
}

py::object draw_objs(py::object self, py::object draw, py::object objs, py::object show_label,
                     py::object show_confidence, py::object show_class_id) {
  auto size = draw.attr("im").attr("size").cast<py::tuple>();
  const int width = size[0].cast<int>();
  const int height = size[1].cast<int>();
  py::object key = kx::module_attr(kModule, "KEY");
  py::object key_tlwh = key.attr("TLWH"), key_class = key.attr("CLASS_ID");
  py::object key_label = key.attr("LABEL"), key_score = key.attr("SCORE");
  py::object bbox_color = self.attr("bbox_color");
  py::object thickness = self.attr("bbox_thickness");
  const bool label = kx::truthy(show_label);
  const bool confidence = kx::truthy(show_confidence);
  const bool class_id = kx::truthy(show_class_id);

  for (py::handle record : objs) {
    const kestrix::PixelBox box = record_box(record[key_tlwh], width, height);
    py::int_ x(box.x), y(box.y);
    py::object color = bbox_color;
    if (color.is_none()) {
      py::object palette_id = kx::contains(record, key_class) ? py::object(record[key_class])
                                                         : py::object(py::int_(0));
      color = kx::module_attr(kModule, "get_rgba_color_with_palette_id")("palette_id"_a = palette_id);
    }
    py::list corners;
    corners.append(py::make_tuple(x, y));
    corners.append(py::make_tuple(x + py::int_(box.w), y + py::int_(box.h)));
    draw.attr("rectangle")("xy"_a = corners, "fill"_a = py::none(), "outline"_a = color,
                           "width"_a = thickness);
    if (!label) continue;

    py::list pieces;
    if (class_id && kx::contains(record, key_class)) {
      pieces.append(py::str(record[key_class]));
      pieces.append(py::str(" "));
    }
    if (kx::contains(record, key_label)) pieces.append(py::str(record[key_label]));
    if (confidence) {
      pieces.append(py::str(" "));
      pieces.append(score_text(record[key_score]));
    }
    py::str text = py::str("").attr("join")(pieces);
    draw = self.attr("label_drawer").attr("draw_texts")(
        "draw"_a = draw, "pos"_a = py::make_tuple(x, y), "text"_a = text,
        "fill_rectangle"_a = true, "fill_rectangle_color"_a = color);
  }
  return draw;
}

// draw_detections through crops: the same drawing as _draw_objs_ into a whole-frame overlay,
// object by object, recorded and drawn onto crops. None when the call needs the overlay route
// (a replaced method or caption drawer, a box whose outline frames meet, a caption the cache
// cannot hold); nothing visible has happened then.
py::object sparse_detections(py::object self, const py::array& frame, py::object objs,
                             py::object show_label, py::object show_confidence) {
  if (!kx::method_plain(self, *boxes_class, "_draw_objs_", *own_draw_objs)) return py::none();
  const int height = static_cast<int>(frame.shape(0));
  const int width = static_cast<int>(frame.shape(1));
  py::object key = kx::module_attr(kModule, "KEY");
  py::object key_tlwh = key.attr("TLWH"), key_class = key.attr("CLASS_ID");
  py::object key_label = key.attr("LABEL"), key_score = key.attr("SCORE");
  py::object bbox_color = self.attr("bbox_color");
  py::object thickness = self.attr("bbox_thickness");
  if (!PyLong_CheckExact(thickness.ptr())) return py::none();
  const long long t = thickness.cast<long long>();
  if (t < 0 || t > (1LL << 20)) return py::none();
  const bool label = kx::truthy(show_label);
  const bool confidence = kx::truthy(show_confidence);
  py::object drawer = self.attr("label_drawer");
  if (label && !kx::caption_drawer_plain(drawer)) return py::none();

  kx::SparseDrawing drawing(width, height);
  for (py::handle record : objs) {
    const kestrix::PixelBox box = record_box(record[key_tlwh], width, height);
    py::object color = bbox_color;
    if (color.is_none()) {
      py::object palette_id = kx::contains(record, key_class) ? py::object(record[key_class])
                                                               : py::object(py::int_(0));
      color = kx::module_attr(kModule, "get_rgba_color_with_palette_id")("palette_id"_a = palette_id);
    }
    const long long x1 = static_cast<long long>(box.x) + box.w, y1 = static_cast<long long>(box.y) + box.h;
    if (box.x < -(1LL << 30) || box.y < -(1LL << 30) || x1 > (1LL << 30) || y1 > (1LL << 30)) return py::none();
    // A box whose corners are swapped fails in Pillow: the overlay route raises that error.
    if (!drawing.outline(static_cast<int>(box.x), static_cast<int>(box.y), static_cast<int>(x1),
                         static_cast<int>(y1), static_cast<int>(t), t != 0 ? kx::ink_of(color) : 0)) {
      return py::none();
    }
    if (!label) continue;
    py::list pieces;
    if (kx::contains(record, key_label)) pieces.append(py::str(record[key_label]));
    if (confidence) {
      pieces.append(py::str(" "));
      pieces.append(score_text(record[key_score]));
    }
    py::str text = py::str("").attr("join")(pieces);
    if (!drawing.caption(drawer, text, py::none(), box.x, box.y, false, true, color, false, py::none())) {
      return py::none();
    }
  }
  return drawing.render(frame);
}

}  // namespace

PYBIND11_MODULE(boxes, m) {
  kx::translate_exceptions_here();
  py::options opts;
  opts.disable_function_signatures();
  m.doc() = "Detection boxes with class, label and confidence captions drawn onto frames.";

  py::module_ palette = py::module_::import("kestrix_sdk.visualize.palette");
  m.attr("get_rgba_color") = palette.attr("get_rgba_color");
  m.attr("get_rgba_color_with_palette_id") = palette.attr("get_rgba_color_with_palette_id");
  m.attr("CaptionsDraw") = kx::module_attr("kestrix_sdk.visualize.captions", "CaptionsDraw");
  m.attr("KEY") = kx::module_attr("kestrix_sdk.constants", "KEY");
  m.attr("Image") = py::module_::import("PIL.Image");
  m.attr("ImageDraw") = py::module_::import("PIL.ImageDraw");

  kx::HeapClass cls(m, "BoxesDraw",
                     "Draws detection boxes and their captions onto frames.\n\n"
                     "BoxesDraw(bbox_color, bbox_thickness, text_color, text_size)\n\n"
                     "bbox_color: a colour for every box (name, 3 or 4 channel values) or None for\n"
                     "a colour per class from the palette; bbox_thickness: outline width in pixels;\n"
                     "text_color, text_size: caption colour and font size.\n\n"
                     "Attributes: bbox_color (RGBA colour or None), bbox_thickness, label_drawer\n"
                     "(the CaptionsDraw that renders the captions).");
  cls.def_init(
         [](py::object self, py::object bbox_color, py::object bbox_thickness,
            py::object text_color, py::object text_size) {
           self.attr("bbox_color") = kx::module_attr(kModule, "get_rgba_color")(bbox_color);
           self.attr("bbox_thickness") = bbox_thickness;
           self.attr("label_drawer") =
               kx::module_attr(kModule, "CaptionsDraw")("font_color"_a = text_color, "font_size"_a = text_size);
         },
         "bbox_color"_a, "bbox_thickness"_a, "text_color"_a, "text_size"_a)
      .def(
          "draw_detections",
          [](py::object self, py::object img, py::object detections, py::object show_label,
             py::object show_confidence) {
            py::array frame = kx::frame_arg(img, "img");
            py::object fast = sparse_detections(self, frame, detections, show_label, show_confidence);
            if (!fast.is_none()) return py::array(fast);
            py::tuple size = py::make_tuple(frame.shape(1), frame.shape(0));
            py::object overlay = kx::module_attr(kModule, "Image").attr("new")(
                "RGBA", size, py::make_tuple(255, 255, 255, 0));
            py::object draw = kx::module_attr(kModule, "ImageDraw").attr("Draw")(overlay, "RGBA");
            self.attr("_draw_objs_")("draw"_a = draw, "objs"_a = detections,
                                     "show_label"_a = show_label,
                                     "show_confidence"_a = show_confidence);
            return kx::blend_overlay(frame, overlay);
          },
          "img"_a, "detections"_a, "show_label"_a = true, "show_confidence"_a = true,
          "draw_detections(img, detections, show_label=True, show_confidence=True)\n\n"
          "Returns a new frame with every detection drawn: its box and, when show_label is\n"
          "true, a caption of its label and (show_confidence) its score with two decimals.\n"
          "img is an 8-bit height x width x 3 blue-green-red frame; it is not changed.")
      .def("_draw_objs_", &draw_objs, "draw"_a, "objs"_a, "show_label"_a = true,
           "show_confidence"_a = true, "show_class_id"_a = false,
           "_draw_objs_(draw, objs, show_label=True, show_confidence=True, show_class_id=False)\n\n"
           "Draws the records objs through the drawing context draw; returns the context.")
      .def(
          "draw_tracking", [](py::object, py::object, py::object) { return py::none(); },
          "draw"_a, "tracking"_a,
          "draw_tracking(draw, tracking)\n\nDraws nothing; returns None.");
  boxes_class = new py::object(cls.cls());
  own_draw_objs = new py::object(cls.cls().attr("_draw_objs_"));
  kx::prepare_sparse_drawing();
}
