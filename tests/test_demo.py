"""The demo pipeline (examples/run_demo.py) in a short form: camera, analytics node and monitor in
their own processes, over a real broker and a real Redis server: the test session's own, named
by --mqtt-url / --redis-url or KESTRIX_MQTT_URL / KESTRIX_REDIS_URL, or the demo's own."""

from __future__ import annotations

import contextlib
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import cv2
import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(EXAMPLES))

import scene  # noqa: E402
from demo_fixtures import child_env  # noqa: E402
from servers import free_port, port_open, server_urls  # noqa: E402
from kestrix_sdk.constants import KEY, MQTT_URL_ENV, REDIS_URL_ENV  # noqa: E402

FRAMES = 24
FPS = 12.0
THICKNESS = 3          # the analytics node's box outline width
CHANGED = 20           # a pixel differs visibly from the camera's frame (JPEG noise stays below)



def pids_started(output: str) -> dict[str, int]:
    return {name: int(pid) for name, pid in re.findall(r"^demo: started (\w+) \(pid (\d+)\)$", output, re.M)}


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


@pytest.fixture(scope="module")
def session_servers(broker, redis_server):
    """The environment that leads the demo's processes to the session's servers."""
    return child_env(**server_urls(broker, redis_server))


@pytest.fixture(scope="module")
def demo_run(broker, redis_server, tmp_path_factory):
    """A run told its servers by options."""
    out = tmp_path_factory.mktemp("demo")
    urls = server_urls(broker, redis_server)
    res = subprocess.run(
        [sys.executable, str(EXAMPLES / "run_demo.py"), "--frames", str(FRAMES), "--fps", str(FPS),
         "--out", str(out), "--image-format", "png", "--mqtt-url", urls[MQTT_URL_ENV],
         "--redis-url", urls[REDIS_URL_ENV]],
        capture_output=True, text=True, timeout=120, cwd=out, env=child_env())
    return res, out


def test_demo_finishes_and_tells_where_the_pictures_are(demo_run):
    res, out = demo_run
    assert res.returncode == 0, res.stdout + res.stderr
    assert "demo: using the MQTT broker at mqtt://127.0.0.1:" in res.stdout
    assert "demo: using the Redis server at redis://127.0.0.1:" in res.stdout
    assert f"annotated images: {out / 'frames'}/frame_*.png" in res.stdout
    assert f"video:            {out / 'annotated.avi'}" in res.stdout
    assert re.search(r"^  \[analytics\] \d+/24 frames annotated, [\d.]+ fps$", res.stdout, re.M)
    pids = pids_started(res.stdout)
    assert set(pids) == {"monitor", "analytics", "camera"}
    assert not [name for name, pid in pids.items() if alive(pid)], "demo processes left running"


def annotated_frames(out: Path) -> dict[int, Path]:
    return {int(p.stem.split("_")[1]): p for p in (out / "frames").glob("frame_*.png")}


