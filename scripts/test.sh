#!/usr/bin/env bash
# Runs every test of the kit on a fresh Debian machine, doing its own set-up:
#   1. the system packages the tests need (mosquitto, redis-server, GoogleTest, a C++ toolchain,
#      headless Chromium and its WebDriver), installed with apt-get when missing;
#   2. a virtual environment in .venv with the package built and installed (pip install ".[test]";
#      built again only when the sources changed, or with KESTRIX_REBUILD=1);
#   3. the C++ unit tests of the core library (CMake + CTest);
#   4. the Python tests (pytest), which start their own Mosquitto and Redis servers on loopback.
# Extra arguments go to pytest (e.g. scripts/test.sh -k courier).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# shellcheck source=scripts/setup-env.sh
. scripts/setup-env.sh
kx_system_packages servers build gtest browser camera metrics
kx_venv_install "[test]" --if-changed

echo "== C++ core unit tests"
cmake -S . -B build/core-tests -DKESTRIX_BUILD_MODULES=OFF -DKESTRIX_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/core-tests -j 2 >/dev/null
(cd build/core-tests && ctest --output-on-failure)

echo "== Python tests"
# Run from the tests directory so that the installed package, not the source tree, is imported.
cd "$root/tests"
"$kx_python" -m pytest -q -p no:cacheprovider "$@"
