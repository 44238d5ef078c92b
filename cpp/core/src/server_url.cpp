#include "kestrix/server_url.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>
#include <algorithm>

namespace kestrix {

namespace {

constexpr std::string_view kRedacted = "***";

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Where redact_url writes "***": from after the first ':' of the user part to the last '@'.
// The user part starts after "://" or, in a text that is not a URL (no "://" before that '@':
// a slash left out, a scheme forgotten), at the start.
std::optional<std::pair<std::size_t, std::size_t>> password_span(std::string_view url) {
  const std::size_t at = url.rfind('@');
  if (at == std::string_view::npos) return std::nullopt;
  const std::size_t sep = url.find("://");
  const std::size_t start = sep != std::string_view::npos && sep + 3 <= at ? sep + 3 : 0;
  const std::size_t colon = url.substr(0, at).find(':', start);
  if (colon == std::string_view::npos) return std::nullopt;
  return std::make_pair(colon + 1, at);
}

// Builds errors that show the URL without its password. A problem text names the field at
// fault, never its content: a password that was not percent-encoded can spill into any field
// (the port of "redis://admin:s3cret/x@host" is "s3cret"). A field that is at fault is also
// hidden in the URL shown (hide()), since without an '@' nothing else would hide it.
class Fail {
 public:
  Fail(std::string_view kind, std::string_view url) : kind_(kind), url_(url) {}
  // Shows `piece` (a part of the URL text) as "***" in the message.
  void hide(std::string_view piece) {
    if (piece.empty() || piece.data() < url_.data() ||
        piece.data() + piece.size() > url_.data() + url_.size()) {
      return;
    }
    hidden_.emplace_back(static_cast<std::size_t>(piece.data() - url_.data()), piece.size());
  }
  [[noreturn]] void operator()(const std::string& problem) const {
    throw UrlError(std::string(kind_) + " URL '" + shown() + "': " + problem);
  }

 private:
  // The URL with the password (redact_url's span) and every hidden piece as "***"; pieces
  // that overlap become one.
  std::string shown() const {
    std::vector<std::pair<std::size_t, std::size_t>> ranges;  // [begin, end)
    for (const auto& [start, length] : hidden_) ranges.emplace_back(start, start + length);
    if (auto span = password_span(url_)) ranges.push_back(*span);
    std::sort(ranges.begin(), ranges.end());
    std::string out;
    std::size_t from = 0;
    for (std::size_t i = 0; i < ranges.size();) {
      std::size_t begin = ranges[i].first;
      std::size_t end = ranges[i].second;
      for (++i; i < ranges.size() && ranges[i].first <= end; ++i) {
        end = std::max(end, ranges[i].second);
      }
      out.append(url_.substr(from, begin - from));
      out.append(kRedacted);
      from = end;
    }
    out.append(url_.substr(from));
    return out;
  }

  std::string_view kind_;
  std::string_view url_;
  std::vector<std::pair<std::size_t, std::size_t>> hidden_;
};

// A scheme is quoted in a problem text only when it is made of the characters a scheme may
// hold (letters, digits, '+', '-', '.'): anything else may be a piece of a password.
std::string scheme_named(const std::string& scheme) {
  bool plain = !scheme.empty();
  for (char c : scheme) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
                    c == '.';
    plain = plain && ok;
  }
  return plain ? "unknown scheme '" + scheme + "'" : std::string("unknown scheme");
}

std::string percent_decode(std::string_view text, std::string_view what, Fail& fail) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const int hi = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
    const int lo = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
    if (hi < 0 || lo < 0) {
      fail("bad percent-encoding in the " + std::string(what) + " (expected %XX with two hex digits)");
    }
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

// Decimal digits only, no sign, value within [low, high].
bool parse_number(std::string_view text, long low, long high, int& out) {
  if (text.empty() || text.size() > 9) return false;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return false;
  out = static_cast<int>(value);
  return true;
}

struct Pieces {
  std::string scheme;
  std::string_view userinfo;  // without the '@'
  bool has_userinfo = false;
  std::string_view hostport;
  std::string_view path;   // from the first '/' after the authority, may be empty
  std::string_view query;  // after '?', may be empty
  std::string_view rest;   // everything after "://"
};

Pieces split(std::string_view url, Fail& fail) {
  Pieces p;
  const std::size_t colon = url.find("://");
  if (colon == std::string_view::npos || colon == 0) {
    // Without an '@' nothing tells a password from the rest: all after the first ':' is hidden.
    const std::size_t first = url.find(':');
    if (first != std::string_view::npos) fail.hide(url.substr(first + 1));
    fail("not a URL (expected scheme://...)");
  }
  p.scheme = lower(url.substr(0, colon));
  std::string_view rest = url.substr(colon + 3);
  p.rest = rest;
  const std::size_t hash = rest.find('#');
  if (hash != std::string_view::npos) {
    fail.hide(rest.substr(hash + 1));
    fail("a fragment ('#...') is not allowed");
  }
  const std::size_t q = rest.find('?');
  if (q != std::string_view::npos) {
    p.query = rest.substr(q + 1);
    rest = rest.substr(0, q);
  }
  const std::size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  if (slash != std::string_view::npos) p.path = rest.substr(slash);
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    p.has_userinfo = true;
    p.userinfo = authority.substr(0, at);
    authority = authority.substr(at + 1);
  }
  p.hostport = authority;
  return p;
}

