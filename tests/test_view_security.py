"""The live view on a real network: bounded memory and answers, strict JSON, Host checks, safe
Motion-JPEG framing, stream slots, token handling, HTTPS; against its own Redis and broker."""

from __future__ import annotations

import base64
import json
import re
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.request
import uuid

import numpy as np
import pytest
import redis

pytest.importorskip("aiohttp")

from kestrix_sdk.constants import PREFIX  # noqa: E402
from kestrix_sdk.redis.vault import VaultClient  # noqa: E402
from kestrix_sdk.view import limits  # noqa: E402
from demo_fixtures import child_env  # noqa: E402
from servers import wait_for  # noqa: E402
from view_fixtures import MjpegReader, ViewProcess, get, publish  # noqa: E402

LOCAL = PREFIX.REDIS.LOCAL
TOKEN = "tok-" + "Zq9" * 6


def uid() -> str:
    return uuid.uuid4().hex[:8]


@pytest.fixture(scope="module")
def servers(own_servers):
    return own_servers


def start_view(servers, *args: str) -> ViewProcess:
    """A view on the test servers, once it answers and the broker has granted its subscription
    (reports published before that would never reach it)."""
    rds, brk = servers
    view = ViewProcess("--redis-host", "127.0.0.1", "--redis-port", str(rds.port),
                       "--mqtt-host", "127.0.0.1", "--mqtt-port", str(brk.port), *args)
    token = args[args.index("--token") + 1] if "--token" in args else None
    if view.base.startswith("http://") and not wait_for(lambda: health(view, token)["mqtt"], 60):
        view.close()
        pytest.fail("the view did not subscribe on the broker:\n" + "".join(view.lines))
    return view


@pytest.fixture(scope="module")
def small(servers):
    """A view with small bounds, to reach them with a few reports."""
    view = start_view(servers, "--max-nodes", "20", "--max-record-bytes", "2048",
                      "--max-answer-bytes", "30000")
    yield view
    assert view.close() == 0, "".join(view.lines)


@pytest.fixture(scope="module")
def open_view(servers):
    view = start_view(servers)
    yield view
    assert view.close() == 0, "".join(view.lines)


@pytest.fixture(scope="module")
def guarded(servers):
    view = start_view(servers, "--token", TOKEN)
    yield view
    assert view.close() == 0, "".join(view.lines)


@pytest.fixture
def rdb(servers):
    client = redis.Redis(host="127.0.0.1", port=servers[0].port)
    yield client
    client.close()


def strict_json(view: ViewProcess, path: str, token: str | None = None):
    status, headers, body = get(view.base + path, {"X-Kestrix-Token": token} if token else None)
    assert status == 200, body
    return limits.loads(body), headers, body


def health(view: ViewProcess, token: str | None = None) -> dict:
    return strict_json(view, "/api/health", token)[0]


def raw_request(port: int, path: str, host: bytes | None = b"127.0.0.1", extra: bytes = b"",
                source: str | None = None) -> tuple[int, bytes]:
    """(status, whole answer) of a GET written byte by byte, on a connection from `source`."""
    with socket.create_connection(("127.0.0.1", port), timeout=30,
                                  source_address=(source, 0) if source else None) as s:
        head = b"GET " + path.encode() + b" HTTP/1.1\r\n"
        if host is not None:
            head += b"Host: " + host + b"\r\n"
        s.sendall(head + extra + b"Connection: close\r\n\r\n")
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
    return int(answer.split(b" ", 2)[1]), answer


def port_of(view: ViewProcess) -> int:
    return int(view.base.rsplit(":", 1)[1])


def jpeg_holding(text: bytes) -> bytes:
    """A JPEG file (start and end markers) whose bytes contain `text`."""
    return b"\xff\xd8\xff\xe0" + b"\x00" * 16 + text + b"\x00" * 16 + b"\xff\xd9"


# ---------------------------------------------------------------------------------------------
# memory and answer bounds


