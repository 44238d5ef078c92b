# Shared set-up of the kit's one-command scripts (scripts/test.sh, scripts/demo.sh); source it
# from the repository root. It defines:
#   kx_system_packages WHAT...  installs, with apt-get, the Debian packages that are missing for
#                               WHAT: servers (mosquitto, redis-server, openssl), build (C++ toolchain,
#                               CMake, python3-venv), gtest (GoogleTest headers), browser
#                               (headless Chromium and its WebDriver, for the live view's test), cross
#                               (aarch64 cross toolchain, qemu-user-static, GoogleTest
#                               sources), fuzz (clang-14 with libFuzzer and the sanitizer
#                               runtimes)
#   kx_venv_install [EXTRAS] [--if-changed]
#                               creates the virtual environment ($KESTRIX_VENV, default .venv)
#                               when missing and builds and installs the package into it
#                               (pip install ".EXTRAS"); with --if-changed it skips the build when
#                               the installed package was built from the same sources (with the
#                               same extras, when EXTRAS are asked for)
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

kx_venv_install() {
  local extras="" if_changed=0 arg
  for arg in "$@"; do
    case $arg in
      --if-changed) if_changed=1 ;;
      *) extras=$arg ;;
    esac
  done
  if [ ! -x "$kx_python" ]; then
    echo "== creating virtual environment $kx_venv"
    "$kx_base_python" -m venv "$kx_venv"
    "$kx_python" -m pip install -q --upgrade pip
  fi
  # The stamp file holds the sources' fingerprint and the extras of the last install.
  local stamp_file="$kx_venv/.kestrix-build-stamp" stamp old_stamp="" old_extras=""
  stamp=$(kx_source_stamp)
  [ -f "$stamp_file" ] && read -r old_stamp old_extras <"$stamp_file"
  if [ $if_changed -eq 1 ] && [ "$old_stamp" = "$stamp" ] \
      && { [ -z "$extras" ] || [ "$old_extras" = "$extras" ]; } \
      && "$kx_python" -c 'import kestrix_sdk' >/dev/null 2>&1; then
    echo "== kestrix_sdk in $kx_venv is up to date"
    return 0
  fi
  echo "== building and installing kestrix_sdk into $kx_venv"
  rm -f "$stamp_file"
  "$kx_python" -m pip install -q ".$extras"
  echo "$stamp $extras" >"$stamp_file"
}
