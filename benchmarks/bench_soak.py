"""Soak: the whole device stack for real on loopback, under a repeating fault schedule.

Each part runs in its own process, started here on free loopback ports:

  device    Mosquitto with the kit's bridge fragment (`python -m kestrix_sdk bridge`, device
            "soakdev", nodes camera, analytics, soaknode) to
  cloud     a second Mosquitto (persistent, saved every second)
  redis     redis-server
  camera    the demo's camera (examples/camera_node.py, 15 frames a second, until stopped)
  analytics the demo's analytics node (examples/analytics_node.py --no-files)
  soaknode  a node (this script, role _status-node) whose StatusCaching reports every second,
            with a record that carries a report number and the time it was made, and an error
            every second
  view      `python -m kestrix_sdk view` on the camera's and the analytics' keys
  viewers   four stream viewers (this script, role _viewers) on /stream/<key>, reading the
            frame index that every demo frame carries in its pixels
  watch     `python -m kestrix_sdk watch --fleet --json` on the cloud broker, counting lines

Here, in the driving process: a QoS 1 subscriber with a persistent session on each broker
(what reached the device broker, and what reached the cloud), a sampler (RSS, threads, open
descriptors of every process, every 2 s) and the fault schedule. Every few seconds (seeded by
--seed, printed at the start) one of:

  kill-device   SIGKILL of the device broker, started again at once on its port
  kill-cloud    SIGKILL of the cloud broker, started again at once
  kill-redis    SIGKILL of redis-server, started again at once (the store starts empty)
  kill-camera   SIGKILL of the camera (the frames' source), started again at once
  stop-redis    SIGSTOP of redis-server for 2-8 s, then SIGCONT
  bad-burst     1,000 bad messages (not JSON, JSON of the wrong shape, 64 KiB of bytes, ...) on
                every topic the nodes listen to (the camera's detections topic, which the
                analytics node reads, and the nodes' status and error topics, which the view
                reads)
  stuck-viewer  a fifth viewer opens a stream and stops reading for 3-10 s

Printed at the end, per fault kind: how often, and the recovery time (median, worst) from the
moment the fault is over (server started again, resumed, burst sent, stuck viewer gone) until
frames flow again (a viewer receives a camera frame made after that moment, less than 1 s old)
and reports arrive again (the cloud has a status report made after that moment). For the run:
each process's RSS, threads and descriptors at start (after a warm-up) and end and their slope
per hour (over the process's last life when a fault restarted it); status reports made against
those at the cloud, split into those lost while the device broker was down (the node's MQTT
client keeps nothing then: documented as lost), those lost in a broker's SIGKILL (what it held
in memory), and any other (a loss); camera frames older than 1 s at a viewer outside an outage;
ERROR records of the nodes that no fault explains.

    PYTHONPATH=src python benchmarks/bench_soak.py [--minutes 20] [--seed 1] [--every 8]
        [--csv DIR] [--plot FILE.png]
    PYTHONPATH=src python benchmarks/bench_soak.py --ci     # 3 minutes; exit 1 on a failure

--ci fails on: a report lost outside the documented cases, an ERROR no fault explains, a node
that exited, a fault not recovered from within 60 s, or growth from the start (after the 30 s
warm-up) to the end of a process that no fault restarted beyond 32 MiB RSS, 4 threads or 8
descriptors (medians of the first and last 20 s; a camera's writer threads and a Redis
client's pool come and go with a stalled server, so single samples are not compared).

--csv DIR writes samples.csv (t, process, pid, rss_kb, threads, fds), frames.csv (t, viewer,
key, index, age_s), reports.csv (n, made, at_device, at_cloud: first arrival) and faults.csv
(kind, start, end, recovered, detail); --plot draws RSS and
frame age over time with the faults marked (matplotlib: pip install -r benchmarks/requirements.txt).
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import random
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "examples"))

DEVICE = "soakdev"
STATUS_NODE = "soaknode"
CAMERA_KEY = "kestrix_local_camera_6379"
ANALYTICS_KEY = "kestrix_local_analytics_6379"
CAMERA_FPS = 15.0
WARM_UP = 30.0
KINDS = ("kill-device", "kill-cloud", "kill-redis", "kill-camera", "stop-redis", "bad-burst",
         "stuck-viewer")
# Growth bounds of --ci (see the docstring).
MAX_RSS_GROWTH_KB = 32 * 1024
MAX_THREAD_GROWTH = 4
MAX_FD_GROWTH = 8
RECOVERY_LIMIT = 60.0
# An ERROR line within this long after a fault's recovery counts as explained by it.
ERROR_SLACK = 10.0


# --- roles run as child processes ------------------------------------------------------------


def status_node(args: argparse.Namespace) -> int:
    """A node that reports every second: each status record carries a fresh report number "n"
    and the wall-clock time "made" at which that number was set; an error every second."""
    import logging

    from kestrix_sdk.status.pulse import StatusCaching

    logging.basicConfig(format="%(asctime)s %(name)s %(levelname)s %(message)s", level=logging.INFO,
                        stream=sys.stdout)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    reporter = StatusCaching(node_id=STATUS_NODE, node_name="soak", node_type="soak",
                             log_interval=1, verbose=True)
    logging.getLogger("kestrix_sdk.STATUS").setLevel(logging.INFO)
    reporter.start()
    n = 0
    try:
        while not stop.wait(0.1):
            n += 1
            reporter.update_status_info({"n": n, "made": round(time.time(), 3)}, 0)
            if n % 10 == 0:
                reporter.error(f"soak error {n}")
    finally:
        reporter.stop()
        reporter.join(10)
    return 0


def stream_parts(response):
    """The JPEG files of a Motion-JPEG answer, part by part: the boundary is the answer's own
    (the view picks a random one per stream) and every part carries its Content-Length."""
    boundary = response.headers.get_param("boundary")
    if not boundary:
        raise ValueError("no boundary in the stream's Content-Type")
    mark = b"--" + boundary.encode()
    buf = b""
    while True:
        start = buf.find(mark)
        head_end = buf.find(b"\r\n\r\n", start) if start >= 0 else -1
        if head_end >= 0:
            headers = buf[start + len(mark):head_end].decode("latin-1").lower()
            length = next((int(line.split(":", 1)[1]) for line in headers.split("\r\n")
                           if line.startswith("content-length:")), None)
            if length is None:
                raise ValueError("a stream part without Content-Length")
            body = head_end + 4
            if len(buf) >= body + length:
                yield buf[body:body + length]
                buf = buf[body + length:]
                continue
        chunk = response.read1(65536)
        if not chunk:
            return
        buf += chunk


def viewers(args: argparse.Namespace) -> int:
    """Stream viewers: one thread per --key, printing one JSON line per frame received."""
    import cv2
    import numpy as np

    import scene

    out_lock = threading.Lock()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())

    def watch(number: int, key: str) -> None:
        while not stop.is_set():
            try:
                with urllib.request.urlopen(f"{args.base}/stream/{key}", timeout=10) as response:
                    last = None
                    for jpeg in stream_parts(response):
                        if stop.is_set():
                            break
                        if jpeg == last:
                            continue  # the view sends a frame again when no newer one follows soon
                        last = jpeg
                        img = cv2.imdecode(np.frombuffer(jpeg, np.uint8), cv2.IMREAD_COLOR)
                        index = scene.read_stamp(img) if img is not None else None
                        with out_lock:
                            print(json.dumps({"t": time.time(), "v": number, "key": key,
                                              "index": index}), flush=True)
            except (OSError, ValueError):
                pass
            stop.wait(0.5)

    threads = [threading.Thread(target=watch, args=(i, k)) for i, k in enumerate(args.key)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return 0


# --- the driving process ---------------------------------------------------------------------


@dataclass
class Fault:
    kind: str
    start: float
    end: float = 0.0
    recovered: float | None = None
    detail: str = ""


@dataclass
class Proc:
    """A child process whose output lines are kept with their arrival time."""
    name: str
    argv: list[str]
    env: dict
    popen: subprocess.Popen | None = None
    lines: list[tuple[float, str]] = field(default_factory=list)
    starts: list[float] = field(default_factory=list)
    on_line: object = None

    def start(self) -> None:
        self.popen = subprocess.Popen(self.argv, env=self.env, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, cwd=ROOT, text=True, bufsize=1)
        self.starts.append(time.time())
        threading.Thread(target=self._read, args=(self.popen,), daemon=True).start()

    def _read(self, popen: subprocess.Popen) -> None:
        for line in popen.stdout:
            now = time.time()
            line = line.rstrip("\n")
            self.lines.append((now, line))
            if self.on_line is not None:
                self.on_line(now, line)

    def kill(self) -> None:
        if self.popen is not None and self.popen.poll() is None:
            self.popen.kill()
            self.popen.wait()

    def stop(self) -> None:
        if self.popen is not None and self.popen.poll() is None:
            self.popen.terminate()
            try:
                self.popen.wait(15)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait()


class Subscriber:
    """A QoS 1 subscriber with a persistent session that reconnects by itself."""

    def __init__(self, port: int, topic: str, name: str) -> None:
        import paho.mqtt.client as mqtt

        self.received: list[tuple[float, str, bytes]] = []
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=f"soak-{name}-{os.getpid()}",
                                  clean_session=False)
        self.client.reconnect_delay_set(0.2, 1)
        self.client.on_connect = lambda c, u, f, rc, p: c.subscribe(topic, 1)
        self.client.on_message = lambda c, u, m: self.received.append((time.time(), m.topic, m.payload))
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def close(self) -> None:
        self.client.disconnect()
        self.client.loop_stop()


def report_of(payload: bytes) -> tuple[int, float] | None:
    try:
        record = json.loads(payload)
        return int(record["n"][0]), float(record["made"][0])
    except (ValueError, KeyError, TypeError, IndexError):
        return None


def proc_stats(pid: int) -> tuple[int, int, int] | None:
    try:
        with open(f"/proc/{pid}/status") as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
        fds = len(os.listdir(f"/proc/{pid}/fd"))
        return int(fields["VmRSS"].split()[0]), int(fields["Threads"]), fds
    except (OSError, KeyError, ValueError):
        return None


class Soak:
    def __init__(self, args: argparse.Namespace) -> None:
        from servers import Mosquitto, RedisServer, free_port

        self.args = args
        self.rng = random.Random(args.seed)
        self.dir = Path(tempfile.mkdtemp(prefix="kx-soak-"))
        # The cloud queues up to 100,000 messages for a consumer (Mosquitto's default is 1,000):
        # a burst's 6,000 bridged messages must not overflow the queue of this script's own
        # subscriber, which counts what arrives.
        self.cloud = Mosquitto(persistent=True, extra=["autosave_interval 1", "max_queued_messages 100000"])
        conf_d = self.dir / "device.d"
        conf_d.mkdir()
        bridge = subprocess.run(
            [sys.executable, "-m", "kestrix_sdk", "bridge", "--remote", f"mqtt://127.0.0.1:{self.cloud.port}",
             "--device", DEVICE, "--node", "camera", "--node", "analytics", "--node", STATUS_NODE,
             "--out", str(conf_d / "fleet.conf")], capture_output=True, text=True, env=self.env({}))
        if bridge.returncode != 0:
            raise SystemExit(f"bridge: {bridge.stderr}")
        self.device = Mosquitto(extra=[f"include_dir {conf_d}"])
        self.redis = RedisServer()
        self.view_port = free_port()
        self.faults: list[Fault] = []
        self.samples: list[tuple[float, str, int, int, int, int]] = []
        self.frames: list[tuple[float, int, str, int, float]] = []
        self.camera_starts: list[float] = []
        self.stop_event = threading.Event()
        self.t0 = 0.0

    def env(self, extra: dict) -> dict:
        import kestrix_sdk

        env = dict(os.environ)
        # The children import the kit from where this process found it (the source tree after
        # a development build, or the installed package), and the demo's modules.
        env["PYTHONPATH"] = os.pathsep.join([str(Path(kestrix_sdk.__file__).resolve().parent.parent),
                                             str(ROOT / "examples"), env.get("PYTHONPATH", "")])
        env.update(extra)
        return env

    # -- processes

    def start(self) -> None:
        for server in (self.cloud, self.device, self.redis):
            server.start()
        node_env = self.env({"KESTRIX_MQTT_URL": f"mqtt://127.0.0.1:{self.device.port}",
                             "KESTRIX_REDIS_URL": f"redis://127.0.0.1:{self.redis.port}"})
        py = [sys.executable]
        me = str(Path(__file__).resolve())
        self.procs = {
            "camera": Proc("camera", [*py, "examples/camera_node.py", "--frames", "0", "--fps", str(CAMERA_FPS),
                                      "--out", str(self.dir / "camera")], node_env),
            "analytics": Proc("analytics", [*py, "examples/analytics_node.py", "--out", str(self.dir / "analytics"),
                                            "--no-files", "--idle-timeout", "1000000"], node_env),
            "soaknode": Proc("soaknode", [*py, me, "_status-node"], node_env),
            "view": Proc("view", [*py, "-m", "kestrix_sdk", "view", "--port", str(self.view_port),
                                  "--redis-port", str(self.redis.port), "--mqtt-port", str(self.device.port),
                                  "--frames", CAMERA_KEY, ANALYTICS_KEY, "--fps", str(CAMERA_FPS),
                                  # the four viewers and a stuck one all come from loopback
                                  "--streams-per-client", "8"],
                         self.env({})),
            "viewers": Proc("viewers", [*py, me, "_viewers", "--base", f"http://127.0.0.1:{self.view_port}",
                                        "--key", CAMERA_KEY, "--key", CAMERA_KEY, "--key", ANALYTICS_KEY,
                                        "--key", ANALYTICS_KEY], self.env({})),
            "watch": Proc("watch", [*py, "-m", "kestrix_sdk", "watch", "--fleet", "--json",
                                    "--port", str(self.cloud.port)], self.env({})),
        }
        self.procs["camera"].on_line = self._camera_line
        self.procs["viewers"].on_line = self._viewer_line
        self.at_cloud = Subscriber(self.cloud.port, f"fleet/{DEVICE}/#", "cloud")
        self.at_device = Subscriber(self.device.port, f"kestrix_debug_{STATUS_NODE}", "device")
        for name in ("camera", "analytics", "soaknode", "view", "watch"):
            self.procs[name].start()
        from servers import wait_for

        if not wait_for(lambda: self.camera_starts, 60):
            raise SystemExit("the camera did not start")
        if not wait_for(lambda: self._port_open(self.view_port), 60):
            raise SystemExit("the view did not start")
        self.procs["viewers"].start()

    @staticmethod
    def _port_open(port: int) -> bool:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            return False

    def _camera_line(self, now: float, line: str) -> None:
        if line.startswith("camera: publishing"):
            self.camera_starts.append(now)

    def _viewer_line(self, now: float, line: str) -> None:
        try:
            record = json.loads(line)
        except ValueError:
            return
        index = record.get("index")
        if index is None or not self.camera_starts:
            return
        # The frame's due time under the camera start that makes it youngest and not in the future.
        ages = [record["t"] - (s + index / CAMERA_FPS) for s in self.camera_starts]
        fitting = [a for a in ages if a > -0.5]
        if fitting:
            self.frames.append((record["t"], record["v"], record["key"], index, min(fitting)))

    def stop(self) -> None:
        for name in ("viewers", "watch", "view", "soaknode", "analytics", "camera"):
            self.procs[name].stop()
        self.at_cloud.close()
        self.at_device.close()
        for server in (self.device, self.redis, self.cloud):
            server.close()

    def pids(self) -> dict[str, int]:
        out = {n: p.popen.pid for n, p in self.procs.items() if p.popen is not None and p.popen.poll() is None}
        for name, server in (("device", self.device), ("cloud", self.cloud), ("redis", self.redis)):
            if server.proc is not None and server.proc.poll() is None:
                out[name] = server.proc.pid
        return out

    def sample_loop(self) -> None:
        while not self.stop_event.wait(2.0):
            now = time.time()
            for name, pid in self.pids().items():
                stats = proc_stats(pid)
                if stats is not None:
                    self.samples.append((now, name, pid, *stats))

    # -- faults

    @staticmethod
    def _kill_server(server) -> None:
        server.proc.kill()
        server.proc.wait()
        server.proc = None
        server.start()

    def bad_burst(self) -> None:
        import paho.mqtt.client as mqtt

        client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=f"soak-burst-{os.getpid()}")
        client.connect("127.0.0.1", self.device.port)
        client.loop_start()
        topics = ["kestrix_local_camera", *(f"{p}_{n}" for n in ("camera", "analytics", STATUS_NODE)
                                            for p in ("kestrix_debug", "kestrix_cloud"))]
        bad = [b"", b"not json", b"{", b"[1, 2, 3]", b'{"frame": "x"}', b'{"frame": -1, "detections": 5}',
               b"\xff\xfe\x00" * 50, os.urandom(4096)]
        infos = []
        for topic in topics:
            for i in range(1000):
                infos.append(client.publish(topic, bad[i % len(bad)], qos=0))
        for info in infos:
            info.wait_for_publish(30)
        client.disconnect()
        client.loop_stop()

    def stuck_viewer(self, seconds: float) -> None:
        s = socket.create_connection(("127.0.0.1", self.view_port))
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.sendall(f"GET /stream/{CAMERA_KEY} HTTP/1.1\r\nHost: 127.0.0.1:{self.view_port}\r\n\r\n".encode())
        self.stop_event.wait(seconds)
        s.close()

    def run_fault(self, kind: str) -> Fault:
        fault = Fault(kind, time.time())
        if kind == "kill-device":
            self._kill_server(self.device)
        elif kind == "kill-cloud":
            self._kill_server(self.cloud)
        elif kind == "kill-redis":
            self._kill_server(self.redis)
        elif kind == "kill-camera":
            self.procs["camera"].kill()
            self.procs["camera"].start()
        elif kind == "stop-redis":
            seconds = self.rng.uniform(2, 8)
            fault.detail = f"{seconds:.1f} s"
            os.kill(self.redis.proc.pid, signal.SIGSTOP)
            self.stop_event.wait(seconds)
            os.kill(self.redis.proc.pid, signal.SIGCONT)
        elif kind == "bad-burst":
            self.bad_burst()
        elif kind == "stuck-viewer":
            seconds = self.rng.uniform(3, 10)
            fault.detail = f"{seconds:.1f} s"
            self.stuck_viewer(seconds)
        fault.end = time.time()
        return fault

    def recovered_at(self, after: float) -> float | None:
        """When both a fresh camera frame reached a viewer and a report made after `after`
        reached the cloud; None if not yet."""
        frame = next((t for t, v, key, i, age in self.frames if key == CAMERA_KEY and t - age >= after
                      and age <= 1.0), None)
        report = None
        for t, topic, payload in list(self.at_cloud.received):
            got = report_of(payload) if topic.endswith(f"kestrix_debug_{STATUS_NODE}") else None
            if got is not None and got[1] >= after:
                report = t
                break
        if frame is None or report is None:
            return None
        return max(frame, report)

    def schedule(self, kinds: list[str], every: float, deadline: float) -> None:
        for kind in kinds:
            if self.stop_event.wait(every) or time.time() >= deadline:
                return
            fault = self.run_fault(kind)
            self.faults.append(fault)
            print(f"{fault.start - self.t0:7.1f} s  {kind} {fault.detail}".rstrip(), flush=True)
            # The next fault comes once this one has been recovered from (or given up on), so
            # that each recovery time belongs to one fault.
            limit = fault.end + RECOVERY_LIMIT
            while time.time() < limit and not self.stop_event.is_set():
                at = self.recovered_at(fault.end)
                if at is not None:
                    fault.recovered = at
                    break
                time.sleep(0.2)

    def run(self) -> int:
        args = self.args
        seconds = args.minutes * 60
        count = int(seconds // args.every) + 1
        kinds = [self.rng.choice(KINDS) for _ in range(count)]
        print(f"seed {args.seed}: {seconds / 60:g} min, a fault every {args.every:g} s after a "
              f"{WARM_UP:g} s warm-up: {' '.join(kinds)}", flush=True)
        self.start()
        self.t0 = time.time()
        sampler = threading.Thread(target=self.sample_loop, daemon=True)
        sampler.start()
        deadline = self.t0 + seconds
        self.stop_event.wait(WARM_UP)
        scheduler = threading.Thread(target=self.schedule, args=(kinds, args.every, deadline - 15))
        scheduler.start()
        while time.time() < deadline and not self.stop_event.is_set():
            time.sleep(1)
            exited = [n for n, p in self.procs.items() if p.popen is not None and p.popen.poll() is not None]
            if exited:
                print(f"exited: {exited}", flush=True)
                break
        self.stop_event.set()
        scheduler.join()
        self.end = time.time()
        # Reports still under way reach the cloud within a few seconds.
        from servers import wait_for

        wait_for(lambda: self._missing() == set(), 30, 0.5)
        self.device_log = self.device.log()   # appended to across the brokers' restarts
        self.cloud_log = self.cloud.log()
        failures = self.report()
        self.stop()
        if args.csv:
            self.write_csv(Path(args.csv))
        if args.plot:
            plot(self.samples, self.frames, self.faults, self.t0, args.plot)
        return 1 if (args.ci and failures) else 0

    # -- results

    def made_reports(self) -> dict[int, float]:
        made: dict[int, float] = {}
        for _, line in self.procs["soaknode"].lines:
            m = re.search(r"publish message - '(.*)'$", line)
            if m:
                got = report_of(m.group(1).encode())
                if got:
                    made[got[0]] = got[1]
        for _, _, payload in list(self.at_device.received):
            got = report_of(payload)
            if got:
                made[got[0]] = got[1]
        return made

    def _arrived(self, sub: Subscriber, suffix: str) -> set[int]:
        return {got[0] for _, topic, p in list(sub.received) if topic.endswith(suffix)
                and (got := report_of(p)) is not None}

    def _missing(self) -> set[int]:
        made = self.made_reports()
        cloud = self._arrived(self.at_cloud, f"kestrix_debug_{STATUS_NODE}")
        return {n for n, t in made.items() if t < self.end - 5} - cloud

    def windows(self, kinds: tuple[str, ...], before: float = 2.0, after: float = 2.0) -> list[tuple[float, float]]:
        return [(f.start - before, (f.recovered or f.end + RECOVERY_LIMIT) + after)
                for f in self.faults if f.kind in kinds]

    @staticmethod
    def within(t: float, windows: list[tuple[float, float]]) -> bool:
        return any(a <= t <= b for a, b in windows)

    def report(self) -> list[str]:
        failures: list[str] = []
        print(f"\n{'fault':14s} {'count':>5s} {'recovery median':>16s} {'worst':>8s}")
        for kind in KINDS:
            faults = [f for f in self.faults if f.kind == kind]
            times = [f.recovered - f.end for f in faults if f.recovered is not None]
            lost = len(faults) - len(times)
            med = f"{statistics.median(times):.1f} s" if times else "-"
            worst = f"{max(times):.1f} s" if times else "-"
            print(f"{kind:14s} {len(faults):5d} {med:>16s} {worst:>8s}" + (f"  {lost} not recovered" if lost else ""))
            if lost:
                failures.append(f"{lost} {kind} not recovered within {RECOVERY_LIMIT:g} s")

        print(f"\n{'process':10s} {'RSS MiB start/end':>18s} {'/h':>7s} {'threads':>9s} {'/h':>6s} {'fds':>9s} {'/h':>6s}  restarted")
        restarted_by = {"device": "kill-device", "cloud": "kill-cloud", "redis": "kill-redis", "camera": "kill-camera"}
        for name in ("device", "cloud", "redis", "camera", "analytics", "soaknode", "view", "viewers", "watch"):
            rows = [s for s in self.samples if s[1] == name and s[0] >= self.t0 + WARM_UP]
            if not rows:
                continue
            last_pid = rows[-1][2]
            life = [s for s in rows if s[2] == last_pid]
            restarted = any(f.kind == restarted_by.get(name) for f in self.faults)
            first, last = window_median(life, 0, 20), window_median(life, -20, None)
            # A slope over less than a minute says nothing about an hour.
            long_life = life[-1][0] - life[0][0] >= 60
            slopes = [f"{slope_per_hour([(s[0], s[i] / scale) for s in life]):+7.1f}" if long_life else f"{'-':>7s}"
                      for i, scale in ((3, 1024), (4, 1), (5, 1))]
            print(f"{name:10s} {first[0] / 1024:8.1f}/{last[0] / 1024:<8.1f} {slopes[0]}"
                  f" {first[1]:4.0f}/{last[1]:<4.0f} {slopes[1]} {first[2]:4.0f}/{last[2]:<4.0f}"
                  f" {slopes[2]}  {'yes (last life shown)' if restarted else 'no'}")
            if not restarted:
                for what, grown, bound in (("RSS", last[0] - first[0], MAX_RSS_GROWTH_KB),
                                           ("threads", last[1] - first[1], MAX_THREAD_GROWTH),
                                           ("fds", last[2] - first[2], MAX_FD_GROWTH)):
                    if grown > bound:
                        failures.append(f"{name}: {what} grew by {grown:g} (bound {bound})")

        made = self.made_reports()
        made = {n: t for n, t in made.items() if t < self.end - 5}
        at_device = self._arrived(self.at_device, f"kestrix_debug_{STATUS_NODE}")
        at_cloud = self._arrived(self.at_cloud, f"kestrix_debug_{STATUS_NODE}")
        device_down = self.windows(("kill-device",), 0.5, 0.5)
        broker_kills = self.windows(("kill-device", "kill-cloud"))
        missing = sorted(set(made) - at_cloud)
        documented = [n for n in missing if n not in at_device and self.within(made[n], device_down)]
        in_kill = [n for n in missing if n not in documented and self.within(made[n], broker_kills)]
        # A burst can fill the device broker's queue for the bridge (its documented bound) or the
        # cloud's for this script's subscriber: a report lost then counts as dropped by a bound
        # only if a broker said it dropped messages for one of them.
        drops = (self.device_log.count("Outgoing messages are being dropped for client kestrix-fleet-")
                 + self.cloud_log.count("Outgoing messages are being dropped for client soak-cloud-"))
        bursts = self.windows(("bad-burst",))
        in_bound = [n for n in missing if drops and n not in documented and n not in in_kill
                    and self.within(made[n], bursts)]
        other = [n for n in missing if n not in documented and n not in in_kill and n not in in_bound]
        watch_lines = sum(1 for _, line in self.procs["watch"].lines if line.startswith("{"))
        print(f"\nstatus reports made {len(made)}, at the cloud {len(set(made) & at_cloud)}; lost: "
              f"{len(documented)} while the device broker was down (documented), {len(in_kill)} in a "
              f"broker's SIGKILL, {len(in_bound)} beyond a queue's bound in a burst "
              f"(the brokers logged {drops} drop notices), {len(other)} otherwise "
              f"{other[:20] if other else ''}")
        print(f"watch --fleet printed {watch_lines} lines")
        if other:
            failures.append(f"{len(other)} status reports lost")

        outages = self.windows(KINDS, 0.0, 0.0)
        late = [f for f in self.frames if f[2] == CAMERA_KEY and f[4] > 1.0 and f[0] >= self.t0 + WARM_UP
                and not self.within(f[0], outages)]
        camera_frames = sum(1 for f in self.frames if f[2] == CAMERA_KEY)
        print(f"camera frames at the viewers {camera_frames}, older than 1 s outside an outage {len(late)}")

        explained = self.windows(KINDS, 1.0, ERROR_SLACK)
        unexplained = []
        for name in ("camera", "analytics", "soaknode", "view", "watch", "viewers"):
            for t, line in self.procs[name].lines:
                if " ERROR " in line and not self.within(t, explained):
                    unexplained.append(f"{name} {t - self.t0:.1f} s: {line}")
        print(f"ERROR records no fault explains: {len(unexplained)}")
        for line in unexplained[:30]:
            print("  " + line[:300])
        if unexplained:
            failures.append(f"{len(unexplained)} unexplained ERROR records")
        exited = [n for n, p in self.procs.items() if p.popen is not None and p.popen.poll() is not None]
        if exited:
            failures.append(f"exited: {exited}")
        print("\n" + ("FAILED: " + "; ".join(failures) if failures else "no failure"))
        return failures

    def write_csv(self, folder: Path) -> None:
        folder.mkdir(parents=True, exist_ok=True)
        with open(folder / "samples.csv", "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["t", "process", "pid", "rss_kb", "threads", "fds"])
            w.writerows([(round(s[0] - self.t0, 2), *s[1:]) for s in self.samples])
        with open(folder / "frames.csv", "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["t", "viewer", "key", "index", "age_s"])
            w.writerows([(round(s[0] - self.t0, 3), s[1], s[2], s[3], round(s[4], 3)) for s in self.frames])
        made = self.made_reports()
        first: dict[str, dict[int, float]] = {"device": {}, "cloud": {}}
        for where, sub in (("device", self.at_device), ("cloud", self.at_cloud)):
            for t, topic, payload in sub.received:
                got = report_of(payload) if topic.endswith(f"kestrix_debug_{STATUS_NODE}") else None
                if got is not None:
                    first[where].setdefault(got[0], t)
        with open(folder / "reports.csv", "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["n", "made", "at_device", "at_cloud"])
            for n in sorted(made):
                w.writerow([n, round(made[n] - self.t0, 2),
                            *("" if n not in first[k] else round(first[k][n] - self.t0, 2) for k in ("device", "cloud"))])
        with open(folder / "faults.csv", "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["kind", "start", "end", "recovered", "detail"])
            w.writerows([(x.kind, round(x.start - self.t0, 2), round(x.end - self.t0, 2),
                          "" if x.recovered is None else round(x.recovered - self.t0, 2), x.detail)
                         for x in self.faults])


def window_median(rows: list, start: float, end: float | None) -> tuple[float, float, float]:
    """Medians of RSS, threads and fds over the first (start 0, end S) or last (start -S) S
    seconds of rows."""
    if start >= 0:
        chosen = [r for r in rows if r[0] <= rows[0][0] + end]
    else:
        chosen = [r for r in rows if r[0] >= rows[-1][0] + start]
    return tuple(statistics.median(r[i] for r in chosen) for i in (3, 4, 5))  # type: ignore[return-value]


def slope_per_hour(points: list[tuple[float, float]]) -> float:
    if len(points) < 3:
        return 0.0
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    var = sum((x - mx) ** 2 for x in xs)
    return 0.0 if var == 0 else sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / var * 3600


def plot(samples, frames, faults, t0: float, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(11, 7))
    for name in sorted({s[1] for s in samples}):
        rows = [s for s in samples if s[1] == name]
        top.plot([(s[0] - t0) / 60 for s in rows], [s[3] / 1024 for s in rows], label=name, lw=1)
    top.set_ylabel("RSS (MiB)")
    top.legend(ncol=5, fontsize=7)
    cam = [f for f in frames if f[2] == CAMERA_KEY and f[1] == 0]
    bottom.plot([(f[0] - t0) / 60 for f in cam], [max(f[4], 0.0) for f in cam], lw=0.6, color="black")
    bottom.axhline(1.0, color="grey", ls="--", lw=0.8)
    bottom.set_ylabel("camera frame age at a viewer (s)")
    bottom.set_xlabel("minutes")
    colours = dict(zip(KINDS, plt.rcParams["axes.prop_cycle"].by_key()["color"]))
    for f in faults:
        for ax in (top, bottom):
            ax.axvline((f.start - t0) / 60, color=colours[f.kind], lw=0.8, alpha=0.6)
    handles = [plt.Line2D([], [], color=c, label=k) for k, c in colours.items()]
    bottom.legend(handles=handles, ncol=4, fontsize=7, title="faults")
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["_status-node"]:
        return status_node(argparse.Namespace())
    if argv[:1] == ["_viewers"]:
        ap = argparse.ArgumentParser()
        ap.add_argument("--base", required=True)
        ap.add_argument("--key", action="append", required=True)
        return viewers(ap.parse_args(argv[1:]))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--minutes", type=float, default=20.0)
    ap.add_argument("--ci", action="store_true", help="3 minutes; exit status 1 on any failure")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--every", type=float, default=8.0, help="seconds between faults (default 8)")
    ap.add_argument("--csv", metavar="DIR", help="write samples.csv, frames.csv and faults.csv here")
    ap.add_argument("--plot", metavar="PNG", help="draw RSS and frame age with the faults marked")
    args = ap.parse_args(argv)
    if args.ci:
        args.minutes = 3.0
    soak = Soak(args)
    try:
        return soak.run()
    finally:
        if soak.procs if hasattr(soak, "procs") else False:
            for p in soak.procs.values():
                p.kill()
        for server in (soak.device, soak.redis, soak.cloud):
            server.close()


if __name__ == "__main__":
    sys.exit(main())
