"""Status cache and reporter: kestrix_sdk.status.pulse.

The reporter's own clients always use the default addresses, which KESTRIX_MQTT_URL and
KESTRIX_REDIS_URL lead to the test session's own broker and Redis server (fixture `servers`);
the tests watch the topics with a plain paho-mqtt subscriber. Tests about which calls the
reporter makes replace its client classes with recording stand-ins.
"""

from __future__ import annotations

import json
import threading
import time
import uuid

import paho.mqtt.client as paho
import pytest
import redis
import redis.exceptions

import kestrix_sdk.constants as constants
import kestrix_sdk.mqtt.courier as courier
import kestrix_sdk.redis.vault as vault
import kestrix_sdk.status.pulse as pulse
from servers import connecting_to, sockets, wait_for

StatusCaching = pulse.StatusCaching
TYPE_ERROR = "Argument '{}' has incorrect type (expected {}, got {})"


def new_node_id() -> str:
    return "pulse-" + uuid.uuid4().hex[:10]


def status_topic(node_id: str) -> str:
    return constants.PREFIX.MQTT.DEBUG + "_" + node_id


def error_topic(node_id: str) -> str:
    return constants.PREFIX.MQTT.CLOUD + "_" + node_id


def status_key(node_id: str) -> str:
    return constants.PREFIX.REDIS.STATUS + "_" + node_id


def messages(kit_log, level: str, prefix: str) -> list[str]:
    return [r.getMessage() for r in kit_log.records
            if r.name == "kestrix_sdk.STATUS" and r.levelname == level and r.getMessage().startswith(prefix)]


class TopicWatcher:
    """A plain paho-mqtt subscriber on the session's broker recording (topic, text, time)."""

    def __init__(self, port: int, *topics: str) -> None:
        self.received: list[tuple[str, str, float]] = []
        self._lock = threading.Lock()
        self._subscribed = threading.Event()
        self.client = paho.Client(paho.CallbackAPIVersion.VERSION2)
        self.client.on_connect = lambda c, u, f, rc, p: c.subscribe([(t, 0) for t in topics])
        self.client.on_subscribe = lambda c, u, mid, rcs, p: self._subscribed.set()
        self.client.on_message = self._on_message
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        assert self._subscribed.wait(5), "subscriber did not get its subscription"

    def _on_message(self, client, userdata, msg) -> None:
        with self._lock:
            self.received.append((msg.topic, msg.payload.decode(), time.time()))

    def on(self, topic: str) -> list[str]:
        with self._lock:
            return [text for t, text, _ in self.received if t == topic]

    def times(self, topic: str) -> list[float]:
        with self._lock:
            return [ts for t, _, ts in self.received if t == topic]

    def close(self) -> None:
        self.client.loop_stop()
        self.client.disconnect()


@pytest.fixture
def watch(broker):
    made = []

    def make(*topics: str) -> TopicWatcher:
        w = TopicWatcher(broker.port, *topics)
        made.append(w)
        return w

    yield make
    for w in made:
        w.close()


@pytest.fixture
def reporters():
    """Makes StatusCaching objects and stops and joins every started one at the end."""
    made = []

    def make(*args, **kwargs) -> StatusCaching:
        s = StatusCaching(*args, **kwargs)
        made.append(s)
        return s

    yield make
    for s in made:
        s.stop()
        if s.is_alive():
            s.join(10)


@pytest.fixture
def servers(kit_servers, monkeypatch):
    """The broker and Redis server that the reporter's clients reach: (Mosquitto, RedisServer)."""
    made = []

    def make_client():
        client = courier.CourierClient()
        made.append(client)
        return client

    monkeypatch.setattr(pulse, "KestrixMqtt", make_client)
    yield kit_servers
    for client in made:  # reporters that were never stopped
        client.stop()
        client.disconnect()


@pytest.fixture
def redis_db(servers):
    client = redis.Redis(host="127.0.0.1", port=servers[1].port)
    yield client
    client.close()


def courier_of_reporter() -> courier.CourierClient | None:
    """The MQTT client of the running reporter (one whose watcher has not been told to stop)."""
    found = [t for t in threading.enumerate()
             if isinstance(t, courier.CourierClient) and not t._b_stop.is_set()]
    return found[0] if found else None


