#!/usr/bin/env bash
# Memory and undefined-behaviour checks: the core's unit tests and the extension modules built
# with -fsanitize=address,undefined (KESTRIX_SANITIZE, UBSan errors fatal) in build/asan, then
# the C++ unit tests and the Python tests (in the environment scripts/test.sh makes, .venv, with
# the sanitized modules first on the path and the sanitizer runtimes preloaded). Any report fails
# the run, including one from a child process a test starts. Tests marked slow are left out
# here; extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/ci-lib.sh
. scripts/setup-env.sh

build=$root/build/asan
site=$build/site
reports=$build/reports

prepare() {
  kx_system_packages servers build gtest
  kx_venv_install "[test]" --if-changed
  "$kx_python" -c 'import pybind11' 2>/dev/null || "$kx_python" -m pip install -q "pybind11>=2.12"
}

build_all() {
  # -O1 with line tables and without link-time optimisation: reports name the source lines, and
  # the build takes a fraction of the time of a release build.
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
    -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF -DKESTRIX_SANITIZE=ON \
    -DKESTRIX_BUILD_TESTS=ON -DKESTRIX_BUILD_MODULES=ON -DPython_EXECUTABLE="$kx_python" >/dev/null
  cmake --build "$build" -j 2 >/dev/null
  # The package as the tests import it: the Python sources with the sanitized modules.
  rm -rf "$site"
  mkdir -p "$site"
  (cd src && find kestrix_sdk -type f ! -name '*.so' ! -path '*/__pycache__/*' -print0 \
    | xargs -0 cp --parents -t "$site")
  cmake --install "$build" --prefix "$site" >/dev/null
}

# Fails when a sanitizer wrote a report (each process writes its own file under $reports).
check_reports() {
  if compgen -G "$reports/*" >/dev/null; then
    cat "$reports"/* >&2
    kx_fail "sanitizer reports above (files in $reports)"
  fi
}

sanitizer_env() {
  rm -rf "$reports"
  mkdir -p "$reports"
  export ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
}

core_tests() {
  sanitizer_env
  (cd "$build" && ctest --output-on-failure -j 2)
  check_reports
}

python_tests() {
  local preload
  preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
  for lib in $preload; do
    [ -f "$lib" ] || kx_fail "sanitizer runtime $lib not found"
  done
  sanitizer_env
  (
    cd "$root/tests"
    # The sanitized modules, not the ones installed in the environment, must be the ones tested.
    LD_PRELOAD="$preload" PYTHONPATH="$site" "$kx_python" -c '
import sys, kestrix_sdk.mqtt.courier as m
if not m.__file__.startswith(sys.argv[1]):
    sys.exit("the tests would import " + m.__file__)' "$site"
    LD_PRELOAD="$preload" PYTHONPATH="$site" \
      "$kx_python" -m pytest -q -p no:cacheprovider -m "not slow" "$@"
  )
  check_reports
}

kx_step "sanitizers: set-up" prepare
kx_step "sanitizers: build core, unit tests and modules (build/asan)" build_all
kx_step "sanitizers: C++ unit tests" core_tests
kx_step "sanitizers: Python tests" python_tests "$@"
