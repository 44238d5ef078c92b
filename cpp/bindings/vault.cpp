// kestrix_sdk.redis.vault: keyed data and video frames in a Redis server.
//
// VaultClient wraps one redis-py client. A frame travels as the standard base64 text of the
// JPEG file OpenCV's encoder writes. The base64 step runs in the core library with the GIL
// released, reading OpenCV's buffer and writing straight into the bytes object handed to
// redis-py (and the other way round when reading), so a frame is not copied on its way through.
#include <Python.h>

#include <optional>
#include <string>
#include <utility>

#include "binding.hpp"
#include "kestrix/base64.hpp"
#include "kestrix/keys.hpp"
#include "kestrix/server_url.hpp"
#include "urls.hpp"
#include "kestrix/latest_writes.hpp"

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

// A contiguous buffer, held for as long as native code reads it.
class BufferView {
 public:
  explicit BufferView(py::handle obj) {
    if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) {
      throw py::error_already_set();
    }
  }
  ~BufferView() { PyBuffer_Release(&view_); }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  const unsigned char* data() const { return static_cast<const unsigned char*>(view_.buf); }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
};

py::bytes new_bytes(std::size_t size) {
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (bytes == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::bytes>(bytes);
}

// base64.b64encode(buffer).
py::bytes base64_encode(py::handle buffer) {
  BufferView src(buffer);
  py::bytes text = new_bytes(b64::encoded_size(src.size()));
  char* dst = PyBytes_AS_STRING(text.ptr());
  {
    py::gil_scoped_release nogil;
    b64::encode(src.data(), src.size(), dst);
  }
  return text;
}

// base64.b64decode(text) of a bytes object: a refused text raises binascii.Error with the
// message binascii gives.
py::bytes base64_decode(py::handle text) {
  const char* src = PyBytes_AS_STRING(text.ptr());
  const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(text.ptr()));
  py::bytes bytes = new_bytes(b64::decoded_size_bound(size));
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
  return py::bool_(kx::truthy(self.attr("_redis_client").attr("set")(key, data)));
}

py::object read_data(py::object self, py::object key) {
  kx::check_arg(key, "redis_key", kx::Type::Str);
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
  return py::make_tuple(encoded[0], base64_encode(encoded[1]));
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

// One write: DEL for an absent frame, else encode and SET.
py::object write_once(py::handle self, py::handle frame, py::handle key, py::handle zoom) {
  if (frame.is_none()) return py::bool_(delete_key(self, key));
  py::tuple encoded = self.attr("img_to_base64str")(frame, zoom);
  if (kx::truthy(encoded[0])) {
    try {
      return py::bool_(kx::truthy(self.attr("_redis_client").attr("set")(key, encoded[1])));
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
  if (out.start) start_writer(self, writes_obj, std::move(*out.start));
  return py::bool_(true);
}

py::object get_frame(py::object self, py::object key) {
  kx::check_arg(key, "redis_key", kx::Type::Str);
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
                           "redis.retry", "kestrix_sdk.constants"}) {
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
           "    redis_key(str): Target redis key.");
}