def wait_connected() -> courier.CourierClient:
    """Waits until the running reporter's MQTT client has its connection up."""
    assert wait_for(lambda: courier_of_reporter() is not None, 5)
    client = courier_of_reporter()
    assert wait_for(client.client.is_connected, 5), "the reporter's MQTT client did not connect"
    return client


class Recorder:
    """Recording stand-ins for the reporter's two client classes."""

    def __init__(self) -> None:
        self.calls: list[tuple] = []
        self.publish_failures = 0
        self.put_failures = 0
        self.redis_init_error: Exception | None = None
        self._lock = threading.Lock()
        rec = self

        class Mqtt:
            def __init__(self) -> None:
                rec.record("mqtt")

            def publish(self, topic, message):
                rec.record("publish", topic, message, time.time())
                if rec.take("publish_failures"):
                    raise ValueError("Publish topic cannot contain wildcards.")
                return True, 1

            def stop(self) -> None:
                rec.record("stop")

            def join(self, timeout=None) -> None:
                rec.record("join", timeout)

        class Redis:
            def __init__(self) -> None:
                if rec.redis_init_error is not None:
                    raise rec.redis_init_error
                rec.record("redis")

            def put_data(self, redis_key, data):
                rec.record("put_data", redis_key, data)
                if rec.take("put_failures"):
                    raise redis.exceptions.ConnectionError("Error 111 connecting to localhost:6379. Connection refused.")
                return True

        self.mqtt, self.redis = Mqtt, Redis

    def record(self, *call) -> None:
        with self._lock:
            self.calls.append(call)

    def take(self, counter: str) -> bool:
        with self._lock:
            left = getattr(self, counter)
            if left:
                setattr(self, counter, left - 1)
            return bool(left)

    def of(self, name: str) -> list[tuple]:
        with self._lock:
            return [c for c in self.calls if c[0] == name]

    def names(self) -> list[str]:
        with self._lock:
            return [c[0] for c in self.calls]


@pytest.fixture
def recorder(monkeypatch) -> Recorder:
    rec = Recorder()
    monkeypatch.setattr(pulse, "KestrixMqtt", rec.mqtt)
    monkeypatch.setattr(pulse, "KestrixRedis", rec.redis)
    return rec


# --- module, construction, argument types -----------------------------------------------------

def test_module_names_and_documentation():
    assert pulse.__doc__ == "Status Caching of containers"
    names = [n for n in vars(pulse) if not n.startswith("__")]
    assert names == ["STATUS_LOG_INTERVAL", "logger", "KestrixMqtt", "KestrixRedis", "PREFIX",
                     "NODE_ID", "NODE_TYPE", "StatusCaching", "get_pulse_logger"]
    assert pulse.STATUS_LOG_INTERVAL == 60 and type(pulse.STATUS_LOG_INTERVAL) is int
    assert pulse.logger.name == "kestrix_sdk.STATUS"
    assert pulse.KestrixMqtt is courier.CourierClient
    assert pulse.KestrixRedis is vault.VaultClient
    assert (pulse.PREFIX, pulse.NODE_ID, pulse.NODE_TYPE) == (
        constants.PREFIX, constants.NODE_ID, constants.NODE_TYPE)
    assert issubclass(StatusCaching, threading.Thread)
    assert StatusCaching.__doc__ == (
        "Status logger class\n\nArgs:\n"
        "    node_id(str): Id of the target node. Use NODE_ID env variable normally.\n"
        "    node_name(str): Target node name.\n"
        "    node_type(str): Target node type.\n"
        "    log_interval(int): Interval of the status logger. Default value is 60 sec.\n")
    assert StatusCaching.update_status_info.__doc__ == (
        "Update status buf\n\nArgs:\n    info(dict): New buf to be updated\n"
        "    source_idx(int): Source index number.\n\n"
        "source_idx counts from 0 and is at most 65535; any other value raises ValueError before "
        "anything is changed.\n")
    firsts = {name: getattr(StatusCaching, name).__doc__.splitlines()[0]
              for name in ("update_error_info", "info", "warning", "error", "stop")}
    assert firsts == {
        "update_error_info": "Update error buf with given message",
        "info": "Just call this function to add a status info",
        "warning": "Just call this function to add a status warning",
        "error": "Add status error log(and will be published)",
        "stop": "Stop this thread",
    }


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, ("", "", "", 60, False)),
    (("cam1", "front door", "camera", 5, 1), {}, ("cam1", "front door", "camera", 5, 1)),
    ((), {"node_type": "t", "verbose": "yes", "node_id": "i", "log_interval": 0, "node_name": "n"},
     ("i", "n", "t", 0, "yes")),
])
def test_constructor_sets_members_in_order(args, kwargs, expected):
    s = StatusCaching(*args, **kwargs)
    node_id, node_name, node_type, interval, verbose = expected
    own = [k for k in vars(s) if k in ("node_id", "node_name", "node_type", "log_interval",
                                      "_status_buf", "_error_buf", "_b_stop", "verbose")]
    assert own == ["node_id", "node_name", "node_type", "log_interval", "_status_buf",
                   "_error_buf", "_b_stop", "verbose"]
    assert (s.node_id, s.node_name, s.node_type, s.log_interval, s.verbose) == expected
    assert list(s._status_buf.items()) == [("ts", 0), ("id", node_id), ("name", node_name),
                                           ("msg_type", "info"), ("type", node_type)]
    assert s._error_buf == {}
    assert isinstance(s._b_stop, threading.Event) and not s._b_stop.is_set()
    assert not s.is_alive() and not s.daemon


