"""The operator tool `python -m kestrix_sdk` against real servers."""

from __future__ import annotations

import base64
import json
import os
import re
import subprocess
import sys
import threading
import time
import uuid

import cv2
import numpy as np
import pytest
import redis

from kestrix_sdk import cli
from kestrix_sdk.constants import PREFIX
from demo_fixtures import child_env
from servers import free_port
from view_fixtures import publish

PY = [sys.executable, "-m", "kestrix_sdk"]



def run_cli(*args: str, timeout: float = 60) -> subprocess.CompletedProcess:
    return subprocess.run([*PY, *args], capture_output=True, text=True, timeout=timeout, env=child_env())


@pytest.fixture
def rdb(redis_server):
    return redis.Redis(port=redis_server.port)


def record(node_id: str, **items) -> dict:
    rec = {"ts": int(time.time()), "id": node_id, "name": f"{node_id} name", "msg_type": "info", "type": "camera"}
    rec.update({k: [v] for k, v in items.items()})
    return rec


def uid() -> str:
    return uuid.uuid4().hex[:8]


# ---------------------------------------------------------------------------------------------
# status


def test_status_shows_reporter_records_only(redis_server, rdb):
    n = uid()
    cam, under = f"cam-{n}", f"gate_{n}_x"     # node ids with and without underscores
    status = PREFIX.REDIS.STATUS
    rdb.set(f"{status}_{cam}", json.dumps(record(cam, fps=12.5)))
    rdb.set(f"{status}_{under}", json.dumps(record(under, frames=3)))
    # Keys that share the prefix but are no reporter's record:
    rdb.set(f"{status}_{cam}_6379", json.dumps(record(cam, fps=1)))     # gen_redis_key_status key
    rdb.set(f"{status}_other-{n}", json.dumps(record(f"elsewhere-{n}")))  # id does not give the key
    rdb.set(f"{status}_text-{n}", "not json")
    rdb.hset(f"{status}_hash-{n}", "a", "b")                            # not a string value

    res = run_cli("status", "--port", str(redis_server.port), "--json")
    assert res.returncode == 0, res.stderr
    records = json.loads(res.stdout)
    assert records[cam]["fps"] == [12.5] and records[under]["frames"] == [3]
    assert not {f"elsewhere-{n}", f"other-{n}", f"text-{n}", f"hash-{n}", f"{cam}_6379"} & set(records)

    res = run_cli("status", "--port", str(redis_server.port), cam)
    assert res.returncode == 0, res.stderr
    assert res.stdout.startswith(f"{cam}  (name '{cam} name', type 'camera'; last update ")
    assert json.loads(res.stdout.splitlines()[1]) == record(cam, fps=12.5) | {"ts": records[cam]["ts"]}
    assert under not in res.stdout


def test_status_of_an_unknown_node_exits_1(redis_server):
    res = run_cli("status", "--port", str(redis_server.port), f"nobody-{uid()}")
    assert res.returncode == 1
    assert "no status record of node" in res.stderr and res.stdout == ""


# ---------------------------------------------------------------------------------------------
# frame


def test_frame_round_trip(redis_server, rdb, tmp_path):
    img = np.zeros((48, 64, 3), np.uint8)
    img[8:40, 10:30] = (0, 0, 255)
    img[20:44, 36:60] = (255, 200, 0)
    jpeg = cv2.imencode(".jpg", img)[1].tobytes()
    key = f"{PREFIX.REDIS.LOCAL}_cam-{uid()}_6379"
    rdb.set(key, base64.b64encode(jpeg))

    res = run_cli("frame", key, "--out", str(tmp_path / "f.jpg"), "--port", str(redis_server.port))
    assert res.returncode == 0, res.stderr
    assert "(64 x 48, 3 channels)" in res.stdout
    assert (tmp_path / "f.jpg").read_bytes() == jpeg   # the stored file, not encoded again

    res = run_cli("frame", key, "--out", str(tmp_path / "f.png"), "--port", str(redis_server.port))
    assert res.returncode == 0, res.stderr
    decoded = cv2.imdecode(np.frombuffer(jpeg, np.uint8), cv2.IMREAD_UNCHANGED)
    assert np.array_equal(cv2.imread(str(tmp_path / "f.png"), cv2.IMREAD_UNCHANGED), decoded)


def test_frame_written_by_the_vault_client(redis_server, tmp_path):
    from kestrix_sdk.redis.vault import VaultClient

    img = np.full((60, 80, 3), 90, np.uint8)
    cv2.circle(img, (40, 30), 20, (10, 220, 30), -1)
    key = f"{PREFIX.REDIS.LOCAL}_cam-{uid()}_6379"
    assert VaultClient(thread=False, port=redis_server.port).write_frame(img, key)
    res = run_cli("frame", key, "--out", str(tmp_path / "v.png"), "--port", str(redis_server.port))
    assert res.returncode == 0, res.stderr
    saved = cv2.imread(str(tmp_path / "v.png"))
    assert saved.shape == img.shape and np.abs(saved.astype(int) - img).mean() < 8


