// kestrix_sdk.redis.vault: keyed data and video frames in a Redis server.
//
// VaultClient wraps one redis-py client. A frame travels as the standard base64 text of the
// JPEG file OpenCV's encoder writes. The base64 step runs in the core library with the GIL
// released, reading OpenCV's buffer and writing straight into the bytes object handed to
// redis-py (and the other way round when reading), so a frame is not copied on its way through.
#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "binding.hpp"
#include "buffers.hpp"
#include "kestrix/base64.hpp"
#include "kestrix/keys.hpp"
#include "kestrix/server_url.hpp"
#include "urls.hpp"
#include "kestrix/latest_writes.hpp"
#include "kestrix/write_stamps.hpp"

namespace {

namespace b64 = kestrix::base64;

constexpr const char* kModule = "kestrix_sdk.redis.vault";
const kx::ModuleLogger logger(kModule);

// Redis client settings (README, "Redis store"). From redis-py 6 a failed command is retried
// with back-off (for seconds in 8), and redis-py 8 caps its default pool at 100 connections and
// fails at once past that. These settings behave alike in every release from 5 on:
//   - no retries and a one-second connect time-out: with the server down an operation fails
//     within about a second, and the next one connects afresh;
//   - a blocking pool: a burst of background writes waits for a free connection instead of
//     failing, and the process never holds more than kPoolSize sockets;
//   - a read time-out, so that a server that accepts but never answers cannot hold a thread.
constexpr int kPoolSize = 64;
constexpr double kPoolWaitSeconds = 20.0;
constexpr double kConnectTimeoutSeconds = 1.0;
constexpr double kSocketTimeoutSeconds = 5.0;

// Background frame writes of one VaultClient. A key's writes run one after the other, so a key
// never goes back to an older frame; a frame that a newer one for its key replaces before its
// write starts is dropped (it would be overwritten at once). At most kMaxWriters threads write
// at a time, and each ends as soon as no write is left for it, so a stalled server holds at
// most kMaxWriters threads and one waiting frame per key.
struct FrameJob {
  py::object frame;  // the caller's frame copied, or None for a delete
  py::object key;
  py::object zoom;
};
using FrameWrites = kestrix::LatestWrites<std::string, FrameJob>;
constexpr std::size_t kMaxWriters = 8;

// A client's own counters, kept natively (stats() reads them; counting costs no Python work).
// Write times are whole nanoseconds of the steady clock, from the start of a frame's encoding
// to the end of its SET.
struct VaultCounters {
  std::atomic<std::uint64_t> frame_writes{0};
  std::atomic<std::uint64_t> frame_write_failures{0};
  std::atomic<std::uint64_t> frames_dropped{0};  // replaced by a newer frame before their write
  std::atomic<std::uint64_t> data_writes{0};
  std::atomic<std::uint64_t> data_write_failures{0};
  std::atomic<std::uint64_t> reads{0};
  std::atomic<std::uint64_t> write_ns_total{0};
  std::atomic<std::uint64_t> last_write_ns{0};
};

// The client over a pool with the settings above. `where` holds the pool's address keywords:
// host and port, or a socket path with its connection class, plus credentials, database and
// TLS settings when a URL gave them.
py::object make_redis_client(py::kwargs where) {
  py::object no_backoff = kx::module_attr("redis.backoff", "NoBackoff")();
  where["max_connections"] = kPoolSize;
  where["timeout"] = kPoolWaitSeconds;
  where["socket_connect_timeout"] = kConnectTimeoutSeconds;
  where["socket_timeout"] = kSocketTimeoutSeconds;
  where["retry"] = kx::module_attr("redis.retry", "Retry")(no_backoff, 0);
  py::object pool = kx::module_attr("redis", "BlockingConnectionPool")(**where);
  py::object client = kx::module_attr("redis", "StrictRedis")(py::arg("connection_pool") = pool);
  // The client owns this pool as it owns one it makes itself: discarding the client closes
  // the pool's connections.
  client.attr("auto_close_connection_pool") = true;
  return client;
}

py::object optional_text(const std::optional<std::string>& value) {
  return value ? py::object(py::str(*value)) : py::object(py::none());
}

// The pool's address keywords for a URL: TCP or TLS to host:port, or a Unix socket; user,
// password and database number. For TLS the server's certificate is required and its host name
// checked; the files are tried once here so that one ssl cannot use fails the construction.
py::kwargs url_address(const kestrix::ServerUrl& url, const std::string& text) {
  py::kwargs where;
  if (url.scheme == "unix") {
    where["connection_class"] = kx::module_attr("redis", "UnixDomainSocketConnection");
    where["path"] = url.path;
  } else {
    where["host"] = url.host;
    where["port"] = url.port;
  }
  where["db"] = url.db;
  where["username"] = optional_text(url.username);
  where["password"] = optional_text(url.password);
  if (url.tls) {
    kx::tls_context(url, "Redis", kestrix::redact_url(text));
    where["connection_class"] = kx::module_attr("redis", "SSLConnection");
    where["ssl_ca_certs"] = optional_text(url.ca);
    where["ssl_certfile"] = optional_text(url.cert);
    where["ssl_keyfile"] = optional_text(url.key);
    where["ssl_cert_reqs"] = "required";
    where["ssl_check_hostname"] = true;
  }
  return where;
}

// <prefix>_<node_id>_<port>, with PREFIX.REDIS.<member> read now.
py::str redis_key(const char* member, py::handle node_id, py::handle port) {
  py::object prefix = kx::module_attr("kestrix_sdk.constants", "PREFIX").attr("REDIS").attr(member);
  return py::str(
      kestrix::join_key(kx::text_of(prefix), {kx::text_of(node_id), kx::text_of(port)}));
}

// base64.b64decode(text) of a bytes object: a refused text raises binascii.Error with the
// message binascii gives.
py::bytes base64_decode(py::handle text) {
  const char* src = PyBytes_AS_STRING(text.ptr());
  const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(text.ptr()));
  py::bytes bytes = kx::new_bytes(b64::decoded_size_bound(size));
  auto* dst = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.ptr()));
  b64::DecodeResult result{};
  {
    py::gil_scoped_release nogil;
    result = b64::decode(src, size, dst);
  }
  if (result.status != b64::DecodeStatus::Ok) {
    const std::string message = b64::error_message(result);
    PyErr_SetString(kx::module_attr("binascii", "Error").ptr(), message.c_str());
    throw py::error_already_set();
  }
  PyObject* raw = bytes.release().ptr();
  if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(result.size)) != 0) {
    throw py::error_already_set();  // _PyBytes_Resize has released the object
  }
  return py::reinterpret_steal<py::bytes>(raw);
}

