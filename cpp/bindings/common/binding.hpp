// Shared helpers for every extension module of the kit: exact argument-type checks, the module
// logger, and classes that derive from threading.Thread with their methods written in C++.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace py = pybind11;

namespace kx {

// The declared parameter types of the kit's operations. A check accepts exactly that type
// (a bool is not an int, a tuple is not a list, a subclass is not the class).
enum class Type { Str, Int, Float, Bool, List, Dict, Bytes };

// Raises TypeError "Argument '<name>' has incorrect type (expected <type>, got <given type>)"
// unless `obj` is exactly of `type`, or None where `allow_none` is true.
void check_arg(py::handle obj, const char* name, Type type, bool allow_none = false);

// True when `obj` is exactly of `type` (None never is).
bool is_exact(py::handle obj, Type type);

// The module's logger, the object stored in the module-level variable `logger` of the module
// named `module_name` (read at every call, so the module variable is the one in use).
class ModuleLogger {
 public:
  explicit ModuleLogger(const char* module_name) : module_name_(module_name) {}
  void info(const std::string& msg) const { emit("info", msg); }
  void warning(const std::string& msg) const { emit("warning", msg); }
  void error(const std::string& msg) const { emit("error", msg); }
  // Logs "<prefix><error text>" followed by the formatted traceback at error level. Use it
  // where an error ends a background thread or is contained; `err` is restored afterwards
  // only if the caller rethrows it.
  void exception(const std::string& prefix, py::error_already_set& err) const;

 private:
  void emit(const char* level, const std::string& msg) const;
  const char* module_name_;
};

// Obtains a logger from the kit's logger factory: get_logger(name=<name>) when `by_keyword`,
// else get_logger(<name>); `factory_module` is "kestrix_sdk.logging" or
// "kestrix_sdk.logging.logger".
py::object make_logger(const char* factory_module, const char* name, bool by_keyword);

// The attribute `name` of the module named `module` (imported if it is not yet), read at each
// call, so that a module variable replaced at run time is the one used.
py::object module_attr(const char* module, const char* name);

// Which Python errors a binding handles. A guarded block inside an operation handles Exception
// (is_exception) and lets KeyboardInterrupt, SystemExit and the other BaseException subclasses
// pass on to its caller. Where there is no caller to pass them to, every error is contained and
// logged with its traceback: the body of a thread the kit starts (the error ends that thread's
// work) and the library callbacks that run application code on paho's network thread (the
// message is dropped).
bool is_exception(const py::error_already_set& err);

// Python's truth test (bool(obj)); errors of __bool__ / __len__ propagate.
bool truthy(py::handle obj);

// `item in container`; errors propagate.
bool contains(py::handle container, py::handle item);

// float(obj) as a double; errors propagate.
double as_double(py::handle obj);

// str(obj), as Python's default text conversion writes it.
std::string text_of(py::handle obj);

// Text of the active Python error (str(exc)), used in "<description> - <error text>" lines.
std::string error_text(const py::error_already_set& err);

// The longest quoted text a log line carries, in characters.
constexpr Py_ssize_t kQuoteLimit = 1000;

// str(obj) for quoting in a log line: a text longer than kQuoteLimit characters is cut there and
// followed by "... (<length> characters)", so a large message or value never becomes a large
// log line. Characters the UTF-8 form cannot hold (lone surrogates) are written as escapes.
std::string quoted(py::handle obj);

// Holds a Python lock (threading.Lock or RLock) for the life of the object: acquire() on
// construction, which releases the GIL while it waits, and release() on destruction.
class HeldLock {
 public:
  explicit HeldLock(py::object lock);
  ~HeldLock();
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 private:
  py::object lock_;
};

// ---------------------------------------------------------------------------------------------
// Classes written in C++ whose instances are ordinary Python objects.
//
// The class is made with type(name, bases, namespace) and its methods are pybind11 functions
// attached to it. Instances have a __dict__ and keep their state as attributes on `self`, just
// as instances of a class written in Python do. pybind11 cannot bind a C++ class whose base is
// a pure-Python class, which is what ThreadClass below needs.
class HeapClass {
 public:
  // `bases`: the Python base classes; an empty tuple means (object,).
  HeapClass(py::module_& module, const char* name, const char* doc, py::tuple bases = py::tuple());

