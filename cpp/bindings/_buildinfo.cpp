// kestrix_sdk._buildinfo: the package's version record. Loading it sets a few module attributes
// and nothing else; no other module of the kit imports it.
#include <dlfcn.h>

#include <ctime>
#include <string>

#include "binding.hpp"
#include "kestrix/base64.hpp"
#include "kestrix/composite.hpp"

namespace {

constexpr const char* kAuthor = "Kestrix Labs edge team";
constexpr const char* kCopyrightOpening = "Copyright (c) ";
constexpr const char* kCopyrightClosing = " Kestrix Labs - edge@kestrix.dev";
constexpr const char* kEmail = "edge@kestrix.dev";
constexpr const char* kLicense = "MIT";
constexpr const char* kTitle = "kestrix-sdk-python";
constexpr const char* kVersion = KESTRIX_VERSION;

// Path of the shared library this function lives in, as the dynamic loader opened it.
std::string own_library_path() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&own_library_path), &info) != 0 && info.dli_fname != nullptr) {
    return info.dli_fname;
  }
  return {};
}

int local_year() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local.tm_year + 1900;
}

}  // namespace

PYBIND11_MODULE(_buildinfo, m) {
  kx::translate_exceptions_here();
  m.doc() = "\n    Constant file\n";
  py::object path = py::module_::import("os.path");
  py::object file = path.attr("abspath")(own_library_path());
  m.attr("_cur_dir") = path.attr("abspath")(path.attr("dirname")(file));
  const int year = local_year();
  m.attr("year") = year;
  m.attr("__author__") = kAuthor;
  m.attr("__copyright__") = std::string(kCopyrightOpening) + std::to_string(year) + kCopyrightClosing;
  m.attr("__email__") = kEmail;
  m.attr("__license__") = kLicense;
  m.attr("__title__") = kTitle;
  m.attr("__version__") = kVersion;
  // The vector code the run-time dispatch picked on this machine: "avx2" or "portable" for the
  // base64 of the frame store, "sse2" or "portable" for the overlay blend.
  m.attr("simd_path") = kestrix::base64::simd_path();
  m.attr("blend_path") = kestrix::blend_path();
}
