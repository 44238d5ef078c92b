"""GET /metrics of the live view: parsed with prometheus_client's own parser, and scraped by a
real Prometheus; against its own Redis and broker and a running status reporter."""

from __future__ import annotations

import json
import time
import uuid

import numpy as np
import pytest
import redis

pytest.importorskip("aiohttp")
pytest.importorskip("prometheus_client")

from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

from kestrix_sdk.constants import PREFIX  # noqa: E402
from kestrix_sdk.redis.vault import VaultClient  # noqa: E402
from kestrix_sdk.status.pulse import StatusCaching  # noqa: E402
from prometheus_server import Prometheus  # noqa: E402
from servers import wait_for  # noqa: E402
from view_fixtures import MjpegReader, ViewProcess, get, publish  # noqa: E402

TOKEN = "metrics-" + "Xy7" * 5
LOCAL = PREFIX.REDIS.LOCAL


def uid() -> str:
    return uuid.uuid4().hex[:8]


@pytest.fixture(scope="module")
def servers(own_servers):
    return own_servers


@pytest.fixture(scope="module")
def view(servers):
    rds, brk = servers
    server = ViewProcess("--redis-host", "127.0.0.1", "--redis-port", str(rds.port),
                         "--mqtt-host", "127.0.0.1", "--mqtt-port", str(brk.port),
                         "--token", TOKEN, "--max-record-bytes", "1000")
    yield server
    assert server.close() == 0, "".join(server.lines)


@pytest.fixture
def vault(servers):
    return VaultClient(thread=False, host="127.0.0.1", port=servers[0].port)


def scrape(view: ViewProcess) -> dict[tuple[str, tuple], float]:
    """(sample name, sorted labels) -> value of one scrape."""
    status, headers, body = get(view.base + "/metrics", {"Authorization": f"Bearer {TOKEN}"})
    assert status == 200, body
    assert headers["Content-Type"].startswith("text/plain")
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(body.decode())
            for s in family.samples}


def sample(view: ViewProcess, name: str, **labels: str) -> float | None:
    return scrape(view).get((name, tuple(sorted(labels.items()))))


def test_metrics_need_the_token(view):
    assert get(view.base + "/metrics")[0] == 401
    assert get(view.base + "/metrics?token=" + TOKEN)[0] == 200


def test_node_reports_are_counted_and_aged(view, servers):
    node = f"counted-{uid()}"
    ts = time.time() - 100
    publish(servers[1].port, [(f"{PREFIX.MQTT.DEBUG}_{node}", json.dumps({"id": node, "ts": ts, "msg_type": "info"}))] * 3
            + [(f"{PREFIX.MQTT.CLOUD}_{node}", json.dumps({"message": "lens cap"}))] * 2)
    assert wait_for(lambda: sample(view, "kestrix_node_error_reports_total", node=node) == 2, 60)
    metrics = scrape(view)
    assert metrics[("kestrix_node_status_reports_total", (("node", node),))] == 3
    age = metrics[("kestrix_node_last_status_age_seconds", (("node", node),))]
    assert 100 <= age < 100 + 120
    assert metrics[("kestrix_broker_up", ())] == 1 and metrics[("kestrix_redis_up", ())] == 1


@pytest.mark.parametrize("payload, reason", [
    ('{"id": "%s", "ts": 1, "msg_type": "info", "fps": NaN}', "non_finite"),
    ('{"id": "%s", "ts": 1, "msg_type": "info", "pad": "' + "p" * 2000 + '"}', "too_large"),
])
def test_refused_records_are_counted(view, servers, payload, reason):
    node = f"refused-{uid()}"
    before = sample(view, "kestrix_view_records_refused_total", reason=reason) or 0
    publish(servers[1].port, [(f"{PREFIX.MQTT.DEBUG}_{node}", payload % node)])
    assert wait_for(lambda: sample(view, "kestrix_view_records_refused_total", reason=reason) == before + 1, 60)


