#!/usr/bin/env bash
# Checks that the Python tests touch no server they did not start: a decoy Redis server on
# 127.0.0.1:6379 and a decoy Mosquitto broker on 127.0.0.1:1883 (where a device's own servers
# listen) stand by while the test suite runs in a child process, and must have seen no client
# but the check's own afterwards (tests/isolation_check.py, which a plain pytest run does not
# collect). The suite runs without the tests marked slow, to keep the check to a few minutes;
# KESTRIX_ISOLATION_PYTEST_ARGS="" runs every test, other values choose tests (pytest arguments).
# With CI=true a port already taken on this machine fails the check instead of skipping it.
# Extra arguments go to the pytest run of the check itself.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/ci-lib.sh
. scripts/setup-env.sh
kx_system_packages servers build
kx_venv_install "[test]" --if-changed
cd "$root/tests"
kx_step "isolation: the test suite beside decoy servers on 1883 and 6379" \
  "$kx_python" -m pytest -q -p no:cacheprovider -rs -s isolation_check.py "$@"