// b64decode(data): the bytes a stored frame's base64 text stands for.
py::object b64decode(py::object data) {
  kx::check_arg(data, "data", kx::Type::Bytes);
  return base64_decode(data);
}

// --- VaultClient ------------------------------------------------------------------------------

// The client's background-write bookkeeping, kept beside the object (in a weak-keyed table of
// the module) so that the object's own members stay the two documented ones.
py::object frame_writes_of(py::handle self) {
  py::object table = kx::module_attr(kModule, "_frame_writes");
  py::object writes = table.attr("get")(self);
  if (writes.is_none()) {
    writes = kx::module_attr(kModule, "_FrameWrites")();
    table[self] = writes;
  }
  return writes;
}

// The client's counters, kept beside it as its write bookkeeping is, in a capsule in the weak
// table `_counters`. The look-up is done natively on the table's own dictionary (keyed by weak
// references, as WeakKeyDictionary.get does), so counting costs no Python call.
constexpr const char* kCountersName = "kestrix_sdk.redis.vault._counters";

PyObject* counters_table_data() {
  // The module keeps the table for the life of the process; its dictionary with it.
  static PyObject* data = py::object(kx::module_attr(kModule, "_counters").attr("data")).release().ptr();
  return data;
}

VaultCounters& counters_of(py::handle self) {
  py::object ref = py::reinterpret_steal<py::object>(PyWeakref_NewRef(self.ptr(), nullptr));
  if (!ref) throw py::error_already_set();
  PyObject* capsule = PyDict_GetItemWithError(counters_table_data(), ref.ptr());
  if (capsule == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    auto* counters = new VaultCounters();
    PyObject* made = PyCapsule_New(counters, kCountersName, [](PyObject* cap) {
      delete static_cast<VaultCounters*>(PyCapsule_GetPointer(cap, kCountersName));
    });
    if (made == nullptr) {
      delete counters;
      throw py::error_already_set();
    }
    py::object holder = py::reinterpret_steal<py::object>(made);
    kx::module_attr(kModule, "_counters")[self] = holder;
    return *counters;
  }
  return *static_cast<VaultCounters*>(PyCapsule_GetPointer(capsule, kCountersName));
}