def test_node_table_keeps_the_newest_nodes_and_counts_the_dropped(small, servers):
    n = uid()
    # The view takes reports once its subscription is in place: one that arrived says it is.
    probe = f"{PREFIX.MQTT.DEBUG}_{n}-probe"
    assert wait_for(lambda: publish(servers[1].port, [(probe, json.dumps({"id": f"{n}-probe", "ts": time.time(), "msg_type": "info"}))]) or
                    f"{n}-probe" in strict_json(small, "/api/status")[0], 60)
    publish(servers[1].port, [(f"{PREFIX.MQTT.DEBUG}_{n}-{i}",
                       json.dumps({"id": f"{n}-{i}", "ts": time.time(), "msg_type": "info"}))
                      for i in range(30)])
    assert wait_for(lambda: f"{n}-29" in strict_json(small, "/api/status")[0], 60)
    mine = sorted((k for k in strict_json(small, "/api/status")[0] if k.startswith(n)),
                  key=lambda k: int(k.rsplit("-", 1)[1]))
    assert mine == [f"{n}-{i}" for i in range(10, 30)]
    assert health(small)["nodes_dropped"] >= 10


@pytest.mark.parametrize("kind", ["status", "error"])
def test_a_record_above_the_bound_is_kept_as_a_marker_with_its_size(small, servers, kind):
    node = f"big-{kind}-{uid()}"
    record = json.dumps({"id": node, "ts": 5, "msg_type": "info", "blob": "x" * 5000})
    prefix = PREFIX.MQTT.DEBUG if kind == "status" else PREFIX.MQTT.CLOUD
    refused = health(small)["refused"].get("too_large", 0)
    publish(servers[1].port, [(f"{prefix}_{node}", record)])
    if kind == "status":
        assert wait_for(lambda: node in strict_json(small, "/api/status")[0], 60)
        kept = strict_json(small, "/api/status")[0][node]
    else:
        assert wait_for(lambda: any(e["node"] == node for e in strict_json(small, "/api/errors")[0]), 60)
        kept = next(e for e in strict_json(small, "/api/errors")[0] if e["node"] == node)["record"]
    assert kept["oversized"] is True and kept["bytes"] == len(record)
    assert health(small)["refused"]["too_large"] == refused + 1


def test_answers_stay_within_their_bound(small, servers):
    node = f"many-{uid()}"
    # 40 error reports of 1.5 kB: 60 kB in all, the answer is bound to 30,000 bytes.
    publish(servers[1].port, [(f"{PREFIX.MQTT.CLOUD}_{node}", json.dumps({"message": f"{i} " + "e" * 1500}))
                      for i in range(40)])
    assert wait_for(lambda: any(e["node"] == node and e["record"]["message"].startswith("39 ")
                                for e in strict_json(small, "/api/errors")[0]), 60)
    errors, headers, body = strict_json(small, "/api/errors")
    assert len(body) <= 30000 and int(headers[limits.TRUNCATED_HEADER]) > 0
    # The newest are kept, newest last.
    assert errors[-1]["record"]["message"].startswith("39 ")


def test_status_records_in_redis_are_bounded_too(small, rdb):
    n = uid()
    for i in range(25):
        rdb.set(f"{PREFIX.REDIS.STATUS}_{n}-{i}",
                json.dumps({"id": f"{n}-{i}", "ts": time.time() + 60, "msg_type": "info"}))
    rdb.set(f"{PREFIX.REDIS.STATUS}_{n}-big",
            json.dumps({"id": f"{n}-big", "ts": 1, "msg_type": "info", "pad": "p" * 4000}))
    try:
        assert wait_for(lambda: sum(k.startswith(n) for k in strict_json(small, "/api/status")[0]) >= 15, 60)
        records, _, body = strict_json(small, "/api/status")
        assert len(records) <= 20 and len(body) <= 30000
        if f"{n}-big" in records:
            assert records[f"{n}-big"]["oversized"] is True
    finally:
        rdb.delete(*[f"{PREFIX.REDIS.STATUS}_{n}-{i}" for i in range(25)], f"{PREFIX.REDIS.STATUS}_{n}-big")