def test_annotated_frames_have_boxes_where_the_camera_put_the_objects(demo_run):
    res, out = demo_run
    truth = [json.loads(line) for line in (out / "ground_truth.jsonl").read_text().splitlines()]
    assert [t["frame"] for t in truth] == list(range(FRAMES))
    frames = annotated_frames(out)
    # On a busy machine the analytics node may skip a frame the camera has already overwritten.
    assert len(frames) >= FRAMES // 2, res.stdout
    for index in sorted(frames)[:: max(1, len(frames) // 6)]:
        expected = [d[KEY.TLWH] for d in truth[index]["detections"]]
        assert expected == [d[KEY.TLWH] for d in scene.objects_at(index)]
        check_boxes(cv2.imread(str(frames[index])), scene.render(index, FPS), expected, index)


def check_boxes(annotated: np.ndarray, original: np.ndarray, boxes: list[list[int]], index: int) -> None:
    """Every box outline is drawn (pixels changed along its four edges) at its place (no change a
    few pixels outside its edges, where nothing else is drawn)."""
    height, width = original.shape[:2]
    diff = np.abs(annotated.astype(int) - original.astype(int)).max(axis=2)
    regions = [(r["polygon"] * [width, height]).astype(np.float32) for r in scene.REGIONS]
    for n, (x, y, w, h) in enumerate(boxes):
        mid = THICKNESS // 2
        ys, xs = np.arange(y + 6, y + h - 5), np.arange(x + 6, x + w - 5)
        edges = np.concatenate([
            diff[ys, x + mid], diff[ys, x + w - mid], diff[y + mid, xs], diff[y + h - mid, xs]])
        changed = (edges > CHANGED).mean()
        assert changed > 0.9, f"frame {index}, box {n} {x, y, w, h}: outline drawn on {changed:.0%} only"
        others = [b for k, b in enumerate(boxes) if k != n]
        outside = []
        for px, py in ([(x - 5, yy) for yy in ys] + [(x + w + 5, yy) for yy in ys]
                       + [(xx, y + h + 5) for xx in xs]):
            if not (0 <= px < width and 0 <= py < height) or _near(others, px, py):
                continue
            # Regions are drawn too (their names a little above and right of their centres).
            if any(cv2.pointPolygonTest(r, (float(px), float(py)), True) > -6 for r in regions) or _near_name(regions, px, py):
                continue
            outside.append(diff[int(py), int(px)])
        if len(outside) >= 10:
            spill = (np.array(outside) > CHANGED).mean()
            assert spill < 0.1, f"frame {index}, box {n} {x, y, w, h}: drawing {spill:.0%} outside the box"


def _near_name(regions: list[np.ndarray], px: int, py: int) -> bool:
    return any(cx - 10 <= px <= cx + 120 and cy - 40 <= py <= cy + 10 for cx, cy in (r.mean(axis=0) for r in regions))


def _near(boxes: list[list[int]], px: int, py: int) -> bool:
    """Whether (px, py) is near one of `boxes` or near the caption above it."""
    return any((x - 8 <= px <= x + w + 8 and y - 8 <= py <= y + h + 8)
               or (x - 8 <= px <= x + 200 and y - 40 <= py <= y) for x, y, w, h in boxes)


def test_video_holds_the_annotated_frames(demo_run):
    _, out = demo_run
    video = cv2.VideoCapture(str(out / "annotated.avi"))
    try:
        assert video.isOpened()
        count = 0
        while True:
            ok, frame = video.read()
            if not ok:
                break
            assert frame.shape == (scene.HEIGHT, scene.WIDTH, 3)
            count += 1
    finally:
        video.release()
    assert count == len(annotated_frames(out))


def test_status_reports_reached_the_monitor_and_redis(demo_run, session_servers):
    res, out = demo_run
    reports = [json.loads(line) for line in (out / "reports.jsonl").read_text().splitlines()]
    status = {}
    for r in reports:
        if r["kind"] == "status":
            status.setdefault(r["record"]["id"], []).append(r["record"])
    assert set(status) == {"camera", "analytics"}
    done = len(annotated_frames(out))
    assert status["camera"][-1]["frames"] == [FRAMES]
    assert status["analytics"][-1]["frames"] == [done]
    assert status["analytics"][-1]["type"] == "analytics" and "fps" in status["analytics"][-1]
    # The clients' own counters travel in the records: the camera's last record counts every
    # detection message, and every frame it wrote or had replaced by a newer one so far.
    [camera_mqtt], [camera_redis] = status["camera"][-1]["mqtt"], status["camera"][-1]["redis"]
    assert camera_mqtt["published"] == FRAMES and camera_mqtt["publish_failures"] == 0
    assert camera_redis["frame_writes"] + camera_redis["frames_dropped"] <= FRAMES
    [analytics_redis] = status["analytics"][-1]["redis"]
    assert analytics_redis["reads"] >= done and analytics_redis["frame_writes"] == done
    assert status["analytics"][-1]["mqtt"][0]["received"] >= done
    assert re.search(r"^  \[monitor\] status of analytics: frames=\d+ fps=", res.stdout, re.M)
    # The operator tool reads the same records back from Redis.
    cli = subprocess.run([sys.executable, "-m", "kestrix_sdk", "status", "--json", "camera", "analytics"],
                         capture_output=True, text=True, timeout=60, env=session_servers)
    assert cli.returncode == 0, cli.stderr
    stored = json.loads(cli.stdout)
    assert stored["camera"]["frames"] == [FRAMES] and stored["analytics"]["frames"] == [done]


@contextlib.contextmanager
def interrupted_demo(tmp_path, env: dict[str, str], *args: str, ready: str, processes: set[str]):
    """run_demo.py with `args` in the environment `env`, read line by line; yields (process, lines, match of the regular
    expression `ready` once a line matches it), then stops the demo with SIGTERM (exit status
    130) and checks that it started exactly `processes` and that all of them have ended."""
    proc = subprocess.Popen(
        [sys.executable, str(EXAMPLES / "run_demo.py"), *args, "--out", str(tmp_path)],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    lines: list[str] = []
    found: list[re.Match] = []
    seen = threading.Event()

    def read() -> None:
        for line in proc.stdout:
            lines.append(line)
            match = re.match(ready, line)
            if match and not seen.is_set():
                found.append(match)
                seen.set()

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        assert seen.wait(90), "".join(lines)
        yield proc, lines, found[0]
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(60) == 130
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        reader.join(5)
        proc.stdout.close()
    pids = pids_started("".join(lines))
    assert set(pids) == processes
    assert not [name for name, pid in pids.items() if alive(pid)], "demo processes left running"


def test_interrupted_demo_stops_every_process(tmp_path):
    """Told no servers, the demo runs on its own, on free ports, and stops them too."""
    with interrupted_demo(tmp_path, child_env(), "--frames", "100000", ready=r"  \[camera\] publishing",
                          processes={"monitor", "analytics", "camera"}) as (_, lines, _):
        pass
    own = {name: (int(port), int(pid)) for name, port, pid in re.findall(
        r"^demo: started (mosquitto|redis-server) on 127\.0\.0\.1:(\d+) \(pid (\d+); stopped at the end\)$",
        "".join(lines), re.M)}
    assert set(own) == {"mosquitto", "redis-server"}, "".join(lines)
    assert not {port for port, _ in own.values()} & {1883, 6379}
    assert not [name for name, (_, pid) in own.items() if alive(pid)], "demo servers left running"
    assert not [name for name, (port, _) in own.items() if port_open(port)]


@pytest.mark.parametrize("args, env, message", [
    (["--mqtt-url", "mqtt://127.0.0.1:{closed}"], {},
     "demo: no MQTT broker on 127.0.0.1:{closed} (from --mqtt-url / KESTRIX_MQTT_URL); start it"),
    ([], {REDIS_URL_ENV: "redis://:pw@127.0.0.1:{closed}/0"},
     "demo: no Redis server on 127.0.0.1:{closed} (from --redis-url / KESTRIX_REDIS_URL); start it"),
    (["--redis-url", "ftp://u:s3cret@h"], {},
     "demo: --redis-url / KESTRIX_REDIS_URL: Redis URL 'ftp://u:***@h': unknown scheme 'ftp'"),
])
def test_a_named_server_that_cannot_be_used_stops_the_demo_before_it_starts(tmp_path, args, env, message):
    closed = free_port()     # nothing listens there
    res = subprocess.run(
        [sys.executable, str(EXAMPLES / "run_demo.py"), "--out", str(tmp_path),
         *[a.format(closed=closed) for a in args]],
        capture_output=True, text=True, timeout=60,
        env=child_env(**{k: v.format(closed=closed) for k, v in env.items()}))
    assert res.returncode == 2, res.stdout + res.stderr
    assert message.format(closed=closed) in res.stderr
    assert "s3cret" not in res.stdout + res.stderr and ":pw@" not in res.stderr
    assert "demo: started" not in res.stdout and not list(tmp_path.iterdir())


def test_demo_with_live_view_runs_until_interrupted(session_servers, tmp_path):
    """run_demo.py --view (what scripts/demo.sh --view runs): the page's address is printed, the
    annotated frames and both nodes' status appear in the live view, Ctrl-C ends everything."""
    pytest.importorskip("aiohttp")
    from view_fixtures import get

    with interrupted_demo(tmp_path, session_servers, "--view", "--view-port", "0",
                          ready=r"demo: live view at (http://\S+) ",
                          processes={"monitor", "view", "analytics", "camera"}) as (proc, lines, announced):
        url = announced.group(1)

        def api(path: str):
            status, _, body = get(url + path)
            return json.loads(body) if status == 200 else None

        assert wait_until(lambda: "kestrix_local_analytics_6379" in (api("api/frames") or []), 90), "".join(lines)
        status, headers, body = get(url + "frame/kestrix_local_analytics_6379.jpg")
        assert status == 200 and body[:2] == b"\xff\xd8"
        assert cv2.imdecode(np.frombuffer(body, np.uint8), cv2.IMREAD_COLOR).shape == (scene.HEIGHT, scene.WIDTH, 3)

        def counts():
            records = api("api/status") or {}
            return [records.get(node, {}).get("frames", [0])[0] for node in ("camera", "analytics")]

        # Both nodes report, and their counts go up while the page watches.
        assert wait_until(lambda: min(counts()) > 0, 90), counts()
        first = counts()
        assert wait_until(lambda: all(now > then for now, then in zip(counts(), first)), 90), (first, counts())
        # The pipeline goes on until interrupted; the annotated frames go to Redis only.
        assert proc.poll() is None and not list((tmp_path / "frames").glob("frame_*"))


def wait_until(predicate, timeout: float) -> bool:
    from servers import wait_for

    return wait_for(predicate, timeout, 0.2)