void init(py::object self, py::object thread, py::object host, py::object port, py::object url) {
  kx::check_arg(host, "host", kx::Type::Str);
  kx::check_arg(port, "port", kx::Type::Int);
  // A URL (given, or from the environment for a client left at the default address) replaces
  // host and port and adds credentials, database, TLS or a socket path.
  py::object url_text = kx::client_url(url, host, port, "DEFAULT_REDIS_HOST",
                                       "DEFAULT_REDIS_PORT", "REDIS_URL_ENV");
  py::kwargs where;
  if (url_text.is_none()) {
    where["host"] = host;
    where["port"] = port;
  } else {
    const std::string text = url_text.cast<std::string>();
    const kestrix::ServerUrl parsed = kestrix::parse_redis_url(text);
    kestrix::check_url_files(parsed, text);
    where = url_address(parsed, text);
  }
  self.attr("_use_thread") = thread;
  self.attr("_redis_client") = make_redis_client(where);
  frame_writes_of(self);
  counters_of(self);
}

py::object gen_redis_key_local(py::object node_id, py::object port) {
  return redis_key("LOCAL", node_id, port);
}

py::object gen_redis_key_status(py::object node_id, py::object port) {
  return redis_key("STATUS", node_id, port);
}

py::object put_data(py::object self, py::object key, py::object data) {
  kx::check_arg(key, "redis_key", kx::Type::Str);
  kx::check_arg(data, "data", kx::Type::Str);
  VaultCounters& counters = counters_of(self);
  bool stored = false;
  try {
    stored = kx::truthy(self.attr("_redis_client").attr("set")(key, data));
  } catch (py::error_already_set&) {
    ++counters.data_write_failures;
    throw;
  }
  ++(stored ? counters.data_writes : counters.data_write_failures);
  return py::bool_(stored);
}

py::object read_data(py::object self, py::object key) {
  kx::check_arg(key, "redis_key", kx::Type::Str);
  ++counters_of(self).reads;
  return self.attr("_redis_client").attr("get")(key);
}

bool delete_key(py::handle self, py::handle key) {
  return self.attr("_redis_client").attr("delete")(key).cast<long long>() > 0;
}

py::object delete_data(py::object self, py::object key) {
  kx::check_arg(key, "redis_key", kx::Type::Str);
  return py::bool_(delete_key(self, key));
}

py::object img_to_base64str(py::object image, py::object zoom_ratio) {
  kx::check_arg(zoom_ratio, "zoom_ratio", kx::Type::Float, true);
  py::module_ cv2 = py::module_::import("cv2");
  // An absent factor means no scaling, as 1.0 does.
  if (!zoom_ratio.is_none() && PyFloat_AS_DOUBLE(zoom_ratio.ptr()) != 1.0) {
    image = cv2.attr("resize")(image, py::none(), py::arg("fx") = zoom_ratio,
                               py::arg("fy") = zoom_ratio);
  }
  py::tuple encoded = cv2.attr("imencode")(".jpg", image);
  return py::make_tuple(encoded[0], kx::base64_encode(encoded[1]));
}

py::object base64_to_img(py::object b64_bytes) {
  kx::check_arg(b64_bytes, "b64_bytes", kx::Type::Bytes);
  try {
    py::module_ numpy = py::module_::import("numpy");
    py::bytes decoded = base64_decode(b64_bytes);
    const Py_ssize_t size = PyBytes_GET_SIZE(decoded.ptr());
    py::object array = numpy.attr("frombuffer")(decoded, py::arg("dtype") = numpy.attr("uint8"));
    py::object img = kx::module_attr("cv2", "imdecode")(array, -1);
    // OpenCV's decoder answers None, without raising, for bytes it cannot read (random bytes,
    // a cut-off file, a header alone): that is as unreadable a value as a refused text.
    if (img.is_none()) {
      logger.warning("Failed to convert base64 to image - the value decodes to " +
                     std::to_string(size) + " bytes that are not a readable image");
    }
    return img;
  } catch (py::error_already_set& err) {
    if (!kx::is_exception(err)) throw;
    logger.warning("Failed to convert base64 to image - " + kx::error_text(err));
    return py::none();
  }
}