# ---------------------------------------------------------------------------------------------
# NaN and infinities


@pytest.mark.parametrize("constant", ["NaN", "Infinity", "-Infinity"])
def test_records_with_non_finite_numbers_are_refused(open_view, servers, rdb, constant):
    node, sane = f"nan-{uid()}", f"sane-{uid()}"
    before = health(open_view)["refused"].get("non_finite", 0)
    bad = '{"id": "%s", "ts": 5, "msg_type": "info", "fps": [%s]}' % (node, constant)
    rdb.set(f"{PREFIX.REDIS.STATUS}_{node}-r", bad.replace(node, node + "-r"))
    publish(servers[1].port, [(f"{PREFIX.MQTT.DEBUG}_{node}", bad),
                      (f"{PREFIX.MQTT.CLOUD}_{node}", '{"message": %s}' % constant),
                      (f"{PREFIX.MQTT.DEBUG}_{sane}", json.dumps({"id": sane, "ts": 5, "msg_type": "info"}))])
    try:
        # The reports after the bad ones arrived: the bad ones were refused, not kept.
        assert wait_for(lambda: sane in strict_json(open_view, "/api/status")[0], 60)
        assert wait_for(lambda: health(open_view)["refused"].get("non_finite", 0) >= before + 2, 30)
        status, _, _ = strict_json(open_view, "/api/status")
        assert node not in status and node + "-r" not in status
        assert all(e["node"] != node for e in strict_json(open_view, "/api/errors")[0])
    finally:
        rdb.delete(f"{PREFIX.REDIS.STATUS}_{node}-r")


@pytest.mark.parametrize("option, value", [
    ("--fps", "inf"), ("--fps", "nan"), ("--fps", "0"), ("--fps", "1e9"), ("--fps", "-3"),
    ("--stale-after", "inf"), ("--stale-after", "nan"), ("--stale-after", "1e300"),
    ("--write-timeout", "inf"), ("--max-nodes", "0"), ("--max-answer-bytes", "-1"),
])
def test_options_take_finite_bounded_values_only(option, value):
    res = subprocess.run([sys.executable, "-m", "kestrix_sdk", "view", option, value],
                         capture_output=True, text=True, timeout=120, env=child_env())
    assert res.returncode == 2, res.stderr
    assert option in res.stderr


# ---------------------------------------------------------------------------------------------
# Host header (DNS rebinding) and tokens


@pytest.mark.parametrize("host, allowed", [
    ("127.0.0.1:{port}", True), ("localhost:{port}", True), ("LOCALHOST:{port}", True),
    ("[::1]:{port}", True), ("evil.example:{port}", False), ("evil.example", False),
    ("127.0.0.1:1", False), ("localhost", False), (None, False), ("127.0.0.1.evil.example:{port}", False),
])
def test_without_token_only_local_host_names_are_answered(open_view, host, allowed):
    port = port_of(open_view)
    status, answer = raw_request(port, "/api/status", None if host is None else host.format(port=port).encode())
    assert (status == 200) == allowed, answer[:300]
    if not allowed:
        # A request without Host is refused by the HTTP layer itself (400).
        assert status in ((400, 403) if host is None else (403,)) and len(answer) < 2000


def test_with_a_token_any_host_name_is_answered(guarded):
    status, _ = raw_request(port_of(guarded), "/api/health", b"device.lan:8321",
                            b"X-Kestrix-Token: " + TOKEN.encode() + b"\r\n")
    assert status == 200


@pytest.mark.parametrize("path, needs_token", [
    ("/", False), ("/static/view.js", False), ("/static/view.css", False),
    ("/api/status", True), ("/api/errors", True), ("/api/frames", True), ("/api/health", True),
    ("/metrics", True), ("/frame/x.jpg", True), ("/nothing", True),
])
def test_the_page_needs_no_token_its_data_does(guarded, path, needs_token):
    status, _, _ = get(guarded.base + path)
    assert (status == 401) == needs_token
    assert get(guarded.base + path, {"X-Kestrix-Token": TOKEN})[0] != 401