  // Binds a method; the callable's first parameter is `py::object self`.
  template <typename Func, typename... Extra>
  HeapClass& def(const char* name, Func&& f, const Extra&... extra) {
    py::cpp_function cf(std::forward<Func>(f), py::name(name), py::is_method(cls_), extra...);
    cls_.attr(name) = cf;
    return *this;
  }

  // Binds the constructor; the callable's first parameter is `py::object self`. (pybind11
  // treats a function *named* __init__ as its own constructor, so it is bound under another
  // name and assigned to the __init__ attribute.)
  template <typename Func, typename... Extra>
  HeapClass& def_init(Func&& f, const Extra&... extra) {
    py::cpp_function cf(std::forward<Func>(f), py::name("_kx_init"), py::is_method(cls_),
                        extra...);
    cls_.attr("__init__") = cf;
    return *this;
  }

  // Binds a static method, callable on the class and on its instances.
  template <typename Func, typename... Extra>
  HeapClass& def_static(const char* name, Func&& f, const Extra&... extra) {
    py::cpp_function cf(std::forward<Func>(f), py::name(name), py::scope(cls_), extra...);
    cls_.attr(name) = py::staticmethod(cf);
    return *this;
  }

  // Binds a class method; the callable's first parameter is `py::object cls` (name it with
  // py::arg("cls") when the other parameters are named).
  template <typename Func, typename... Extra>
  HeapClass& def_classmethod(const char* name, Func&& f, const Extra&... extra) {
    py::cpp_function cf(std::forward<Func>(f), py::name(name), py::scope(cls_), extra...);
    PyObject* method = PyClassMethod_New(cf.ptr());
    if (method == nullptr) throw py::error_already_set();
    cls_.attr(name) = py::reinterpret_steal<py::object>(method);
    return *this;
  }

  // Binds a method for a hot path, where pybind11's argument dispatch would cost more than the
  // work: `fn` receives the instance and the arguments (named by `arg_names`, all required,
  // given by position or keyword) as one array, args[0] being the instance. A missing, surplus,
  // repeated or unknown argument raises TypeError before `fn` runs. `fn` reports errors by
  // throwing, as a pybind11 function does.
  using FastMethod = py::object (*)(const py::handle* args);
  HeapClass& def_fast(const char* name, FastMethod fn, std::initializer_list<const char*> arg_names,
                      const char* doc);

  py::object cls() const { return cls_; }

 private:
  py::object cls_;
};

// Classes derived from threading.Thread. Instances are ordinary Thread objects, so `start`,
// `join`, `is_alive`, `daemon`, `name` all behave as for any thread. The constructor bound with
// def_init must chain to Thread.__init__ by calling kx::thread_init(self) before any thread
// attribute is used.
class ThreadClass : public HeapClass {
 public:
  ThreadClass(py::module_& module, const char* name, const char* doc);
};

// threading.Thread.__init__(self): no name, no target, the object's own run() is the body.
void thread_init(py::handle self);

// Makes the module being initialised translate C++ standard exceptions itself (ValueError for
// std::invalid_argument, OverflowError for std::overflow_error, ... as pybind11 does), ahead of
// pybind11's shared translators. Every module calls it first in its PYBIND11_MODULE body: a
// wheel links libc++ statically and hidden into each module, so an exception type of one module
// is not the same type to another module's catch clauses, and the shared translator (the first
// module's) would let every other module's standard exceptions through as "unknown".
void translate_exceptions_here();

}  // namespace kx
