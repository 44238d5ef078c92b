// Server URLs (kestrix/server_url.hpp) for the client classes: which URL a client uses, the
// dict form the modules hand out, and the TLS context made from a URL's files.
#pragma once

#include <string>

#include "binding.hpp"
#include "kestrix/server_url.hpp"

namespace kx {

// A value of kestrix_sdk.constants, read now.
py::object constant(const char* name);

// The URL text a client uses, or None for its plain host and port: `url` itself when given (it
// must be a str), else the environment variable named by constants.<env_constant> when it is
// set and not empty, and `host` and `port` equal constants.<host_constant> and <port_constant>.
py::object client_url(py::handle url, py::handle host, py::handle port, const char* host_constant,
                      const char* port_constant, const char* env_constant);

// A parsed URL as a dict: scheme, host, port, username, password, tls, ca, cert, key and, with
// `redis_fields`, path and db. Absent parts are None (host and port too, for a socket).
py::dict url_dict(const kestrix::ServerUrl& url, bool redis_fields);

// An ssl.SSLContext that verifies the server against the URL's CA file (the system's CAs when
// it names none), checks the host name and presents the URL's client certificate. A file that
// ssl cannot load raises ValueError naming it; `shown` is the redacted URL, `kind` "MQTT" or
// "Redis".
py::object tls_context(const kestrix::ServerUrl& url, const std::string& kind,
                       const std::string& shown);

}  // namespace kx