void parse_userinfo(const Pieces& p, ServerUrl& out, Fail& fail) {
  if (!p.has_userinfo) return;
  const std::size_t colon = p.userinfo.find(':');
  std::string_view user = p.userinfo.substr(0, colon);
  if (!user.empty()) out.username = percent_decode(user, "user name", fail);
  if (colon != std::string_view::npos) {
    out.password = percent_decode(p.userinfo.substr(colon + 1), "password", fail);
  }
}

void parse_hostport(std::string_view hostport, ServerUrl& out, Fail& fail) {
  std::string_view host;
  std::string_view port;
  bool has_port = false;
  if (!hostport.empty() && hostport.front() == '[') {
    const std::size_t close = hostport.find(']');
    if (close == std::string_view::npos) {
      fail.hide(hostport.substr(1));
      fail("unclosed '[' in the host");
    }
    host = hostport.substr(1, close - 1);
    std::string_view after = hostport.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') {
        fail.hide(after);
        fail("unexpected text after the IPv6 address");
      }
      port = after.substr(1);
      has_port = true;
    }
  } else {
    const std::size_t colon = hostport.find(':');
    host = hostport.substr(0, colon);
    if (colon != std::string_view::npos) {
      port = hostport.substr(colon + 1);
      has_port = true;
    }
  }
  if (host.empty()) {
    fail.hide(port);
    fail("no host");
  }
  out.host = percent_decode(host, "host", fail);
  if (has_port) {
    if (!parse_number(port, 1, 65535, out.port)) {
      fail.hide(port);
      fail("bad port (expected a number from 1 to 65535)");
    }
  } else {
    out.port = default_port(out.scheme);
  }
}

// Query parameters: ca, cert, key (TLS schemes) and db (unix), each at most once.
void parse_query(std::string_view query, ServerUrl& out, Fail& fail) {
  bool db_seen = false;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (item.empty()) continue;
    const std::size_t eq = item.find('=');
    const std::string name(item.substr(0, eq));
    const bool known = name == "ca" || name == "cert" || name == "key" || name == "db";
    if (!known || (name == "db" && out.scheme != "unix")) {
      fail.hide(item);
      fail(known ? "unknown query parameter '" + name + "'" : std::string("unknown query parameter"));
    }
    if (eq == std::string_view::npos) fail("query parameter '" + name + "' has no value");
    std::string value = percent_decode(item.substr(eq + 1), "value of '" + name + "'", fail);
    std::optional<std::string>* slot = nullptr;
    if (name == "ca") {
      slot = &out.ca;
    } else if (name == "cert") {
      slot = &out.cert;
    } else if (name == "key") {
      slot = &out.key;
    } else if (name == "db" && out.scheme == "unix") {
      if (db_seen) fail("query parameter 'db' is given twice");
      db_seen = true;
      if (!parse_number(value, 0, 999999999, out.db)) {
        fail.hide(item.substr(eq + 1));
        fail("bad database number (expected a number from 0)");
      }
      continue;
    } else {
      fail("unknown query parameter");  // not reached: unknown names are refused above
    }
    if (slot->has_value()) fail("query parameter '" + name + "' is given twice");
    if (!out.tls) {
      fail("query parameter '" + name + "' needs a TLS scheme (" +
           (out.scheme == "mqtt" ? std::string("mqtts") : std::string("rediss")) + "://)");
    }
    if (value.empty()) fail("query parameter '" + name + "' names no file");
    *slot = std::move(value);
  }
  if (out.key && !out.cert) fail("query parameter 'key' needs 'cert' (the client certificate)");
}

}  // namespace

