"""The live view's endpoints against real Redis and Mosquitto servers."""

from __future__ import annotations

import base64
import binascii
import json
import uuid

import numpy as np
import paho.mqtt.client as mqtt
import pytest
import redis

pytest.importorskip("aiohttp")

from kestrix_sdk import reports  # noqa: E402
from kestrix_sdk.constants import PREFIX  # noqa: E402
from kestrix_sdk.redis.vault import VaultClient, b64decode  # noqa: E402
from kestrix_sdk.status.pulse import StatusCaching  # noqa: E402
from kestrix_sdk.view.config import MAX_ERRORS, ViewConfig, resolve_token  # noqa: E402
from servers import wait_for  # noqa: E402
from view_fixtures import MjpegReader, ViewProcess, get, key_path, stream_status  # noqa: E402

LOCAL = PREFIX.REDIS.LOCAL


def uid() -> str:
    return uuid.uuid4().hex[:8]


def solid(bgr: tuple[int, int, int], size: tuple[int, int] = (96, 128)) -> np.ndarray:
    image = np.zeros((*size, 3), np.uint8)
    image[:] = bgr
    return image


def get_json(url: str):
    status, _, body = get(url)
    assert status == 200, body
    return json.loads(body)


def on(broker, redis_server) -> list[str]:
    """The view's options for the session's servers."""
    return ["--redis-host", "127.0.0.1", "--redis-port", str(redis_server.port),
            "--mqtt-host", "127.0.0.1", "--mqtt-port", str(broker.port)]


@pytest.fixture(scope="module")
def view(broker, redis_server):
    server = ViewProcess(*on(broker, redis_server))
    yield server
    assert server.close() == 0, "".join(server.lines)


@pytest.fixture
def vault(redis_server):
    return VaultClient(thread=False, host="127.0.0.1", port=redis_server.port)


@pytest.fixture
def rdb(redis_server):
    client = redis.Redis(host="127.0.0.1", port=redis_server.port)
    yield client
    client.close()


# ---------------------------------------------------------------------------------------------
# the native decoder


@pytest.mark.parametrize("data", [b"", b"\xff\xd8\xff\xe0 a jpeg" * 50, bytes(range(256))])
def test_b64decode_gives_what_base64_gives(data):
    text = base64.b64encode(data)
    assert b64decode(text) == base64.b64decode(text) == data


@pytest.mark.parametrize("text, error", [(b"abc", binascii.Error), ("YWJj", TypeError), (None, TypeError)])
def test_b64decode_refuses(text, error):
    with pytest.raises(error):
        b64decode(text)


# ---------------------------------------------------------------------------------------------
# frames


@pytest.mark.parametrize("name", ["cam{}_6379", "odd key/ü?&%#+{}_1", "{}.jpg"])
def test_frame_comes_back_byte_identical(view, vault, rdb, name):
    key = f"{LOCAL}_" + name.format(uid())
    assert vault.write_frame(solid((0, 0, 255)), key)
    stored = base64.b64decode(rdb.get(key))
    status, headers, body = get(f"{view.base}/frame/{key_path(key)}.jpg")
    assert (status, headers["Content-Type"]) == (200, "image/jpeg")
    assert body == stored
    rdb.delete(key)


@pytest.mark.parametrize("make", ["absent", "text", "hash", "not-local", "base64-not-jpeg"])
def test_frame_404_when_the_key_holds_no_frame(view, vault, rdb, make):
    key = f"{LOCAL}_{make}-{uid()}"
    if make == "text":
        rdb.set(key, "/9j/ but no picture")
    elif make == "hash":
        rdb.hset(key, "a", "b")
    elif make == "not-local":
        key = f"elsewhere_{uid()}"
        vault.write_frame(solid((1, 2, 3)), key)
    elif make == "base64-not-jpeg":
        rdb.set(key, base64.b64encode(b"\x89PNG\r\n\x1a\n" + bytes(100)))
    status, _, _ = get(f"{view.base}/frame/{key_path(key)}.jpg")
    assert status == 404
    rdb.delete(key)


@pytest.mark.parametrize("path", ["/nothing", "/api/nothing", "/frame/", "/static/../server.py",
                                  "/static/nothing.js", "/frame/" + "k" * 3000 + ".jpg"])
def test_unknown_paths_404(view, path):
    assert get(view.base + path)[0] == 404


def test_page_and_its_files_are_served(view):
    status, headers, body = get(view.base + "/")
    assert status == 200 and headers["Content-Type"].startswith("text/html")
    for asset in ("static/view.css", "static/view.js"):
        assert asset.encode() in body
        assert get(f"{view.base}/{asset}")[0] == 200


