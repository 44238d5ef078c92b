#!/usr/bin/env bash
# Development build: compiles the extension modules into src/kestrix_sdk (in place), so that
#   PYTHONPATH=src python -m pytest tests
# runs against the working tree without installing. Pass target names to build only those
# (e.g. scripts/dev-build.sh courier). PYTHON selects the interpreter (default: python3).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
build=${KESTRIX_DEV_BUILD_DIR:-build/dev}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRIX_INPLACE=ON \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
fi
if [ $# -gt 0 ]; then
  for t in "$@"; do cmake --build "$build" --target "$t"; done
else
  cmake --build "$build"
fi
