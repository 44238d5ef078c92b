"""The test suite touches no server it did not start.

A decoy Redis server on 6379 and a decoy Mosquitto broker on 1883 (where a device's own servers
listen) stand by while the suite runs in a child process; afterwards neither may have seen any
client but this check's own. Run by scripts/ci-isolation.sh; the file name keeps it out of a plain
pytest run (and so out of the run it starts).
"""

from __future__ import annotations

import os
import re
import shlex
import socket
import subprocess
import sys
import time

import paho.mqtt.client as paho
import pytest
import redis

from demo_fixtures import child_env
from servers import Mosquitto, RedisServer, port_open, wait_for

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKER = "kx-isolation-checker"
INNER = "KESTRIX_ISOLATION_INNER"
# The suite's arguments: the tests marked slow are left out by default, to keep the check to a
# few minutes; KESTRIX_ISOLATION_PYTEST_ARGS="" runs every test.
DEFAULT_ARGS = '-m "not slow"'


def loopback_v6() -> bool:
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class DecoyRedis(RedisServer):
    """A Redis server on 6379 that logs every connection it accepts."""

    def command(self) -> list[str]:
        args = super().command()
        at = args.index("--bind")
        args[at + 1:at + 2] = ["127.0.0.1", "::1"] if loopback_v6() else ["127.0.0.1"]
        return args + ["--loglevel", "verbose", "--logfile", str(self.dir / "redis.log")]

    def accepted(self) -> list[str]:
        try:
            return [line for line in (self.dir / "redis.log").read_text(errors="replace").splitlines()
                    if "Accepted" in line]
        except FileNotFoundError:
            return []


def redis_state(client: redis.Redis) -> dict:
    """What a client other than the checker would change: commands run per command, keys per
    database, connections accepted (the checker's INFO and DBSIZE counted out)."""
    info = client.info("all")
    calls = {k.removeprefix("cmdstat_"): v["calls"] for k, v in info.items() if k.startswith("cmdstat_")}
    return {"calls": calls, "keyspace": {k: v for k, v in info.items() if re.fullmatch(r"db\d+", k)},
            "dbsize": client.dbsize(), "connections": info["total_connections_received"],
            "sentinel": client.get("kx-decoy-sentinel")}


def own_calls(before: dict) -> dict:
    """`before` plus the checker's own commands of one redis_state() call."""
    after = dict(before["calls"])
    for name in ("info", "dbsize", "get"):
        after[name] = after.get(name, 0) + 1
    return after


def take(port: int) -> None:
    """Fails (CI) or skips when something on this machine already listens on the decoy's port."""
    if port_open(port) or (loopback_v6() and port_open(port, "::1")):
        message = (f"port {port} is taken by a server on this machine: the isolation check needs it "
                   "free for its decoy")
        if os.environ.get("CI", "").lower() == "true":
            pytest.fail(message)
        pytest.skip(message)


@pytest.fixture
def decoys():
    if os.environ.get(INNER):
        pytest.skip("the isolation check does not run inside its own test run")
    take(1883)
    take(6379)
    extra = ["listener 1883 ::1"] if loopback_v6() else []
    broker, store = Mosquitto(port=1883, extra=extra), DecoyRedis(port=6379)
    try:
        broker.start()
        store.start()
        yield broker, store
    finally:
        broker.close()
        store.close()


def check_broker_once(broker: Mosquitto) -> None:
    """One connection of the checker's, so that the log is known to record connections."""
    client = paho.Client(paho.CallbackAPIVersion.VERSION2, client_id=CHECKER)
    client.connect("127.0.0.1", 1883)
    client.loop_start()
    try:
        assert wait_for(lambda: f"as {CHECKER}" in broker.log(), 10), broker.log()
    finally:
        client.disconnect()
        client.loop_stop()


def run_watched(decoys, *pytest_args: str) -> tuple[list[str], subprocess.CompletedProcess]:
    """Runs pytest with `pytest_args` in a child process beside the decoys; returns what the
    decoys saw of anyone but the checker (empty when untouched) and the run's result."""
    broker, store = decoys
    check_broker_once(broker)
    client = redis.Redis(host="127.0.0.1", port=6379)
    try:
        info = client.info("server")
        assert info["process_id"] == store.proc.pid and info["tcp_port"] == 6379
        client.set("kx-decoy-sentinel", "untouched")
        before = redis_state(client)
        accepted_before, log_before = store.accepted(), broker.log()
        res = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *pytest_args],
                             cwd=HERE, capture_output=True, text=True, env=child_env(**{INNER: "1"}))
        after = redis_state(client)
    finally:
        client.close()
    log = broker.log()
    assert log.startswith(log_before)
    seen = [f"broker on 1883: {line}" for line in log[len(log_before):].splitlines()
            if "New connection from" in line or "New client connected" in line]
    seen += [f"Redis on 6379: {line}" for line in store.accepted()[len(accepted_before):]]
    if after["connections"] != before["connections"]:
        seen.append(f"Redis on 6379: {after['connections'] - before['connections']} connections received")
    expected = own_calls(before)
    seen += [f"Redis on 6379: {name} run {after['calls'].get(name, 0) - expected.get(name, 0)} times"
             for name in sorted(set(after["calls"]) | set(expected))
             if after["calls"].get(name, 0) != expected.get(name, 0)]
    if (after["keyspace"], after["dbsize"], after["sentinel"]) != (before["keyspace"], before["dbsize"], b"untouched"):
        seen.append(f"Redis on 6379: keys changed: {before['keyspace']} -> {after['keyspace']}")
    return seen, res


def test_a_full_test_run_leaves_the_servers_on_the_default_ports_untouched(decoys):
    args = os.environ.get("KESTRIX_ISOLATION_PYTEST_ARGS", DEFAULT_ARGS)
    started = time.monotonic()
    seen, res = run_watched(decoys, *shlex.split(args))
    summary = (res.stdout.strip().splitlines() or [""])[-1]
    print(f"the suite ({args or 'every test'}) ran in {time.monotonic() - started:.0f} s: {summary}")
    assert not seen, "the test run touched servers it did not start:\n" + "\n".join(seen)
    # The suite must have run (exit status 1: some tests failed, which scripts/test.sh reports;
    # the failures are shown here too). Anything else (no tests, a usage or collection error)
    # would make an untouched decoy mean nothing.
    assert res.returncode in (0, 1) and " passed" in summary, res.stdout[-6000:] + res.stderr[-3000:]
    print("\n".join(line for line in res.stdout.splitlines() if line.startswith(("FAILED ", "ERROR "))))


TOUCHING = """
import paho.mqtt.client as paho, redis

def test_touches_both():
    redis.Redis(host="localhost", port=6379).set("mine", "1")
    client = paho.Client(paho.CallbackAPIVersion.VERSION2, client_id="stray")
    client.connect("127.0.0.1", 1883)
    client.disconnect()
"""


def test_a_run_that_touches_them_is_caught(decoys, tmp_path):
    (tmp_path / "test_stray.py").write_text(TOUCHING)
    seen, res = run_watched(decoys, str(tmp_path / "test_stray.py"), "--rootdir", str(tmp_path))
    assert res.returncode == 0, res.stdout + res.stderr
    assert [line for line in seen if line.startswith("broker on 1883: ")], seen
    assert any(line.startswith("Redis on 6379: ") and " Accepted 127.0.0.1:" in line for line in seen), seen
    assert "Redis on 6379: set run 1 times" in seen
    assert any("keys changed" in line for line in seen)
