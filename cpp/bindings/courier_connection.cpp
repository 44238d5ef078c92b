// kestrix_sdk.mqtt.courier, the connection half: the broker connection of a CourierClient and
// its watcher, the client's own thread, which keeps it up.
//
// Reconnection has a single owner, the watcher. The paho client is made with
// reconnect_on_failure=False, so its network thread ends when the connection is lost instead of
// reconnecting on its own; the watcher calls connect() only when the client is not connected and
// no network thread is running. So there is never more than one TCP connection, one network
// thread, and one _on_connect per reconnection.
//
// Everything here runs with the GIL held; the waits (Event.wait, Thread.join, socket I/O inside
// paho-mqtt, Lock.acquire) are Python calls that release it while they block.

#include <optional>
#include <string>
#include <utility>

#include "courier_internal.hpp"
#include "kestrix/server_url.hpp"
#include "urls.hpp"

namespace kx::courier {

namespace {

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

}  // namespace

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
  attach_counters(self);

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

// The whole shutdown: the watcher is asked to end and waited for (it leaves any wait at once;
// a connection attempt in progress ends within paho's connect timeout), then the connection is
// closed. Called again, or after stop() or disconnect(), it does what is left, which may be
// nothing. From the watcher itself (a callback that closes its own client) it does not wait
// for the calling thread.
void close(py::object self) {
  stop(self);
  py::object current = kx::module_attr("threading", "current_thread")();
  if (!current.is(self) && kx::truthy(self.attr("is_alive")())) self.attr("join")();
  disconnect(self);
}

py::object enter(py::object self) { return self; }

// The way out of a with block, exception or not: close(); the exception, if any, goes on.
py::bool_ exit(py::object self, py::object /*type*/, py::object /*value*/,
               py::object /*traceback*/) {
  close(self);
  return py::bool_(false);
}

// ---------------------------------------------------------------------------------------------
// Counters

namespace {
constexpr const char* kCountersName = "kestrix_sdk.mqtt.courier._counters";
}  // namespace

void attach_counters(py::handle self) {
  auto* counters = new Counters();
  PyObject* capsule = PyCapsule_New(counters, kCountersName, [](PyObject* cap) {
    delete static_cast<Counters*>(PyCapsule_GetPointer(cap, kCountersName));
  });
  if (capsule == nullptr) {
    delete counters;
    throw py::error_already_set();
  }
  self.attr("_counters") = py::reinterpret_steal<py::object>(capsule);
}

Counters* counters_of(py::handle self, PyObject* dict) {
  static PyObject* name = PyUnicode_InternFromString("_counters");
  PyObject* capsule = nullptr;
  py::object held;
  if (dict != nullptr) {
    capsule = PyDict_GetItemWithError(dict, name);
  } else {
    held = py::reinterpret_steal<py::object>(PyObject_GetAttr(self.ptr(), name));
    capsule = held.ptr();
  }
  if (capsule == nullptr || !PyCapsule_IsValid(capsule, kCountersName)) {
    PyErr_Clear();
    return nullptr;
  }
  return static_cast<Counters*>(PyCapsule_GetPointer(capsule, kCountersName));
}

// A refused connection is retried once a second, each attempt logging its result code at info
// level; the reason is told in words at warning level once, when a run of refusals starts (or
// the broker gives another reason), and again only after an accepted connection.
static void note_refusal(py::handle self, py::handle rc, const std::string& code) {
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
    if (Counters* counters = counters_of(self)) ++counters->connections;
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

// Decimal text of an integer-like value (paho hands out plain ints and int-derived codes).
std::string decimal(py::handle value) {
  PyObject* number = PyNumber_Long(value.ptr());
  if (number == nullptr) throw py::error_already_set();
  return kx::text_of(py::reinterpret_steal<py::object>(number));
}

}  // namespace kx::courier