@pytest.mark.parametrize("call, name, expected, given", [
    (lambda: StatusCaching(1), "node_id", "str", "int"),
    (lambda: StatusCaching(node_id=None), "node_id", "str", "NoneType"),
    (lambda: StatusCaching("a", b"n"), "node_name", "str", "bytes"),
    (lambda: StatusCaching("a", "n", ["t"]), "node_type", "str", "list"),
    (lambda: StatusCaching(log_interval=30.0), "log_interval", "int", "float"),
    (lambda: StatusCaching(log_interval=True), "log_interval", "int", "bool"),
    (lambda: StatusCaching(1, 2, 3, "x"), "node_id", "str", "int"),  # checked in order
    (lambda: StatusCaching().update_status_info([("fps", 1)], 0), "info", "dict", "list"),
    (lambda: StatusCaching().update_status_info({"fps": 1}, True), "source_idx", "int", "bool"),
    (lambda: StatusCaching().update_status_info({"fps": 1}, "0"), "source_idx", "int", "str"),
    (lambda: StatusCaching().update_error_info(1), "msg", "str", "int"),
    (lambda: StatusCaching().error(None), "msg", "str", "NoneType"),
    (lambda: StatusCaching.info(b"x"), "msg", "str", "bytes"),
    (lambda: StatusCaching.warning(1.5), "msg", "str", "float"),
])
def test_wrong_argument_types_are_refused(call, name, expected, given):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == TYPE_ERROR.format(name, expected, given)


def test_refused_calls_change_nothing():
    s = StatusCaching("a", "b", "c")
    before = dict(s._status_buf)
    for call in (lambda: s.update_status_info({"fps": 1}, 1.0), lambda: s.update_error_info(b"m"),
                 lambda: s.update_status_info({"fps": 1}, 0, 1), lambda: s.error(msg="m", level=1)):
        with pytest.raises(TypeError):
            call()
    assert s._status_buf == before and s._error_buf == {}


# --- status and error records -----------------------------------------------------------------

@pytest.mark.parametrize("updates, expected", [
    ([({"fps": 10}, 0), ({"fps": 12}, 2)], {"fps": [10, "", 12]}),
    ([({"fps": 12}, 2)], {"fps": [12]}),
    ([({"fps": 1}, 0), ({"fps": 2}, 1), ({"fps": 3}, 0)], {"fps": [3, 2]}),
    ([({"fps": 1}, 0), ({"fps": 5}, 4), ({"fps": 3}, 2)], {"fps": [1, "", 3, "", 5]}),
    ([({"a": 1, "b": "x"}, 0), ({"b": "y", "c": None}, 1)], {"a": [1], "b": ["x", "y"], "c": [None]}),
    ([({"c": None}, 0), ({"c": 7}, 3)], {"c": [None, "", "", 7]}),
    ([({"name": "renamed"}, 3)], {"name": "renamed"}),
    ([({"id": "other", "type": 5, "msg_type": ["x"]}, 1)], {"id": "other", "type": 5, "msg_type": ["x"]}),
    ([({"msg_type": ["x"]}, 0), ({"msg_type": "y"}, 2)], {"msg_type": ["x", "", "y"]}),
])
def test_update_status_info_list_rules(updates, expected):
    s = StatusCaching("cam1", "front", "camera")
    for info, idx in updates:
        s.update_status_info(info, idx)
    record = {"ts": s._status_buf["ts"], "id": "cam1", "name": "front", "msg_type": "info", "type": "camera"}
    record.update(expected)
    assert s._status_buf == record
    assert list(s._status_buf) == list(record)  # new keys follow the constructor's, in order