def test_stream_sends_each_new_frame(view, vault, rdb):
    key = f"{LOCAL}_stream-{uid()}_6379"
    vault.write_frame(solid((0, 0, 255)), key)
    red = base64.b64decode(rdb.get(key))
    reader = MjpegReader(view.base, f"/stream/{key_path(key)}")
    try:
        assert reader.status == 200 and reader.content_type.startswith("multipart/x-mixed-replace")
        assert reader.next_part() == red
        vault.write_frame(solid((255, 0, 0)), key)
        blue = base64.b64decode(rdb.get(key))
        # A frame that does not change is sent at most once more (which makes browsers show
        # it); the next other part is the new frame.
        assert reader.next_part() == blue
        assert reader.repeats <= 1
    finally:
        reader.close()
        rdb.delete(key)


def test_viewers_of_a_key_share_one_reader(view, vault, rdb):
    key = f"{LOCAL}_shared-{uid()}_6379"
    vault.write_frame(solid((0, 255, 0)), key)
    frame = base64.b64decode(rdb.get(key))
    readers = [MjpegReader(view.base, f"/stream/{key_path(key)}") for _ in range(3)]
    try:
        assert [r.next_part() for r in readers] == [frame] * 3
        assert get_json(view.base + "/api/health")["readers"].count(key) == 1
    finally:
        for r in readers:
            r.close()
    assert wait_for(lambda: key not in get_json(view.base + "/api/health")["readers"], 30)
    rdb.delete(key)


@pytest.mark.parametrize("make", ["absent", "text", "not-local"])
def test_stream_of_a_key_without_frame_404(view, vault, rdb, make):
    key = f"{LOCAL}_{make}-{uid()}"
    if make == "text":
        rdb.set(key, "hello")
    elif make == "not-local":
        key = f"elsewhere_{uid()}"
        vault.write_frame(solid((1, 2, 3)), key)
    assert stream_status(view.base, f"/stream/{key_path(key)}") == 404
    rdb.delete(key)


def test_frame_keys_are_those_under_the_local_prefix_holding_frames(view, vault, rdb):
    n = uid()
    frame_key, text_key = f"{LOCAL}_found-{n}_6379", f"{LOCAL}_text-{n}_6379"
    vault.write_frame(solid((9, 9, 9)), frame_key)
    rdb.set(text_key, "hello")
    try:
        assert wait_for(lambda: frame_key in get_json(view.base + "/api/frames"), 60)
        assert text_key not in get_json(view.base + "/api/frames")
    finally:
        rdb.delete(frame_key, text_key)
    assert wait_for(lambda: frame_key not in get_json(view.base + "/api/frames"), 60)


def test_only_the_given_frame_keys_are_served(broker, redis_server, vault, rdb):
    n = uid()
    shown, other = f"cam-{n}", f"{LOCAL}_other-{n}_6379"
    for key in (shown, other):
        vault.write_frame(solid((5, 5, 5)), key)
    server = ViewProcess(*on(broker, redis_server), "--frames", shown, "--max-streams", "2")
    try:
        assert get_json(server.base + "/api/frames") == [shown]
        assert get(f"{server.base}/frame/{shown}.jpg")[0] == 200
        assert get(f"{server.base}/frame/{other}.jpg")[0] == 404
        # At most --max-streams streams at once; a closed one frees its place.
        first = MjpegReader(server.base, f"/stream/{shown}")
        second = MjpegReader(server.base, f"/stream/{shown}")
        assert (first.status, second.status) == (200, 200)
        assert stream_status(server.base, f"/stream/{shown}") == 503
        first.close()
        assert wait_for(lambda: get_json(server.base + "/api/health")["streams"] == 1, 30)
        third = MjpegReader(server.base, f"/stream/{shown}")
        assert third.status == 200
        third.close()
        second.close()
    finally:
        assert server.close() == 0
        rdb.delete(shown, other)


# ---------------------------------------------------------------------------------------------
# status and error reports


def test_status_and_errors_of_a_running_reporter(view, kit_servers, rdb):
    node = f"viewnode-{uid()}"
    reporter = StatusCaching(node_id=node, node_name="view test", node_type="camera", log_interval=1)
    reporter.start()
    try:
        reporter.update_status_info({"fps": 7.5, "frames": 3}, 0)

        def status():
            return get_json(view.base + "/api/status").get(node)

        assert wait_for(lambda: (status() or {}).get("frames") == [3], 60)
        record = status()
        assert record["fps"] == [7.5] and record["name"] == "view test" and record["type"] == "camera"
        # The same record as the operator tool's status command reads from Redis.
        assert wait_for(lambda: reports.status_records(rdb).get(node) == status(), 30)

        def mine():
            return [e for e in get_json(view.base + "/api/errors") if e["node"] == node]

        # The reporter drops a report made before its broker connection is up: report again
        # until one arrives.
        assert wait_for(lambda: mine() or reporter.error(f"lens cap on {node}"), 60, 0.5), "".join(view.lines)
        entry = mine()[0]
        assert entry["topic"] == f"{PREFIX.MQTT.CLOUD}_{node}"
        assert entry["record"]["message"] == f"lens cap on {node}"
        assert entry["record"]["msg_type"] == "error"
    finally:
        reporter.stop()
        reporter.join(10)
    rdb.delete(f"{PREFIX.REDIS.STATUS}_{node}")


