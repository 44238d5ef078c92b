// kestrix_sdk.status.pulse: a node's status record and pending error record, kept in memory and
// reported by a background thread: the status record over MQTT and into Redis every reporting
// interval, the error record over MQTT as soon as the interval allows.
//
// The buffers are shared by the application's threads and the reporter, so one re-entrant lock
// (`_buf_lock`) is held around every change of a buffer and every encoding of one: each record
// that goes out is a consistent picture. A report that fails is logged with its traceback and
// the reporter carries on; the next interval reports again.
#include <Python.h>

#include <string>

#include "binding.hpp"
#include "kestrix/interval.hpp"

namespace {

constexpr const char* kModule = "kestrix_sdk.status.pulse";
constexpr int kStatusLogInterval = 60;
// Time between two passes of the reporter, waited on the stop event so stop() wakes it at once.
constexpr double kPassSeconds = 0.1;
// The highest source index update_status_info accepts: a status list holds at most 65536
// entries, so a wrong index cannot make the reporter build and send a huge record.
constexpr long long kMaxSourceIdx = 65535;

const kx::ModuleLogger logger(kModule);

constexpr const char* kClassDoc =
    "Status logger class\n"
    "\n"
    "Args:\n"
    "    node_id(str): Id of the target node. Use NODE_ID env variable normally.\n"
    "    node_name(str): Target node name.\n"
    "    node_type(str): Target node type.\n"
    "    log_interval(int): Interval of the status logger. Default value is 60 sec.\n";

constexpr const char* kUpdateStatusDoc =
    "Update status buf\n"
    "\n"
    "Args:\n"
    "    info(dict): New buf to be updated\n"
    "    source_idx(int): Source index number.\n"
    "\n"
    "source_idx counts from 0 and is at most 65535; any other value raises ValueError before "
    "anything is changed.\n";

// Wall-clock seconds since the Unix epoch, with fraction.
double wall_clock() { return kx::module_attr("time", "time")().cast<double>(); }

// The current time in whole seconds since the epoch, fraction dropped (as int(time.time())).
py::object whole_seconds_now() {
  return py::reinterpret_steal<py::object>(PyLong_FromDouble(wall_clock()));
}

// The record's JSON text, as json.dumps writes it with its default settings.
py::str to_json(py::handle record) { return kx::module_attr("json", "dumps")(record); }

// "<prefix>_<node_id>" for a member of PREFIX.MQTT or PREFIX.REDIS, both read now.
std::string destination(py::handle self, const char* group, const char* member) {
  py::object prefix = kx::module_attr(kModule, "PREFIX").attr(group).attr(member);
  return kx::text_of(prefix) + "_" + kx::text_of(self.attr("node_id"));
}

// ---------------------------------------------------------------------------------------------
// StatusCaching

void init(py::object self, py::object node_id, py::object node_name, py::object node_type,
          py::object log_interval, py::object verbose) {
  kx::check_arg(node_id, "node_id", kx::Type::Str);
  kx::check_arg(node_name, "node_name", kx::Type::Str);
  kx::check_arg(node_type, "node_type", kx::Type::Str);
  kx::check_arg(log_interval, "log_interval", kx::Type::Int);
  kx::thread_init(self);

  self.attr("node_id") = node_id;
  self.attr("node_name") = node_name;
  self.attr("node_type") = node_type;
  self.attr("log_interval") = log_interval;

  py::dict status;
  status["ts"] = 0;
  status["id"] = node_id;
  status["name"] = node_name;
  status["msg_type"] = "info";
  status["type"] = node_type;
  self.attr("_status_buf") = status;
  self.attr("_error_buf") = py::dict();

  py::object stop_event = kx::module_attr("threading", "Event")();
  stop_event.attr("clear")();
  self.attr("_b_stop") = stop_event;
  self.attr("verbose") = verbose;
  self.attr("_buf_lock") = kx::module_attr("threading", "RLock")();
}

void update_status_info(py::object self, py::object info, py::object source_idx) {
  kx::check_arg(info, "info", kx::Type::Dict);
  kx::check_arg(source_idx, "source_idx", kx::Type::Int);
  int overflow = 0;
  const long long idx = PyLong_AsLongLongAndOverflow(source_idx.ptr(), &overflow);
  if (idx == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || idx < 0 || idx > kMaxSourceIdx) {
    throw py::value_error("source_idx must be between 0 and " + std::to_string(kMaxSourceIdx) +
                          ", got " + kx::quoted(source_idx));
  }

  // A snapshot of the items, so that the update does not depend on `info` staying unchanged.
  py::list items(info.attr("items")());
  std::string rendered;
  bool verbose = false;
  {
    kx::HeldLock lock(self.attr("_buf_lock"));
    py::object buf = self.attr("_status_buf");
    buf["ts"] = whole_seconds_now();
    for (py::handle item : items) {
      py::object key = item[py::int_(0)];
      py::object val = item[py::int_(1)];
      py::object cur = buf.attr("get")(key);
      if (cur.is_none()) {
        py::list one;
        one.append(val);
        buf[key] = one;
      } else if (PyList_Check(cur.ptr())) {
        const Py_ssize_t missing = static_cast<Py_ssize_t>(idx) + 1 - py::len(cur);
        if (missing > 0) {
          py::list pad;
          pad.append("");
          cur.attr("extend")(pad * py::int_(missing));
        }
        cur[py::int_(static_cast<Py_ssize_t>(idx))] = val;
      } else {
        buf[key] = val;
      }
    }
    verbose = kx::truthy(self.attr("verbose"));
    if (verbose) rendered = kx::quoted(buf);
  }
  if (verbose) logger.info("Status info: " + rendered);
}

void update_error_info(py::object self, py::object msg) {
  kx::check_arg(msg, "msg", kx::Type::Str);
  py::dict record;
  record["ts"] = whole_seconds_now();
  record["id"] = self.attr("node_id");
  record["name"] = self.attr("node_name");
  record["type"] = self.attr("node_type");
  record["msg_type"] = "error";
  record["message"] = msg;
  {
    kx::HeldLock lock(self.attr("_buf_lock"));
    self.attr("_error_buf") = record;
  }
  logger.warning("Updated error buf - " + kx::quoted(record));
}

void log_info(py::object msg) {
  kx::check_arg(msg, "msg", kx::Type::Str);
  logger.info(msg.cast<std::string>());
}

void log_warning(py::object msg) {
  kx::check_arg(msg, "msg", kx::Type::Str);
  logger.warning(msg.cast<std::string>());
}

void error(py::object self, py::object msg) {
  kx::check_arg(msg, "msg", kx::Type::Str);
  self.attr("update_error_info")(py::arg("msg") = msg);
}

void stop(py::object self) { self.attr("_b_stop").attr("set")(); }

// --- the reporter ----------------------------------------------------------------------------

// Publishes the pending error record on the error topic and empties it. The record is emptied
// only if it is still the one published: an error recorded meanwhile stays pending, and a
// record whose publication failed is tried again at the next interval.
void report_error(py::handle self, py::handle mqtt) {
  py::object reported;
  py::str text;
  {
    kx::HeldLock lock(self.attr("_buf_lock"));
    reported = self.attr("_error_buf");
    text = to_json(reported);
  }
  mqtt.attr("publish")(py::arg("topic") = destination(self, "MQTT", "CLOUD"),
                       py::arg("message") = text);
  logger.warning("Published error message to MQTT - " + kx::quoted(text));
  kx::HeldLock lock(self.attr("_buf_lock"));
  py::object pending = self.attr("_error_buf");
  if (pending.is(reported)) self.attr("_error_buf") = py::dict();
}

// Publishes the status record on the status topic and stores it under the status key; one
// encoding serves the message, the stored value and the log line.
void report_status(py::handle self, py::handle mqtt, py::handle redis) {
  py::str text;
  {
    kx::HeldLock lock(self.attr("_buf_lock"));
    text = to_json(self.attr("_status_buf"));
  }
  mqtt.attr("publish")(py::arg("topic") = destination(self, "MQTT", "DEBUG"),
                       py::arg("message") = text);
  redis.attr("put_data")(py::arg("redis_key") = destination(self, "REDIS", "STATUS"),
                         py::arg("data") = text);
  if (kx::truthy(self.attr("verbose"))) logger.info("publish message - " + kx::quoted(text));
}

// Runs one report; a failure (any Python exception, SystemExit and KeyboardInterrupt raised by a
// client's code included) is logged with its traceback and does not end the reporter.
template <typename Report>
void guarded(const char* what, Report&& report) {
  try {
    report();
  } catch (py::error_already_set& err) {
    logger.exception(std::string(what) + " - ", err);
  } catch (const std::exception& err) {
    logger.error(std::string(what) + " - " + err.what());
  }
}

// True when more than `log_interval` seconds (read now) have passed since the timer's last
// report. The time is measured on the monotonic clock, so a wall clock stepped back does not
// hold reports back; log_interval is compared as Python compares, so a value that is not a
// number raises TypeError.
bool interval_passed(py::handle self, const kestrix::IntervalTimer& timer) {
  return py::float_(timer.since_mark()) > self.attr("log_interval");
}

void run(py::object self) {
  py::object mqtt;
  py::object redis;
  try {
    py::object stop_event = self.attr("_b_stop");
    mqtt = kx::module_attr(kModule, "KestrixMqtt")();
    redis = kx::module_attr(kModule, "KestrixRedis")();
    // Before the first report of each kind no interval applies: the first pass reports at once.
    kestrix::IntervalTimer last_error_report;
    kestrix::IntervalTimer last_status_report;
    while (!kx::truthy(stop_event.attr("is_set")())) {
      if (kx::truthy(self.attr("_error_buf")) && interval_passed(self, last_error_report)) {
        guarded("Failed to report the error record", [&] { report_error(self, mqtt); });
        last_error_report.mark();
      }
      if (interval_passed(self, last_status_report)) {
        guarded("Failed to report the status record", [&] { report_status(self, mqtt, redis); });
        last_status_report.mark();
      }
      stop_event.attr("wait")(kPassSeconds);
    }
  } catch (py::error_already_set& err) {
    logger.exception("Status reporter stopped - ", err);
  } catch (const std::exception& err) {
    logger.error(std::string("Status reporter stopped - ") + err.what());
  }
  // However the loop ended, the MQTT client's watcher is asked to stop and waited for briefly;
  // then its connection is closed (its network thread sends what is queued first; a connection
  // attempt in progress is waited for and closed too) and the watcher, which has nothing left
  // to do, is joined: a stopped reporter leaves no connection or thread behind.
  if (mqtt) {
    guarded("Failed to stop the MQTT client", [&] {
      mqtt.attr("stop")();
      mqtt.attr("join")(0.5);
      mqtt.attr("disconnect")();
      mqtt.attr("join")();
    });
  }
  // The Redis client's connections are closed too (it writes no frames, so nothing waits).
  if (redis && py::hasattr(redis, "close")) {
    guarded("Failed to close the Redis client", [&] { redis.attr("close")(); });
  }
}

// The whole shutdown: stop() and, once the reporter has started, waiting for it to end (it
// leaves its wait at once and closes its clients). Safe to call again, and after stop().
void close_reporter(py::object self) {
  stop(self);
  py::object current = kx::module_attr("threading", "current_thread")();
  if (!current.is(self) && kx::truthy(self.attr("is_alive")())) self.attr("join")();
}

// A with block starts the reporter unless it was started already.
py::object enter(py::object self) {
  py::object started = self.attr("_started");
  if (!kx::truthy(started.attr("is_set")())) self.attr("start")();
  return self;
}

py::bool_ exit_block(py::object self, py::object, py::object, py::object) {
  close_reporter(self);
  return py::bool_(false);
}

py::object get_pulse_logger(py::object node_id, py::object node_name, py::object node_type) {
  if (node_id.is_none()) node_id = kx::module_attr(kModule, "NODE_ID");
  if (node_type.is_none()) node_type = kx::module_attr(kModule, "NODE_TYPE");
  return kx::module_attr(kModule, "StatusCaching")(node_id, node_name, node_type);
}

}  // namespace