def test_update_status_info_keeps_the_list_object_and_sets_ts_even_when_empty():
    s = StatusCaching("cam1")
    s.update_status_info({"fps": 1}, 0)
    fps = s._status_buf["fps"]
    s.update_status_info({"fps": 2}, 2)
    assert s._status_buf["fps"] is fps and fps == [1, "", 2]
    s._status_buf["ts"] = 0
    before = int(time.time())
    s.update_status_info({}, 0)
    assert before <= s._status_buf["ts"] <= int(time.time())
    assert type(s._status_buf["ts"]) is int


def test_negative_source_index_is_refused():
    s = StatusCaching("cam1")
    s.update_status_info({"fps": 1}, 0)
    with pytest.raises(ValueError):
        s.update_status_info({"fps": 2, "new": 1}, -1)
    assert s._status_buf["fps"] == [1] and "new" not in s._status_buf


@pytest.mark.parametrize("verbose", [False, True, 0, "on"])
def test_status_info_line_only_when_verbose(kit_log, verbose):
    s = StatusCaching("cam1", verbose=verbose)
    s.update_status_info({"fps": 10}, 0)
    lines = messages(kit_log, "INFO", "Status info: ")
    assert lines == (["Status info: " + str(s._status_buf)] if verbose else [])


def test_error_record_replaces_the_pending_one(kit_log, monkeypatch):
    s = StatusCaching("cam1", "front", "camera")
    s.error("first")
    monkeypatch.setattr(s, "node_name", "back")  # members are read when the record is built
    before = int(time.time())
    s.update_error_info(msg="sécond")
    after = int(time.time())
    record = s._error_buf
    assert list(record) == ["ts", "id", "name", "type", "msg_type", "message"]
    assert before <= record["ts"] <= after and type(record["ts"]) is int
    assert list(record.values())[1:] == ["cam1", "back", "camera", "error", "sécond"]
    lines = messages(kit_log, "WARNING", "Updated error buf - ")
    assert len(lines) == 2 and lines[1] == "Updated error buf - " + str(record)
    assert "'message': 'first'" in lines[0]


def test_info_and_warning_only_log(kit_log):
    s = StatusCaching("cam1")
    before = (dict(s._status_buf), dict(s._error_buf))
    StatusCaching.info("plain info")
    s.warning(msg="plain warning")
    got = [(r.levelname, r.getMessage()) for r in kit_log.records if r.name == "kestrix_sdk.STATUS"]
    assert got == [("INFO", "plain info"), ("WARNING", "plain warning")]
    assert (s._status_buf, s._error_buf) == before


def test_get_pulse_logger(monkeypatch):
    monkeypatch.setattr(pulse, "NODE_ID", "node-from-env")
    monkeypatch.setattr(pulse, "NODE_TYPE", "type-from-env")
    a, b = pulse.get_pulse_logger(), pulse.get_pulse_logger()
    assert a is not b and type(a) is StatusCaching and not a.is_alive()
    assert (a.node_id, a.node_name, a.node_type, a.log_interval, a.verbose) == (
        "node-from-env", "", "", 60, False)
    c = pulse.get_pulse_logger(node_type=None)
    assert (c.node_id, c.node_type) == ("node-from-env", "type-from-env")
    d = pulse.get_pulse_logger("cam9", "name", "kind")
    assert (d.node_id, d.node_name, d.node_type) == ("cam9", "name", "kind")
    with pytest.raises(TypeError, match="node_name"):
        pulse.get_pulse_logger(node_name=3)


# --- the reporter: which calls it makes -------------------------------------------------------

def test_stop_before_start_makes_no_report(recorder, reporters):
    s = reporters("cam1", log_interval=0)
    s.stop()
    s.start()
    s.join(5)
    assert not s.is_alive()
    assert recorder.calls == [("mqtt",), ("redis",), ("stop",), ("join", 0.5)]


