"""The demo edge pipeline: a camera node, an analytics node and a monitor, each in its own
process, talking only through an MQTT broker and a Redis server: the ones named by --mqtt-url /
--redis-url or KESTRIX_MQTT_URL / KESTRIX_REDIS_URL, or otherwise servers of the demo's own,
started on free loopback ports and stopped at the end. The processes get the servers through
the two variables.

    camera_node.py --frames--> Redis key kestrix_local_camera_6379 --get_frame--> analytics_node.py
                   --detections (JSON)--> MQTT kestrix_local_camera -----------^        |
    both nodes --status / error reports--> MQTT kestrix_debug_* / kestrix_cloud_* --> monitor.py

The terminal shows the processes' lines (progress of the analytics node, reports received by the
monitor) and, at the end, where the annotated pictures are. With --view the pipeline runs until
Ctrl-C and the live view (python -m kestrix_sdk view) shows the frames, the annotated frames and
the nodes' status in a web page, at the address printed. `scripts/demo.sh` sets everything up
(packages, the built kit) and runs this script.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import demo_common as common  # noqa: E402
import demo_servers  # noqa: E402


_say_lock = threading.Lock()


def say(text: str, err: bool = False) -> None:
    """Prints one whole line: the demo's threads print at once (each child's output is forwarded
    by its own thread), and print() writes a line's text and its end separately."""
    stream = sys.stderr if err else sys.stdout
    with _say_lock:
        stream.write(text + "\n")
        stream.flush()


class Child:
    """One process of the demo, its output forwarded line by line with the node's name."""

    def __init__(self, name: str, argv: list[str], ready_text: str = ": ready") -> None:
        self.name = name
        self.ready_text = ready_text
        self.lines: list[str] = []
        self.ready = threading.Event()
        env = dict(os.environ)
        if env.get("PYTHONPATH"):
            # The nodes run in examples/: keep them on the same package as this process.
            env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
        self.proc = subprocess.Popen(
            [sys.executable, "-u", *argv], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True, bufsize=1, cwd=HERE, env=env, start_new_session=True)
        say(f"demo: started {name} (pid {self.proc.pid})")
        self.reader = threading.Thread(target=self._forward, name=f"{name}-output", daemon=True)
        self.reader.start()

    def _forward(self) -> None:
        assert self.proc.stdout is not None
        for line in self.proc.stdout:
            line = line.rstrip("\n")
            self.lines.append(line)
            if self.ready_text in line:
                self.ready.set()
            say(f"  [{self.name}] {line.removeprefix(self.name + ': ')}")

    def wait_ready(self, timeout: float) -> bool:
        """Waits until the process says it is ready; false at once if it ends before that."""
        deadline = time.monotonic() + timeout
        while not self.ready.wait(0.1):
            if not self.running() or time.monotonic() > deadline:
                return self.ready.is_set()
        return True

    def running(self) -> bool:
        return self.proc.poll() is None

    def signal(self, signum: int) -> None:
        if self.running():
            try:
                os.kill(self.proc.pid, signum)
            except ProcessLookupError:
                pass

    def wait(self, timeout: float) -> int | None:
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        self.reader.join(2)
        return code



def end_all(children: list[Child], grace: float = 8.0) -> dict[Child, int]:
    """Asks every process still running to stop (SIGTERM), all at once, and kills those that have
    not ended within `grace` seconds; returns their exit codes."""
    for child in children:
        child.signal(signal.SIGTERM)
    deadline = time.monotonic() + grace
    codes = {}
    for child in children:
        code = child.wait(max(0.1, deadline - time.monotonic()))
        if code is None:
            child.signal(signal.SIGKILL)
            code = child.wait(5)
        codes[child] = -signal.SIGKILL if code is None else code
    return codes