// Frame writes reach the server in the order this process made them (kestrix/write_stamps.hpp):
// each SET or DEL of a frame runs in a script that refuses it when a later write of this
// process to the key has already run, so a write held past its time-out cannot bring back an
// older frame. The key's value stays the plain base64 text; the stamps live in one hash beside
// the frames, outside the frame and status prefixes. A server that refuses scripts (an ACL
// without them, a proxy without EVAL) gets plain SET and DEL from then on, after one warning.
constexpr const char* kStampHash = "kestrix_frame_write_stamps";
kestrix::WriteStamps write_stamps;

const std::string& frame_script_sha() {
  static const std::string sha = kx::text_of(
      kx::module_attr("hashlib", "sha1")(py::bytes(kestrix::kFrameWriteScript)).attr("hexdigest")());
  return sha;
}

// A user without the right to run scripts (NOPERM), or a server without the commands.
bool refuses_scripts(py::error_already_set& err) {
  if (err.matches(kx::module_attr("redis.exceptions", "NoPermissionError"))) return true;
  if (!err.matches(kx::module_attr("redis.exceptions", "ResponseError"))) return false;
  return kx::text_of(err.value()).find("unknown command") != std::string::npos;
}

// SET key value, or DEL key when value is null, in this process's order of frame writes.
// Answers the script's count (0 for a write that a later one has overtaken).
py::object ordered_write(py::handle self, py::handle key, py::handle value) {
  py::object client = self.attr("_redis_client");
  // The clients whose server refused the script (a weak set of the module).
  py::object refused = kx::module_attr(kModule, "_scripts_refused");
  if (!kx::truthy(refused.attr("__contains__")(self))) {
    const kestrix::WriteStamp stamp = write_stamps.next();
    py::list args;
    args.append(py::int_(2));
    args.append(key);
    args.append(py::str(kStampHash));
    args.append(py::str(stamp.token));
    args.append(py::int_(stamp.sequence));
    if (value) args.append(value);
    try {
      try {
        args.insert(0, py::str(frame_script_sha()));
        return client.attr("evalsha")(*args);
      } catch (py::error_already_set& err) {
        if (!err.matches(kx::module_attr("redis.exceptions", "NoScriptError"))) throw;
      }
      args[0] = py::str(kestrix::kFrameWriteScript);
      return client.attr("eval")(*args);
    } catch (py::error_already_set& err) {
      if (!refuses_scripts(err)) throw;
      refused.attr("add")(self);
      logger.warning("Frame writes go without ordering stamps - the server refused the script: " +
                     kx::error_text(err));
    }
  }
  return value ? client.attr("set")(key, value) : client.attr("delete")(key);
}

py::object write_once_uncounted(py::handle self, py::handle frame, py::handle key,
                                py::handle zoom);

// One write: DEL for an absent frame, else encode and SET, counted as a frame write that
// succeeded or failed (a delete is not a frame write) with its time.
py::object write_once(py::handle self, py::handle frame, py::handle key, py::handle zoom) {
  if (frame.is_none()) return py::bool_(ordered_write(self, key, nullptr).cast<long long>() > 0);
  VaultCounters& counters = counters_of(self);
  const auto started = std::chrono::steady_clock::now();
  bool written = false;
  struct Count {
    VaultCounters& counters;
    std::chrono::steady_clock::time_point started;
    bool& written;
    ~Count() {
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now() - started)
                          .count();
      counters.write_ns_total += static_cast<std::uint64_t>(ns);
      counters.last_write_ns = static_cast<std::uint64_t>(ns);
      ++(written ? counters.frame_writes : counters.frame_write_failures);
    }
  } count{counters, started, written};
  py::object result = write_once_uncounted(self, frame, key, zoom);
  written = kx::truthy(result);
  return result;
}

py::object write_once_uncounted(py::handle self, py::handle frame, py::handle key,
                                py::handle zoom) {
  py::tuple encoded = self.attr("img_to_base64str")(frame, zoom);
  if (kx::truthy(encoded[0])) {
    try {
      return py::bool_(kx::truthy(ordered_write(self, key, encoded[1])));
    } catch (py::error_already_set& err) {
      if (!kx::is_exception(err)) throw;
      logger.error("Failed to write frame to redis - " + kx::error_text(err));
    }
  }
  logger.warning("Failed to convert stream to write to redis");
  return py::bool_(false);
}

py::object write_to_redis(py::object self, py::object frame, py::object key, py::object zoom) {
  kx::check_arg(key, "redis_key", kx::Type::Str);
  kx::check_arg(zoom, "zoom", kx::Type::Float, true);
  return write_once(self, frame, key, zoom);
}

