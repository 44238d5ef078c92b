#!/usr/bin/env bash
# Runs the demo edge pipeline on a fresh Debian machine, doing its own set-up:
#   1. the system packages it needs (mosquitto, redis-server, a C++ toolchain), installed with
#      apt-get when missing;
#   2. a virtual environment in .venv with the package built and installed (skipped when the
#      installed package was built from the current sources);
#   3. examples/run_demo.py: a camera node, an analytics node and a monitor, each in its own
#      process, talking only through an MQTT broker and a Redis server. Those are the ones named
#      by --mqtt-url / --redis-url (or KESTRIX_MQTT_URL / KESTRIX_REDIS_URL); without them the
#      demo starts a Mosquitto broker and a Redis server of its own on free loopback ports and
#      stops them at the end. Servers already listening on 1883 and 6379 (a device's own) are
#      used only when named.
# Extra arguments go to examples/run_demo.py (e.g. scripts/demo.sh --frames 300 --out /tmp/demo,
# scripts/demo.sh --redis-url redis://127.0.0.1:6380/0; --help lists them). With --source
# rtsp://... (or a video file) the demo runs on a real camera.
#
# --secure runs the same demo with TLS and passwords on both servers: certificates are made with
# openssl into <output folder>/certs, a Mosquitto broker (TLS, client certificate and password
# required) and a Redis server (TLS only, client certificate and password required) are started
# on free ports, and every node is configured only through KESTRIX_MQTT_URL and
# KESTRIX_REDIS_URL.
#
# With --view the package is installed with its live-view extra (.[view]), the demo runs
# until Ctrl-C and the live view's address (http://127.0.0.1:8321/) is printed: open it in a
# browser to watch the annotated frames and the nodes' status.
set -euo pipefail
cd "$(dirname "$0")/.."

secure=0
demo_args=()
out_dir=demo-output
prev=
for arg in "$@"; do
  if [ "$arg" = --secure ]; then
    secure=1
  else
    demo_args+=("$arg")
    [ "$prev" = --out ] && out_dir=$arg
    case $arg in --out=*) out_dir=${arg#--out=} ;; esac
  fi
  prev=$arg
done
set -- ${demo_args[@]+"${demo_args[@]}"}

# shellcheck source=scripts/setup-env.sh
. scripts/setup-env.sh
kx_system_packages servers build
extras=""
for arg in "$@"; do
  [ "$arg" = "--view" ] && extras="[view]"
done
kx_venv_install ${extras:+"$extras"} --if-changed
# With --source the analytics node finds people with OpenCV's HOG detector, which OpenCV 5 ships
# in its contrib build only: that build of the installed version is added over it when needed.
for arg in "$@"; do
  case $arg in
    --source|--source=*)
      if ! "$kx_python" -c 'import cv2, sys; sys.exit(not hasattr(cv2, "HOGDescriptor"))'; then
        opencv=$("$kx_python" -c 'import importlib.metadata as m; print(m.version("opencv-python-headless"))')
        "$kx_python" -m pip install -q "opencv-contrib-python-headless==$opencv"
      fi ;;
  esac
done

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

if [ "$secure" = 1 ]; then
  # Secure servers of its own, on free ports; the passwords are made here and never shown.
  certs="$(mkdir -p "$out_dir" && cd "$out_dir" && pwd)/certs"
  "$kx_python" tests/certs.py "$certs" >/dev/null
  eval "$("$kx_python" - "$certs" <<'PY'
import secrets, socket, sys
from urllib.parse import quote
certs = sys.argv[1]
def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
mqtt_port, redis_port = free_port(), free_port()
mqtt_pw, redis_pw = secrets.token_urlsafe(18), secrets.token_urlsafe(18)
files = f"ca={certs}/ca.pem&cert={certs}/client.pem&key={certs}/client.key"
print(f"mqtt_port={mqtt_port} redis_port={redis_port} mqtt_pw='{mqtt_pw}' redis_pw='{redis_pw}'")
print(f"export KESTRIX_MQTT_URL='mqtts://camera:{quote(mqtt_pw, safe='')}@127.0.0.1:{mqtt_port}?{files}'")
print(f"export KESTRIX_REDIS_URL='rediss://:{quote(redis_pw, safe='')}@127.0.0.1:{redis_port}/0?{files}'")
PY
)"
  mosquitto=$(command -v mosquitto || echo /usr/sbin/mosquitto)
  mosquitto_passwd=$(command -v mosquitto_passwd || echo /usr/bin/mosquitto_passwd)
  "$mosquitto_passwd" -b -c "$rundir/passwd" camera "$mqtt_pw"
  {
    echo "listener $mqtt_port 127.0.0.1"
    echo "cafile $certs/ca.pem"
    echo "certfile $certs/server.pem"
    echo "keyfile $certs/server.key"
    echo "require_certificate true"
    echo "allow_anonymous false"
    echo "password_file $rundir/passwd"
    echo "persistence false"
    echo "log_dest file $rundir/mosquitto.log"
    [ "$(id -u)" -ne 0 ] || echo "user root"
  } >"$rundir/mosquitto.conf"
  setsid "$mosquitto" -c "$rundir/mosquitto.conf" >/dev/null 2>"$rundir/mosquitto.err" &
  started+=($!)
  if ! wait_port "$mqtt_port" $!; then
    echo "demo: could not start mosquitto with TLS on 127.0.0.1:$mqtt_port:" >&2
    cat "$rundir/mosquitto.err" "$rundir/mosquitto.log" >&2 2>/dev/null || true
    exit 1
  fi
  echo "== started mosquitto with TLS and a password on 127.0.0.1:$mqtt_port (pid $!)"
  # The password goes to redis-server through its configuration file, not its command line.
  printf 'requirepass "%s"\n' "$redis_pw" >"$rundir/redis.conf"
  chmod 600 "$rundir/redis.conf"
  setsid redis-server "$rundir/redis.conf" --port 0 --tls-port "$redis_port" --bind 127.0.0.1 \
    --tls-cert-file "$certs/server.pem" --tls-key-file "$certs/server.key" \
    --tls-ca-cert-file "$certs/ca.pem" --tls-auth-clients yes --save "" --appendonly no \
    --daemonize no --dir "$rundir" --logfile "$rundir/redis.log" >/dev/null 2>&1 &
  started+=($!)
  if ! wait_port "$redis_port" $!; then
    echo "demo: could not start redis-server with TLS on 127.0.0.1:$redis_port:" >&2
    cat "$rundir/redis.log" >&2 2>/dev/null || true
    exit 1
  fi
  echo "== started redis-server with TLS and a password on 127.0.0.1:$redis_port (pid $!)"
  unset mqtt_pw redis_pw
  echo "== certificates in $certs; the nodes read KESTRIX_MQTT_URL and KESTRIX_REDIS_URL"
  "$kx_python" examples/run_demo.py "$@"
  exit $?
fi

# The examples import the installed package (examples/ is not a package of the tree).
"$kx_python" examples/run_demo.py "$@"
