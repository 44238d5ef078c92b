#!/usr/bin/env bash
# Runs every test of the kit on a fresh Debian machine, doing its own set-up:
#   1. the system packages the tests need (mosquitto, redis-server, GoogleTest, a C++ toolchain),
#      installed with apt-get when missing;
#   2. a virtual environment in .venv with the package built and installed (pip install ".[test]");
#   3. the C++ unit tests of the core library (CMake + CTest);
#   4. the Python tests (pytest), which start their own Mosquitto and Redis servers on loopback.
# Extra arguments go to pytest (e.g. scripts/test.sh -k courier).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

need=()
command -v mosquitto >/dev/null 2>&1 || [ -x /usr/sbin/mosquitto ] || need+=(mosquitto)
command -v redis-server >/dev/null 2>&1 || need+=(redis-server)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
python3 -c 'import venv, ensurepip' >/dev/null 2>&1 || need+=(python3-venv)
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing system packages: ${need[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

venv=${KESTRIX_VENV:-$root/.venv}
if [ ! -x "$venv/bin/python" ]; then
  echo "== creating virtual environment $venv"
  python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
fi
echo "== building and installing kestrix_sdk into $venv"
"$venv/bin/python" -m pip install -q ".[test]"

echo "== C++ core unit tests"
cmake -S . -B build/core-tests -DKESTRIX_BUILD_MODULES=OFF -DKESTRIX_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/core-tests -j 2 >/dev/null
(cd build/core-tests && ctest --output-on-failure)

echo "== Python tests"
# Run from the tests directory so that the installed package, not the source tree, is imported.
cd "$root/tests"
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
