#include "binding.hpp"

#include <Python.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrix/composite.hpp"

namespace kx {

namespace {

const char* type_name(Type type) {
  switch (type) {
    case Type::Str: return "str";
    case Type::Int: return "int";
    case Type::Float: return "float";
    case Type::Bool: return "bool";
    case Type::List: return "list";
    case Type::Dict: return "dict";
    case Type::Bytes: return "bytes";
  }
  return "object";
}

}  // namespace

bool is_exact(py::handle obj, Type type) {
  PyObject* o = obj.ptr();
  switch (type) {
    case Type::Str: return PyUnicode_CheckExact(o);
    case Type::Int: return PyLong_CheckExact(o);
    case Type::Float: return PyFloat_CheckExact(o);
    case Type::Bool: return PyBool_Check(o);
    case Type::List: return PyList_CheckExact(o);
    case Type::Dict: return PyDict_CheckExact(o);
    case Type::Bytes: return PyBytes_CheckExact(o);
  }
  return false;
}

void check_arg(py::handle obj, const char* name, Type type, bool allow_none) {
  if (allow_none && obj.is_none()) return;
  if (is_exact(obj, type)) return;
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               name, type_name(type), Py_TYPE(obj.ptr())->tp_name);
  throw py::error_already_set();
}

void ModuleLogger::emit(const char* level, const std::string& msg) const {
  py::module_ mod = py::module_::import(module_name_);
  mod.attr("logger").attr(level)(py::str(msg));
}

void ModuleLogger::exception(const std::string& prefix, py::error_already_set& err) const {
  std::string text = prefix + error_text(err);
  try {
    // An error raised by C code that C++ called has no traceback object: pass None then.
    py::object trace = err.trace() ? err.trace() : py::none();
    py::object tb = py::module_::import("traceback").attr("format_exception")(err.type(),
                                                                              err.value(), trace);
    text += "\n" + py::str("").attr("join")(tb).cast<std::string>();
    while (!text.empty() && text.back() == '\n') text.pop_back();
  } catch (py::error_already_set&) {
    // Formatting the traceback failed; the one-line description still goes out.
  }
  error(text);
}

py::object make_logger(const char* factory_module, const char* name, bool by_keyword) {
  py::object get_logger = py::module_::import(factory_module).attr("get_logger");
  if (by_keyword) return get_logger(py::arg("name") = name);
  return get_logger(name);
}

bool truthy(py::handle obj) {
  const int result = PyObject_IsTrue(obj.ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
}

bool contains(py::handle container, py::handle item) {
  const int result = PySequence_Contains(container.ptr(), item.ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
}

double as_double(py::handle obj) {
  const double d = PyFloat_AsDouble(obj.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return d;
}

std::string text_of(py::handle obj) { return py::str(obj).cast<std::string>(); }

std::string error_text(const py::error_already_set& err) {
  py::gil_scoped_acquire gil;
  try {
    return text_of(err.value());
  } catch (py::error_already_set&) {
    return err.what();
  }
}

HeapClass::HeapClass(py::module_& module, const char* name, const char* doc, py::tuple bases) {
  if (bases.empty()) {
    bases = py::make_tuple(
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  }
  py::dict ns;
  ns["__module__"] = module.attr("__name__");
  ns["__qualname__"] = name;
  ns["__doc__"] = doc;
  cls_ = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
      name, bases, ns);
  module.attr(name) = cls_;
}

ThreadClass::ThreadClass(py::module_& module, const char* name, const char* doc)
    : HeapClass(module, name, doc,
                py::make_tuple(py::module_::import("threading").attr("Thread"))) {}

namespace {

// One method bound by HeapClass::def_fast. Owned by the capsule that is the function's
// `self`, so it lives exactly as long as the function object.
struct FastMethodRecord {
  static constexpr std::size_t kMaxArgs = 8;  // including the instance
  PyMethodDef def{};
  HeapClass::FastMethod fn = nullptr;
  std::string name;
  std::string doc;
  std::vector<py::str> arg_names;  // the instance first ("self")
};

constexpr const char* kFastMethodCapsule = "kestrix.FastMethodRecord";

PyObject* fast_method_call(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto* rec = static_cast<FastMethodRecord*>(PyCapsule_GetPointer(capsule, kFastMethodCapsule));
  if (rec == nullptr) return nullptr;
  const Py_ssize_t expected = static_cast<Py_ssize_t>(rec->arg_names.size());
  const char* name = rec->name.c_str();
  if (nargs > expected) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", name,
                 expected - 1, nargs - 1);
    return nullptr;
  }
  py::handle slots[FastMethodRecord::kMaxArgs];
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t at = 1;
    for (; at < expected; ++at) {
      int eq = PyUnicode_Compare(key, rec->arg_names[at].ptr());
      if (eq == -1 && PyErr_Occurred()) return nullptr;
      if (eq == 0) break;
    }
    if (at == expected) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
      return nullptr;
    }
    if (slots[at]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", name, key);
      return nullptr;
    }
    slots[at] = args[nargs + k];
  }
  for (Py_ssize_t i = 0; i < expected; ++i) {
    if (!slots[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%U'", name,
                   rec->arg_names[i].ptr());
      return nullptr;
    }
  }
  try {
    return rec->fn(slots).release().ptr();
  } catch (py::error_already_set& err) {
    err.restore();
  } catch (py::builtin_exception& err) {
    err.set_error();
  } catch (std::exception& err) {
    PyErr_SetString(PyExc_RuntimeError, err.what());
  }
  return nullptr;
}

}  // namespace

HeapClass& HeapClass::def_fast(const char* name, FastMethod fn,
                               std::initializer_list<const char*> arg_names, const char* doc) {
  if (arg_names.size() + 1 > FastMethodRecord::kMaxArgs) {
    throw std::invalid_argument("def_fast: too many arguments");
  }
  auto* rec = new FastMethodRecord();
  rec->fn = fn;
  rec->name = name;
  rec->doc = doc;
  rec->arg_names.push_back(py::str("self"));
  for (const char* arg : arg_names) rec->arg_names.push_back(py::str(arg));
  rec->def.ml_name = rec->name.c_str();
  rec->def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_method_call));
  rec->def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
  rec->def.ml_doc = rec->doc.c_str();
  PyObject* capsule = PyCapsule_New(rec, kFastMethodCapsule, [](PyObject* cap) {
    delete static_cast<FastMethodRecord*>(PyCapsule_GetPointer(cap, kFastMethodCapsule));
  });
  if (capsule == nullptr) {
    delete rec;
    throw py::error_already_set();
  }
  py::object owner = py::reinterpret_steal<py::object>(capsule);
  py::object function = py::reinterpret_steal<py::object>(
      PyCFunction_NewEx(&rec->def, owner.ptr(), cls_.attr("__module__").ptr()));
  if (!function) throw py::error_already_set();
  // Like a Python function in a class body, an instance method binds the instance on access.
  py::object method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
  if (!method) throw py::error_already_set();
  cls_.attr(name) = method;
  return *this;
}

void thread_init(py::handle self) {
  py::module_::import("threading").attr("Thread").attr("__init__")(self);
}

}  // namespace kx

// ---------------------------------------------------------------------------------------------
// Frames and overlays.

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
