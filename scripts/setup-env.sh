# Shared set-up of the kit's one-command scripts (scripts/test.sh, scripts/demo.sh); source it
# from the repository root. It defines:
#   kx_system_packages WHAT...  installs, with apt-get, the Debian packages that are missing for
#                               WHAT: servers (mosquitto, redis-server, openssl), build (C++ toolchain,
#                               CMake, python3-venv), gtest (GoogleTest headers), browser
#                               (headless Chromium and its WebDriver, for the live view's test), cross
#                               (aarch64 cross toolchain, qemu-user-static, GoogleTest
#                               sources), fuzz (clang-14 with libFuzzer and the sanitizer
#                               runtimes), camera (ffmpeg and GStreamer's RTSP server with
#                               python3-gi, the camera tests' sources), metrics (Prometheus, which
#                               scrapes the live view in its test)
#   kx_venv_install [EXTRAS] [--if-changed]
#                               creates the virtual environment ($KESTRIX_VENV, default .venv)
#                               when missing and builds and installs the package into it
#                               (pip install ".EXTRAS", EXTRAS such as "[test]" or "[test,view]");
#                               with --if-changed it skips the build when the installed package
#                               was built from the same sources, and installs only the
#                               requirements of the EXTRAS not installed yet (KESTRIX_REBUILD=1
#                               builds anyway). The extras installed so far are kept with the
#                               sources' fingerprint, and a build installs them all again.
#   kx_python                   the virtual environment's interpreter (after kx_venv_install)
# KESTRIX_PYTHON names the interpreter that creates the environment (default: python3).

kx_root=$(pwd)
kx_venv=${KESTRIX_VENV:-$kx_root/.venv}
kx_base_python=${KESTRIX_PYTHON:-python3}
kx_python="$kx_venv/bin/python"

kx_system_packages() {
  local need=() what
  for what in "$@"; do
    case $what in
      servers)
        command -v mosquitto >/dev/null 2>&1 || [ -x /usr/sbin/mosquitto ] || need+=(mosquitto)
        command -v redis-server >/dev/null 2>&1 || need+=(redis-server)
        # certificates of the TLS tests and of demo.sh --secure
        command -v openssl >/dev/null 2>&1 || need+=(openssl)
        ;;
      build)
        command -v g++ >/dev/null 2>&1 || need+=(g++)
        command -v cmake >/dev/null 2>&1 || need+=(cmake)
        python3 -c 'import venv, ensurepip' >/dev/null 2>&1 || need+=(python3-venv)
        ;;
      gtest)
        [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
        ;;
      metrics)
        command -v prometheus >/dev/null 2>&1 || need+=(prometheus)
        ;;
      camera)
        # the camera tests' sources: ffmpeg (Motion-JPEG over HTTP) and GStreamer's RTSP server
        command -v ffmpeg >/dev/null 2>&1 || need+=(ffmpeg)
        /usr/bin/python3 -c 'import sys, gi
