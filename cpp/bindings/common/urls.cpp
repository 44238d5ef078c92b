#include "urls.hpp"

#include <optional>

namespace kx {

namespace {

py::object optional_text(const std::optional<std::string>& value) {
  return value ? py::object(py::str(*value)) : py::object(py::none());
}

}  // namespace

py::object constant(const char* name) {
  return py::module_::import("kestrix_sdk.constants").attr(name);
}

py::object client_url(py::handle url, py::handle host, py::handle port, const char* host_constant,
                      const char* port_constant, const char* env_constant) {
  if (!url.is_none()) {
    check_arg(url, "url", Type::Str);
    return py::reinterpret_borrow<py::object>(url);
  }
  if (!host.equal(constant(host_constant)) || !port.equal(constant(port_constant))) {
    return py::none();
  }
  py::object from_env =
      py::module_::import("os").attr("environ").attr("get")(constant(env_constant));
  if (from_env.is_none() || !truthy(from_env)) return py::none();
  return from_env;
}

py::dict url_dict(const kestrix::ServerUrl& url, bool redis_fields) {
  const bool socket = url.scheme == "unix";
  py::dict d;
  d["scheme"] = url.scheme;
  d["host"] = socket ? py::object(py::none()) : py::object(py::str(url.host));
  d["port"] = socket ? py::object(py::none()) : py::object(py::int_(url.port));
  d["username"] = optional_text(url.username);
  d["password"] = optional_text(url.password);
  d["tls"] = py::bool_(url.tls);
  d["ca"] = optional_text(url.ca);
  d["cert"] = optional_text(url.cert);
  d["key"] = optional_text(url.key);
  if (redis_fields) {
    d["path"] = socket ? py::object(py::str(url.path)) : py::object(py::none());
    d["db"] = url.db;
  }
  return d;
}

py::object tls_context(const kestrix::ServerUrl& url, const std::string& kind,
                       const std::string& shown) {
  py::module_ ssl = py::module_::import("ssl");
  const char* step = "CA file";
  const std::optional<std::string>* file = &url.ca;
  try {
    py::object context = ssl.attr("create_default_context")(
        ssl.attr("Purpose").attr("SERVER_AUTH"), py::arg("cafile") = optional_text(url.ca));
    if (url.cert) {
      step = "client certificate or key file";
      file = &url.cert;
      context.attr("load_cert_chain")(*url.cert, optional_text(url.key));
    }
    context.attr("check_hostname") = true;
    context.attr("verify_mode") = ssl.attr("CERT_REQUIRED");
    return context;
  } catch (py::error_already_set& err) {
    if (!err.matches(PyExc_Exception)) throw;
    std::string which = *file ? " '" + **file + "'" : std::string();
    if (url.cert && url.key && file == &url.cert) which += " / '" + *url.key + "'";
    throw py::value_error(kind + " URL '" + shown + "': " + step + which +
                          " cannot be used - " + error_text(err));
  }
}

}  // namespace kx
