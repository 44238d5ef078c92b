#!/usr/bin/env bash
# Runs the demo edge pipeline on a fresh Debian machine, doing its own set-up:
#   1. the system packages it needs (mosquitto, redis-server, a C++ toolchain), installed with
#      apt-get when missing;
#   2. a virtual environment in .venv with the package built and installed (skipped when the
#      installed package was built from the current sources);
#   3. a Mosquitto broker on 127.0.0.1:1883 and a Redis server on 127.0.0.1:6379, each started
#      only when nothing listens on its port yet, and stopped again at the end;
#   4. examples/run_demo.py: a camera node, an analytics node and a monitor, each in its own
#      process, talking only through the broker and the Redis server.
# Extra arguments go to examples/run_demo.py (e.g. scripts/demo.sh --frames 300 --out /tmp/demo).
# With --view the package is installed with its live-view extra (kestrix_sdk[view]), the demo runs
# until Ctrl-C and the live view's address (http://127.0.0.1:8321/) is printed: open it in a
# browser to watch the annotated frames and the nodes' status.
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=scripts/setup-env.sh
. scripts/setup-env.sh
kx_system_packages servers build
extras=""
for arg in "$@"; do
  [ "$arg" = "--view" ] && extras="[view]"
done
kx_venv_install ${extras:+"$extras"} --if-changed

port_open() {
  "$kx_python" -c 'import socket, sys
try:
    socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=0.5).close()
except OSError:
    sys.exit(1)' "$1"
}

wait_port() {  # wait_port PORT PID: until PORT listens, or fail when PID has exited
  local i
  for i in $(seq 100); do
    port_open "$1" && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

started=()       # pids of the servers this script started
rundir=$(mktemp -d "${TMPDIR:-/tmp}/kestrix-demo.XXXXXX")
cleanup() {
  local pid
  for pid in "${started[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$rundir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if port_open 1883; then
  echo "== using the MQTT broker already listening on 127.0.0.1:1883"
else
  mosquitto=$(command -v mosquitto || echo /usr/sbin/mosquitto)
  {
    echo "listener 1883 127.0.0.1"
    echo "allow_anonymous true"
    echo "persistence false"
    echo "log_dest file $rundir/mosquitto.log"
    [ "$(id -u)" -ne 0 ] || echo "user root"
  } >"$rundir/mosquitto.conf"
  # In a session of its own, so that Ctrl-C reaches the nodes (which then stop in order) and
  # not the servers they are still using; the trap below stops it.
  setsid "$mosquitto" -c "$rundir/mosquitto.conf" >/dev/null 2>"$rundir/mosquitto.err" &
  started+=($!)
  if ! wait_port 1883 $!; then
    echo "demo: could not start mosquitto on 127.0.0.1:1883:" >&2
    cat "$rundir/mosquitto.err" "$rundir/mosquitto.log" >&2 2>/dev/null || true
    exit 1
  fi
  echo "== started mosquitto on 127.0.0.1:1883 (pid $!; stopped at the end)"
fi

if port_open 6379; then
  echo "== using the Redis server already listening on 127.0.0.1:6379"
else
  setsid redis-server --port 6379 --bind 127.0.0.1 --save "" --appendonly no --protected-mode no \
    --daemonize no --dir "$rundir" --logfile "$rundir/redis.log" >/dev/null 2>&1 &
  started+=($!)
  if ! wait_port 6379 $!; then
    echo "demo: could not start redis-server on 127.0.0.1:6379:" >&2
    cat "$rundir/redis.log" >&2 2>/dev/null || true
    exit 1
  fi
  echo "== started redis-server on 127.0.0.1:6379 (pid $!; stopped at the end)"
fi

# The examples import the installed package (examples/ is not a package of the tree).
"$kx_python" examples/run_demo.py "$@"