def final_reports_seen(out: str, expected: dict[str, int]) -> bool:
    """True once the monitor has received, from every node, a status report with its final frame
    count."""
    try:
        with open(os.path.join(out, "reports.jsonl")) as f:
            seen = {}
            for line in f:
                try:
                    entry = json.loads(line)
                except ValueError:
                    continue
                if entry.get("kind") == "status":
                    record = entry.get("record", {})
                    seen[record.get("id")] = record.get("frames")
    except FileNotFoundError:
        return False
    return all(seen.get(node) == [frames] for node, frames in expected.items())


def clean_output(out: str) -> None:
    """Removes what an earlier run wrote into `out` (only the demo's own files)."""
    frames = os.path.join(out, "frames")
    if os.path.isdir(frames):
        for name in os.listdir(frames):
            if name.startswith("frame_") and name.rsplit(".", 1)[-1] in ("jpg", "png"):
                os.remove(os.path.join(frames, name))
    for name in ("annotated.avi", "ground_truth.jsonl", "reports.jsonl"):
        try:
            os.remove(os.path.join(out, name))
        except FileNotFoundError:
            pass


def print_where(out: str, image_format: str) -> None:
    say(f"demo: annotated images: {os.path.join(out, 'frames')}/frame_*.{image_format}")
    say(f"demo: video:            {os.path.join(out, 'annotated.avi')}")
    say(f"demo: status reports:   {os.path.join(out, 'reports.jsonl')}")
    say(f"demo: ground truth:     {os.path.join(out, 'ground_truth.jsonl')}")


def _interrupt(signum, frame):  # noqa: ARG001
    raise KeyboardInterrupt


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description="Runs the demo edge pipeline (camera, analytics, monitor).")
    ap.add_argument("--frames", type=int, help="number of frames (default 150: 10 s at 15 fps; "
                    "with --view, until Ctrl-C)")
    ap.add_argument("--fps", type=float, default=15.0, help="camera frame rate (default 15)")
    ap.add_argument("--out", default="demo-output", help="output folder (default ./demo-output)")
    ap.add_argument("--image-format", choices=("jpg", "png"), default="jpg",
                    help="format of the annotated images (default jpg)")
    ap.add_argument("--view", action="store_true",
                    help="run until Ctrl-C and show the pipeline in the live view (web page)")
    ap.add_argument("--view-port", type=int, default=8321, help="port of the live view (default 8321)")
    ap.add_argument("--mqtt-url", help="the broker to use (default: KESTRIX_MQTT_URL, or else a broker "
                    "of the demo's own on a free port)")
    ap.add_argument("--redis-url", help="the Redis server to use (default: KESTRIX_REDIS_URL, or else a "
                    "server of the demo's own on a free port)")
    ap.add_argument("--source", metavar="SOURCE",
                    help="a real camera instead of the synthetic scene: an RTSP or HTTP Motion-JPEG "
                    "URL, a video file or a V4L2 device, read by `python -m kestrix_sdk camera`; the "
                    "analytics node then finds people with OpenCV's HOG detector")
    ap.add_argument("--verbose", action="store_true", help="show the kit's info log lines")
    args = ap.parse_args(argv)
    if args.frames is None:
        # With --view the camera sends frames until Ctrl-C.
        args.frames = 0 if args.view else 150
    elif args.frames < 1:
        ap.error("--frames must be at least 1")
    if args.fps <= 0:
        ap.error("--fps must be positive")
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    from kestrix_sdk.constants import MQTT_URL_ENV, REDIS_URL_ENV

    # SIGTERM (e.g. from a test's time-out) ends the demo like Ctrl-C does.
    signal.signal(signal.SIGTERM, _interrupt)
    try:
        with demo_servers.chosen(args.mqtt_url or os.environ.get(MQTT_URL_ENV),
                                 args.redis_url or os.environ.get(REDIS_URL_ENV), say) as urls:
            # Every process of the demo (nodes, monitor, view) finds the servers there.
            os.environ.update(urls)
            return run(args)
    except demo_servers.ServerError as e:
        say(f"demo: {e}", err=True)
        return 2
    except KeyboardInterrupt:  # while the servers start or stop
        return 130


