"""`python -m kestrix_sdk health`: a live node, a stale node, a missing node, a stopped server."""

from __future__ import annotations

import json
import subprocess
import sys
import time
import uuid

import pytest
import redis

from demo_fixtures import child_env
from kestrix_sdk.constants import PREFIX
from kestrix_sdk.status.pulse import StatusCaching
from servers import wait_for


def run_health(rds, brk, *args: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess:
    where = ["--redis-port", str(rds.port), "--mqtt-port", str(brk.port)] if rds and brk else []
    return subprocess.run([sys.executable, "-m", "kestrix_sdk", "health", "--redis-host", "127.0.0.1",
                           "--mqtt-host", "127.0.0.1", *where, *args],
                          capture_output=True, text=True, timeout=120, env=child_env(**(env or {})))


@pytest.fixture
def pair(private_redis, private_broker):
    return private_redis(), private_broker()


def store(rds, node: str, age: float | None) -> None:
    """A status record `age` seconds old (None: one without an update yet, "ts" 0)."""
    client = redis.Redis(host="127.0.0.1", port=rds.port)
    ts = 0 if age is None else int(time.time() - age)
    client.set(f"{PREFIX.REDIS.STATUS}_{node}", json.dumps({"id": node, "ts": ts, "msg_type": "info"}))
    client.close()


def test_healthy_with_a_live_reporter(pair, monkeypatch):
    rds, brk = pair
    node = f"live-{uuid.uuid4().hex[:6]}"
    monkeypatch.setenv("KESTRIX_MQTT_URL", f"mqtt://127.0.0.1:{brk.port}")
    monkeypatch.setenv("KESTRIX_REDIS_URL", f"redis://127.0.0.1:{rds.port}")
    reporter = StatusCaching(node_id=node, node_name="health", node_type="camera", log_interval=1)
    reporter.update_status_info({"fps": 9}, 0)
    reporter.start()
    try:
        client = redis.Redis(host="127.0.0.1", port=rds.port)

        def stored_ts() -> float:
            value = client.get(f"{PREFIX.REDIS.STATUS}_{node}")
            return json.loads(value)["ts"] if value else 0

        # The reporter stores its record at once, with a time once it has an update.
        assert wait_for(lambda: stored_ts() > 0, 60)
        client.close()
        res = run_health(rds, brk, "--node", node, "--max-age", "30")
        assert res.returncode == 0, res.stdout + res.stderr
        assert res.stdout.startswith("healthy") and res.stdout.count("\n") == 1
    finally:
        reporter.stop()
        reporter.join(10)


@pytest.mark.parametrize("nodes, max_age, code, says", [
    ({"cam": 5}, "60", 0, "healthy"),
    ({"cam": 5, "old": 600}, "60", 1, "node 'old' last reported 60"),
    ({"cam": 0, "old": None}, "60", 1, "node 'old' has not reported an update yet"),
    ({"cam": 5}, "1", 1, "node 'cam' last reported"),
    ({}, "60", 1, "no status record of node 'cam'"),
])
def test_node_ages(pair, nodes, max_age, code, says):
    rds, brk = pair
    for node, age in nodes.items():
        store(rds, node, age)
    named = ["--node", "cam"] + (["--node", "old"] if "old" in nodes else [])
    res = run_health(rds, brk, *named, "--max-age", max_age)
    assert res.returncode == code, res.stdout + res.stderr
    assert says in res.stdout and res.stdout.count("\n") == 1


@pytest.mark.parametrize("stopped, says", [("redis", "Redis server"), ("broker", "MQTT broker"),
                                           ("both", "Redis server")])
def test_a_stopped_server_is_unhealthy(pair, stopped, says):
    rds, brk = pair
    store(rds, "cam", 1)
    if stopped in ("redis", "both"):
        rds.stop()
    if stopped in ("broker", "both"):
        brk.stop()
    res = run_health(rds, brk, "--node", "cam", "--timeout", "2")
    assert res.returncode == 1, res.stdout + res.stderr
    assert says in res.stdout and res.stdout.startswith("unhealthy")
    if stopped == "both":
        assert "MQTT broker" in res.stdout


def test_the_servers_come_from_the_environment(pair):
    rds, brk = pair
    store(rds, "cam", 1)
    res = subprocess.run([sys.executable, "-m", "kestrix_sdk", "health", "--node", "cam"],
                         capture_output=True, text=True, timeout=120,
                         env=child_env(KESTRIX_REDIS_URL=f"redis://127.0.0.1:{rds.port}",
                                       KESTRIX_MQTT_URL=f"mqtt://127.0.0.1:{brk.port}"))
    assert res.returncode == 0, res.stdout + res.stderr


@pytest.mark.parametrize("args", [["--max-age", "inf"], ["--max-age", "0"], ["--timeout", "nan"]])
def test_bad_values_are_refused(args):
    res = run_health(None, None, *args)
    assert res.returncode == 2 and args[0] in res.stderr