// Body of a frame-writer thread: its first write (target and args, as for any Thread), then the
// writes the client's bookkeeping hands it, until none is left. An error that ends a write
// reports to nobody else, so it is logged with its traceback and loses only that write; any
// other error is logged the same way and ends the thread.
void frame_writer_run(py::object self) {
  py::object writes_obj = self.attr("_writes");
  auto& writes = writes_obj.cast<FrameWrites&>();
  py::object write = self.attr("_target");
  py::tuple args = self.attr("_args");
  // As Thread.run does: the thread object keeps no reference to its target and arguments.
  self.attr("_target") = py::none();
  self.attr("_args") = py::tuple();
  std::string key = args[1].cast<std::string>();
  try {
    for (;;) {
      try {
        write(*args);
      } catch (py::error_already_set& err) {
        logger.exception("Failed to write frame to redis in the background - ", err);
        if (!kx::is_exception(err)) {
          // Not an error of the write (SystemExit, KeyboardInterrupt...): this thread ends, and
          // its key's waiting frame is left to the next writer.
          writes.abandon(key);
          return;
        }
      }
      args = py::tuple();  // the frame goes now, not with the next one
      std::optional<FrameWrites::Assigned> next = writes.next(key);
      if (!next) return;
      key = std::move(next->key);
      args = py::make_tuple(std::move(next->job.frame), std::move(next->job.key),
                            std::move(next->job.zoom));
    }
  } catch (...) {
    // Whatever else ends this thread (logging failed, no memory), its key is given back, or
    // the key would count as being written for ever.
    writes.abandon(key);
    throw;
  }
}

// Starts a writer thread for its first job; if it cannot start, the job's key is given back.
void start_writer(py::handle self, py::object writes_obj, FrameWrites::Assigned first) {
  auto& writes = writes_obj.cast<FrameWrites&>();
  try {
    py::object writer = kx::module_attr(kModule, "_FrameWriter")(
        py::arg("target") = self.attr("_write_to_redis"),
        py::arg("args") = py::make_tuple(std::move(first.job.frame), std::move(first.job.key),
                                         std::move(first.job.zoom)));
    writer.attr("_writes") = writes_obj;
    writer.attr("start")();
  } catch (...) {
    writes.abandon(first.key);
    throw;
  }
}

py::object write_frame(py::object self, py::object frame, py::object key, py::object zoom) {
  kx::check_arg(key, "redis_key", kx::Type::Str);
  kx::check_arg(zoom, "zoom", kx::Type::Float, true);
  if (!kx::truthy(self.attr("_use_thread"))) return self.attr("_write_to_redis")(frame, key, zoom);
  // Callers reuse their frame buffers as soon as this returns: the writer gets its own copy.
  if (py::isinstance(frame, kx::module_attr("numpy", "ndarray"))) frame = frame.attr("copy")();
  py::object writes_obj = frame_writes_of(self);
  auto& writes = writes_obj.cast<FrameWrites&>();
  std::string key_text = key.cast<std::string>();
  // A replaced frame is released here, with the GIL held and outside the bookkeeping's lock.
  FrameWrites::Submitted out = writes.submit(key_text, FrameJob{frame, key, zoom});
  if (out.replaced) ++counters_of(self).frames_dropped;
  if (out.start) start_writer(self, writes_obj, std::move(*out.start));
  return py::bool_(true);
}

py::object get_frame(py::object self, py::object key) {
  kx::check_arg(key, "redis_key", kx::Type::Str);
  ++counters_of(self).reads;
  try {
    py::object value = self.attr("_redis_client").attr("get")(key);
    if (PyBytes_Check(value.ptr()) && PyBytes_GET_SIZE(value.ptr()) > 0) {
      return self.attr("base64_to_img")(value);
    }
    return py::none();
  } catch (py::error_already_set& err) {
    if (!kx::is_exception(err)) throw;
    logger.warning("Failed to get redis frame from " + kx::quoted(key) + " - " +
                   kx::error_text(err));
    return py::none();
  }
}

// The keys of a stats dict, made once (never freed: the module lives as long as the process).
PyObject* stats_key(const char* text) { return PyUnicode_InternFromString(text); }

