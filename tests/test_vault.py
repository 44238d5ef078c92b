"""Redis store: key builders, keyed data, the frame codec and the frame writer, against a real
redis-server started by the fixtures."""

from __future__ import annotations

import base64
import binascii
import os
import random
import signal
import threading
import time
import uuid

import cv2
import numpy as np
import pytest
import redis

from kestrix_sdk import constants
from kestrix_sdk.logging import get_logger
from kestrix_sdk.redis import vault
from kestrix_sdk.redis.vault import VaultClient, gen_redis_key_local
import frame_stamps
from servers import wait_for

LOGGER = "kestrix_sdk.REDIS"
TYPE_ERROR = "Argument '{}' has incorrect type (expected {}, got {})"
SET_FAILED = "Failed to write frame to redis - "
NOT_CONVERTED = "Failed to convert stream to write to redis"
GET_FAILED = "Failed to get redis frame from "
NOT_DECODED = "Failed to convert base64 to image - "
WRITER_FAILED = "Failed to write frame to redis in the background - "
# An operation against a stopped server must fail at once, not after redis-py's retries with
# back-off (4 to 10 s with redis-py 8's defaults). Generous, so that a loaded machine does not
# trip it.
FAIL_FAST_SECONDS = 3.0


def image(height: int, width: int, seed: int = 0) -> np.ndarray:
    """A smooth colour image (JPEG keeps it close) with a little noise."""
    y, x = np.mgrid[0:height, 0:width]
    img = np.stack([x * 255 // max(width - 1, 1), y * 255 // max(height - 1, 1),
                    (x + y) * 255 // max(width + height - 2, 1)], axis=-1).astype(np.uint8)
    noise = np.random.default_rng(seed).integers(0, 8, img.shape, dtype=np.uint8)
    return cv2.add(img, noise)


def plain_b64(img: np.ndarray) -> bytes:
    ok, buf = cv2.imencode(".jpg", img)
    assert ok
    return base64.b64encode(buf)


def lines(caplog) -> list[tuple[str, str]]:
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]


@pytest.fixture
def key() -> str:
    return "test_vault_" + uuid.uuid4().hex


@pytest.fixture
def raw(redis_server):
    """A plain redis-py client on the shared server, for looking at what the kit stored."""
    client = redis.Redis(host="127.0.0.1", port=redis_server.port)
    yield client
    client.close()


@pytest.fixture
def direct(redis_server):
    return VaultClient(False, "127.0.0.1", redis_server.port)


@pytest.fixture
def background(redis_server, no_thread_leak):
    return VaultClient(thread=True, host="127.0.0.1", port=redis_server.port)


def wait_for_writers(timeout: float = 10.0) -> None:
    assert wait_for(lambda: not any(isinstance(t, vault._FrameWriter) for t in threading.enumerate()),
                    timeout)


# --- module, construction, key builders ---------------------------------------------------


def test_module_logger_is_the_redis_logger():
    assert vault.logger is get_logger("REDIS")


@pytest.mark.parametrize("thread", [True, False, 0, "yes", None])
def test_constructor_stores_thread_unchanged_and_needs_no_server(thread):
    client = VaultClient(thread, "127.0.0.1", 1)  # nothing listens on port 1
    assert vars(client).keys() == {"_use_thread", "_redis_client"}
    assert client._use_thread is thread
    assert isinstance(client._redis_client, redis.StrictRedis)


def test_constructor_defaults_reach_the_default_server():
    client = VaultClient()
    assert client._use_thread is True
    kwargs = client._redis_client.connection_pool.connection_kwargs
    assert (kwargs["host"], kwargs["port"]) == ("localhost", 6379)


@pytest.mark.parametrize("node_id, port, tail", [
    ("cam1", 6379, "cam1_6379"),
    (None, 6379, "None_6379"),
    ("", 7, "_7"),
    ("cam1", "6380", "cam1_6380"),
])
def test_key_builders(node_id, port, tail):
    assert gen_redis_key_local(node_id, port) == constants.PREFIX.REDIS.LOCAL + "_" + tail
    status = constants.PREFIX.REDIS.STATUS + "_" + tail
    assert VaultClient.gen_redis_key_status(node_id, port) == status
    assert VaultClient(port=1).gen_redis_key_status(node_id=node_id, port=port) == status


def test_key_builders_read_the_prefixes_when_called(monkeypatch):
    monkeypatch.setattr(constants.PREFIX.REDIS, "LOCAL", "here")
    monkeypatch.setattr(constants.PREFIX.REDIS, "STATUS", "there")
    assert gen_redis_key_local("n", 1) == "here_n_1"
    assert VaultClient.gen_redis_key_status("n", 1) == "there_n_1"


@pytest.mark.parametrize("name, first_line", [
    ("put_data", "Write data to the target redis location"),
    ("read_data", "Read data from the target redis location"),
    ("delete_data", "Delete data from the target redis location"),
    ("img_to_base64str", "Convert opencv frame to base64 encoded string"),
    ("base64_to_img", "Convert base64 string to opencv frame"),
    ("write_frame", "Write video frame to the target redis key"),
    ("_write_to_redis", "Internal function that is executed in background thread"),
    ("get_frame", "Read video frame from a given redis key"),
])
def test_documentation_texts(name, first_line):
    assert getattr(VaultClient, name).__doc__.splitlines()[0] == first_line
    assert VaultClient.__doc__.splitlines()[0] == "Represents a redis client specified for the containers."


# --- argument types -----------------------------------------------------------------------

FRAME = np.zeros((8, 8, 3), np.uint8)


@pytest.mark.parametrize("call, name, expected, given", [
    (lambda c, k: VaultClient(host=None), "host", "str", "NoneType"),
    (lambda c, k: VaultClient(True, b"localhost"), "host", "str", "bytes"),
    (lambda c, k: VaultClient(port="6379"), "port", "int", "str"),
    (lambda c, k: VaultClient(port=True), "port", "int", "bool"),
    (lambda c, k: VaultClient(host=1, port="x"), "host", "str", "int"),
    (lambda c, k: c.put_data(k.encode(), "v"), "redis_key", "str", "bytes"),
    (lambda c, k: c.put_data(k, b"v"), "data", "str", "bytes"),
    (lambda c, k: c.put_data(k, None), "data", "str", "NoneType"),
    (lambda c, k: c.read_data(None), "redis_key", "str", "NoneType"),
    (lambda c, k: c.delete_data(1), "redis_key", "str", "int"),
    (lambda c, k: VaultClient.img_to_base64str(FRAME, 2), "zoom_ratio", "float", "int"),
    (lambda c, k: c.img_to_base64str(FRAME, zoom_ratio="1"), "zoom_ratio", "float", "str"),
    (lambda c, k: VaultClient.base64_to_img("QUJD"), "b64_bytes", "bytes", "str"),
    (lambda c, k: c.base64_to_img(bytearray(b"QUJD")), "b64_bytes", "bytes", "bytearray"),
    (lambda c, k: c.write_frame(FRAME, k.encode()), "redis_key", "str", "bytes"),
    (lambda c, k: c.write_frame(FRAME, k, 1), "zoom", "float", "int"),
    (lambda c, k: c.write_frame(None, k, zoom=True), "zoom", "float", "bool"),
    (lambda c, k: c._write_to_redis(FRAME, 5), "redis_key", "str", "int"),
    (lambda c, k: c._write_to_redis(FRAME, k, np.float64(1.0)), "zoom", "float", "numpy.float64"),
    (lambda c, k: c.get_frame(None), "redis_key", "str", "NoneType"),
])
@pytest.mark.parametrize("threaded", [False, True])
def test_type_errors_come_before_any_work(redis_server, raw, key, call, name, expected, given,
                                          threaded):
    raw.set(key, b"before")
    client = VaultClient(threaded, "127.0.0.1", redis_server.port)
    with pytest.raises(TypeError) as err:
        call(client, key)
    assert str(err.value) == TYPE_ERROR.format(name, expected, given)
    assert not any(isinstance(t, vault._FrameWriter) for t in threading.enumerate())
    assert raw.get(key) == b"before"


@pytest.mark.parametrize("call", [
    lambda c: c.put_data("k"),
    lambda c: c.read_data("k", "extra"),
    lambda c: c.get_frame(key="k"),
    lambda c: c.write_frame(FRAME, "k", zoom_ratio=1.0),
    lambda c: VaultClient(1, "h", 2, 3),
    lambda c: VaultClient(threads=True),
])
def test_wrong_arguments_are_type_errors(call):
    with pytest.raises(TypeError):
        call(VaultClient(False, "127.0.0.1", 1))


# --- keyed data -----------------------------------------------------------------------------


def test_put_read_delete_round_trip(direct, raw, key):
    assert direct.read_data(key) is None
    assert direct.put_data(key, "abc") is True
    assert direct.read_data(key) == b"abc"
    assert direct.put_data(key, "zoë ✓") is True
    assert direct.read_data(redis_key=key) == "zoë ✓".encode()
    assert raw.ttl(key) == -1  # no expiry
    assert direct.delete_data(key) is True
    assert direct.delete_data(key) is False
    assert direct.read_data(key) is None


def test_last_write_wins_whatever_wrote_it(direct, key):
    assert direct.write_frame(image(24, 32), key) is True
    assert direct.put_data(key, "text") is True
    assert direct.read_data(key) == b"text"
    assert direct.get_frame(key) is None  # "text" is not base64 of an image
    assert direct.write_frame(image(24, 32), key) is True
    assert direct.get_frame(key).shape == (24, 32, 3)


# --- a server that is down, then back -------------------------------------------------------


def timed(fn):
    start = time.monotonic()
    try:
        return fn()
    finally:
        assert time.monotonic() - start < FAIL_FAST_SECONDS


@pytest.mark.slow
def test_server_down_in_direct_mode_then_back(private_redis, kit_log, key):
    server = private_redis()
    client = VaultClient(False, "127.0.0.1", server.port)
    assert client.put_data(key, "v") is True  # a pooled connection that goes stale below
    server.stop()
    refused = f"Error 111 connecting to 127.0.0.1:{server.port}. Connection refused."

    for op in (lambda: client.put_data(key, "v"), lambda: client.read_data(key),
               lambda: client.delete_data(key), lambda: client.write_frame(None, key)):
        with pytest.raises(redis.ConnectionError):
            timed(op)
    assert lines(kit_log) == []

    assert timed(lambda: client.write_frame(image(48, 64), key)) is False
    assert lines(kit_log) == [("ERROR", SET_FAILED + refused), ("WARNING", NOT_CONVERTED)]
    kit_log.clear()
    assert timed(lambda: client.get_frame(key)) is None
    assert lines(kit_log) == [("WARNING", GET_FAILED + key + " - " + refused)]

    server.start()
    assert client.put_data(key, "again") is True
    assert client.read_data(key) == b"again"
    assert client.write_frame(image(48, 64), key) is True
    assert client.get_frame(key).shape == (48, 64, 3)
    assert client.delete_data(key) is True


@pytest.mark.slow
def test_server_down_in_background_mode_then_back(private_redis, kit_log, key, no_thread_leak):
    server = private_redis()
    client = VaultClient(True, "127.0.0.1", server.port)
    assert client.put_data(key, "v") is True
    server.stop()
    refused = f"Error 111 connecting to 127.0.0.1:{server.port}. Connection refused."

    assert timed(lambda: client.write_frame(image(48, 64), key)) is True
    wait_for_writers()
    assert lines(kit_log) == [("ERROR", SET_FAILED + refused), ("WARNING", NOT_CONVERTED)]
    kit_log.clear()

    # A DEL that fails ends its writer; the error is logged with its traceback.
    assert client.write_frame(None, key) is True
    wait_for_writers()
    [(level, message)] = lines(kit_log)
    assert level == "ERROR"
    assert message.startswith(WRITER_FAILED + refused + "\nTraceback (most recent call last):")
    assert message.rstrip().endswith(refused)
    kit_log.clear()

    assert timed(lambda: client.get_frame(key)) is None
    assert lines(kit_log) == [("WARNING", GET_FAILED + key + " - " + refused)]

    server.start()
    kit_log.clear()
    assert client.write_frame(image(48, 64), key) is True
    wait_for_writers()
    assert client.get_frame(key).shape == (48, 64, 3)
    assert client.write_frame(None, key) is True
    wait_for_writers()
    assert client.read_data(key) is None
    assert lines(kit_log) == []


# --- frames -----------------------------------------------------------------------------------


@pytest.mark.parametrize("height, width, zoom, shape", [
    (480, 640, 1.0, (480, 640, 3)),
    (480, 640, 0.5, (240, 320, 3)),
    (480, 640, None, (480, 640, 3)),  # an absent zoom means no scaling
    (1080, 1920, 0.25, (270, 480, 3)),
    (17, 33, 2.0, (34, 66, 3)),
    (1, 1, 1.0, (1, 1, 3)),
])
@pytest.mark.parametrize("threaded", [False, True])
def test_frames_round_trip(redis_server, raw, key, height, width, zoom, shape, threaded,
                           no_thread_leak):
    client = VaultClient(threaded, "127.0.0.1", redis_server.port)
    frame = image(height, width)
    assert client.write_frame(frame, key, zoom) is True
    wait_for_writers()
    got = client.get_frame(key)
    assert got.shape == shape and got.dtype == np.uint8

    # The stored value is exactly what the plain route stores: base64 of OpenCV's JPEG file.
    scaled = frame if zoom in (None, 1.0) else cv2.resize(frame, None, fx=zoom, fy=zoom)
    stored = raw.get(key)
    assert stored == plain_b64(scaled)
    assert base64.b64decode(stored, validate=True)[:2] == b"\xff\xd8"
    np.testing.assert_array_equal(got, cv2.imdecode(np.frombuffer(base64.b64decode(stored), np.uint8), -1))
    if zoom in (None, 1.0) and height > 8:
        assert np.abs(got.astype(int) - frame).mean() < 4


@pytest.mark.parametrize("zoom", [1.0, None, 0.5])
def test_img_to_base64str_resizes_only_for_a_real_factor(monkeypatch, zoom):
    calls = []
    real_resize = cv2.resize

    def resize(*args, **kwargs):
        calls.append(kwargs)
        return real_resize(*args, **kwargs)

    monkeypatch.setattr(cv2, "resize", resize)
    frame = image(40, 60)
    ok, text = VaultClient.img_to_base64str(frame, zoom)
    assert ok is True and type(text) is bytes
    assert calls == ([] if zoom in (1.0, None) else [{"fx": zoom, "fy": zoom}])
    if zoom in (1.0, None):
        assert text == plain_b64(frame)


@pytest.mark.parametrize("seed", range(8))
def test_encoder_matches_b64encode_on_any_buffer(monkeypatch, seed):
    rng = random.Random(seed)
    for _ in range(50):
        data = rng.randbytes(rng.choice([0, 1, 2, 3, 4, 5, rng.randrange(6, 5000)]))
        monkeypatch.setattr(cv2, "imencode", lambda ext, img, d=data: (True, np.frombuffer(d, np.uint8)))
        assert VaultClient.img_to_base64str(FRAME) == (True, base64.b64encode(data))


def test_greyscale_frames_keep_one_channel(direct, key):
    grey = image(30, 40)[:, :, 0]
    ok, buf = cv2.imencode(".jpg", grey)
    assert direct.put_data(key, base64.b64encode(buf).decode()) is True
    got = direct.get_frame(key)
    assert got.shape == (30, 40)
    np.testing.assert_array_equal(got, cv2.imdecode(buf, -1))
    assert direct.write_frame(grey, key) is True
    assert direct.get_frame(key).shape == (30, 40)


NOT_READABLE = "bytes that are not a readable image"
_JPEG = plain_b64(image(48, 64))


@pytest.mark.parametrize("stored, warning", [
    ("", None),                      # empty value: nothing to decode, nothing logged
    ("QUJD", "decodes to 3 " + NOT_READABLE),  # base64 of "ABC": the decoder finds no image
    ("/9j/4AAQ" * 10, NOT_READABLE),  # a truncated JPEG header
    (base64.b64encode(random.Random(5).randbytes(3000)).decode(), "decodes to 3000 "),
    (base64.b64encode(base64.b64decode(_JPEG)[:600]).decode(), "decodes to 600 "),  # half a JPEG
    (base64.b64encode(base64.b64decode(_JPEG)[:20]).decode(), NOT_READABLE),  # its header only
    ("abc", "Incorrect padding"),
    ("a", "Invalid base64-encoded string: number of data characters (1) cannot be 1 more "
          "than a multiple of 4"),
    ("@@@@ !!", "!buf.empty()"),     # nothing left after skipping: OpenCV refuses an empty array
])
def test_corrupted_stored_values(direct, kit_log, key, stored, warning):
    assert direct.put_data(key, stored) is True
    assert direct.get_frame(key) is None
    logged = lines(kit_log)
    if warning is None:
        assert logged == []
    else:
        [(level, message)] = logged
        assert level == "WARNING" and message.startswith(NOT_DECODED) and warning in message


def test_get_frame_of_a_missing_key_is_silent(direct, kit_log, key):
    assert direct.get_frame(key) is None
    assert lines(kit_log) == []


# The decoder follows base64.b64decode: characters outside the alphabet skipped, a wrong length
# or fill refused with binascii's own message. cv2.imdecode is replaced by a recorder so that
# the exact bytes the decoder produced can be compared.
def _texts(rng: random.Random) -> list[bytes]:
    alphabet = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    junk = b"= \n\r\t-_.:!*\x00\x80\xff"
    texts = []
    for _ in range(150):
        pool = alphabet + junk if rng.random() < 0.5 else alphabet + b"=" * 6 + b"\n"
        texts.append(bytes(rng.choice(pool) for _ in range(rng.randrange(0, 40))))
    for _ in range(150):
        good = bytearray(base64.b64encode(rng.randbytes(rng.randrange(0, 60))))
        for _ in range(rng.randrange(0, 4)):  # junk anywhere
            good.insert(rng.randrange(len(good) + 1), rng.choice(junk))
        cut = rng.random()
        if cut < 0.2 and good:   # lose fill or data at the end
            del good[-rng.randrange(1, min(len(good), 3) + 1):]
        elif cut < 0.3:          # data after a complete fill
            good += b"==" + base64.b64encode(b"tail")
        texts.append(bytes(good))
    return texts


@pytest.mark.parametrize("seed", range(6))
def test_decoder_matches_b64decode(monkeypatch, kit_log, seed):
    seen = []

    decoded = np.zeros((1, 1, 3), np.uint8)

    def imdecode(arr, flags):
        seen.append((arr.dtype, arr.ndim, flags, arr.tobytes()))
        return decoded

    monkeypatch.setattr(cv2, "imdecode", imdecode)
    for text in _texts(random.Random(seed)):
        seen.clear()
        kit_log.clear()
        got = VaultClient.base64_to_img(text)
        try:
            expected = base64.b64decode(text)
        except binascii.Error as err:
            assert seen == [] and got is None
            assert lines(kit_log) == [("WARNING", NOT_DECODED + str(err))], text
        else:
            assert seen == [(np.dtype(np.uint8), 1, -1, expected)], text
            assert got is decoded and lines(kit_log) == []


# --- the writer -------------------------------------------------------------------------------


def test_absent_frame_deletes_the_key_in_direct_mode(direct, raw, key):
    raw.set(key, b"x")
    assert direct.write_frame(None, key) is True
    assert raw.exists(key) == 0
    assert direct.write_frame(None, key) is False


def test_absent_frame_deletes_the_key_in_background_mode(background, raw, key):
    raw.set(key, b"x")
    assert background.write_frame(None, key) is True
    assert wait_for(lambda: raw.exists(key) == 0, 5)
    assert background.write_frame(None, key) is True
    wait_for_writers()


def test_encoder_failure_by_flag(direct, raw, kit_log, key, monkeypatch):
    raw.set(key, b"old")
    monkeypatch.setattr(cv2, "imencode", lambda ext, img: (False, np.empty(0, np.uint8)))
    assert direct.write_frame(FRAME, key) is False
    assert lines(kit_log) == [("WARNING", NOT_CONVERTED)]
    assert raw.get(key) == b"old"


@pytest.mark.parametrize("frame, zoom", [
    (FRAME, 0.0),                          # resize refuses the factor
    (np.zeros((4, 4, 2), np.uint8), 1.0),  # the encoder refuses two channels
])
def test_codec_errors_reach_the_direct_caller(direct, raw, kit_log, key, frame, zoom):
    raw.set(key, b"old")
    with pytest.raises(cv2.error):
        direct.write_frame(frame, key, zoom)
    assert raw.get(key) == b"old"
    assert lines(kit_log) == []


@pytest.mark.parametrize("frame, zoom", [
    (FRAME, 0.0),
    (np.zeros((4, 4, 2), np.uint8), 1.0),
    ("not an image", 1.0),
])
def test_an_error_ends_only_its_background_write(background, raw, kit_log, key, frame, zoom):
    raw.set(key, b"old")
    assert background.write_frame(frame, key, zoom) is True
    wait_for_writers()
    [(level, message)] = lines(kit_log)
    assert level == "ERROR" and message.startswith(WRITER_FAILED)
    assert "\ncv2.error: " in message  # the formatted exception follows the line
    assert raw.get(key) == b"old"
    # The client and the process go on.
    assert background.write_frame(image(16, 16), key) is True
    wait_for_writers()
    assert background.get_frame(key).shape == (16, 16, 3)


@pytest.mark.parametrize("error", [SystemExit(3), KeyboardInterrupt()])
def test_a_base_exception_in_a_background_write_is_logged_and_ends_only_its_thread(
        background, raw, kit_log, key, monkeypatch, error):
    def imencode(ext, img):
        raise error

    with monkeypatch.context() as patch:
        patch.setattr(cv2, "imencode", imencode)
        assert background.write_frame(image(16, 16), key) is True
        wait_for_writers()
    [(level, message)] = lines(kit_log)
    assert level == "ERROR" and message.startswith(WRITER_FAILED)
    assert f"\n{type(error).__name__}" in message
    assert background.write_frame(image(16, 16), key) is True
    wait_for_writers()
    assert background.get_frame(key).shape == (16, 16, 3)


def test_background_writer_is_an_ordinary_thread(background, key, monkeypatch):
    started = []

    class Recording(vault._FrameWriter):
        def __init__(self, *args, **kwargs):
            started.append((args, kwargs, self))
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(vault, "_FrameWriter", Recording)
    frame = image(20, 20)
    assert background.write_frame(frame, key, 0.5) is True
    wait_for_writers()
    [(args, kwargs, thread)] = started
    assert args == () and kwargs.keys() == {"target", "args"}
    assert kwargs["target"] == background._write_to_redis
    copy, k, zoom = kwargs["args"]
    assert copy is not frame and np.array_equal(copy, frame) and (k, zoom) == (key, 0.5)
    assert isinstance(thread, threading.Thread) and not thread.daemon


def test_background_write_takes_its_own_copy_of_the_frame(background, key):
    # Callers reuse camera buffers: overwrite the frame the moment write_frame returns.
    buffers = [np.full((240, 320, 3), 40, np.uint8) for _ in range(20)]
    keys = [f"{key}_{i}" for i in range(20)]
    for buf, k in zip(buffers, keys):
        assert background.write_frame(buf, k) is True
        buf[:] = 220
    wait_for_writers()
    for k in keys:
        got = background.get_frame(k)
        assert got is not None and abs(float(got.mean()) - 40) < 3, k


def test_hundreds_of_concurrent_background_writes_all_land(background, raw, kit_log, key):
    # The server holds every write for a moment, so that all of them are in flight at once and
    # each holds a connection: none may fail for want of one (redis-py 8's default pool refuses
    # past 100).
    frame = image(48, 64)
    keys = [f"{key}_{i}" for i in range(300)]
    raw.execute_command("CLIENT", "PAUSE", 300, "WRITE")
    for k in keys:
        assert background.write_frame(frame, k) is True
    wait_for_writers(60)
    assert lines(kit_log) == []
    assert raw.mget(keys) == [plain_b64(frame)] * len(keys)


# --- ordering and a stalled server ----------------------------------------------------------


@pytest.mark.parametrize("last", ["frame", "delete"])
def test_background_writes_to_one_key_land_in_order(background, raw, key, last):
    frame = image(32, 256)
    for i in range(60):
        background.write_frame(frame_stamps.stamp(frame, i), key)
        background.write_frame(None, key)
    if last == "frame":
        background.write_frame(frame_stamps.stamp(frame, 999), key)
    wait_for_writers()
    value = raw.get(key)
    assert (value is None) if last == "delete" else frame_stamps.read_value(value) == 999


def rss_bytes() -> int:
    with open("/proc/self/status") as status:
        kb = next(line.split()[1] for line in status if line.startswith("VmRSS:"))
    return int(kb) * 1024


# Slow, and its memory bound means nothing under ASan, whose allocator keeps freed memory back.
@pytest.mark.slow
def test_a_stalled_server_holds_few_writers_and_little_memory_and_no_key_goes_back(
        private_redis, kit_log, no_thread_leak):
    # Twelve camera keys at 640 x 480, written at about 30 frames a second each while the server
    # is stopped for longer than the client's read time-out, so that stalled writes fail and the
    # writers move on to newer frames that stall in turn.
    server = private_redis()
    client = VaultClient(True, "127.0.0.1", server.port)
    keys = [f"stall_{i}" for i in range(12)]
    frame = image(480, 640)
    watcher = redis.Redis(host="127.0.0.1", port=server.port, socket_timeout=60)
    newest = {k: -1 for k in keys}
    backwards = []
    stop_watching = threading.Event()

    def watch():
        while not stop_watching.is_set():
            for k, value in zip(keys, watcher.mget(keys)):
                if value:
                    index = frame_stamps.read_value(value)
                    if index < newest[k]:
                        backwards.append((k, newest[k], index))
                    newest[k] = max(newest[k], index)

    index = 0

    def write_round():
        nonlocal index
        index += 1
        for k in keys:
            assert client.write_frame(frame_stamps.stamp(frame, index), k) is True

    watching = threading.Thread(target=watch)
    watching.start()
    try:
        write_round()
        assert wait_for(lambda: min(newest.values()) == index, 20)
        wait_for_writers()  # the warm-up's writers are gone before the stall's are counted
        baseline = rss_bytes()
        os.kill(server.proc.pid, signal.SIGSTOP)
        peak_threads = peak_rss = 0
        try:
            # Until a stalled write has timed out and newer frames have been stalled behind it.
            while not any(m.startswith(SET_FAILED) for _, m in lines(kit_log)) or index < 100:
                write_round()
                peak_threads = max(peak_threads, sum(isinstance(t, vault._FrameWriter)
                                                     for t in threading.enumerate()))
                peak_rss = max(peak_rss, rss_bytes())
                time.sleep(1 / 30)  # the camera's frame rate
        finally:
            os.kill(server.proc.pid, signal.SIGCONT)
        assert peak_threads == 8
        assert peak_rss - baseline <= 50 * 2**20
        assert wait_for(lambda: min(newest.values()) == index, 20), (newest, index)
        wait_for_writers(30)
    finally:
        stop_watching.set()
        watching.join()
        watcher.close()
    assert backwards == []


# --- close(), with blocks and stats() ---------------------------------------------------------


def held_sockets() -> int:
    from servers import sockets

    return sockets()


@pytest.mark.parametrize("raised", [None, AttributeError, KeyboardInterrupt])
@pytest.mark.parametrize("frames", [1, 30])
def test_a_with_block_writes_what_was_queued_then_closes(redis_server, raw, key, raised, frames,
                                                         no_thread_leak):
    raw.ping()  # the test's own connection is open before the count
    before = held_sockets()

    def block():
        with VaultClient(True, "127.0.0.1", redis_server.port) as client:
            assert client.put_data(key + "_d", "v") is True
            for n in range(frames):
                client.write_frame(frame_stamps.stamp(image(64, 256), n), key)
            if raised is not None:
                raise raised("set-up failed")
        return client

    if raised is None:
        client = block()
        assert client.stats()["frame_writes"] + client.stats()["frames_dropped"] == frames
    else:
        with pytest.raises(raised, match="set-up failed"):
            block()
    # On the way out every writer was joined: the newest frame is stored, no writer is left
    # (no_thread_leak) and the pool's sockets are closed.
    assert not any(isinstance(t, vault._FrameWriter) for t in threading.enumerate())
    assert frame_stamps.read_value(raw.get(key)) == frames - 1
    assert held_sockets() <= before


@pytest.mark.parametrize("steps", [["close", "close"], ["close", "exit"], ["exit", "close", "exit"]])
def test_close_is_idempotent_and_the_client_stays_usable(redis_server, key, steps):
    client = VaultClient(True, "127.0.0.1", redis_server.port)
    assert client.put_data(key, "v") is True
    for step in steps:
        if step == "exit":
            assert client.__exit__(None, None, None) is False
        else:
            assert client.close() is None
    assert client.read_data(key) == b"v"  # connects afresh
    client.close()


STATS_KEYS = {"frame_writes", "frame_write_failures", "frames_dropped", "data_writes",
              "data_write_failures", "reads", "write_seconds_total", "last_write_seconds"}


@pytest.mark.parametrize("threaded", [False, True])
@pytest.mark.parametrize("frames, data, reads", [(0, 0, 0), (1, 2, 3), (5, 0, 1)])
def test_stats_count_what_the_client_did(redis_server, key, threaded, frames, data, reads):
    with VaultClient(threaded, "127.0.0.1", redis_server.port) as client:
        assert client.stats() == dict.fromkeys(STATS_KEYS, 0)
        for n in range(frames):
            client.write_frame(image(48, 64, n), f"{key}_{n}")  # one key each: none replaced
        for n in range(data):
            client.put_data(f"{key}_data", str(n))
        for n in range(reads):
            client.read_data(f"{key}_data") if n % 2 else client.get_frame(f"{key}_0")
    stats = client.stats()
    assert type(stats) is dict and set(stats) == STATS_KEYS
    assert {k: stats[k] for k in ("frame_writes", "frame_write_failures", "frames_dropped",
                                  "data_writes", "data_write_failures", "reads")} == dict(
        frame_writes=frames, frame_write_failures=0, frames_dropped=0, data_writes=data,
        data_write_failures=0, reads=reads)
    assert (stats["write_seconds_total"] > 0) == (frames > 0)
    assert 0 < stats["last_write_seconds"] <= stats["write_seconds_total"] or frames == 0


@pytest.mark.parametrize("threaded", [False, True])
def test_stats_count_failed_writes_with_redis_stopped(private_redis, key, threaded, kit_log):
    server = private_redis()
    with VaultClient(threaded, "127.0.0.1", server.port) as client:
        client.write_frame(image(48, 64), key)
        client.close()  # the background write is done
        server.stop()
        for n in range(3):
            client.write_frame(image(48, 64, n), key)
            client.close()
        with pytest.raises(redis.ConnectionError):
            client.put_data(key, "v")
    stats = client.stats()
    assert (stats["frame_writes"], stats["frame_write_failures"], stats["data_write_failures"]) == (1, 3, 1)


def test_frames_replaced_before_their_write_are_counted_as_dropped(redis_server, raw, key):
    # Whatever the timing, each frame submitted is written or dropped, and the newest is stored.
    with VaultClient(True, "127.0.0.1", redis_server.port) as client:
        for n in range(60):
            client.write_frame(frame_stamps.stamp(image(64, 256), n), key)
    stats = client.stats()
    assert stats["frame_writes"] + stats["frames_dropped"] == 60 and stats["frame_write_failures"] == 0
    assert frame_stamps.read_value(raw.get(key)) == 59


# --- a write delayed past its time-out ------------------------------------------------------


@pytest.fixture
def holding_proxy(redis_server, no_thread_leak):
    from servers import HoldingProxy

    proxy = HoldingProxy(redis_server.port)
    yield proxy
    proxy.close()


# A frame write whose command is held on its way to the server until the client has timed out
# and closed the connection, and a newer write for the key has landed over a new connection;
# then the held command reaches the server. The key must keep the newer value.
@pytest.mark.slow
@pytest.mark.parametrize("threaded", [True, False], ids=["background", "direct"])
@pytest.mark.parametrize("newer", ["frame", "delete"])
def test_a_write_held_past_its_time_out_never_replaces_a_newer_one(
        holding_proxy, raw, kit_log, key, threaded, newer):
    client = VaultClient(threaded, "127.0.0.1", holding_proxy.port)
    frame = image(48, 320)
    client.write_frame(frame_stamps.stamp(frame.copy(), 1), key)
    assert wait_for(lambda: raw.get(key) is not None)
    holding_proxy.hold()
    newest = None if newer == "delete" else frame_stamps.stamp(frame.copy(), 3)
    if threaded:
        client.write_frame(frame_stamps.stamp(frame.copy(), 2), key)
        assert wait_for(lambda: holding_proxy.held_bytes)
        client.write_frame(newest, key)   # waits behind the held write
    else:
        assert client.write_frame(frame_stamps.stamp(frame.copy(), 2), key) is False
        client.write_frame(newest, key)
    assert wait_for(lambda: holding_proxy.held_client_closed.is_set(), 20)
    expected = None if newer == "delete" else 3
    assert wait_for(lambda: (raw.get(key) is None) == (expected is None)
                    and (expected is None or frame_stamps.read_value(raw.get(key)) == expected), 20)
    wait_for_writers()
    holding_proxy.release()
    assert holding_proxy.held_answered.wait(10)
    value = raw.get(key)
    assert (value is None) if expected is None else frame_stamps.read_value(value) == expected
    logged = lines(kit_log)
    assert [level for level, _ in logged] == ["ERROR", "WARNING"], logged
    assert logged[0][1].startswith(SET_FAILED + "Timeout reading from") and logged[1][1] == NOT_CONVERTED


STAMPS = "kestrix_frame_write_stamps"
NO_STAMPS = "Frame writes go without ordering stamps - the server refused the script: "


@pytest.mark.parametrize("threaded", [True, False], ids=["background", "direct"])
def test_frame_writes_keep_plain_values_and_one_stamp_per_key(redis_server, raw, key, threaded,
                                                              no_thread_leak):
    client = VaultClient(threaded, "127.0.0.1", redis_server.port)
    frame = image(48, 320)
    for i in range(5):
        client.write_frame(frame_stamps.stamp(frame.copy(), i), key)
    wait_for_writers()
    assert raw.get(key) == plain_b64(frame_stamps.stamp(frame.copy(), 4))
    token, sequence = raw.hget(STAMPS, key).decode().split(":")
    assert len(token) == 16 and int(sequence) > 0
    client.write_frame(None, key)
    wait_for_writers()
    assert raw.get(key) is None
    assert int(raw.hget(STAMPS, key).decode().split(":")[1]) > int(sequence)


def test_a_server_that_refuses_scripts_gets_plain_writes_after_one_warning(redis_server, raw, kit_log,
                                                                          key):
    user = "noscript_" + uuid.uuid4().hex[:8]
    raw.acl_setuser(user, enabled=True, passwords=["+pw"], keys=["*"], commands=["+@all", "-@scripting"])
    try:
        client = VaultClient(False, url=f"redis://{user}:pw@127.0.0.1:{redis_server.port}")
        frame = image(48, 320)
        for i in range(3):
            assert client.write_frame(frame_stamps.stamp(frame.copy(), i), key) is True
        assert raw.get(key) == plain_b64(frame_stamps.stamp(frame.copy(), 2))
        assert client.write_frame(None, key) is True
        assert raw.get(key) is None and raw.hget(STAMPS, key) is None
        logged = lines(kit_log)
        assert [level for level, _ in logged] == ["WARNING"] and logged[0][1].startswith(NO_STAMPS), logged
        # Another client of the same process still writes with stamps.
        VaultClient(False, "127.0.0.1", redis_server.port).write_frame(frame, key)
        assert raw.hget(STAMPS, key) is not None
    finally:
        raw.acl_deluser(user)
