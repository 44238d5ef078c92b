// Server addresses written as URLs: one text names a broker or a Redis server together with the
// credentials and TLS files needed to reach it.
//
//   mqtt://[user[:password]@]host[:port]            port 1883 when absent
//   mqtts://...                                     TLS, port 8883 when absent
//   redis://[[user]:password@]host[:port][/db]      port 6379 when absent, database 0
//   rediss://...                                    TLS
//   unix://[[user]:password@]/path/to/redis.sock[?db=N]
//
// TLS schemes take the query parameters ca=FILE (the CA bundle that verifies the server; the
// system's CAs when absent), cert=FILE and key=FILE (a client certificate and its key). User,
// password, path and parameter values are percent-decoded. Hosts may be IPv6 literals in
// brackets ([::1]).
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrix {

struct ServerUrl {
  std::string scheme;  // lower case: mqtt, mqtts, redis, rediss or unix
  std::string host;    // empty for unix
  int port = 0;        // the scheme's port when the URL has none; 0 for unix
  std::optional<std::string> username;
  std::optional<std::string> password;
  bool tls = false;
  std::optional<std::string> ca;
  std::optional<std::string> cert;
  std::optional<std::string> key;
  std::string path;  // socket path of unix URLs, else empty
  int db = 0;        // Redis database number
};

// A URL that cannot be used. The message names the problem and the field at fault, never the
// field's content, and shows the URL with its password, and the field at fault, as "***": no
// piece of a password appears in it, even one that spilled into another field.
class UrlError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The port a scheme uses when the URL names none (0 for an unknown scheme and for unix).
int default_port(std::string_view scheme);

ServerUrl parse_mqtt_url(std::string_view url);
ServerUrl parse_redis_url(std::string_view url);

// Throws UrlError unless every TLS file the URL names can be opened for reading.
void check_url_files(const ServerUrl& url, std::string_view text);

// The URL with the password of its user part replaced by "***" (unchanged when it has none).
// Works on any text, well-formed or not, so that error messages and logs can always use it: a
// text that is not a URL is hidden from its first ':' to its last '@'.
std::string redact_url(std::string_view url);

}  // namespace kestrix