def test_first_pass_reports_at_once_then_every_interval_reading_members_afresh(recorder, reporters):
    s = reporters("cam1", "front", "camera", log_interval=60)
    s.start()
    assert wait_for(lambda: recorder.of("put_data"), 5)
    time.sleep(0.5)
    assert [c[:3] for c in recorder.of("publish")] == [
        ("publish", status_topic("cam1"), json.dumps(s._status_buf))]
    assert recorder.of("put_data") == [("put_data", status_key("cam1"), json.dumps(s._status_buf))]

    s.node_id = "cam2"
    s.log_interval = 0  # read at the next check
    assert wait_for(lambda: len(recorder.of("put_data")) >= 3, 5)
    s.log_interval = 60
    assert recorder.of("put_data")[1][1] == status_key("cam2")
    assert recorder.of("publish")[1][1] == status_topic("cam2")
    s.stop()
    s.join(5)
    assert not s.is_alive() and recorder.names()[-2:] == ["stop", "join"]


def test_status_reports_are_more_than_an_interval_apart(recorder, reporters):
    s = reporters("cam1", log_interval=1)
    s.start()
    assert wait_for(lambda: len(recorder.of("publish")) >= 3, 6)
    s.stop()
    s.join(5)
    times = [c[3] for c in recorder.of("publish")]
    assert all(b - a > 1.0 for a, b in zip(times, times[1:]))


@pytest.mark.parametrize("failure", ["redis unreachable", "invalid topic", "value without JSON form"])
def test_a_failed_report_is_logged_and_the_reporter_goes_on(recorder, reporters, kit_log, failure):
    s = reporters("cam1", log_interval=0)
    if failure == "redis unreachable":
        recorder.put_failures = 2
    elif failure == "invalid topic":
        recorder.publish_failures = 2
    else:
        s.update_status_info({"bad": object()}, 0)
    s.start()
    assert wait_for(lambda: len(messages(kit_log, "ERROR", "Failed to report the status record - ")) >= 2, 5)
    if failure == "value without JSON form":
        s.update_status_info({"bad": 1}, 0)
    assert wait_for(lambda: len(recorder.of("put_data")) >= 5, 5), "the reporter stopped reporting"
    if failure == "value without JSON form":
        assert json.loads(recorder.of("put_data")[-1][2])["bad"] == [1]
    assert s.is_alive()
    line = messages(kit_log, "ERROR", "Failed to report the status record - ")[0]
    assert "Traceback (most recent call last)" in line
    expected = {"redis unreachable": "ConnectionError", "invalid topic": "ValueError",
                "value without JSON form": "TypeError"}[failure]
    assert expected in line


def test_a_failed_error_report_keeps_the_error_pending(recorder, reporters, kit_log):
    recorder.publish_failures = 1
    s = reporters("cam1", log_interval=0)
    s.error("disk full")
    s.start()
    assert wait_for(lambda: messages(kit_log, "WARNING", "Published error message to MQTT - "), 5)
    errors = [c for c in recorder.of("publish") if c[1] == error_topic("cam1")]
    assert len(errors) == 2 and errors[0][2] == errors[1][2]
    assert json.loads(errors[1][2])["message"] == "disk full"
    assert messages(kit_log, "ERROR", "Failed to report the error record - ")
    assert wait_for(lambda: s._error_buf == {}, 2)


@pytest.mark.parametrize("breakage", ["redis client fails", "log_interval not a number"])
def test_run_ending_on_an_error_still_stops_the_mqtt_client(recorder, reporters, kit_log, breakage):
    s = reporters("cam1")
    if breakage == "redis client fails":
        recorder.redis_init_error = RuntimeError("no redis client")
    else:
        s.log_interval = "soon"
    s.start()
    s.join(5)
    assert not s.is_alive()
    assert recorder.names()[-2:] == ["stop", "join"] and recorder.of("join") == [("join", 0.5)]
    line = messages(kit_log, "ERROR", "Status reporter stopped - ")
    assert len(line) == 1
    assert {"redis client fails": "RuntimeError: no redis client",
            "log_interval not a number": "TypeError: '>' not supported"}[breakage] in line[0]