@pytest.mark.parametrize("header", [b"X-Kestrix-Token: \xff\xfe\xfd", b"Authorization: Bearer \xc3\x28tok",
                                    b"X-Kestrix-Token: " + TOKEN.encode() + b"\xff"])
def test_a_token_that_is_not_utf8_is_refused_not_an_error(guarded, header):
    status, answer = raw_request(port_of(guarded), "/api/health", extra=header + b"\r\n")
    assert status == 401, answer[:300]
    assert b"Traceback" not in answer
    assert "Traceback" not in "".join(guarded.lines)


def test_the_config_repr_hides_every_secret():
    from kestrix_sdk.view.server import ViewConfig

    text = repr(ViewConfig(token="tok-SECRET", mqtt_password="pw-SECRET",
                           redis_url="redis://u:url-SECRET@h:1/0", mqtt_url="mqtt://u:m-SECRET@h"))
    assert "SECRET" not in text and "token='***'" in text


# ---------------------------------------------------------------------------------------------
# Motion-JPEG framing, headers


def test_a_frame_cannot_inject_parts_into_a_stream(open_view, rdb):
    key = f"{LOCAL}_inject-{uid()}_6379"
    evil = jpeg_holding(b"\r\n--kestrixframe\r\nContent-Type: text/html\r\n\r\n<script>alert(1)</script>")
    rdb.set(key, base64.b64encode(evil))
    readers = [MjpegReader(open_view.base, f"/stream/{key}") for _ in range(2)]
    try:
        assert all(r.status == 200 for r in readers)
        # A boundary of its own per response, not found in the frame.
        assert readers[0].boundary != readers[1].boundary
        assert all(r.boundary not in evil for r in readers)
        body = readers[0].next_part()
        assert body == evil and int(readers[0].part_headers["Content-Length"]) == len(evil)
        assert readers[0].response.getheader("X-Content-Type-Options") == "nosniff"
    finally:
        for r in readers:
            r.close()
        rdb.delete(key)


@pytest.mark.parametrize("path, token", [("/", None), ("/api/status", TOKEN), ("/api/status", None),
                                          ("/metrics", TOKEN), ("/nothing", TOKEN),
                                          ("/static/view.js", None), ("/frame/x.jpg", TOKEN)])
def test_every_answer_forbids_sniffing(guarded, path, token):
    _, headers, _ = get(guarded.base + path, {"X-Kestrix-Token": token} if token else None)
    assert headers.get("X-Content-Type-Options") == "nosniff"


# ---------------------------------------------------------------------------------------------
# stream slots


def test_streams_are_bounded_per_client_address(servers, rdb):
    key = f"{LOCAL}_slots-{uid()}_6379"
    VaultClient(thread=False, host="127.0.0.1", port=servers[0].port).write_frame(
        np.zeros((32, 32, 3), np.uint8), key)
    view = start_view(servers, "--streams-per-client", "2", "--frames", key)
    held = []
    try:
        held = [MjpegReader(view.base, f"/stream/{key}") for _ in range(2)]
        assert [r.status for r in held] == [200, 200]
        status, answer = raw_request(port_of(view), f"/stream/{key}", f"127.0.0.1:{port_of(view)}".encode())
        assert status == 429, answer[:200]
        # Another address still gets a stream (the whole 127/8 is loopback).
        with socket.create_connection(("127.0.0.1", port_of(view)), source_address=("127.0.0.2", 0)) as s:
            s.sendall(f"GET /stream/{key} HTTP/1.1\r\nHost: 127.0.0.1:{port_of(view)}\r\n\r\n".encode())
            assert s.recv(64).split(b" ")[1] == b"200"
        # A closed stream gives its slot back.
        held.pop().close()
        assert wait_for(lambda: health(view)["streams"] == 1, 30)
        held.append(MjpegReader(view.base, f"/stream/{key}"))
        assert held[-1].status == 200
    finally:
        for r in held:
            r.close()
        assert view.close() == 0, "".join(view.lines)
        rdb.delete(key)