PYBIND11_MODULE(pulse, m) {
  kx::translate_exceptions_here();
  py::options opts;
  opts.disable_function_signatures();
  m.doc() = "Status Caching of containers";

  m.attr("STATUS_LOG_INTERVAL") = kStatusLogInterval;
  m.attr("logger") = kx::make_logger("kestrix_sdk.logging", "STATUS", /*by_keyword=*/true);
  m.attr("KestrixMqtt") = kx::module_attr("kestrix_sdk.mqtt.courier", "CourierClient");
  m.attr("KestrixRedis") = kx::module_attr("kestrix_sdk.redis.vault", "VaultClient");
  py::module_ constants = py::module_::import("kestrix_sdk.constants");
  m.attr("PREFIX") = constants.attr("PREFIX");
  m.attr("NODE_ID") = constants.attr("NODE_ID");
  m.attr("NODE_TYPE") = constants.attr("NODE_TYPE");

  kx::ThreadClass cls(m, "StatusCaching", kClassDoc);
  cls.def_init(&init, py::arg("node_id") = "", py::arg("node_name") = "",
               py::arg("node_type") = "", py::arg("log_interval") = kStatusLogInterval,
               py::arg("verbose") = false)
      .def("run", &run)
      .def("update_status_info", &update_status_info, py::arg("info"), py::arg("source_idx"),
           kUpdateStatusDoc)
      .def("update_error_info", &update_error_info, py::arg("msg"),
           "Update error buf with given message")
      .def_static("info", &log_info, py::arg("msg"), "Just call this function to add a status info")
      .def_static("warning", &log_warning, py::arg("msg"),
                  "Just call this function to add a status warning")
      .def("error", &error, py::arg("msg"), "Add status error log(and will be published)")
      .def("stop", &stop, "Stop this thread")
      .def("close", &close_reporter,
           "Stop this thread and wait for it to end\n"
           "\n"
           "The reporter closes its MQTT and Redis clients on its way out. Safe to call again, "
           "after stop(), and on a reporter that was never started.")
      .def("__enter__", &enter,
           "Start the reporter (unless it is running already) and return it")
      .def("__exit__", &exit_block, py::arg("exc_type"), py::arg("exc_value"),
           py::arg("traceback"),
           "close(), whether the block ended normally or raised; returns False");

  m.def("get_pulse_logger", &get_pulse_logger, py::arg("node_id") = py::none(),
        py::arg("node_name") = "", py::arg("node_type") = "");
}