def test_buffers_are_locked_while_encoded_and_changed(recorder, reporters):
    s = reporters("cam1", log_interval=0)
    s.start()
    assert wait_for(lambda: recorder.of("publish"), 5)
    with s._buf_lock:
        n = len(recorder.of("publish"))
        writer = threading.Thread(target=s.update_status_info, args=({"fps": 30}, 0))
        writer.start()
        time.sleep(0.4)
        assert len(recorder.of("publish")) <= n + 1  # at most one encoded before the lock was taken
        assert writer.is_alive() and "fps" not in s._status_buf
    writer.join(5)
    assert wait_for(lambda: any('"fps": [30]' in c[2] for c in recorder.of("publish")), 5)


# --- the reporter against the real broker and Redis server -------------------------------------

def test_status_record_on_topic_and_key_every_interval(servers, watch, reporters, redis_db, kit_log):
    node = new_node_id()
    w = watch(status_topic(node), error_topic(node))
    s = reporters(node, "Halle Süd", "camera", log_interval=1, verbose=True)
    s.start()
    wait_connected()
    s.update_status_info({"fps": 10, "ok": True, "none": None}, 0)
    s.update_status_info({"fps": 12.5}, 1)
    ts = s._status_buf["ts"]
    expected = ('{"ts": %d, "id": "%s", "name": "Halle S\\u00fcd", "msg_type": "info", "type": "camera", '
                '"fps": [10, 12.5], "ok": [true], "none": [null]}' % (ts, node))
    assert wait_for(lambda: expected in w.on(status_topic(node)), 5)
    assert redis_db.get(status_key(node)) == expected.encode()
    assert wait_for(lambda: w.on(status_topic(node)).count(expected) >= 3, 6)
    assert "publish message - " + expected in messages(kit_log, "INFO", "publish message - ")
    assert w.on(error_topic(node)) == []
    # A report every interval, not every pass: consecutive messages are about a second apart.
    times = w.times(status_topic(node))
    assert all(b - a > 0.8 for a, b in zip(times, times[1:]))


def test_error_reports_and_replacement_of_pending_errors(servers, watch, reporters, kit_log):
    node = new_node_id()
    w = watch(error_topic(node))
    s = reporters(node, "gate", "camera", log_interval=2)
    s.start()
    wait_connected()
    with s._buf_lock:  # the reporter cannot take the record before it is read here
        s.error("first")
        first = json.dumps(s._error_buf)
    assert wait_for(lambda: w.on(error_topic(node)) == [first], 3)
    assert s._error_buf == {}
    assert messages(kit_log, "WARNING", "Published error message to MQTT - ") == [
        "Published error message to MQTT - " + first]
    assert json.loads(first)["msg_type"] == "error" and json.loads(first)["message"] == "first"

    with s._buf_lock:
        s.error("second")
        s.error("third")
        third = json.dumps(s._error_buf)
    assert wait_for(lambda: len(w.on(error_topic(node))) >= 2, 5)
    time.sleep(0.3)
    assert w.on(error_topic(node)) == [first, third]
    t_first, t_third = w.times(error_topic(node))
    assert t_third - t_first > 1.8


def test_non_json_value_is_logged_and_reporting_goes_on(servers, watch, reporters, redis_db, kit_log):
    node = new_node_id()
    w = watch(status_topic(node))
    s = reporters(node, log_interval=1)
    s.start()
    wait_connected()
    s.update_status_info({"frame": object()}, 0)
    assert wait_for(lambda: messages(kit_log, "ERROR", "Failed to report the status record - "), 5)
    line = messages(kit_log, "ERROR", "Failed to report the status record - ")[0]
    assert "is not JSON serializable" in line and "Traceback" in line
    s.update_status_info({"frame": 42}, 0)
    assert wait_for(lambda: any('"frame": [42]' in m for m in w.on(status_topic(node))), 5)
    assert json.loads(redis_db.get(status_key(node)))["frame"] == [42]
    assert s.is_alive()