@pytest.mark.slow
def test_a_stream_that_stops_reading_is_dropped(servers, rdb):
    key = f"{LOCAL}_stall-{uid()}_6379"
    vault = VaultClient(thread=False, host="127.0.0.1", port=servers[0].port)
    rng = np.random.default_rng(3)
    stop = threading.Event()

    def write() -> None:
        # Noise frames of about 300 kB, changing all the time: the stream always has more to send.
        while not stop.is_set():
            vault.write_frame(rng.integers(0, 256, (360, 480, 3), dtype=np.uint8), key)
            stop.wait(0.05)

    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    view = start_view(servers, "--frames", key, "--write-timeout", "1")
    stalled = socket.socket()
    try:
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stalled.connect(("127.0.0.1", port_of(view)))
        stalled.sendall(f"GET /stream/{key} HTTP/1.1\r\nHost: 127.0.0.1:{port_of(view)}\r\n\r\n".encode())
        assert wait_for(lambda: health(view)["streams"] == 1, 30)
        # The client never reads: its stream is dropped, its slot given back.
        assert wait_for(lambda: health(view)["streams"] == 0, 60), "".join(view.lines)
        reader = MjpegReader(view.base, f"/stream/{key}")
        assert reader.status == 200 and reader.next_part().startswith(b"\xff\xd8")
        reader.close()
    finally:
        stalled.close()
        stop.set()
        writer.join(10)
        assert view.close() == 0, "".join(view.lines)
        rdb.delete(key)


# ---------------------------------------------------------------------------------------------
# HTTPS


def test_https_with_a_certificate_and_the_warning_without(servers, tls_certs):
    view = start_view(servers, "--cert", str(tls_certs.server_cert), "--key", str(tls_certs.server_key),
                      "--token", TOKEN)
    try:
        assert view.url.startswith("https://127.0.0.1:")
        context = ssl.create_default_context(cafile=str(tls_certs.ca))
        request = urllib.request.Request(view.base + "/api/health", headers={"X-Kestrix-Token": TOKEN})
        with urllib.request.urlopen(request, context=context, timeout=30) as response:
            assert limits.loads(response.read())["redis"] in (True, False)
        # Plain HTTP gets no answer from the TLS port.
        with pytest.raises(OSError):
            urllib.request.urlopen("http" + view.base[5:] + "/", timeout=30).read()
    finally:
        assert view.close() == 0, "".join(view.lines)
    assert not any("without TLS" in line for line in view.lines)
    plain = start_view(servers, "--host", "0.0.0.0", "--token", TOKEN)
    try:
        # Logged once (WARNING) and printed once with the address.
        assert wait_for(lambda: sum("without TLS" in line for line in plain.lines) == 2, 30), plain.lines
        assert sum(line.startswith("view:") and "without TLS" in line for line in plain.lines) == 1
    finally:
        assert plain.close() == 0


@pytest.mark.parametrize("args, says", [
    (["--cert", "{cert}"], "--key"), (["--key", "{key}"], "--cert"),
    (["--cert", "{missing}", "--key", "{key}"], "--cert"),
    (["--cert", "{key}", "--key", "{cert}"], "certificate"),
])
def test_unusable_tls_files_are_refused(tls_certs, tmp_path, args, says):
    files = {"cert": tls_certs.server_cert, "key": tls_certs.server_key, "missing": tmp_path / "none.pem"}
    res = subprocess.run([sys.executable, "-m", "kestrix_sdk", "view", "--port", "0",
                          *[a.format(**files) for a in args]],
                         capture_output=True, text=True, timeout=120, env=child_env())
    assert res.returncode == 2, res.stdout + res.stderr
    assert says in res.stderr and not re.search(r"Traceback", res.stderr)