py::dict stats(py::object self) {
  static PyObject* const keys[] = {
      stats_key("frame_writes"),        stats_key("frame_write_failures"),
      stats_key("frames_dropped"),      stats_key("data_writes"),
      stats_key("data_write_failures"), stats_key("reads"),
      stats_key("write_seconds_total"), stats_key("last_write_seconds")};
  const VaultCounters& c = counters_of(self);
  const std::uint64_t counts[] = {c.frame_writes, c.frame_write_failures, c.frames_dropped,
                                  c.data_writes,  c.data_write_failures,  c.reads};
  py::dict out;
  for (std::size_t i = 0; i < 6; ++i) {
    out[py::handle(keys[i])] = py::reinterpret_steal<py::object>(PyLong_FromUnsignedLongLong(counts[i]));
  }
  out[py::handle(keys[6])] = py::float_(c.write_ns_total.load(std::memory_order_relaxed) / 1e9);
  out[py::handle(keys[7])] = py::float_(c.last_write_ns.load(std::memory_order_relaxed) / 1e9);
  return out;
}

// Waits for the client's background writers to finish every frame already handed to them (each
// write is bounded by the client's time-outs), then closes the pool's connections. A frame
// left unwritten (its writer ended on an error that was not the write's) is logged, not lost
// silently. The client stays usable: a later operation connects again.
void close_client(py::object self) {
  py::object writes_obj = frame_writes_of(self);
  auto& writes = writes_obj.cast<FrameWrites&>();
  py::object writer_cls = kx::module_attr(kModule, "_FrameWriter");
  py::object current = kx::module_attr("threading", "current_thread")();
  for (bool waited = true; waited;) {
    waited = false;
    py::list threads = kx::module_attr("threading", "enumerate")();
    for (py::handle thread : threads) {
      if (thread.is(current) || !py::isinstance(thread, writer_cls)) continue;
      if (!py::getattr(thread, "_writes", py::none()).is(writes_obj)) continue;
      thread.attr("join")();
      waited = true;
    }
  }
  const std::size_t left = writes.waiting();
  if (left > 0) {
    logger.warning("Closed with " + std::to_string(left) +
                   " frame write(s) not done - their writer ended early");
  }
  py::object client = self.attr("_redis_client");
  client.attr("close")();
  client.attr("connection_pool").attr("disconnect")();
}

py::object enter(py::object self) { return self; }

py::bool_ exit_block(py::object self, py::object, py::object, py::object) {
  close_client(self);
  return py::bool_(false);
}

constexpr const char* kClassDoc =
    "Represents a redis client specified for the containers.\n"
    "\n"
    "Args:\n"
    "    thread(bool): Use threading or not\n"
    "    host(str): Redis server host\n"
    "    port(int): Redis server port\n"
    "    url(str): Redis URL (keyword only): redis://[[user]:password@]host[:port][/db],\n"
    "        rediss://... (TLS, with ca=, cert=, key= query parameters) or\n"
    "        unix:///path/to/redis.sock[?db=N]. Replaces host and port. Without it, a client\n"
    "        left at the default host and port uses KESTRIX_REDIS_URL when that is set.";

}  // namespace

