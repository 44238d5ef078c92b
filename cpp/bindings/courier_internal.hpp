// What the two halves of kestrix_sdk.mqtt.courier share: courier_connection.cpp (the broker
// connection and its watcher) and courier.cpp (publishing, dispatch and the module itself).
// Private to the module.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "binding.hpp"

namespace kx::courier {

inline constexpr const char* kModuleName = "kestrix_sdk.mqtt.courier";
// The watcher's check period, in seconds.
inline constexpr double kWatchInterval = 1.0;

inline const kx::ModuleLogger logger(kModuleName);

// A client's own counters, kept natively so that counting a message costs no Python work and
// stats() costs no more than building its dict. Held by the client in a capsule (`_counters`).
struct Counters {
  std::atomic<std::uint64_t> published{0};         // publish() calls paho queued
  std::atomic<std::uint64_t> publish_failures{0};  // publish() calls paho refused or that raised
  std::atomic<std::uint64_t> received{0};          // messages paho handed to the dispatch
  std::atomic<std::uint64_t> connections{0};       // connections the broker accepted
};

// The client's counters (from the capsule the constructor stored in the instance dictionary
// `dict`, or by attribute look-up when `dict` is null); null, without a Python error, when the
// object has none.
Counters* counters_of(py::handle self, PyObject* dict = nullptr);

// Makes the counters and stores them on a new client.
void attach_counters(py::handle self);

// Decimal text of an integer-like value (paho hands out plain ints and int-derived codes).
std::string decimal(py::handle value);

// The connection half, bound by the module in courier.cpp.
void init(py::object self, py::object host, py::object port, py::object subscribe_topics,
          py::object verbose, py::object username, py::object password, py::object url);
py::bool_ connect(py::object self);
void run(py::object self);
void disconnect(py::object self);
void stop(py::object self);
void close(py::object self);
py::object enter(py::object self);
py::bool_ exit(py::object self, py::object type, py::object value, py::object traceback);
void on_connect(py::object self, py::object client, py::object userdata, py::object flags,
                py::object rc);
py::object tls_socket_do_handshake(py::object self, py::args args, py::kwargs kwargs);

// The dispatch half, in courier_dispatch.cpp.
void on_kestrix_msg_listen(py::object self, py::object topic, py::object msg);
// Bound with ThreadClass::def_fast: args = (self, client, userdata, msg).
py::object on_message(const py::handle* args);
// Makes the objects the dispatch uses for every message; `cls` is CourierClient, with its
// methods bound.
void init_dispatch(py::object cls);

}  // namespace kx::courier