def test_redis_stopped_and_restarted_while_reporting(servers, private_redis, monkeypatch, watch,
                                                     reporters, kit_log):
    own_redis = private_redis()  # one this test may stop
    monkeypatch.setenv(constants.REDIS_URL_ENV, f"redis://127.0.0.1:{own_redis.port}/0")
    node = new_node_id()
    w = watch(status_topic(node))
    s = reporters(node, log_interval=1)
    s.start()
    wait_connected()
    db = redis.Redis(host="127.0.0.1", port=own_redis.port)
    try:
        assert wait_for(lambda: db.get(status_key(node)) is not None, 5)
        own_redis.stop()
        assert wait_for(lambda: messages(kit_log, "ERROR", "Failed to report the status record - "), 10)
        published = len(w.on(status_topic(node)))
        assert wait_for(lambda: len(w.on(status_topic(node))) > published, 10), \
            "status reports stopped with Redis down"
        own_redis.start()
        assert wait_for(lambda: db.get(status_key(node)) is not None, 15), \
            "the status record was not stored again after Redis came back"
        assert s.is_alive()
        assert "ConnectionError" in messages(kit_log, "ERROR", "Failed to report the status record - ")[0]
    finally:
        if not own_redis.running:
            own_redis.start()
        db.close()


def test_stop_ends_the_reporter_and_its_mqtt_watcher(servers, reporters):
    before = set(threading.enumerate())
    s = reporters(new_node_id(), log_interval=1)
    s.start()
    client = wait_connected()
    s.stop()
    s.join(5)
    assert not s.is_alive()
    assert client._b_stop.is_set()
    assert wait_for(lambda: not client.is_alive(), 3), "the MQTT watcher was left running"
    # The stopped reporter closes its MQTT connection: the library's network thread ends too.
    assert not client.client.is_connected()
    assert wait_for(lambda: not (set(threading.enumerate()) - before), 3), \
        [t.name for t in set(threading.enumerate()) - before]


# --- faults: index bounds, long values, clock steps, failures beyond Exception, blocked connects

@pytest.mark.parametrize("idx", [-1, 65536, 10**9, 2**63, 10**30, -(10**30)])
def test_source_index_out_of_range_is_refused_before_any_change(idx):
    s = StatusCaching("cam1")
    s.update_status_info({"fps": 1}, 0)
    before = json.dumps(s._status_buf)
    with pytest.raises(ValueError, match=f"^source_idx must be between 0 and 65535, got {idx}$"):
        s.update_status_info({"fps": 2, "new": 1}, idx)
    assert json.dumps(s._status_buf) == before


def test_highest_source_index_is_accepted():
    s = StatusCaching("cam1")
    s.update_status_info({"fps": 1}, 0)
    s.update_status_info({"fps": 2}, 65535)
    assert len(s._status_buf["fps"]) == 65536 and s._status_buf["fps"][-1] == 2


def test_long_values_are_cut_in_log_lines(kit_log):
    s = StatusCaching("cam1", verbose=True)
    s.update_status_info({"blob": "x" * 5000}, 0)
    s.update_error_info("e" * 5000)
    for level, prefix, value in [("INFO", "Status info: ", s._status_buf),
                                 ("WARNING", "Updated error buf - ", s._error_buf)]:
        text = str(value)
        assert messages(kit_log, level, prefix) == [prefix + text[:1000] + f"... ({len(text)} characters)"]


def test_a_wall_clock_stepped_back_does_not_hold_reports_back(recorder, reporters, monkeypatch):
    s = reporters("cam1", log_interval=0)
    s.start()
    assert wait_for(lambda: recorder.of("put_data"), 5)
    real_time = time.time
    monkeypatch.setattr(time, "time", lambda: real_time() - 86400)  # NTP steps the clock back a day
    s.update_status_info({"fps": 1}, 0)
    reported = len(recorder.of("put_data"))
    assert wait_for(lambda: len(recorder.of("put_data")) >= reported + 3, 10), "reports stopped"
    # the record's time stays the wall clock's
    assert json.loads(recorder.of("put_data")[-1][2])["ts"] <= int(real_time()) - 86000


@pytest.mark.parametrize("exc", [SystemExit, KeyboardInterrupt])
def test_a_report_raising_beyond_exception_is_contained(recorder, reporters, kit_log, exc):
    failures = [exc("gone")]

    def put_data(self, redis_key, data):
        recorder.record("put_data", redis_key, data)
        if failures:
            raise failures.pop()
        return True

    recorder.redis.put_data = put_data
    s = reporters("cam1", log_interval=0)
    s.start()
    assert wait_for(lambda: len(recorder.of("put_data")) >= 3, 5), "the reporter stopped reporting"
    [line] = messages(kit_log, "ERROR", "Failed to report the status record - ")
    assert line.endswith(f"{exc.__name__}: gone") and s.is_alive()


