// kestrix_sdk.mqtt.courier, the dispatch: every message paho's network thread receives goes to
// the callback of its topic; the built-in listener keeps the last JSON object per topic.
//
// Everything here runs on paho's network thread with the GIL held.

#include <optional>
#include <string>
#include <utility>

#include "courier_internal.hpp"

namespace kx::courier {

namespace {

// Objects the dispatch uses for every message, made once at module load and kept for the life of
// the process: the parser, interned attribute names, and the keyword names of a callback call.
struct DispatchCache {
  py::object json_loads;      // json.loads
  py::object json_scan_once;  // json.JSONDecoder().scan_once: the scanner json.loads uses
  py::object own_listener;    // the function behind CourierClient._on_kestrix_msg_listen
  py::tuple callback_kw;      // ("topic", "msg")
  py::str source_key, verbose, callbacks, topic, raw_topic, payload, lock, msg_subscribed, acquire,
      release;
};

PYBIND11_CONSTINIT py::gil_safe_call_once_and_store<DispatchCache> dispatch_cache;

const DispatchCache& cache() { return dispatch_cache.get_stored(); }

py::str interned(const char* text) {
  return py::reinterpret_steal<py::str>(PyUnicode_InternFromString(text));
}

py::object get_attr(py::handle obj, const py::str& name) {
  PyObject* value = PyObject_GetAttr(obj.ptr(), name.ptr());
  if (value == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(value);
}

// The instance attributes the dispatch reads for every message (verbose, callbacks, _lock,
// msg_subscribed): looked up in the instance's own dictionary, where the constructor put them,
// else by the ordinary attribute look-up.
class Members {
 public:
  explicit Members(py::handle self) : self_(self) {
    PyObject* dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (dict == nullptr) PyErr_Clear();
    dict_ = py::reinterpret_steal<py::object>(dict);
  }
  py::object operator[](const py::str& name) const {
    if (dict_) {
      PyObject* value = PyDict_GetItemWithError(dict_.ptr(), name.ptr());
      if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
      if (PyErr_Occurred()) throw py::error_already_set();
    }
    return get_attr(self_, name);
  }

 PyObject* dict() const { return dict_.ptr(); }

 private:
  py::handle self_;
  py::object dict_;
};

// lock.acquire() / lock.release() without making bound methods.
void call_method(py::handle obj, const py::str& name) {
  PyObject* args[] = {obj.ptr()};
  PyObject* result = PyObject_VectorcallMethod(name.ptr(), args, 1, nullptr);
  if (result == nullptr) throw py::error_already_set();
  Py_DECREF(result);
}

bool unicode_ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(s) != 0) {
    PyErr_Clear();
    return false;
  }
#else
  (void)s;
#endif
  return true;
}

bool json_space(Py_UCS4 ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; }

// json.loads(text), with the Python error set and a null result on failure.
//
// json.loads spends about a third of its time on a small text in its Python wrapper around the
// scanner. For a str this does what json.loads does (JSONDecoder.decode: skip white space, scan
// one value with the default decoder's scanner, skip white space, nothing may follow) without
// the wrapper. Every case it does not take plainly (not a str, a byte order mark, a scanner
// error, trailing data) goes to json.loads itself, so results and error texts are json.loads's.
py::object parse_json(py::handle text) {
  const DispatchCache& c = cache();
  PyObject* s = text.ptr();
  if (PyUnicode_CheckExact(s) && unicode_ready(s)) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t idx = 0;
    while (idx < len && json_space(PyUnicode_READ(kind, data, idx))) ++idx;
    if (!(len > 0 && PyUnicode_READ(kind, data, 0) == 0xFEFF)) {
      py::object start = py::reinterpret_steal<py::object>(PyLong_FromSsize_t(idx));
      PyObject* args[] = {s, start.ptr()};
      PyObject* found = start ? PyObject_Vectorcall(c.json_scan_once.ptr(), args, 2, nullptr) : nullptr;
      if (found != nullptr && PyTuple_CheckExact(found) && PyTuple_GET_SIZE(found) == 2) {
        Py_ssize_t end = PyLong_AsSsize_t(PyTuple_GET_ITEM(found, 1));
        if (end >= 0) {
          while (end < len && json_space(PyUnicode_READ(kind, data, end))) ++end;
          if (end == len) {
            py::object value = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(found, 0));
            Py_DECREF(found);
            return value;
          }
        }
      }
      Py_XDECREF(found);
      if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return py::object();
        PyErr_Clear();
      }
    }
  }
  PyObject* arg = s;
  return py::reinterpret_steal<py::object>(PyObject_Vectorcall(c.json_loads.ptr(), &arg, 1, nullptr));
}