@pytest.mark.parametrize("value, out, code, message", [
    (None, "x.png", 1, "no value under key"),
    (b"plain text, no frame", "x.png", 1, "is not a frame"),
    (base64.b64encode(b"\xff\xd8 not really a jpeg"), "x.png", 1, "is not a frame"),
    ("frame", "x.unknown", 2, "unknown image format"),
])
def test_frame_failures(redis_server, rdb, tmp_path, value, out, code, message):
    key = f"{PREFIX.REDIS.LOCAL}_bad-{uid()}_6379"
    if value == "frame":
        value = base64.b64encode(cv2.imencode(".jpg", np.zeros((8, 8, 3), np.uint8))[1].tobytes())
    if value is not None:
        rdb.set(key, value)
    res = run_cli("frame", key, "--out", str(tmp_path / out), "--port", str(redis_server.port))
    assert res.returncode == code
    assert message in res.stderr
    assert not (tmp_path / out).exists()


# ---------------------------------------------------------------------------------------------
# watch


class Watch:
    """`watch` running in the background; ready once it reports its subscription."""

    def __init__(self, *args: str) -> None:
        self.proc = subprocess.Popen([*PY, "watch", *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=child_env())
        self.ready = threading.Event()
        self.err: list[str] = []
        self.reader = threading.Thread(target=self._read_err, daemon=True)
        self.reader.start()

    def _read_err(self) -> None:
        for line in self.proc.stderr:
            self.err.append(line)
            if line.startswith("watching "):
                self.ready.set()

    def finish(self, timeout: float = 30) -> tuple[int, list[dict]]:
        # Every watch here ends by itself (--timeout); stderr belongs to the reader thread.
        out = self.proc.stdout.read()
        self.proc.stdout.close()
        self.proc.wait(timeout)
        self.reader.join(5)
        self.proc.stderr.close()
        return self.proc.returncode, [json.loads(line) for line in out.splitlines()]


@pytest.mark.parametrize("only", [None, "cam1"])
def test_watch_prints_status_and_error_reports(broker, only):
    n = uid()
    cam1, cam2 = (f"cam1-{n}", f"cam2-{n}")
    args = ["--port", str(broker.port), "--json", "--timeout", "30"]
    if only:
        args += ["--node", cam1]
    watch = Watch(*args, "--count", "3" if only is None else "2")
    assert watch.ready.wait(15), watch.err
    status1 = json.dumps(record(cam1, fps=10))
    error1 = json.dumps({"ts": 1, "id": cam1, "name": "", "type": "", "msg_type": "error", "message": "lens"})
    publish(broker.port, [
        (f"{PREFIX.MQTT.LOCAL}_{cam1}", '{"detections": []}'),       # not a report
        (f"{PREFIX.MQTT.DEBUG}_{cam2}", "status that is not JSON"),
        (f"{PREFIX.MQTT.DEBUG}_{cam1}", status1),
        (f"{PREFIX.MQTT.CLOUD}_{cam1}", error1),
    ])
    code, reports = watch.finish()
    assert code == 0, watch.err
    expected = [
        {"topic": f"{PREFIX.MQTT.DEBUG}_{cam2}", "kind": "status", "node": cam2,
         "record": "status that is not JSON"},
        {"topic": f"{PREFIX.MQTT.DEBUG}_{cam1}", "kind": "status", "node": cam1, "record": json.loads(status1)},
        {"topic": f"{PREFIX.MQTT.CLOUD}_{cam1}", "kind": "error", "node": cam1, "record": json.loads(error1)},
    ]
    assert reports == (expected if only is None else expected[1:])


def test_watch_ends_at_its_timeout(broker):
    start = time.monotonic()
    watch = Watch("--port", str(broker.port), "--node", f"silent-{uid()}", "--count", "1", "--timeout", "1")
    code, reports = watch.finish()
    assert (code, reports) == (1, [])
    assert "0 of 1 reports received within 1 s" in "".join(watch.err)
    assert time.monotonic() - start < 20


def test_watch_with_credentials(private_broker):
    server = private_broker(username="op", password="secret")
    res = run_cli("watch", "--port", str(server.port), "--count", "1", "--timeout", "10")
    assert res.returncode == 3 and "refused the connection" in res.stderr
    res = run_cli("watch", "--port", str(server.port), "--username", "op", "--password", "secret",
                  "--timeout", "0.5")
    assert res.returncode == 0, res.stderr
    assert res.stderr.startswith("watching ")


# ---------------------------------------------------------------------------------------------
# unreachable servers, defaults


@pytest.mark.parametrize("args, server", [
    (["status"], "Redis server"),
    (["frame", "some_key", "--out", "never-written.png"], "Redis server"),
    (["watch", "--count", "1", "--timeout", "30"], "MQTT broker"),
])
def test_unreachable_server_gives_a_clear_message(args, server, tmp_path):
    port = free_port()   # nothing listens there
    start = time.monotonic()
    res = subprocess.run([*PY, *args, "--port", str(port)], capture_output=True, text=True, timeout=60,
                         cwd=tmp_path, env=child_env())
    assert res.returncode == 3
    assert f"cannot reach the {server} at " in res.stderr and f":{port} - " in res.stderr
    assert "Traceback" not in res.stderr and res.stdout == ""
    assert time.monotonic() - start < 20
    assert not (tmp_path / "never-written.png").exists()


def test_defaults_are_the_kits():
    from kestrix_sdk.cli import common
    from kestrix_sdk.mqtt import courier

    assert (common.DEFAULT_MQTT_HOST, common.DEFAULT_MQTT_PORT) == (courier.DEFAULT_MQTT_HOST, courier.DEFAULT_MQTT_PORT)
    args = cli.build_parser().parse_args(["status"])
    assert (args.host, args.port) == ("localhost", 6379)


# ---------------------------------------------------------------------------------------------
# The hint for the live view's extra


def _checkout(root, name: str = "kestrix-sdk"):
    (root / "src" / "kestrix_sdk").mkdir(parents=True)
    (root / "pyproject.toml").write_text(f'[project]\nname = "{name}"\nversion = "0.1.0"\n')
    return root / "src" / "kestrix_sdk"


def _installed(site, direct_url: dict | str | None, kit):
    """A dist-info in `site` whose direct_url.json holds `direct_url` ({kit_url}: the checkout's)."""
    from importlib import metadata
    from urllib.parse import quote

    info = site / "kestrix_sdk-0.1.0.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: kestrix-sdk\nVersion: 0.1.0\n")
    if isinstance(direct_url, dict):
        direct_url = json.dumps(direct_url).replace("{kit_url}", quote(str(kit)))
    if direct_url is not None:
        (info / "direct_url.json").write_text(direct_url)
    (site / "kestrix_sdk").mkdir()
    return metadata.PathDistribution(info)