int default_port(std::string_view scheme) {
  if (scheme == "mqtt") return 1883;
  if (scheme == "mqtts") return 8883;
  if (scheme == "redis" || scheme == "rediss") return 6379;
  return 0;
}

ServerUrl parse_mqtt_url(std::string_view url) {
  Fail fail("MQTT", url);
  const Pieces p = split(url, fail);
  ServerUrl out;
  out.scheme = p.scheme;
  if (p.scheme != "mqtt" && p.scheme != "mqtts") {
    // A URL of another kind: its fields are not known here, so without a user part that marks
    // the password all after "://" is hidden.
    if (!password_span(url)) fail.hide(p.rest);
    fail(scheme_named(p.scheme) + " (expected mqtt or mqtts)");
  }
  out.tls = p.scheme == "mqtts";
  parse_userinfo(p, out, fail);
  if (out.password && !out.username) fail("a password needs a user name");
  parse_hostport(p.hostport, out, fail);
  if (!p.path.empty() && p.path != "/") {
    fail.hide(p.path.substr(1));
    fail("unexpected path (a broker URL ends after the port)");
  }
  parse_query(p.query, out, fail);
  return out;
}

ServerUrl parse_redis_url(std::string_view url) {
  Fail fail("Redis", url);
  const Pieces p = split(url, fail);
  ServerUrl out;
  out.scheme = p.scheme;
  if (p.scheme != "redis" && p.scheme != "rediss" && p.scheme != "unix") {
    // A URL of another kind: its fields are not known here, so without a user part that marks
    // the password all after "://" is hidden.
    if (!password_span(url)) fail.hide(p.rest);
    fail(scheme_named(p.scheme) + " (expected redis, rediss or unix)");
  }
  out.tls = p.scheme == "rediss";
  parse_userinfo(p, out, fail);
  if (out.username && !out.password) fail("a user name needs a password (user:password@)");
  if (p.scheme == "unix") {
    if (!p.hostport.empty()) {
      fail("a socket URL has no host (expected unix:///path/to/redis.sock)");
    }
    if (p.path.size() < 2) fail("no socket path (expected unix:///path/to/redis.sock)");
    out.path = percent_decode(p.path, "socket path", fail);
  } else {
    parse_hostport(p.hostport, out, fail);
    if (p.path.size() > 1) {
      const std::string_view db = p.path.substr(1);
      if (!parse_number(db, 0, 999999999, out.db)) {
        fail.hide(db);
        fail("bad database number (expected /N with N from 0)");
      }
    }
  }
  parse_query(p.query, out, fail);
  return out;
}

void check_url_files(const ServerUrl& url, std::string_view text) {
  const struct {
    const std::optional<std::string>& file;
    const char* what;
  } files[] = {{url.ca, "CA file"}, {url.cert, "client certificate file"}, {url.key, "key file"}};
  for (const auto& f : files) {
    if (!f.file) continue;
    std::ifstream in(*f.file, std::ios::binary);
    if (!in) {
      const int err = errno;
      std::string why = err != 0 ? std::strerror(err) : "cannot be opened";
      throw UrlError(std::string(url.scheme == "mqtt" || url.scheme == "mqtts" ? "MQTT" : "Redis") +
                     " URL '" + redact_url(text) + "': " + f.what + " '" + *f.file +
                     "' cannot be read (" + why + ")");
    }
  }
}

std::string redact_url(std::string_view url) {
  // The user part ends at the last '@'. A password is meant to be percent-encoded, but one
  // that is not may hold '/', '?' or '#', so the whole text is searched rather than the
  // authority alone: a stray '@' further on can only hide more than the password, never less.
  const auto span = password_span(url);
  if (!span) return std::string(url);
  std::string out(url.substr(0, span->first));
  out += kRedacted;
  out += url.substr(span->second);
  return out;
}

}  // namespace kestrix