def test_error_list_is_bounded_newest_last(view, broker):
    node = f"noisy-{uid()}"
    count = MAX_ERRORS + 20
    client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)
    client.connect("127.0.0.1", broker.port)
    client.loop_start()
    try:
        for i in range(count):
            client.publish(f"{PREFIX.MQTT.CLOUD}_{node}", json.dumps({"message": i}), qos=1).wait_for_publish(30)
    finally:
        client.disconnect()
        client.loop_stop()

    def received():
        return get_json(view.base + "/api/errors")

    def mine():
        return [e["record"]["message"] for e in received() if e["node"] == node]

    assert wait_for(lambda: count - 1 in mine(), 60)
    assert len(received()) == MAX_ERRORS
    # Newest last (other reports on the shared broker may come between).
    assert mine() == sorted(mine()) and mine()[-1] == count - 1


# ---------------------------------------------------------------------------------------------
# access


@pytest.fixture(scope="module")
def guarded(broker, redis_server):
    server = ViewProcess(*on(broker, redis_server), "--token", "s3cret-Tok")
    yield server
    server.close()


# The page and its files hold no data and are served without the token (test_view_security).
@pytest.mark.parametrize("path", ["/api/status", "/api/errors", "/api/health", "/metrics",
                                  "/frame/x.jpg", "/stream/x", "/nothing"])
@pytest.mark.parametrize("query, headers, expected", [
    ("", {}, 401),
    ("?token=wrong", {}, 401),
    ("", {"Authorization": "Bearer s3cret-Tok-longer"}, 401),
    ("", {"X-Kestrix-Token": "s3cret-Tok"}, None),
    ("", {"Authorization": "Bearer s3cret-Tok"}, None),
    ("?token=s3cret-Tok", {}, None),
])
def test_token_is_required(guarded, path, query, headers, expected):
    status = stream_status(guarded.base, path + query) if path == "/stream/x" and not headers \
        else get(guarded.base + path + query, headers)[0]
    if expected is None:
        assert status != 401
    else:
        assert status == 401


def test_given_token_is_not_printed(guarded):
    assert "s3cret-Tok" not in "".join(guarded.lines)
    assert "?token=" not in guarded.url


@pytest.mark.parametrize("host, token, env, needs", [
    ("127.0.0.1", None, None, None),
    ("::1", None, None, None),
    ("localhost", None, None, None),
    ("0.0.0.0", None, None, "generated"),
    ("192.168.1.10", "mine", None, "mine"),
    ("0.0.0.0", None, "from-env", "from-env"),
    ("127.0.0.1", None, "from-env", "from-env"),
])
def test_token_needed_beyond_loopback(monkeypatch, host, token, env, needs):
    if env is None:
        monkeypatch.delenv("KESTRIX_VIEW_TOKEN", raising=False)
    else:
        monkeypatch.setenv("KESTRIX_VIEW_TOKEN", env)
    got = resolve_token(ViewConfig(host=host, token=token))
    if needs == "generated":
        assert got and len(got) >= 20 and got != resolve_token(ViewConfig(host=host))
    else:
        assert got == needs


# ---------------------------------------------------------------------------------------------
# outages


@pytest.mark.slow
def test_page_survives_server_outages(private_redis, private_broker):
    rds, brk = private_redis(), private_broker()
    key = f"{LOCAL}_outage_6379"
    server = ViewProcess("--redis-host", "127.0.0.1", "--redis-port", str(rds.port),
                         "--mqtt-host", "127.0.0.1", "--mqtt-port", str(brk.port), "--frames", key)
    try:
        def health():
            return get_json(server.base + "/api/health")

        def write():
            VaultClient(thread=False, host="127.0.0.1", port=rds.port).write_frame(solid((0, 0, 200)), key)

        write()
        assert wait_for(lambda: health()["redis"] and health()["mqtt"], 60)
        assert get(f"{server.base}/frame/{key}.jpg")[0] == 200
        rds.stop()
        brk.stop()
        assert wait_for(lambda: not health()["redis"] and not health()["mqtt"], 60)
        assert get(server.base + "/")[0] == 200
        assert get(f"{server.base}/frame/{key}.jpg")[0] == 503
        rds.start()
        brk.start()
        assert wait_for(lambda: health()["redis"] and health()["mqtt"], 60)
        write()
        assert get(f"{server.base}/frame/{key}.jpg")[0] == 200
    finally:
        assert server.close() == 0, "".join(server.lines)
