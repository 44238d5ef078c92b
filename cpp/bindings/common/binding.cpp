#include "binding.hpp"

#include <Python.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

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
    py::object tb = module_attr("traceback", "format_exception")(err.type(),
                                                                              err.value(), trace);
    text += "\n" + py::str("").attr("join")(tb).cast<std::string>();
    while (!text.empty() && text.back() == '\n') text.pop_back();
  } catch (py::error_already_set&) {
    // Formatting the traceback failed; the one-line description still goes out.
  }
  error(text);
}

py::object make_logger(const char* factory_module, const char* name, bool by_keyword) {
  py::object get_logger = module_attr(factory_module, "get_logger");
  if (by_keyword) return get_logger(py::arg("name") = name);
  return get_logger(name);
}

bool is_exception(const py::error_already_set& err) { return err.matches(PyExc_Exception); }

py::object module_attr(const char* module, const char* name) {
  return py::module_::import(module).attr(name);
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

std::string quoted(py::handle obj) {
  py::object text = py::reinterpret_steal<py::object>(PyObject_Str(obj.ptr()));
  if (!text) throw py::error_already_set();
  const Py_ssize_t length = PyUnicode_GetLength(text.ptr());
  if (length < 0) throw py::error_already_set();
  py::object head = text;
  if (length > kQuoteLimit) {
    head = py::reinterpret_steal<py::object>(PyUnicode_Substring(text.ptr(), 0, kQuoteLimit));
    if (!head) throw py::error_already_set();
  }
  py::object bytes = py::reinterpret_steal<py::object>(
      PyUnicode_AsEncodedString(head.ptr(), "utf-8", "backslashreplace"));
  if (!bytes) throw py::error_already_set();
  std::string result(PyBytes_AS_STRING(bytes.ptr()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
  if (length > kQuoteLimit) result += "... (" + std::to_string(length) + " characters)";
  return result;
}

HeldLock::HeldLock(py::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }

HeldLock::~HeldLock() {
  try {
    lock_.attr("release")();
  } catch (py::error_already_set&) {
    // Releasing a lock this object acquired does not fail; nothing sensible to do if it did.
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
                py::make_tuple(module_attr("threading", "Thread"))) {}

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

// Sets the Python error for the C++ exception being handled, exactly as a pybind11 function
// does: the registered translators first, then pybind11's own (std::bad_alloc -> MemoryError,
// std::out_of_range -> IndexError, std::invalid_argument -> ValueError, any other
// std::exception -> RuntimeError, ...). Nothing thrown gets past it into C.
void translate_active_exception() {
  try {
#if PYBIND11_VERSION_HEX >= 0x020D0000
    py::detail::try_translate_exceptions();
#else
    auto& local = py::detail::get_local_internals().registered_exception_translators;
    if (py::detail::apply_exception_translators(local)) return;
    auto& global = py::detail::get_internals().registered_exception_translators;
    if (py::detail::apply_exception_translators(global)) return;
    PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
#endif
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "C++ exception could not be translated");
  }
}

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
#ifdef __GLIBCXX__
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation must unwind, as in pybind11's own dispatcher
#endif
  } catch (...) {
    translate_active_exception();
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
  module_attr("threading", "Thread").attr("__init__")(self);
}

namespace {

// Compiled into each module (the helpers are a static library), so the catch clauses name that
// module's own copies of the standard exception types.
void translate_standard_exception(std::exception_ptr p) {
  if (!p) {
    return;
  }
  try {
    std::rethrow_exception(p);
  } catch (const py::error_already_set&) {
    throw;  // pybind11's own module-local translator restores it
  } catch (const py::builtin_exception&) {
    throw;  // and sets the Python error of pybind11's exception types
  } catch (const std::bad_alloc& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::domain_error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::length_error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::out_of_range& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const std::range_error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::overflow_error& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  // Anything else goes on to the next translator.
}

}  // namespace

void translate_exceptions_here() { py::register_local_exception_translator(&translate_standard_exception); }

}  // namespace kx