def test_a_reporter_stopped_during_a_blocked_connection_attempt_leaves_nothing(full_backlog, reporters,
                                                                                  monkeypatch, kit_log):
    made = []

    class Redis:
        def put_data(self, redis_key, data):
            return True

    def make_client():
        made.append(courier.CourierClient(port=full_backlog.port, verbose=False))
        return made[-1]

    monkeypatch.setattr(pulse, "KestrixMqtt", make_client)
    monkeypatch.setattr(pulse, "KestrixRedis", Redis)
    before_threads, before_sockets = set(threading.enumerate()), sockets()
    s = reporters(new_node_id(), log_interval=0)
    s.start()
    assert wait_for(lambda: connecting_to(full_backlog.port), 10)
    s.stop()
    full_backlog.free()  # the attempt now completes (or times out), after the stop request
    s.join(30)
    assert not s.is_alive()
    # nothing of the reporter's MQTT client is left once join() has returned
    assert not made[0].is_alive()
    assert not [t for t in threading.enumerate() if t.name.startswith("paho-mqtt-client-")]
    assert set(threading.enumerate()) - before_threads == set()
    # (other tests' sockets may be closed meanwhile, by the collector: none may be added)
    assert sockets() <= before_sockets


# --- with blocks: the reporter starts, and stops with its clients on the way out --------------

import os  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import textwrap  # noqa: E402

from demo_fixtures import child_env  # noqa: E402


@pytest.mark.parametrize("raised", [None, AttributeError, KeyboardInterrupt])
def test_a_with_block_starts_the_reporter_and_stops_it_with_its_clients(kit_servers, raised):
    threads, open_sockets = set(threading.enumerate()), sockets()
    tasks = len(os.listdir("/proc/self/task"))

    def block():
        with StatusCaching(new_node_id(), log_interval=0) as s:
            assert s.is_alive()
            wait_connected()
            if raised is not None:
                raise raised("set-up failed")
        return s

    if raised is None:
        s = block()
        assert not s.is_alive()
    else:
        with pytest.raises(raised, match="set-up failed"):
            block()
    assert set(threading.enumerate()) == threads
    assert wait_for(lambda: len(os.listdir("/proc/self/task")) == tasks, 5)
    assert sockets() <= open_sockets


@pytest.mark.parametrize("steps", [["close", "close"], ["stop", "close"], ["start", "stop", "exit"]])
def test_close_is_idempotent_started_or_not(kit_servers, steps):
    s = StatusCaching(new_node_id(), log_interval=0)
    for step in steps:
        if step == "exit":
            assert s.__exit__(None, None, None) is False
        else:
            getattr(s, step)()
    assert not s.is_alive()


FIRST_PROGRAMS = {
    "courier": """
        from kestrix_sdk.mqtt.courier import CourierClient
        with CourierClient(verbose=False) as client:
            client.publish_all("hello")
    """,
    "vault": """
        import numpy as np
        from kestrix_sdk.redis.vault import VaultClient
        with VaultClient() as vault:
            vault.write_frame(np.zeros((8, 8, 3), np.uint8), "kestrix_first_program")
            vault.write_franme(None, "kestrix_first_program")
    """,
    "status": """
        from kestrix_sdk.status.pulse import StatusCaching
        with StatusCaching("first-node", log_interval=1) as status:
            status.update_status_info({"fps": 1}, 0)
            status.update_status({"fps": 2})
    """,
}


@pytest.mark.parametrize("name", sorted(FIRST_PROGRAMS))
def test_a_first_program_that_fails_in_set_up_exits_with_its_traceback(kit_servers, name, tmp_path):
    broker, redis_server = kit_servers
    program = tmp_path / "first.py"
    program.write_text(textwrap.dedent(FIRST_PROGRAMS[name]))
    env = child_env(**{constants.MQTT_URL_ENV: f"mqtt://127.0.0.1:{broker.port}",
                       constants.REDIS_URL_ENV: f"redis://127.0.0.1:{redis_server.port}"})
    # Without the with block this program never ends (its client's threads are not daemons).
    res = subprocess.run([sys.executable, str(program)], capture_output=True, text=True,
                         timeout=60, env=env, cwd=tmp_path)
    assert res.returncode == 1, res.stderr
    assert "Traceback (most recent call last):" in res.stderr and "AttributeError" in res.stderr