def test_frames_served_size_and_streams(view, vault, servers):
    key = f"{LOCAL}_metrics-{uid()}_6379"
    rdb = redis.Redis(host="127.0.0.1", port=servers[0].port)
    vault.write_frame(np.full((48, 64, 3), 80, np.uint8), key)
    try:
        for _ in range(4):
            assert get(f"{view.base}/frame/{key}.jpg", {"X-Kestrix-Token": TOKEN})[0] == 200
        assert sample(view, "kestrix_frames_served_total", key=key) == 4
        assert wait_for(lambda: sample(view, "kestrix_frame_stored_bytes", key=key) == rdb.strlen(key), 60)
        reader = MjpegReader(view.base, f"/stream/{key}?token={TOKEN}")
        try:
            reader.next_part()
            # The age of a frame is known once the view saw the stored value change.
            vault.write_frame(np.full((48, 64, 3), 160, np.uint8), key)
            reader.next_part()
            metrics = scrape(view)
            assert metrics[("kestrix_view_streams", ())] == 1
            assert metrics[("kestrix_view_stream_clients", ())] == 1
            assert metrics[("kestrix_frame_viewers", (("key", key),))] == 1
            assert metrics[("kestrix_frames_served_total", (("key", key),))] == 6
            assert 0 <= metrics[("kestrix_frame_age_seconds", (("key", key),))] < 120
        finally:
            reader.close()
        assert wait_for(lambda: sample(view, "kestrix_view_streams") == 0, 30)
    finally:
        rdb.delete(key)
        rdb.close()


def test_a_running_reporter_shows_in_the_metrics(view, servers, monkeypatch):
    node = f"reporter-{uid()}"
    # The reporter's clients find their servers in the environment.
    monkeypatch.setenv("KESTRIX_MQTT_URL", f"mqtt://127.0.0.1:{servers[1].port}")
    monkeypatch.setenv("KESTRIX_REDIS_URL", f"redis://127.0.0.1:{servers[0].port}")
    reporter = StatusCaching(node_id=node, node_name="metrics test", node_type="camera", log_interval=1)
    reporter.update_status_info({"fps": 12}, 0)
    reporter.start()
    try:
        assert wait_for(lambda: (sample(view, "kestrix_node_status_reports_total", node=node) or 0) >= 2, 60)
        assert sample(view, "kestrix_node_last_status_age_seconds", node=node) < 30
    finally:
        reporter.stop()
        reporter.join(10)


@pytest.mark.slow
def test_prometheus_scrapes_the_view(view, servers):
    node = f"scraped-{uid()}"
    publish(servers[1].port, [(f"{PREFIX.MQTT.DEBUG}_{node}", json.dumps({"id": node, "ts": time.time(), "msg_type": "info"}))])
    prometheus = Prometheus(view.base.split("://", 1)[1], token=TOKEN).start()
    try:
        def target() -> dict:
            active = prometheus.api("targets")["activeTargets"]
            return active[0] if active else {}

        assert wait_for(lambda: target().get("health") == "up", 90, 0.5), (target(), prometheus.log())

        def ages() -> list:
            return prometheus.api("query", query=f'kestrix_node_last_status_age_seconds{{node="{node}"}}')["result"]

        assert wait_for(ages, 90, 0.5), prometheus.log()
        assert float(ages()[0]["value"][1]) >= 0
        up = prometheus.api("query", query="kestrix_broker_up")["result"]
        assert up and up[0]["value"][1] == "1"
    finally:
        prometheus.close()
    # Without the token the target is down.
    wrong = Prometheus(view.base.split("://", 1)[1], token="not-it").start()
    try:
        assert wait_for(lambda: (wrong.api("targets")["activeTargets"] or [{}])[0].get("health") == "down", 90, 0.5)
        assert "401" in wrong.api("targets")["activeTargets"][0]["lastError"]
    finally:
        wrong.close()
