#include "frames.hpp"

#include <Python.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kestrix/composite.hpp"

namespace kx {

namespace {

// The Arrow C data interface structures (their layout is fixed by the Arrow C data interface).
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};

template <typename T>
T* capsule_pointer(py::handle capsule, const char* name) {
  if (!PyCapsule_IsValid(capsule.ptr(), name)) return nullptr;
  return static_cast<T*>(PyCapsule_GetPointer(capsule.ptr(), name));
}

// The overlay's pixels, in place, through Pillow's Arrow export: a fixed-size list of four
// uint8 per pixel ("+w:4" of "C"), one entry per pixel, rows packed. Returns false when the
// image offers no such export (older Pillow, or an image stored in several memory blocks);
// `keep` then holds nothing.
bool overlay_in_place(py::handle overlay, int width, int height, py::object& keep,
                      kestrix::OverlayView& view) {
  py::object pair;
  try {
    pair = overlay.attr("__arrow_c_array__")();
  } catch (py::error_already_set& err) {
    if (err.matches(PyExc_AttributeError) || err.matches(PyExc_ValueError)) return false;
    throw;
  }
  auto capsules = pair.cast<py::tuple>();
  if (capsules.size() != 2) return false;
  auto* schema = capsule_pointer<ArrowSchema>(capsules[0], "arrow_schema");
  auto* array = capsule_pointer<ArrowArray>(capsules[1], "arrow_array");
  if (schema == nullptr || array == nullptr || schema->release == nullptr ||
      array->release == nullptr) {
    return false;
  }
  const int64_t pixels = static_cast<int64_t>(width) * height;
  if (std::strcmp(schema->format, "+w:4") != 0 || schema->n_children != 1 ||
      std::strcmp(schema->children[0]->format, "C") != 0 || array->n_children != 1 ||
      array->length != pixels || array->null_count != 0) {
    return false;
  }
  const ArrowArray* values = array->children[0];
  if (values->n_buffers != 2 || values->buffers[1] == nullptr || values->null_count != 0 ||
      values->length < 4 * (array->offset + pixels)) {
    return false;
  }
  const auto* data = static_cast<const std::uint8_t*>(values->buffers[1]) +
                     4 * (array->offset) + values->offset;
  view = kestrix::OverlayView{data, 0, 0, width, height, static_cast<std::ptrdiff_t>(width) * 4};
  keep = std::move(pair);  // the capsules own the export until the blend is done
  return true;
}

// The pixels of `image` (RGBA, width x height) copied out with tobytes().
void overlay_bytes(py::handle image, int width, int height, py::object& keep,
                   kestrix::OverlayView& view) {
  py::bytes raw = image.attr("tobytes")();
  if (PyBytes_GET_SIZE(raw.ptr()) != static_cast<Py_ssize_t>(width) * height * 4) {
    throw py::value_error("overlay pixels have an unexpected size");
  }
  const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(raw.ptr()));
  view = kestrix::OverlayView{data, 0, 0, width, height, static_cast<std::ptrdiff_t>(width) * 4};
  keep = std::move(raw);
}

// Rows of `width` RGBA pixels that fit one of Pillow's memory blocks.
int rows_per_block(int width) {
  long long block = 16 * 1024 * 1024;
  py::object core = py::module_::import("PIL.Image").attr("core");
  if (py::hasattr(core, "get_block_size")) block = core.attr("get_block_size")().cast<long long>();
  return static_cast<int>(std::max(1LL, block / (4LL * width)));
}

// An overlay Pillow keeps in several memory blocks (large frames): only its non-transparent
// bounds are blended, cut into bands of rows that each fit one block, so that every band,
// copied out with crop(), can be read in place.
void blend_in_bands(const kestrix::FrameView& source, py::handle overlay, std::uint8_t* dst) {
  py::object bbox = overlay.attr("getbbox")();
  if (bbox.is_none()) {
    py::gil_scoped_release release;
    kestrix::composite_over_bgr(source, kestrix::OverlayView{}, dst);
    return;
  }
  auto box = bbox.cast<py::tuple>();
  const int left = box[0].cast<int>(), top = box[1].cast<int>();
  const int right = box[2].cast<int>(), bottom = box[3].cast<int>();
  const int band_rows = rows_per_block(right - left);
  bool first = true;
  for (int y = top; y < bottom; y += band_rows) {
    const int y1 = std::min(bottom, y + band_rows);
    py::object band = overlay.attr("crop")(py::make_tuple(left, y, right, y1));
    py::object keep;
    kestrix::OverlayView view;
    if (!overlay_in_place(band, right - left, y1 - y, keep, view)) {
      overlay_bytes(band, right - left, y1 - y, keep, view);
    }
    view.left = left;
    view.top = y;
    py::gil_scoped_release release;
    if (first) {
      kestrix::composite_over_bgr(source, view, dst);
    } else {
      kestrix::blend_into_bgr(view, dst, source.width, source.height);
    }
    first = false;
  }
}

}  // namespace

py::array frame_arg(py::handle img, const char* name) {
  if (!py::isinstance<py::array>(img)) {
    throw py::type_error(std::string(name) +
                         " must be a NumPy array of 8-bit values, height x width x 3 (got " +
                         Py_TYPE(img.ptr())->tp_name + ")");
  }
  auto arr = py::reinterpret_borrow<py::array>(img);
  const py::dtype dtype = arr.dtype();
  if (dtype.kind() != 'u' || dtype.itemsize() != 1) {
    throw py::type_error(std::string(name) + " must hold 8-bit values (dtype uint8), got dtype " +
                         text_of(dtype));
  }
  if (arr.ndim() != 3 || arr.shape(2) != 3) {
    throw py::value_error(std::string(name) +
                          " must have the shape height x width x 3 (blue, green, red), got " +
                          text_of(arr.attr("shape")));
  }
  if (arr.shape(0) == 0 || arr.shape(1) == 0) {
    throw py::value_error(std::string(name) + " has no pixels: shape " +
                          text_of(arr.attr("shape")));
  }
  if (arr.shape(0) > INT_MAX / 4 || arr.shape(1) > INT_MAX / 4) {
    throw py::value_error(std::string(name) + " is too large: shape " +
                          text_of(arr.attr("shape")));
  }
  return arr;
}

py::array blend_overlay(const py::array& frame, py::handle overlay) {
  const int height = static_cast<int>(frame.shape(0));
  const int width = static_cast<int>(frame.shape(1));
  if (text_of(overlay.attr("mode")) != "RGBA" ||
      !py::object(overlay.attr("size")).equal(py::make_tuple(width, height))) {
    throw py::value_error("overlay must be an RGBA image of the frame's size");
  }
  const kestrix::FrameView source{static_cast<const std::uint8_t*>(frame.data()), width, height,
                                  frame.strides(0), frame.strides(1), frame.strides(2)};
  py::array_t<std::uint8_t> out({static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width),
                                 static_cast<py::ssize_t>(3)});
  std::uint8_t* dst = out.mutable_data();
  py::object keep;
  kestrix::OverlayView view;
  if (overlay_in_place(overlay, width, height, keep, view)) {
    py::gil_scoped_release release;
    kestrix::composite_over_bgr(source, view, dst);
  } else {
    blend_in_bands(source, overlay, dst);
  }
  return std::move(out);
}

}  // namespace kx
