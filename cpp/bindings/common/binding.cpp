#include "binding.hpp"

#include <Python.h>

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

void thread_init(py::handle self) {
  py::module_::import("threading").attr("Thread").attr("__init__")(self);
}

}  // namespace kx
