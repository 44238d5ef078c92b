// kestrix_sdk.mqtt.courier: one MQTT broker connection per CourierClient, kept up by the
// client's own thread (the watcher), with publishing, subscribing and per-topic dispatch of the
// messages received.
//
// Three kinds of thread meet in one CourierClient:
//   - the application's threads: constructor, connect, disconnect, stop, publish, subscribe,
//     unsubscribe, get_last_published_msg;
//   - the watcher (CourierClient.run): checks the connection once a second and reconnects;
//   - paho-mqtt's network thread: runs every library callback (_on_connect, _on_publish,
//     _on_message and, through the dispatch, the topic callbacks).
//
// Reconnection has a single owner, the watcher. The paho client is made with
// reconnect_on_failure=False, so its network thread ends when the connection is lost instead of
// reconnecting on its own; the watcher calls connect() only when the client is not connected and
// no network thread is running. So there is never more than one TCP connection, one network
// thread, and one _on_connect per reconnection.
//
// Everything here runs with the GIL held; the waits (Event.wait, Thread.join, socket I/O inside
// paho-mqtt, Lock.acquire) are Python calls that release it while they block.

#include <Python.h>

#include <optional>
#include <string>
#include <utility>

#include "binding.hpp"
#include "kestrix/keys.hpp"
#include "kestrix/server_url.hpp"
#include "urls.hpp"