gi.require_version("Gst", "1.0"); gi.require_version("GstRtspServer", "1.0")
from gi.repository import Gst, GstRtspServer
Gst.init(None)
sys.exit(not all(Gst.ElementFactory.find(e) for e in ("videotestsrc", "videoconvert", "x264enc", "rtph264pay")))' \
          >/dev/null 2>&1 || need+=(python3-gi gir1.2-gst-rtsp-server-1.0 gstreamer1.0-plugins-base
                                     gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly)
        ;;
      browser)
        command -v chromium >/dev/null 2>&1 || need+=(chromium)
        command -v chromedriver >/dev/null 2>&1 || need+=(chromium-driver)
        ;;
      cross)
        command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || need+=(crossbuild-essential-arm64)
        command -v qemu-aarch64-static >/dev/null 2>&1 || need+=(qemu-user-static)
        [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
        ;;
      fuzz)
        command -v clang++-14 >/dev/null 2>&1 || need+=(clang-14)
        ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
          || need+=(libclang-rt-14-dev)
        ;;
      *)
        echo "kx_system_packages: unknown group $what" >&2
        return 2
        ;;
    esac
  done
  if [ ${#need[@]} -gt 0 ]; then
    echo "== installing system packages: ${need[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
  fi
}

# A fingerprint of everything the built package is made of.
kx_source_stamp() {
  {
    find CMakeLists.txt pyproject.toml cpp src -type f \
      ! -name '*.so' ! -path '*/__pycache__/*' -print0 | sort -z | xargs -0 sha256sum
  } | sha256sum | cut -d' ' -f1
}

# "[a,b]" "[b,c]" ... -> "a,b,c": the extras named, each once, sorted.
kx_extra_list() {
  local all
  all=$(printf '%s\n' "$@" | tr -d '[] ' | tr ',' '\n' | sed '/^$/d' | sort -u | paste -sd, -)
  echo "$all"
}

# The requirements that the installed package's extras (a,b) add, one a line, without markers.
kx_extra_requirements() {
  "$kx_python" - "$1" <<'PY'
import sys
from importlib import metadata

try:
    from packaging.requirements import Requirement
except ImportError:                      # pip's own copy, in any environment pip runs in
    from pip._vendor.packaging.requirements import Requirement

extras = [e for e in sys.argv[1].split(",") if e]
try:
    requires = metadata.requires("kestrix-sdk") or []
except metadata.PackageNotFoundError:
    sys.exit(1)
for text in requires:
    req = Requirement(text)
    if req.marker is None or req.marker.evaluate({"extra": ""}):
        continue                         # installed with the package itself
    if any(req.marker.evaluate({"extra": e}) for e in extras):
        req.marker = None
        print(req)
PY
}

kx_venv_install() {
  local extras="" if_changed=0 arg
  for arg in "$@"; do
    case $arg in
      --if-changed) if_changed=1 ;;
      *) extras=$arg ;;
    esac
  done
  [ "${KESTRIX_REBUILD:-0}" = 1 ] && if_changed=0
  if [ ! -x "$kx_python" ]; then
    echo "== creating virtual environment $kx_venv"
    "$kx_base_python" -m venv "$kx_venv"
    "$kx_python" -m pip install -q --upgrade pip
  fi
  # The stamp file holds the sources' fingerprint and the extras installed so far ("a,b").
  local stamp_file="$kx_venv/.kestrix-build-stamp" stamp old_stamp="" old_extras="" wanted missing
  stamp=$(kx_source_stamp)
  [ -f "$stamp_file" ] && read -r old_stamp old_extras <"$stamp_file"
  old_extras=$(kx_extra_list "$old_extras")
  wanted=$(kx_extra_list "$extras")
  if [ $if_changed -eq 1 ] && [ "$old_stamp" = "$stamp" ] \
      && "$kx_python" -c 'import kestrix_sdk' >/dev/null 2>&1; then
    missing=$(comm -13 <(tr ',' '\n' <<<"$old_extras" | sort) <(tr ',' '\n' <<<"$wanted" | sort) \
              | paste -sd, -)
    if [ -z "$missing" ]; then
      echo "== kestrix_sdk in $kx_venv is up to date"
      return 0
    fi
    # The package is as built: add only what the missing extras need (read from its metadata;
    # without that, it is built again below).
    local reqs_text reqs=()
    if reqs_text=$(kx_extra_requirements "$missing"); then
      [ -n "$reqs_text" ] && mapfile -t reqs <<<"$reqs_text"
      echo "== kestrix_sdk in $kx_venv is up to date; adding the extras [$missing]"
      if [ ${#reqs[@]} -gt 0 ]; then
        "$kx_python" -m pip install -q "${reqs[@]}"
      fi
      echo "$stamp $(kx_extra_list "$old_extras" "$missing")" >"$stamp_file"
      return 0
    fi
  fi
  # A build installs the extras installed before as well, so that the record stays true.
  wanted=$(kx_extra_list "$old_extras" "$wanted")
  echo "== building and installing kestrix_sdk into $kx_venv"
  rm -f "$stamp_file"
  "$kx_python" -m pip install -q ".${wanted:+[$wanted]}"
  echo "$stamp $wanted" >"$stamp_file"
}