def run(args: argparse.Namespace) -> int:
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    clean_output(out)
    verbose = ["--verbose"] if args.verbose else []

    children: list[Child] = []
    interrupted = False
    started = time.monotonic()
    try:
        monitor = Child("monitor", ["monitor.py", "--out", out, *common.NODES, *verbose])
        children.append(monitor)
        if not monitor.wait_ready(30):
            say("demo: the monitor did not come up", err=True)
            return 1
        if args.view:
            view = Child("view", ["-m", "kestrix_sdk", "view", "--port", str(args.view_port)],
                         ready_text="view: serving ")
            children.append(view)
            if not view.wait_ready(30):
                say("demo: the live view did not come up", err=True)
                return 1
        # With --view the annotated frames go to Redis only: the run is open-ended.
        no_files = ["--no-files"] if args.view else []
        detect = ["--detect"] if args.source else []
        analytics = Child("analytics", ["analytics_node.py", "--out", out, "--fps", str(args.fps),
                                        "--image-format", args.image_format, *no_files, *detect, *verbose])
        children.append(analytics)
        if not analytics.wait_ready(30):
            say("demo: the analytics node did not come up", err=True)
            return 1
        if args.source:
            camera = Child("camera", ["-m", "kestrix_sdk", "camera", "--source", args.source,
                                      "--key", f"{common.PREFIX.REDIS.LOCAL}_{common.CAMERA_ID}_6379",
                                      "--node-id", common.CAMERA_ID, "--fps", str(args.fps)])
        else:
            camera = Child("camera", ["camera_node.py", "--out", out, "--frames", str(args.frames),
                                      "--fps", str(args.fps), *verbose])
        children.append(camera)
        if args.view:
            address = next(line.split()[-1] for line in view.lines if line.startswith("view: serving "))
            say(f"demo: live view at {address} - open it in a browser; Ctrl-C stops the demo")

        # A real source runs until it ends (a file) or Ctrl-C.
        deadline = started + args.frames / args.fps + 60 if args.frames and not args.source else float("inf")
        nodes = (camera, analytics)
        while any(c.running() for c in nodes):
            failed = [c.name for c in nodes if not c.running() and c.proc.returncode != 0]
            if failed:
                say(f"demo: the {failed[0]} node failed, stopping the others", err=True)
                return 1
            if time.monotonic() > deadline:
                say("demo: the nodes did not finish in time", err=True)
                return 1
            time.sleep(0.2)
        codes = {c.name: c.wait(5) for c in nodes}
        if args.source:
            failed = {name: code for name, code in codes.items() if code != 0}
            say(f"demo: the camera's source has ended; {time.monotonic() - started:.1f} s")
            print_where(out, args.image_format)
            return 1 if failed else 0
        # Give the monitor the last reports (the nodes waited for them to be sent).
        done = sum(1 for name in os.listdir(os.path.join(out, "frames")) if name.startswith("frame_"))
        frames_sent = sum(1 for _ in open(os.path.join(out, "ground_truth.jsonl")))
        common.wait_until(lambda: final_reports_seen(out, {"camera": frames_sent, "analytics": done}), 5)
        elapsed = time.monotonic() - started
        failed = {name: code for name, code in codes.items() if code != 0}
        say("")
        say(f"demo: {done} of {frames_sent} frames annotated in {elapsed:.1f} s")
        print_where(out, args.image_format)
        if failed:
            say(f"demo: failed: {failed}", err=True)
            return 1
        return 0
    except KeyboardInterrupt:
        say("demo: interrupted, stopping the nodes", err=True)
        interrupted = True
        return 130
    finally:
        for child, code in end_all(children).items():
            if code not in (0, -signal.SIGTERM) and (child.name == "monitor" or code == -signal.SIGKILL):
                say(f"demo: the {child.name} ended with code {code}", err=True)
        if interrupted and not args.view and os.path.isdir(os.path.join(out, "frames")):
            print_where(out, args.image_format)


if __name__ == "__main__":
    sys.exit(main())