namespace {

constexpr const char* kModuleName = "kestrix_sdk.mqtt.courier";
// The watcher's check period, in seconds.
constexpr double kWatchInterval = 1.0;

const kx::ModuleLogger logger(kModuleName);

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

// Decimal text of an integer-like value (paho hands out plain ints and int-derived codes).
std::string decimal(py::handle value) {
  PyObject* number = PyNumber_Long(value.ptr());
  if (number == nullptr) throw py::error_already_set();
  return kx::text_of(py::reinterpret_steal<py::object>(number));
}

// paho-mqtt's client with the version-1 callbacks ((client, userdata, flags, rc) and so on),
// without its own reconnection. paho warns that the version-1 callback interface is deprecated;
// that warning is about this module's choice, not the application's code, so it is silenced
// for this one call only.
py::object make_paho_client() {
  py::module_ warnings = py::module_::import("warnings");
  py::module_ paho = py::module_::import("paho.mqtt.client");
  py::object guard = warnings.attr("catch_warnings")();
  guard.attr("__enter__")();
  py::object client;
  try {
    warnings.attr("filterwarnings")("ignore", py::arg("message") = "Callback API version 1",
                                    py::arg("category") = py::handle(PyExc_DeprecationWarning));
    client = paho.attr("Client")(paho.attr("CallbackAPIVersion").attr("VERSION1"),
                                 py::arg("reconnect_on_failure") = false);
  } catch (py::error_already_set&) {
    guard.attr("__exit__")(py::none(), py::none(), py::none());
    throw;
  }
  guard.attr("__exit__")(py::none(), py::none(), py::none());
  // A callback that raises would otherwise end paho's network thread while is_connected()
  // stays true. The callbacks below contain their own errors; this is the second guard.
  client.attr("suppress_exceptions") = true;
  return client;
}

// True while paho's network thread runs. paho keeps it in `_thread` from loop_start() until the
// thread ends; with reconnect_on_failure=False it ends as soon as the connection is closed. In
// the short window between closing the socket and leaving its loop the old thread is waited for,
// so that the next connect() starts a fresh one instead of finding the old one still there.
bool network_thread_running(py::handle client) {
  py::object thread = py::getattr(client, "_thread", py::none());
  if (thread.is_none()) return false;
  if (py::getattr(client, "_sock", py::none()).is_none()) {
    thread.attr("join")(kWatchInterval);
  }
  return kx::truthy(thread.attr("is_alive")());
}

// paho's loop_start() makes a new wake-up socket pair for every network thread it starts and
// drops the previous pair without closing it (each reconnection would leave two sockets to the
// garbage collector, with a ResourceWarning). The pair is closed here when no network thread
// uses it and, with no connection open, no publish or subscribe can write to it; the next
// loop_start() makes a new one.
void close_idle_socketpair(py::handle client) {
  if (!py::getattr(client, "_thread", py::none()).is_none()) return;
  if (!py::getattr(client, "_sock", py::none()).is_none()) return;
  if (!py::hasattr(client, "_reset_sockets")) return;
  client.attr("_reset_sockets")(py::arg("sockpair_only") = true);
}

// The TLS socket of a URL client. paho leaves the socket open when the handshake fails (a
// certificate that does not verify, for instance), and the watcher tries again every second;
// this socket closes itself when its handshake fails, so failed attempts leave nothing open.
py::object tls_socket_do_handshake(py::object self, py::args args, py::kwargs kwargs) {
  py::object base = py::module_::import("ssl").attr("SSLSocket").attr("do_handshake");
  try {
    return base(self, *args, **kwargs);
  } catch (py::error_already_set& err) {
    try {
      self.attr("close")();
    } catch (py::error_already_set&) {
      // The handshake's error is the one to report.
    }
    throw;
  }
}

// ---------------------------------------------------------------------------------------------
// Construction and connection

void init(py::object self, py::object host, py::object port, py::object subscribe_topics,
          py::object verbose, py::object username, py::object password, py::object url) {
  kx::check_arg(host, "host", kx::Type::Str, true);
  kx::check_arg(port, "port", kx::Type::Int, true);
  kx::check_arg(subscribe_topics, "subscribe_topics", kx::Type::List, true);

  // A URL (given, or from the environment for a client left at the default address) replaces
  // host and port, and its user and password replace the keyword ones. Everything about it is
  // checked here, before the thread starts, so an unusable URL fails the construction.
  py::object url_text = kx::client_url(url, host, port, "DEFAULT_MQTT_HOST", "DEFAULT_MQTT_PORT",
                                       "MQTT_URL_ENV");
  std::optional<kestrix::ServerUrl> parsed;
  py::object shown = py::none();
  py::object tls = py::none();
  bool url_credentials = false;
  if (!url_text.is_none()) {
    const std::string text = url_text.cast<std::string>();
    parsed = kestrix::parse_mqtt_url(text);
    kestrix::check_url_files(*parsed, text);
    shown = py::str(kestrix::redact_url(text));
    if (parsed->tls) tls = kx::tls_context(*parsed, "MQTT", kestrix::redact_url(text));
    host = py::str(parsed->host);
    port = py::int_(parsed->port);
    if (parsed->username) {
      url_credentials = true;
      username = py::str(*parsed->username);
      password = parsed->password ? py::object(py::str(*parsed->password)) : py::object(py::none());
    }
  }

  kx::thread_init(self);

  py::dict callbacks;
  if (!subscribe_topics.is_none()) {
    py::object listener = self.attr("_on_kestrix_msg_listen");
    for (py::handle topic : py::reinterpret_borrow<py::list>(subscribe_topics)) {
      if (topic.is_none()) continue;
      callbacks[topic] = listener;
    }
  }
  self.attr("callbacks") = callbacks;
  self.attr("host") = host;
  self.attr("port") = port;
  self.attr("url") = shown;
  self.attr("verbose") = verbose;

  py::object client = make_paho_client();
  self.attr("client") = client;
  self.attr("_username") = username;
  self.attr("_password") = password;
  if (url_credentials) {
    // A URL's user name goes to the broker with its password, or alone when it has none.
    client.attr("username_pw_set")(username, password);
  } else if (kx::truthy(username) && kx::truthy(password)) {
    // Keyword credentials only as a pair: a user name without a password (or the reverse)
    // sets none.
    client.attr("username_pw_set")(username, password);
  }
  // The server's certificate is verified against the URL's CA file and its host name checked.
  if (!tls.is_none()) {
    tls.attr("sslsocket_class") = py::module_::import(kModuleName).attr("_TlsSocket");
    client.attr("tls_set_context")(tls);
    // A broker that wants a client certificate refuses a connection without one only after
    // the handshake (TLS 1.3), when paho's network thread first reads; paho reports that read
    // error through its logger only. It goes to the module's logger, so the cause is logged.
    client.attr("enable_logger")(py::module_::import(kModuleName).attr("logger"));
  }
  client.attr("on_connect") = self.attr("_on_connect");
  client.attr("on_publish") = self.attr("_on_publish");
  client.attr("on_message") = self.attr("_on_message");

  py::module_ threading = py::module_::import("threading");
  py::object stop = threading.attr("Event")();
  stop.attr("clear")();
  self.attr("_b_stop") = stop;
  self.attr("_lock") = threading.attr("Lock")();
  self.attr("msg_subscribed") = py::dict();
  // Held around every connection attempt and by disconnect(): a disconnect() waits for an
  // attempt in progress to finish and then closes what it opened, so that stop() followed by
  // disconnect() leaves no connection and no network thread, whenever they come.
  self.attr("_connect_lock") = threading.attr("RLock")();
  // The result code of the refusal that started the current run of refused connections (None
  // when the last attempt was accepted or none was refused): one warning per run.
  self.attr("_refused_rc") = py::none();

  self.attr("start")();
}

py::bool_ connect(py::object self) {
  kx::HeldLock held(self.attr("_connect_lock"));
  py::object client = self.attr("client");
  py::object host = self.attr("host");
  py::object port = self.attr("port");
  close_idle_socketpair(client);
  try {
    client.attr("connect")(py::arg("host") = host, py::arg("port") = port);
  } catch (py::error_already_set& err) {
    if (!kx::is_exception(err)) throw;
    logger.error("Failed to connect to " + kx::quoted(host) + ":" + kx::quoted(port) + " - " +
                 kx::error_text(err));
    return py::bool_(false);
  }
  client.attr("loop_start")();
  return py::bool_(true);
}

// The watcher: until the stop request, once a second, reconnect when the connection is down.
void run(py::object self) {
  try {
    for (;;) {
      py::object stop = self.attr("_b_stop");
      if (kx::truthy(stop.attr("is_set")())) return;
      {
        kx::HeldLock held(self.attr("_connect_lock"));
        // stop() and disconnect() may have come while this thread waited for the lock: then
        // no new attempt is made.
        if (kx::truthy(stop.attr("is_set")())) return;
        py::object client = self.attr("client");
        if (!kx::truthy(client.attr("is_connected")()) && !network_thread_running(client)) {
          self.attr("connect")();
        }
      }
      stop.attr("wait")(kWatchInterval);
    }
  } catch (py::error_already_set& err) {
    // The error ends this thread only; the connection and paho's thread are left as they are.
    logger.exception("MQTT watcher stopped - ", err);
  }
}

void disconnect(py::object self) {
  // An attempt in progress (a connect() blocked on an unanswered TCP handshake, for at most
  // paho's connect timeout) finishes first, so what it opens is closed here.
  kx::HeldLock held(self.attr("_connect_lock"));
  py::object client = self.attr("client");
  client.attr("loop_stop")();
  client.attr("disconnect")();
  // The object and its paho client refer to each other (the callbacks are bound methods), so
  // they are freed by the cycle collector, which finalizes the sockets before paho's __del__
  // could close them. Close the wake-up pair of the ended network thread now.
  close_idle_socketpair(client);
}

void stop(py::object self) { self.attr("_b_stop").attr("set")(); }

// A refused connection is retried once a second, each attempt logging its result code at info
// level; the reason is told in words at warning level once, when a run of refusals starts (or
// the broker gives another reason), and again only after an accepted connection.
void note_refusal(py::handle self, py::handle rc, const std::string& code) {
  py::object last = self.attr("_refused_rc");
  if (!last.is_none() && last.equal(rc)) return;
  self.attr("_refused_rc") = rc;
  py::object reason = py::module_::import("paho.mqtt.client").attr("connack_string")(rc);
  logger.warning("MQTT broker " + kx::quoted(self.attr("host")) + ":" +
                 kx::quoted(self.attr("port")) + " refused the connection (result code " + code +
                 ") - " + kx::quoted(reason));
}

// paho's network thread, once the broker has answered a connection request. Nothing raised here
// may reach paho, whose network thread would end on anything but an Exception.
void on_connect(py::object self, py::object /*client*/, py::object /*userdata*/,
                py::object /*flags*/, py::object rc) {
  try {
    const std::string code = decimal(rc);
    logger.info("Connected with result code " + code);
    if (!rc.equal(py::int_(0))) {
      note_refusal(self, rc, code);
      return;
    }
    self.attr("_refused_rc") = py::none();
    // The table's keys are subscribed after every accepted connection, so subscriptions
    // survive reconnections. A key that cannot be subscribed does not keep the others from it.
    py::list topics(self.attr("callbacks"));
    py::object subscribe = self.attr("subscribe");
    for (py::handle topic : topics) {
      try {
        subscribe(py::arg("topic") = topic);
      } catch (py::error_already_set& err) {
        logger.exception("Failed to subscribe to topic '" + kx::quoted(topic) + "' - ", err);
      }
    }
  } catch (py::error_already_set& err) {
    logger.exception("Failed to handle the connection - ", err);
  }
}

// ---------------------------------------------------------------------------------------------
// Publish, subscribe and dispatch

py::tuple publish(py::object self, py::object topic, py::object message) {
  py::object client = self.attr("client");
  py::object result = client.attr("publish")(topic, message);
  // The result unpacks into (result code, message id); the result code is not reported.
  py::tuple pair = py::reinterpret_steal<py::tuple>(PySequence_Tuple(result.ptr()));
  if (!pair) throw py::error_already_set();
  if (pair.size() != 2) {
    throw py::value_error(pair.size() < 2 ? "not enough values to unpack (expected 2)"
                                          : "too many values to unpack (expected 2)");
  }
  py::object mid = pair[1];
  py::bool_ connected(kx::truthy(client.attr("is_connected")()));
  return py::make_tuple(connected, mid);
}

void subscribe(py::object self, py::object topic) { self.attr("client").attr("subscribe")(topic); }

void unsubscribe(py::object self, py::object topic) {
  self.attr("client").attr("unsubscribe")(topic);
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

void on_kestrix_msg_listen(py::object self, py::object topic, py::object msg) {
  listen(Members(self), topic, msg);
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

// paho's network thread, for every message received. Nothing raised here may reach paho (paho
// contains only Exception; anything else would end its thread): a message that cannot be
// decoded, or whose callback raises whatever it raises, is logged and dropped, and the next
// message is dispatched as usual.
void on_message_impl(py::handle self, py::handle msg) {
  py::object topic;
  try {
    const DispatchCache& c = cache();
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
    Members members(self);
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

void on_publish(py::object self, py::object /*client*/, py::object /*userdata*/, py::object mid) {
  try {
    if (kx::truthy(self.attr("verbose"))) logger.info("Published message with ID: " + decimal(mid));
  } catch (py::error_already_set& err) {
    // Contained like the other callbacks, so that paho's network thread goes on.
    logger.exception("Failed to handle a publish acknowledgement - ", err);
  }
}

py::dict get_last_published_msg(py::object self) {
  py::object lock = self.attr("_lock");
  py::object table = self.attr("msg_subscribed");
  lock.attr("acquire")();
  PyObject* copy = PyDict_Check(table.ptr()) ? PyDict_Copy(table.ptr())
                                             : PyObject_CallOneArg((PyObject*)&PyDict_Type, table.ptr());
  if (copy == nullptr) {
    py::error_already_set err;
    lock.attr("release")();
    throw err;
  }
  lock.attr("release")();
  return py::reinterpret_steal<py::dict>(copy);
}

py::str gen_mqtt_key_local(py::object node_id) {
  py::object prefix = kx::module_attr(kModuleName, "PREFIX").attr("MQTT").attr("LOCAL");
  return py::str(kestrix::join_key(kx::text_of(prefix), {kx::text_of(node_id)}));
}

}  // namespace

PYBIND11_MODULE(courier, m) {
  kx::translate_exceptions_here();
  py::options opts;
  opts.disable_function_signatures();

  m.doc() =
      "MQTT messaging: CourierClient keeps one broker connection up from its own thread, "
      "publishes, subscribes and hands every received message to the callback of its topic.";

  py::module_::import("json");
  py::module_::import("threading");
  py::module_::import("paho.mqtt.client");
  m.attr("PREFIX") = kx::module_attr("kestrix_sdk.constants", "PREFIX");

  m.attr("logger") = kx::make_logger("kestrix_sdk.logging", "MQTT", true);
  py::object default_host = kx::constant("DEFAULT_MQTT_HOST");
  py::object default_port = kx::constant("DEFAULT_MQTT_PORT");
  m.attr("DEFAULT_MQTT_HOST") = default_host;
  m.attr("DEFAULT_MQTT_PORT") = default_port;
  m.attr("MQTT_URL_ENV") = kx::constant("MQTT_URL_ENV");

  m.def(
      "parse_mqtt_url",
      [](const std::string& url) { return kx::url_dict(kestrix::parse_mqtt_url(url), false); },
      py::arg("url"),
      "parse_mqtt_url(url) -> dict\n\n"
      "The parts of a broker URL (mqtt://[user[:password]@]host[:port], mqtts://... for TLS, "
      "with ca=, cert=, key= query parameters): scheme, host, port, username, password, tls, "
      "ca, cert, key; absent parts are None. Raises ValueError naming the problem (the "
      "password shown as \"***\").");
  m.def(
      "redact_url", [](const std::string& url) { return kestrix::redact_url(url); },
      py::arg("url"),
      "redact_url(url) -> str\n\n"
      "The URL with the password of its user part written as \"***\".");

  m.def("gen_mqtt_key_local", &gen_mqtt_key_local, py::arg("node_id"),
        "gen_mqtt_key_local(node_id) -> str\n\n"
        "The node-local topic of a node: PREFIX.MQTT.LOCAL, \"_\" and the text form of node_id.");

  kx::HeapClass(m, "_TlsSocket",
                "ssl.SSLSocket that closes itself when its handshake fails",
                py::make_tuple(py::module_::import("ssl").attr("SSLSocket")))
      .def("do_handshake", &tls_socket_do_handshake,
           "Performs the TLS handshake; closes the socket if it fails.");

  kx::ThreadClass cls(
      m, "CourierClient",
      "CourierClient(host=DEFAULT_MQTT_HOST, port=DEFAULT_MQTT_PORT, subscribe_topics=None, "
      "verbose=True, username=None, password=None, *, url=None)\n\n"
      "A thread that owns one MQTT broker connection and keeps it up until stop().\n\n"
      "The constructor starts the thread; it connects within about a second and reconnects, once "
      "a second, whenever the connection is down. Every topic of subscribe_topics is listened "
      "to: the last JSON object received is kept by get_last_published_msg(), under the topic "
      "for objects with a \"source_key\" member and under the integer key 0 for all others. "
      "callbacks maps topics to callables called as callback(topic=..., msg=...) on paho's "
      "network thread; its keys are subscribed after every accepted connection. A complete "
      "shutdown is stop() followed by disconnect().\n\n"
      "url (mqtt://[user[:password]@]host[:port] or mqtts://... with ca=, cert=, key= query "
      "parameters) replaces host and port and brings its own credentials and TLS settings. "
      "Without url, a client left at the default host and port uses the URL of the "
      "environment variable KESTRIX_MQTT_URL when it is set. An unusable URL raises "
      "ValueError. The attribute url holds the URL in use with its password as \"***\" "
      "(None without one).");

  cls.def_init(&init, py::arg("host") = default_host, py::arg("port") = default_port,
               py::arg("subscribe_topics") = py::none(), py::arg("verbose") = true,
               py::arg("username") = py::none(), py::arg("password") = py::none(), py::kw_only(),
               py::arg("url") = py::none(),
               "Checks the argument types (host: str or None, port: int or None, "
               "subscribe_topics: list or None, url: str or None) and the URL in use, builds "
               "the dispatch table and the paho client, and starts the watcher thread.");
  cls.def("connect", &connect,
          "connect() -> bool\n\n"
          "Asks paho to connect to host:port and starts its network thread. Returns False (and "
          "logs the error) when the connection request fails.");
  cls.def("run", &run,
          "run() -> None\n\n"
          "The watcher's body: until stop(), once a second, connect() when the connection is "
          "down and paho's network thread has ended.");
  cls.def("disconnect", &disconnect,
          "disconnect() -> None\n\n"
          "Stops paho's network thread and closes the connection. A connection attempt in "
          "progress is waited for first (at most paho's connect timeout) and closed too, so "
          "stop() followed by disconnect() leaves no connection and no network thread. Unless "
          "stop() was called, the watcher connects again within about a second.");
  cls.def("stop", &stop,
          "stop() -> None\n\n"
          "Asks the watcher to end (at once if it is waiting). The connection stays up until "
          "disconnect().");
  cls.def("_on_connect", &on_connect, py::arg("client"), py::arg("userdata"), py::arg("flags"),
          py::arg("rc"),
          "paho's connection callback: logs the result code and, when the broker accepted, "
          "subscribes every topic of callbacks. The first refusal of a run is also logged at "
          "warning level with its reason in words.");
  cls.def("publish", &publish, py::arg("topic"), py::arg("message"),
          "publish(topic, message) -> tuple[bool, int]\n\n"
          "Publishes message on topic (quality of service 0, not retained). Returns whether "
          "the client is connected right after the call, and paho's message id.");
  cls.def("subscribe", &subscribe, py::arg("topic"),
          "subscribe(topic) -> None\n\n"
          "Subscribes topic (the dispatch table is not changed).");
  cls.def("unsubscribe", &unsubscribe, py::arg("topic"),
          "unsubscribe(topic) -> None\n\n"
          "Ends the subscription of topic (the dispatch table is not changed, so a topic of "
          "callbacks is subscribed again after the next connection).");
  cls.def("get_last_published_msg", &get_last_published_msg,
          "get_last_published_msg() -> dict\n\n"
          "A copy of the last JSON object received per listened topic (the topic for objects "
          "with a \"source_key\" member, the integer 0 for all others), taken under the lock.");
  cls.def_fast("_on_message", &on_message, {"client", "userdata", "msg"},
               "paho's message callback: decodes the payload as UTF-8 and calls the topic's "
               "callback with topic= and msg=.");
  cls.def("_on_publish", &on_publish, py::arg("client"), py::arg("userdata"), py::arg("mid"),
          "paho's publish callback: logs the message id when verbose.");
  cls.def("_on_kestrix_msg_listen", &on_kestrix_msg_listen, py::arg("topic"), py::arg("msg"),
          "The built-in listener: parses msg as JSON and keeps the object in msg_subscribed.");

  py::object listener_attr = cls.cls().attr("__dict__")["_on_kestrix_msg_listen"];
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