PYBIND11_MODULE(vault, m) {
  kx::translate_exceptions_here();
  py::options opts;
  opts.disable_function_signatures();

  // Everything the module calls is loaded now: a missing dependency fails the import.
  for (const char* name : {"binascii", "threading", "weakref", "cv2", "numpy", "redis", "redis.backoff",
                           "redis.retry", "redis.exceptions", "hashlib",
                           "kestrix_sdk.constants"}) {
    py::module_::import(name);
  }
  m.attr("logger") = kx::make_logger("kestrix_sdk.logging.logger", "REDIS", false);
  py::object default_host = kx::constant("DEFAULT_REDIS_HOST");
  py::object default_port = kx::constant("DEFAULT_REDIS_PORT");
  m.attr("DEFAULT_REDIS_HOST") = default_host;
  m.attr("DEFAULT_REDIS_PORT") = default_port;
  m.attr("REDIS_URL_ENV") = kx::constant("REDIS_URL_ENV");

  m.def(
      "parse_redis_url",
      [](const std::string& url) { return kx::url_dict(kestrix::parse_redis_url(url), true); },
      py::arg("url"),
      "The parts of a Redis URL (redis://[[user]:password@]host[:port][/db], rediss://... for "
      "TLS with ca=, cert=, key= query parameters, unix:///path/to/redis.sock[?db=N]): scheme, "
      "host, port, username, password, tls, ca, cert, key, path, db; absent parts are None. "
      "Raises ValueError naming the problem (the password shown as \"***\").");
  m.def(
      "redact_url", [](const std::string& url) { return kestrix::redact_url(url); },
      py::arg("url"), "The URL with the password of its user part written as \"***\".");

  m.def("gen_redis_key_local", &gen_redis_key_local, py::arg("node_id"), py::arg("port"));
  m.def("b64decode", &b64decode, py::arg("data"),
        "Decode the standard base64 text of a stored frame to bytes.\n"
        "\n"
        "Raises binascii.Error when the text is not base64, as base64.b64decode does.");
  // The thread of one background frame write (a threading.Thread started with target and args).
  py::class_<FrameWrites>(m, "_FrameWrites", "Background frame writes of one client")
      .def(py::init([] { return new FrameWrites(kMaxWriters); }))
      .def_property_readonly("workers", &FrameWrites::workers)
      .def_property_readonly("peak_workers", &FrameWrites::peak_workers)
      .def_property_readonly("waiting", &FrameWrites::waiting);
  m.attr("_frame_writes") = kx::module_attr("weakref", "WeakKeyDictionary")();
  m.attr("_counters") = kx::module_attr("weakref", "WeakKeyDictionary")();
  m.attr("_scripts_refused") = kx::module_attr("weakref", "WeakSet")();
  // A background frame writer (a threading.Thread started with target and args for its first
  // write, which then takes the client's further writes until none is left).
  kx::ThreadClass(m, "_FrameWriter", "Thread of background frame writes")
      .def("run", &frame_writer_run);

  kx::HeapClass(m, "VaultClient", kClassDoc)
      .def_init(&init, py::arg("thread") = true, py::arg("host") = default_host,
                py::arg("port") = default_port, py::kw_only(), py::arg("url") = py::none())
      .def_static("gen_redis_key_status", &gen_redis_key_status, py::arg("node_id"),
                  py::arg("port"))
      .def("put_data", &put_data, py::arg("redis_key"), py::arg("data"),
           "Write data to the target redis location\n"
           "\n"
           "Args:\n"
           "    redis_key(str): Target redis key.\n"
           "    data(str): Data to be written.")
      .def("read_data", &read_data, py::arg("redis_key"),
           "Read data from the target redis location\n"
           "\n"
           "Args:\n"
           "    redis_key(str): Target redis key.")
      .def("delete_data", &delete_data, py::arg("redis_key"),
           "Delete data from the target redis location\n"
           "\n"
           "Args:\n"
           "    redis_key(str): Target redis key.")
      .def_static("img_to_base64str", &img_to_base64str, py::arg("image"),
                  py::arg("zoom_ratio") = 1.0, "Convert opencv frame to base64 encoded string")
      .def_static("base64_to_img", &base64_to_img, py::arg("b64_bytes"),
                  "Convert base64 string to opencv frame")
      .def("write_frame", &write_frame, py::arg("frame"), py::arg("redis_key"),
           py::arg("zoom") = 1.0,
           "Write video frame to the target redis key\n"
           "\n"
           "Args:\n"
           "    frame(np.ndarray): Video frame to be written.\n"
           "    redis_key(str): Target redis key.\n"
           "    zoom(float): Zoom ratio(optional).")
      .def("_write_to_redis", &write_to_redis, py::arg("frame"), py::arg("redis_key"),
           py::arg("zoom") = 1.0, "Internal function that is executed in background thread")
      .def("get_frame", &get_frame, py::arg("redis_key"),
           "Read video frame from a given redis key\n"
           "\n"
           "Args:\n"
           "    redis_key(str): Target redis key.")
      .def("stats", &stats,
           "The client's own counters as a new plain dict\n"
           "\n"
           "frame_writes and frame_write_failures (frames encoded and stored, or not), "
           "frames_dropped (background frames a newer one for their key replaced before their "
           "write), data_writes and data_write_failures (put_data), reads (read_data and "
           "get_frame), write_seconds_total and last_write_seconds (a frame write's encoding "
           "and SET). Counted natively; cheap enough to call per frame.")
      .def("close", &close_client,
           "Wait for the background frame writes, then close the connections\n"
           "\n"
           "Every frame already handed to write_frame is written (or its failure logged) "
           "first. Safe to call again; a later operation connects afresh.")
      .def("__enter__", &enter, "The client itself")
      .def("__exit__", &exit_block, py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"),
           "close(), whether the block ended normally or raised; returns False");
}