@pytest.mark.parametrize("runs_from, direct_url, expected", [
    # run from a checkout (PYTHONPATH=src), installed or not
    ("checkout", None, "pip install '{kit}[view]'"),
    ("checkout", {"url": "file://{kit_url}", "dir_info": {"editable": True}}, "pip install -e '{kit}[view]'"),
    ("other project", None, "pip install 'kestrix-sdk[view]'"),
    # installed into site-packages: from a local directory, a wheel file or an index
    ("site", {"url": "file://{kit_url}", "dir_info": {}}, "pip install '{kit}[view]'"),
    ("site", {"url": "file://{kit_url}", "dir_info": {"editable": True}}, "pip install -e '{kit}[view]'"),
    ("site", {"url": "file:///no/such/checkout", "dir_info": {}}, "pip install 'kestrix-sdk[view]'"),
    ("site", {"url": "file:///wheels/kestrix_sdk-0.1.0-py3-none-any.whl", "archive_info": {}},
     "pip install 'kestrix-sdk[view]'"),
    ("site", {"url": "https://example.com/kestrix_sdk.tar.gz", "archive_info": {}}, "pip install 'kestrix-sdk[view]'"),
    ("site", None, "pip install 'kestrix-sdk[view]'"),
    ("site", "not json", "pip install 'kestrix-sdk[view]'"),
])
def test_view_extra_hint_fits_the_installation(tmp_path, runs_from, direct_url, expected):
    import shlex

    from kestrix_sdk.cli.common import pip_command

    kit = tmp_path / "my kit's checkout"        # a space and a quote in the path
    package_dir = _checkout(kit, "other" if runs_from == "other project" else "kestrix-sdk")
    dist = None
    if direct_url is not None or runs_from == "site":
        dist = _installed(tmp_path / "site-packages", direct_url, kit)
    if runs_from == "site":
        package_dir = tmp_path / "site-packages" / "kestrix_sdk"
    command = pip_command("view", dist, package_dir)
    assert shlex.split(command) == shlex.split(expected.replace("'{kit}[view]'", shlex.quote(f"{kit}[view]")))


def test_view_without_its_extra_names_the_install_command(tmp_path):
    shim = tmp_path / "shim" / "aiohttp"
    shim.mkdir(parents=True)
    (shim / "__init__.py").write_text("raise ImportError(\"No module named 'aiohttp'\")\n")
    env = child_env()
    env["PYTHONPATH"] = os.pathsep.join([str(shim.parent), env.get("PYTHONPATH", "")])
    res = subprocess.run([*PY, "view", "--port", "0"], capture_output=True, text=True, timeout=60, env=env)
    assert res.returncode == 2 and res.stdout == ""
    assert re.search(r"the live view needs the optional extra: pip install (-e )?'\S.*\[view\]' "
                     r"\(No module named 'aiohttp'\)", res.stderr), res.stderr
    assert "kestrix_sdk[view]" not in res.stderr
