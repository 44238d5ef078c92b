// kestrix_sdk.mqtt.courier: one MQTT broker connection per CourierClient, kept up by the
// client's own thread (the watcher), with publishing, subscribing and per-topic dispatch of the
// messages received.
//
// Three kinds of thread meet in one CourierClient:
//   - the application's threads: constructor, connect, disconnect, stop, close, publish,
//     subscribe, unsubscribe, get_last_published_msg, stats;
//   - the watcher (CourierClient.run): checks the connection once a second and reconnects;
//   - paho-mqtt's network thread: runs every library callback (_on_connect, _on_publish,
//     _on_message and, through the dispatch, the topic callbacks).
//
// The connection and its watcher are in courier_connection.cpp, the dispatch of received
// messages in courier_dispatch.cpp; this file publishes and defines the module.

#include <Python.h>

#include <string>

#include "courier_internal.hpp"
#include "kestrix/keys.hpp"
#include "kestrix/server_url.hpp"
#include "urls.hpp"

namespace kx::courier {

namespace {

// ---------------------------------------------------------------------------------------------
// Publish, subscribe and dispatch

py::tuple publish(py::object self, py::object topic, py::object message) {
  Counters* counters = counters_of(self);
  py::object client = self.attr("client");
  py::object result;
  try {
    result = client.attr("publish")(topic, message);
  } catch (py::error_already_set&) {
    if (counters != nullptr) ++counters->publish_failures;
    throw;
  }
  // The result unpacks into (result code, message id); the result code is not reported, but
  // counted: paho queued the message (0) or refused it (no connection, a full queue).
  py::tuple pair = py::reinterpret_steal<py::tuple>(PySequence_Tuple(result.ptr()));
  if (!pair) throw py::error_already_set();
  if (pair.size() != 2) {
    throw py::value_error(pair.size() < 2 ? "not enough values to unpack (expected 2)"
                                          : "too many values to unpack (expected 2)");
  }
  if (counters != nullptr) {
    const bool queued = PyLong_Check(pair[0].ptr()) && PyLong_AsLong(pair[0].ptr()) == 0;
    ++(queued ? counters->published : counters->publish_failures);
  }
  py::object mid = pair[1];
  py::bool_ connected(kx::truthy(client.attr("is_connected")()));
  return py::make_tuple(connected, mid);
}

void subscribe(py::object self, py::object topic) { self.attr("client").attr("subscribe")(topic); }

void unsubscribe(py::object self, py::object topic) {
  self.attr("client").attr("unsubscribe")(topic);
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

// The client's counters as a plain dict; "connected" asks paho now. The keys are made once
// (never freed: the module lives as long as the process).
py::dict stats(py::object self) {
  static PyObject* const keys[] = {
      PyUnicode_InternFromString("published"), PyUnicode_InternFromString("received"),
      PyUnicode_InternFromString("publish_failures"), PyUnicode_InternFromString("reconnections"),
      PyUnicode_InternFromString("connected")};
  static PyObject* const client_name = PyUnicode_InternFromString("client");
  static PyObject* const is_connected_name = PyUnicode_InternFromString("is_connected");
  const Counters* counters = counters_of(self);
  std::uint64_t values[4] = {0, 0, 0, 0};
  if (counters != nullptr) {
    const std::uint64_t connections = counters->connections.load(std::memory_order_relaxed);
    values[0] = counters->published.load(std::memory_order_relaxed);
    values[1] = counters->received.load(std::memory_order_relaxed);
    values[2] = counters->publish_failures.load(std::memory_order_relaxed);
    values[3] = connections > 0 ? connections - 1 : 0;
  }
  py::dict out;
  for (std::size_t i = 0; i < 4; ++i) {
    out[py::handle(keys[i])] = py::reinterpret_steal<py::object>(PyLong_FromUnsignedLongLong(values[i]));
  }
  py::object client = py::reinterpret_steal<py::object>(PyObject_GetAttr(self.ptr(), client_name));
  if (!client) throw py::error_already_set();
  PyObject* args[] = {client.ptr()};
  py::object connected = py::reinterpret_steal<py::object>(
      PyObject_VectorcallMethod(is_connected_name, args, 1, nullptr));
  if (!connected) throw py::error_already_set();
  out[py::handle(keys[4])] = py::bool_(kx::truthy(connected));
  return out;
}

py::str gen_mqtt_key_local(py::object node_id) {
  py::object prefix = kx::module_attr(kModuleName, "PREFIX").attr("MQTT").attr("LOCAL");
  return py::str(kestrix::join_key(kx::text_of(prefix), {kx::text_of(node_id)}));
}

}  // namespace

}  // namespace kx::courier

PYBIND11_MODULE(courier, m) {
  using namespace kx::courier;
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
      "shutdown is close() (stop(), join(), disconnect()), which a with block does on its way "
      "out, exception or not: with CourierClient(...) as client: ...\n\n"
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
  cls.def("close", &kx::courier::close,
          "close() -> None\n\n"
          "The whole shutdown: stop(), waits for the watcher to end, then disconnect(). Safe to "
          "call again, and after stop() or disconnect().");
  cls.def("__enter__", &enter,
          "__enter__() -> CourierClient\n\n"
          "The client itself (it is already running).");
  cls.def("__exit__", &kx::courier::exit, py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"),
          "__exit__(exc_type, exc_value, traceback) -> bool\n\n"
          "close(), whether the block ended normally or raised; returns False, so an exception "
          "goes on.");
  cls.def("stats", &stats,
          "stats() -> dict\n\n"
          "The client's own counters as a new plain dict: published (messages paho queued), "
          "received (messages handed to the dispatch), publish_failures (publish() calls paho "
          "refused or that raised), reconnections (connections accepted after the first) and "
          "connected (whether the client is connected now). Counted natively; cheap enough to "
          "call per frame.");
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

  init_dispatch(cls.cls());
}