// The built-in listener: keeps the last JSON object per topic (for objects with a "source_key"
// member) or under the integer key 0 (for all others).
void listen(const Members& members, py::handle topic, py::handle msg) {
  const DispatchCache& c = cache();
  py::object parsed = parse_json(msg);
  if (!parsed) {
    py::error_already_set err;
    if (!kx::is_exception(err)) throw err;
    logger.error("Failed to parse subscribed message(" + kx::quoted(msg) + ") - " +
                 kx::error_text(err));
    return;
  }
  // Only an object can be looked up for "source_key" and stored; anything else (an array, a
  // number, a string, true, false, null) is dropped.
  if (!PyDict_Check(parsed.ptr())) {
    logger.error("Failed to store subscribed message(" + kx::quoted(msg) +
                 ") - not a JSON object");
    return;
  }
  int has_key = PyDict_Contains(parsed.ptr(), c.source_key.ptr());
  if (has_key < 0) throw py::error_already_set();
  py::object key = has_key ? py::reinterpret_borrow<py::object>(topic) : py::object(py::int_(0));

  py::object lock = members[c.lock];
  py::object table = members[c.msg_subscribed];
  call_method(lock, c.acquire);
  int stored = PyObject_SetItem(table.ptr(), key.ptr(), parsed.ptr());
  if (stored < 0) {
    py::error_already_set err;
    call_method(lock, c.release);
    throw err;
  }
  call_method(lock, c.release);
}

// The topic of a received message as text. paho's `topic` property decodes the stored bytes
// (strict UTF-8) in Python on every access; the same decoding is done here directly when the
// message holds them, which is a measurable share of the dispatch of a small message.
py::object message_topic(py::handle msg) {
  const DispatchCache& c = cache();
  PyObject* raw = PyObject_GetAttr(msg.ptr(), c.raw_topic.ptr());
  if (raw != nullptr && PyBytes_CheckExact(raw)) {
    PyObject* text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw), "strict");
    Py_DECREF(raw);
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
  }
  Py_XDECREF(raw);
  PyErr_Clear();
  return get_attr(msg, c.topic);
}

// Calls the table's entry for `topic` with keyword arguments topic= and msg=. Returns false when
// there is no entry or it cannot be called.
bool call_topic_callback(py::handle self, const Members& members, py::handle callbacks,
                         py::handle topic, py::handle text) {
  py::object callback;
  if (PyDict_CheckExact(callbacks.ptr())) {
    PyObject* found = PyDict_GetItemWithError(callbacks.ptr(), topic.ptr());
    if (found == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      return false;
    }
    callback = py::reinterpret_borrow<py::object>(found);
  } else {
    PyObject* found = PyObject_GetItem(callbacks.ptr(), topic.ptr());
    if (found == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
      PyErr_Clear();
      return false;
    }
    callback = py::reinterpret_steal<py::object>(found);
  }
  if (!PyCallable_Check(callback.ptr())) return false;

  const DispatchCache& c = cache();
  // The built-in listener of this very object: run it without a round trip through Python.
  if (PyMethod_Check(callback.ptr()) && PyMethod_GET_SELF(callback.ptr()) == self.ptr() &&
      PyMethod_GET_FUNCTION(callback.ptr()) == c.own_listener.ptr()) {
    listen(members, topic, text);
    return true;
  }
  PyObject* args[] = {topic.ptr(), text.ptr()};
  PyObject* result = PyObject_Vectorcall(callback.ptr(), args, 0, c.callback_kw.ptr());
  if (result == nullptr) throw py::error_already_set();
  Py_DECREF(result);
  return true;
}

}  // namespace

