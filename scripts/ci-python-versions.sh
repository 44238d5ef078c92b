#!/usr/bin/env bash
# Builds the package and runs the Python tests on the oldest and the newest supported
# interpreters (3.10 and 3.13, the main run of scripts/test.sh covers 3.11), each in its own
# virtual environment (.venv-py3.10, .venv-py3.13). The interpreters are the ones pyenv carries on
# this machine; a missing one fails the step. Tests marked slow are left out here (the main run
# has them); extra arguments go to pytest. KESTRIX_PY_VERSIONS="3.12" picks other versions.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/ci-lib.sh

run_version() {
  local version=$1 python
  shift
  python=$(find_interpreter "$version") || kx_fail "no Python $version interpreter on this machine (pyenv root: $(pyenv root 2>/dev/null || echo none))"
  (
    export KESTRIX_VENV="$root/.venv-py$version" KESTRIX_PYTHON="$python"
    . scripts/setup-env.sh
    kx_venv_install "[test]" --if-changed
    "$kx_python" -c 'import sys, kestrix_sdk; print("kestrix_sdk", kestrix_sdk.__file__, "on", sys.version.split()[0])'
    cd "$root/tests"
    "$kx_python" -m pytest -q -p no:cacheprovider -m "not slow" "$@"
  )
}

. scripts/setup-env.sh
kx_system_packages servers build
for version in ${KESTRIX_PY_VERSIONS:-3.10 3.13}; do
  kx_step "Python $version: build, install and test" run_version "$version" "$@"
done