void on_kestrix_msg_listen(py::object self, py::object topic, py::object msg) {
  listen(Members(self), topic, msg);
}

// paho's network thread, for every message received. Nothing raised here may reach paho (paho
// contains only Exception; anything else would end its thread): a message that cannot be
// decoded, or whose callback raises whatever it raises, is logged and dropped, and the next
// message is dispatched as usual.
void on_message_impl(py::handle self, py::handle msg) {
  py::object topic;
  try {
    const DispatchCache& c = cache();
    Members members(self);
    if (Counters* counters = counters_of(self, members.dict())) ++counters->received;
    topic = message_topic(msg);
    py::object payload = get_attr(msg, c.payload);
    PyObject* decoded =
        PyBytes_CheckExact(payload.ptr())
            ? PyUnicode_DecodeUTF8(PyBytes_AS_STRING(payload.ptr()), PyBytes_GET_SIZE(payload.ptr()), "strict")
            : PyUnicode_FromEncodedObject(payload.ptr(), "utf-8", "strict");
    if (decoded == nullptr) {
      py::error_already_set err;
      logger.error("Failed to decode message on topic '" + kx::quoted(topic) + "' - " +
                   kx::error_text(err));
      return;
    }
    py::object text = py::reinterpret_steal<py::object>(decoded);
    if (kx::truthy(members[c.verbose])) {
      logger.info("Received a message(`" + kx::quoted(text) + "`) on topic: `" +
                  kx::quoted(topic) + "`");
    }
    py::object callbacks = members[c.callbacks];
    bool called;
    try {
      called = call_topic_callback(self, members, callbacks, topic, text);
    } catch (py::error_already_set& err) {
      // Whatever the callback raised, SystemExit and KeyboardInterrupt included, ends this
      // message only: paho's network thread must go on dispatching.
      logger.exception("Callback of topic '" + kx::quoted(topic) + "' failed - ", err);
      return;
    }
    if (!called) {
      logger.error("Callback of topic '" + kx::quoted(topic) + "' is not callable!");
    }
  } catch (py::error_already_set& err) {
    std::string where = topic ? " on topic '" + kx::quoted(topic) + "'" : std::string();
    logger.exception("Failed to dispatch message" + where + " - ", err);
  }
}

// Bound with ThreadClass::def_fast: args = (self, client, userdata, msg).
py::object on_message(const py::handle* args) {
  on_message_impl(args[0], args[3]);
  return py::none();
}

void init_dispatch(py::object cls) {
  py::object listener_attr = cls.attr("__dict__")["_on_kestrix_msg_listen"];
  py::object listener_fn = listener_attr;
  if (PyInstanceMethod_Check(listener_attr.ptr())) {
    listener_fn = py::reinterpret_borrow<py::object>(PyInstanceMethod_GET_FUNCTION(listener_attr.ptr()));
  }
  dispatch_cache.call_once_and_store_result([&] {
    DispatchCache c;
    py::module_ json = py::module_::import("json");
    c.json_loads = json.attr("loads");
    c.json_scan_once = json.attr("JSONDecoder")().attr("scan_once");
    c.own_listener = listener_fn;
    c.callback_kw = py::make_tuple(interned("topic"), interned("msg"));
    c.source_key = interned("source_key");
    c.verbose = interned("verbose");
    c.callbacks = interned("callbacks");
    c.topic = interned("topic");
    c.raw_topic = interned("_topic");
    c.payload = interned("payload");
    c.lock = interned("_lock");
    c.msg_subscribed = interned("msg_subscribed");
    c.acquire = interned("acquire");
    c.release = interned("release");
    return c;
  });
}

}  // namespace kx::courier
