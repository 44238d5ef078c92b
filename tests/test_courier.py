"""kestrix_sdk.mqtt.courier against a real Mosquitto broker, with plain paho clients as peers."""

from __future__ import annotations

import itertools
import json
import os
import socket
import threading
import time

import paho.mqtt.client as mqtt
import pytest

from kestrix_sdk.constants import PREFIX
from kestrix_sdk.mqtt import courier
from kestrix_sdk.mqtt.courier import CourierClient
from servers import Mosquitto, connecting_to, free_port, sockets, wait_for


LOGGER = "kestrix_sdk.MQTT"
MEMBERS = ["callbacks", "host", "port", "verbose", "client", "_username", "_password", "_b_stop",
           "_lock", "msg_subscribed"]
_ids = itertools.count()


# ---------------------------------------------------------------------------------------------
# helpers

class Topics:
    """Topic names of one test (t.A, t.B, ...), unique across the session's shared broker."""

    def __init__(self) -> None:
        self._base = f"kx-test-{next(_ids)}"

    def __getattr__(self, name: str) -> str:
        return f"{self._base}/{name}"


@pytest.fixture
def t() -> Topics:
    return Topics()


class Peer:
    """A plain paho client on the broker, publishing and recording what it receives."""

    def __init__(self, broker: Mosquitto, *subscriptions: str) -> None:
        self.received: list[tuple[str, bytes]] = []
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=f"peer-{next(_ids)}")
        self.client.on_message = lambda c, u, m: self.received.append((m.topic, m.payload))
        self.client.connect("127.0.0.1", broker.port)
        self.client.loop_start()
        assert wait_for(self.client.is_connected, 5)
        for topic in subscriptions:
            self.client.subscribe(topic)
        assert wait_for(lambda: all(subscriptions_of(broker, topic) for topic in subscriptions), 5)

    def send(self, topic: str, payload) -> None:
        self.client.publish(topic, payload).wait_for_publish(5)

    def close(self) -> None:
        self.client.disconnect()  # the network thread sends it and ends at once
        self.client.loop_stop()


@pytest.fixture
def peers():
    made: list[Peer] = []

    def make(broker, *subscriptions):
        made.append(Peer(broker, *subscriptions))
        return made[-1]

    yield make
    for peer in made:
        peer.close()


@pytest.fixture
def make_client():
    """Builds CourierClients and shuts each down completely afterwards."""
    made: list[CourierClient] = []

    def make(*args, cls=CourierClient, **kwargs) -> CourierClient:
        made.append(cls(*args, **kwargs))
        return made[-1]

    yield make
    for client in made:
        client.stop()
        client.join(2)
        # A DISCONNECT first lets paho's thread end at once; loop_stop alone waits for its poll.
        client.client.disconnect()
        client.disconnect()
        assert not client.is_alive()


@pytest.fixture(scope="module")
def protected_broker():
    server = Mosquitto(username="kit", password="s3cret").start()
    yield server
    server.close()


def lines(caplog, level: str | None = None, skip_connected: bool = True) -> list[str]:
    return [r.getMessage() for r in caplog.records
            if r.name == LOGGER and (level is None or r.levelname == level)
            and not (skip_connected and r.getMessage() == "Connected with result code 0")]


def connected_lines(caplog, code: int = 0) -> int:
    return lines(caplog, skip_connected=False).count(f"Connected with result code {code}")


def subscriptions_of(broker: Mosquitto, topic: str) -> int:
    """How many SUBSCRIBE requests for `topic` the broker has received."""
    return broker.log().count(f"\t{topic} (QoS 0)\n")


def kit_connections(broker: Mosquitto) -> int:
    """TCP connections the broker accepted from kit clients (peers have ids 'peer-N')."""
    return sum(1 for line in broker.log().splitlines()
               if "New client connected" in line and " as peer-" not in line)


def network_threads() -> list[threading.Thread]:
    # paho names its network thread after the client id; the kit's client lets the broker pick.
    return [th for th in threading.enumerate() if th.name == "paho-mqtt-client-"]


def ready(client: CourierClient, broker: Mosquitto, *topics: str, times: int = 1) -> None:
    assert wait_for(lambda: client.client.is_connected()
                    and all(subscriptions_of(broker, tp) == times for tp in topics), 5)


# ---------------------------------------------------------------------------------------------
# module and construction

@pytest.mark.parametrize("node_id, topic", [(42, PREFIX.MQTT.LOCAL + "_42"),
                                            ("cam-1", PREFIX.MQTT.LOCAL + "_cam-1"),
                                            ("", PREFIX.MQTT.LOCAL + "_")])
def test_gen_mqtt_key_local(node_id, topic):
    assert courier.gen_mqtt_key_local(node_id) == topic
    assert courier.gen_mqtt_key_local(node_id=node_id) == topic


def test_module_names():
    assert courier.DEFAULT_MQTT_HOST == "127.0.0.1"
    assert courier.DEFAULT_MQTT_PORT == 1883 and type(courier.DEFAULT_MQTT_PORT) is int
    assert courier.logger.name == LOGGER
    assert issubclass(CourierClient, threading.Thread)
    assert (CourierClient.__module__, CourierClient.__qualname__) == ("kestrix_sdk.mqtt.courier",
                                                                     "CourierClient")


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"host": 127}, "Argument 'host' has incorrect type (expected str, got int)"),
        ({"host": b"127.0.0.1"}, "Argument 'host' has incorrect type (expected str, got bytes)"),
        ({"port": True}, "Argument 'port' has incorrect type (expected int, got bool)"),
        ({"port": "1883"}, "Argument 'port' has incorrect type (expected int, got str)"),
        ({"port": 1883.0}, "Argument 'port' has incorrect type (expected int, got float)"),
        ({"subscribe_topics": ("a",)}, "Argument 'subscribe_topics' has incorrect type (expected list, got tuple)"),
        ({"subscribe_topics": "a"}, "Argument 'subscribe_topics' has incorrect type (expected list, got str)"),
        # checked in the order host, port, subscribe_topics
        ({"host": 1, "port": True, "subscribe_topics": ()}, "Argument 'host' has incorrect type (expected str, got int)"),
        ({"port": False, "subscribe_topics": ()}, "Argument 'port' has incorrect type (expected int, got bool)"),
    ],
)
def test_constructor_refuses_wrong_types_before_any_work(kwargs, message):
    before = threading.active_count()
    with pytest.raises(TypeError) as info:
        CourierClient(**kwargs)
    assert str(info.value) == message
    assert threading.active_count() == before


@pytest.mark.parametrize(
    "args, kwargs",
    [(("h", 1, None, True, None, None, "extra"), {}), ((), {"hots": "x"}), (("h",), {"host": "h"})],
    ids=["too-many", "unknown-keyword", "twice"],
)
def test_constructor_refuses_wrong_arguments(args, kwargs):
    before = threading.active_count()
    with pytest.raises(TypeError):
        CourierClient(*args, **kwargs)
    assert threading.active_count() == before


@pytest.mark.parametrize("call", [
    lambda c: c._on_message(None, None),
    lambda c: c._on_message(None, None, None, None),
    lambda c: c._on_message(None, None, msg=None, extra=1),
    lambda c: c._on_message(None, None, None, msg=None),
    lambda c: c.publish("t"),
    lambda c: c.publish("t", "m", "x"),
    lambda c: c.publish(topic="t", msg="m"),
    lambda c: c.connect(1),
    lambda c: c.get_last_published_msg(0),
], ids=["too-few", "too-many", "unknown-keyword", "twice", "publish-too-few", "publish-too-many",
        "publish-unknown-keyword", "connect", "get_last_published_msg"])
def test_methods_refuse_wrong_arguments(call, make_client):
    client = make_client(port=free_port(), verbose=False)
    with pytest.raises(TypeError):
        call(client)


def test_message_callback_takes_keywords_too(make_client, kit_log, t):
    client = make_client(port=free_port(), subscribe_topics=[t.A], verbose=False)
    message = mqtt.MQTTMessage(0, t.A.encode())
    message.payload = b'{"k": 1}'
    client._on_message(client=client.client, userdata=None, msg=message)
    assert client.get_last_published_msg() == {0: {"k": 1}}


def test_construction_sets_members_in_order_and_starts_the_watcher(broker, make_client, kit_log, t):
    client = make_client("127.0.0.1", broker.port, [t.A, None, t.A, t.B], False, "u", None)
    assert client.is_alive()
    assert [k for k in vars(client) if k in MEMBERS] == MEMBERS
    assert list(client.callbacks) == [t.A, t.B]
    assert all(cb == client._on_kestrix_msg_listen for cb in client.callbacks.values())
    assert (client.host, client.port, client.verbose) == ("127.0.0.1", broker.port, False)
    assert (client._username, client._password) == ("u", None)
    assert not client._b_stop.is_set() and client.msg_subscribed == {}
    assert isinstance(client.client, mqtt.Client)
    ready(client, broker, t.A, t.B)
    time.sleep(0.2)
    assert connected_lines(kit_log) == 1
    assert (subscriptions_of(broker, t.A), subscriptions_of(broker, t.B)) == (1, 1)


@pytest.mark.parametrize("topics", [None, []])
def test_unreachable_broker_and_no_topics(topics, make_client):
    client = make_client(port=free_port(), subscribe_topics=topics)
    assert client.is_alive() and not client.client.is_connected()
    assert client.callbacks == {}


# ---------------------------------------------------------------------------------------------
# credentials

@pytest.mark.parametrize(
    "username, password, accepted",
    [("kit", "s3cret", True), ("kit", None, False), ("kit", "", False), (None, "s3cret", False),
     ("", "s3cret", False)],
)
def test_credentials_are_sent_only_as_a_pair(protected_broker, make_client, kit_log, t, username,
                                             password, accepted):
    client = make_client(port=protected_broker.port, subscribe_topics=[t.A], username=username,
                         password=password)
    if accepted:
        ready(client, protected_broker, t.A)
    else:
        assert wait_for(lambda: connected_lines(kit_log, 5) >= 1, 5)
        assert not client.client.is_connected()


def test_refused_connection_is_retried_about_once_a_second(private_broker, make_client, kit_log, t):
    server = private_broker(username="kit", password="s3cret")
    client = make_client(port=server.port, subscribe_topics=[t.A], username="kit", password="wrong")
    assert wait_for(lambda: connected_lines(kit_log, 5) >= 3, 6)
    client.stop()
    stamps = [r.created for r in kit_log.records if r.getMessage() == "Connected with result code 5"]
    gaps = [b - a for a, b in zip(stamps, stamps[1:])]
    assert all(0.7 < gap < 2.5 for gap in gaps), gaps
    assert subscriptions_of(server, t.A) == 0
    assert lines(kit_log, "ERROR") == []


# ---------------------------------------------------------------------------------------------
# connection failures and reconnection

@pytest.mark.parametrize(
    "host, port, text",
    [("127.0.0.1", "free", "[Errno 111] Connection refused"),
     (None, 1883, "Invalid host."),
     ("no-such-host.invalid", 1883, None)],
    ids=["refused", "no-host", "unresolvable"],
)
def test_failed_connection_is_logged(host, port, text, make_client, kit_log):
    port = free_port() if port == "free" else port
    client = make_client(host=host, port=port)
    assert wait_for(lambda: lines(kit_log, "ERROR"), 5)
    client.stop()
    line = lines(kit_log, "ERROR")[0]
    prefix = f"Failed to connect to {host}:{port} - "
    assert line.startswith(prefix) and len(line) > len(prefix)
    if text is not None:
        assert line == prefix + text


def test_broker_down_at_first_then_up(private_broker, make_client, peers, kit_log, t):
    port = free_port()
    client = make_client(port=port, subscribe_topics=[t.A], verbose=False)
    refused = f"Failed to connect to 127.0.0.1:{port} - [Errno 111] Connection refused"
    assert wait_for(lambda: lines(kit_log, "ERROR").count(refused) >= 2, 5)
    assert not client.client.is_connected()
    server = private_broker(port=port)
    ready(client, server, t.A)
    peers(server).send(t.A, '{"n": 1}')
    assert wait_for(lambda: client.get_last_published_msg() == {0: {"n": 1}}, 5)
    assert set(lines(kit_log, "ERROR")) == {refused}
    assert connected_lines(kit_log) == 1 and kit_connections(server) == 1


def test_broker_restart_reconnects_once_and_resubscribes(private_broker, make_client, peers, kit_log, t):
    server = private_broker()
    client = make_client(port=server.port, subscribe_topics=[t.A, t.B], verbose=False)
    ready(client, server, t.A, t.B)
    peer = peers(server)
    peer.send(t.A, '{"before": 1}')
    assert wait_for(lambda: client.get_last_published_msg() == {0: {"before": 1}}, 5)
    peer.close()

    server.stop()
    refused = f"Failed to connect to 127.0.0.1:{server.port} - [Errno 111] Connection refused"
    assert wait_for(lambda: lines(kit_log, "ERROR").count(refused) >= 2, 5)
    server.start()
    ready(client, server, t.A, t.B, times=2)
    peers(server).send(t.B, '{"after": 1, "source_key": "s"}')
    assert wait_for(lambda: t.B in client.get_last_published_msg(), 5)
    # Leave time for a second reconnection path to show (paho's own reconnection would retry
    # 1, 2, 4 ... seconds after the loss; a second watcher attempt would come within a second).
    time.sleep(2.5)
    assert kit_connections(server) == 2
    assert connected_lines(kit_log) == 2
    assert (subscriptions_of(server, t.A), subscriptions_of(server, t.B)) == (2, 2)
    assert len(network_threads()) == 1
    assert client.client.is_connected()


def test_no_second_connection_while_a_request_is_pending(make_client, kit_log):
    # A listener that never answers: the kernel accepts the TCP connections, no CONNACK comes,
    # so is_connected() stays false while paho's network thread waits for the answer.
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        client = make_client(port=listener.getsockname()[1], verbose=False)
        time.sleep(2.5)
        assert not client.client.is_connected()
        listener.setblocking(False)
        accepted = []
        while True:
            try:
                accepted.append(listener.accept()[0])
            except BlockingIOError:
                break
        # Counted while the connection is still open: once it is closed, the network thread
        # sees the end of the stream and ends.
        threads = len(network_threads())
        for connection in accepted:
            connection.close()
    assert len(accepted) == 1
    assert threads == 1
    assert lines(kit_log) == []


def test_after_stop_a_lost_connection_stays_down(private_broker, make_client, kit_log, t):
    # paho's own reconnection is off: the watcher is the only one that reconnects.
    server = private_broker()
    client = make_client(port=server.port, subscribe_topics=[t.A], verbose=False)
    ready(client, server, t.A)
    client.stop()
    server.restart()
    time.sleep(2.5)
    assert not client.client.is_connected() and kit_connections(server) == 1
    assert connected_lines(kit_log) == 1 and not network_threads()


def test_disconnect_without_stop_reconnects(broker, make_client, kit_log, t):
    client = make_client(port=broker.port, subscribe_topics=[t.A])
    ready(client, broker, t.A)
    client.disconnect()
    ready(client, broker, t.A, times=2)
    assert connected_lines(kit_log) == 2
    assert len(network_threads()) == 1


def test_unsubscribe_then_reconnection_subscribes_again(broker, make_client, peers, kit_log, t):
    client = make_client(port=broker.port, subscribe_topics=[t.U, t.K], verbose=False)
    ready(client, broker, t.U, t.K)
    client.unsubscribe(t.U)
    assert wait_for(lambda: f"\t{t.U}\n" in broker.log(), 5)  # the broker's UNSUBSCRIBE line
    assert t.U in client.callbacks
    peer = peers(broker)
    peer.send(t.U, '{"source_key": 1, "lost": true}')
    peer.send(t.K, '{"source_key": 1}')
    assert wait_for(lambda: t.K in client.get_last_published_msg(), 5)
    assert t.U not in client.get_last_published_msg()

    client.disconnect()
    ready(client, broker, t.U, t.K, times=2)
    peer.send(t.U, '{"source_key": 1, "back": true}')
    assert wait_for(lambda: client.get_last_published_msg().get(t.U) == {"source_key": 1, "back": True}, 5)


def test_stop_then_disconnect_leaves_no_thread(no_thread_leak, broker, peers, kit_log, t):
    client = CourierClient(port=broker.port, subscribe_topics=[t.A], verbose=False)
    ready(client, broker, t.A)
    client.stop()
    client.join(0.5)
    assert not client.is_alive()
    # stop() alone keeps the connection and the dispatch going
    peer = peers(broker)
    peer.send(t.A, '{"still": "here"}')
    assert wait_for(lambda: client.get_last_published_msg() == {0: {"still": "here"}}, 5)
    peer.close()
    client.disconnect()
    assert not client.client.is_connected()
    time.sleep(1.2)
    assert connected_lines(kit_log) == 1  # nothing reconnects after stop()


# ---------------------------------------------------------------------------------------------
# publish

def test_publish_returns_connection_state_and_message_id(broker, make_client, peers, kit_log, t):
    peer = peers(broker, t.P)
    client = make_client(port=broker.port)
    assert wait_for(client.client.is_connected, 5)
    connected, mid = client.publish(topic=t.P, message='{"a": 1}')
    assert connected is True and type(mid) is int
    assert client.publish(t.P, b"\x00raw") == (True, mid + 1)
    assert wait_for(lambda: len(peer.received) == 2, 5)
    assert peer.received == [(t.P, b'{"a": 1}'), (t.P, b"\x00raw")]


def test_publish_while_down_returns_false_and_the_id(make_client):
    client = make_client(port=free_port())
    result = client.publish("P", "x")
    assert type(result) is tuple and result[0] is False and type(result[1]) is int
    assert client.publish("P", "y") == (False, result[1] + 1)


@pytest.mark.parametrize("call", [lambda c: c.publish("", "x"), lambda c: c.publish("a/#", "x"),
                                  lambda c: c.publish("a", {"not": "sendable"}),
                                  lambda c: c.subscribe(""), lambda c: c.unsubscribe("")],
                         ids=["empty-topic", "wildcard", "payload", "subscribe", "unsubscribe"])
def test_library_errors_reach_the_caller(call, make_client, kit_log):
    client = make_client(port=free_port(), verbose=False)
    with pytest.raises((ValueError, TypeError)):
        call(client)
    client.stop()
    assert all(line.startswith("Failed to connect to") for line in lines(kit_log))


@pytest.mark.parametrize("verbose", [True, False])
def test_publish_acknowledgement_is_logged_only_when_verbose(verbose, broker, make_client, kit_log, t):
    client = make_client(port=broker.port, verbose=verbose)
    assert wait_for(client.client.is_connected, 5)
    _, first = client.publish(t.P, "x")
    _, second = client.publish(t.P, "y")
    if verbose:
        assert wait_for(lambda: len(lines(kit_log)) == 2, 5)
    else:
        client.client.disconnect()  # flushes the queue: every acknowledgement has been handled
        assert wait_for(lambda: not network_threads(), 5)
    assert lines(kit_log) == ([f"Published message with ID: {first}",
                               f"Published message with ID: {second}"] if verbose else [])


# ---------------------------------------------------------------------------------------------
# dispatch

@pytest.fixture
def listening(broker, make_client, peers, t):
    """A non-verbose client listening to t.A and t.B, and a way to deliver messages to it."""
    client = make_client(port=broker.port, subscribe_topics=[t.A, t.B], verbose=False)
    ready(client, broker, t.A, t.B)
    peer = peers(broker)

    def deliver(topic, payload, until):
        peer.send(topic, payload)
        assert wait_for(until, 5)

    return client, deliver


def test_objects_are_kept_under_the_topic_or_the_integer_key_zero(listening, kit_log, t):
    client, deliver = listening
    deliver(t.A, '{"source_key": "cam", "v": 1}', lambda: t.A in client.get_last_published_msg())
    deliver(t.A, '{"v": 2}', lambda: 0 in client.get_last_published_msg())
    deliver(t.B, '{"v": 3}', lambda: client.get_last_published_msg().get(0) == {"v": 3})
    deliver(t.B, '{"source_key": null}', lambda: t.B in client.get_last_published_msg())
    table = client.get_last_published_msg()
    assert table == {t.A: {"source_key": "cam", "v": 1}, 0: {"v": 3}, t.B: {"source_key": None}}
    assert [type(k) for k in table] == [str, int, str]
    assert lines(kit_log) == []


def test_get_last_published_msg_returns_a_copy(listening, t):
    client, deliver = listening
    deliver(t.A, '{"v": 1}', lambda: client.get_last_published_msg())
    first = client.get_last_published_msg()
    first["extra"] = 1
    deliver(t.B, '{"v": 2}', lambda: client.get_last_published_msg()[0] == {"v": 2})
    assert first == {0: {"v": 1}, "extra": 1}
    assert client.msg_subscribed == {0: {"v": 2}}


@pytest.mark.parametrize("payload, error", [
    ("", "Expecting value: line 1 column 1 (char 0)"),
    ("{not json", "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"),
])
def test_text_that_is_not_json_is_logged_and_dropped(listening, kit_log, t, payload, error):
    client, deliver = listening
    deliver(t.A, '{"v": 1}', lambda: client.get_last_published_msg())
    deliver(t.A, payload, lambda: lines(kit_log))
    assert lines(kit_log) == [f"Failed to parse subscribed message({payload}) - {error}"]
    assert [r.levelname for r in kit_log.records if r.name == LOGGER][-1] == "ERROR"
    assert client.get_last_published_msg() == {0: {"v": 1}}


@pytest.mark.parametrize("verbose", [False, True])
@pytest.mark.parametrize("entry", ["missing", "not-callable"])
def test_topic_without_callable_entry(broker, listening, kit_log, t, verbose, entry):
    client, deliver = listening
    client.verbose = verbose
    if entry == "missing":
        topic = t.C
        client.subscribe(topic)
        assert wait_for(lambda: subscriptions_of(broker, topic) == 1, 5)
    else:
        topic = t.B
        client.callbacks[topic] = 42
    deliver(topic, '{"v": 1}', lambda: lines(kit_log, "ERROR"))
    expected = [("ERROR", f"Callback of topic '{topic}' is not callable!")]
    if verbose:
        expected.insert(0, ("INFO", f'Received a message(`{{"v": 1}}`) on topic: `{topic}`'))
    assert [(r.levelname, r.getMessage()) for r in kit_log.records
            if r.name == LOGGER and r.getMessage() != "Connected with result code 0"] == expected
    assert client.get_last_published_msg() == {}


def test_any_callable_gets_topic_and_msg_as_keywords(listening, kit_log, t):
    client, deliver = listening
    calls = []

    def callback(*, topic, msg):
        calls.append((topic, msg))
        return "ignored"

    client.callbacks[t.A] = callback
    deliver(t.A, "héllo ✓".encode(), lambda: calls)
    assert calls == [(t.A, "héllo ✓")]
    assert lines(kit_log) == []


@pytest.mark.parametrize("fault, payload, error", [
    ("raising callback", b'{"v": 0}', "Callback of topic '{}' failed - boom"),
    ("invalid UTF-8", b"\xff\xfe{}",
     "Failed to decode message on topic '{}' - 'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"),
    ("array", b"[1, 2]", "Failed to store subscribed message([1, 2]) - not a JSON object"),
    ("number", b"5", "Failed to store subscribed message(5) - not a JSON object"),
    ("string", b'"source_key"', 'Failed to store subscribed message("source_key") - not a JSON object'),
    ("null", b"null", "Failed to store subscribed message(null) - not a JSON object"),
], ids=["raising-callback", "invalid-utf8", "array", "number", "string", "null"])
def test_faulty_messages_are_logged_and_later_ones_still_arrive(listening, kit_log, t, fault, payload, error):
    client, deliver = listening
    if fault == "raising callback":
        def callback(topic, msg):
            raise RuntimeError("boom")
        client.callbacks[t.A] = callback
    thread = client.client._thread
    deliver(t.A, payload, lambda: lines(kit_log, "ERROR"))
    logged = lines(kit_log, "ERROR")
    assert len(logged) == 1 and logged[0].split("\n")[0] == error.format(t.A)
    if fault == "raising callback":
        assert "Traceback (most recent call last)" in logged[0] and logged[0].endswith("RuntimeError: boom")
    assert client.get_last_published_msg() == {}
    # the network thread survived and dispatches the next message as before
    deliver(t.B, '{"v": 1}', lambda: client.get_last_published_msg() == {0: {"v": 1}})
    assert client.client._thread is thread and thread.is_alive()
    assert client.client.is_connected()


def test_a_topic_that_cannot_be_subscribed_does_not_stop_the_others(broker, make_client, kit_log, t):
    client = make_client(port=broker.port, subscribe_topics=["", t.B], verbose=False)
    ready(client, broker, t.B)
    errors = lines(kit_log, "ERROR")
    assert len(errors) == 1 and errors[0].startswith("Failed to subscribe to topic '' - Invalid topic.")
    assert "Traceback" in errors[0]


@pytest.mark.parametrize("text", [
    ' \t{"a": [1, 2.5, "x"], "b": {"c": null}}\r\n', '{"big": 123456789012345678901234567890}',
    '{"inf": Infinity, "e": 1e400}', '{"u": "\\u00e9\\ud83d\\ude00"}', '{"a": 1} x', '{"a": 1}{"b": 2}',
    "\ufeff{}", "   ", "{", '{"a": }', '{"a": 1,}', "[]", '"str"',
])
def test_listener_parses_exactly_like_json_loads(broker, make_client, kit_log, t, text):
    client = make_client(port=broker.port, verbose=False)
    try:
        expected, error = json.loads(text), None
    except ValueError as err:
        expected, error = None, f"Failed to parse subscribed message({text}) - {err}"
    client._on_kestrix_msg_listen(t.A, text)
    if error is not None:
        assert lines(kit_log, "ERROR") == [error] and client.get_last_published_msg() == {}
    elif isinstance(expected, dict):
        assert client.get_last_published_msg() == {0: expected}
        assert lines(kit_log, "ERROR") == []
    else:
        assert lines(kit_log, "ERROR") == [f"Failed to store subscribed message({text}) - not a JSON object"]


def open_files() -> int:
    return len(os.listdir("/proc/self/fd"))


def test_a_finished_client_keeps_no_socket_open(broker, kit_log, t):
    # paho makes a wake-up socket pair for each network thread; the pairs of ended threads must be
    # closed, not left to the garbage collector (which may finalize them with a ResourceWarning).
    before = open_files()
    client = CourierClient(port=broker.port, subscribe_topics=[t.A], verbose=False)
    ready(client, broker, t.A)
    client.disconnect()  # the watcher reconnects: a second network thread
    ready(client, broker, t.A, times=2)
    client.stop()
    client.join(1)
    client.disconnect()
    assert wait_for(lambda: open_files() == before, 2), (open_files(), before)


# ---------------------------------------------------------------------------------------------
# faults: what callbacks raise, refused and blocked connections, large messages

@pytest.mark.parametrize("exc", [SystemExit, KeyboardInterrupt, RuntimeError])
def test_whatever_a_topic_callback_raises_later_messages_arrive(listening, kit_log, t, exc):
    client, deliver = listening

    def callback(topic, msg):
        raise exc("stop here")

    client.callbacks[t.A] = callback
    thread = client.client._thread
    deliver(t.A, '{"v": 0}', lambda: lines(kit_log, "ERROR"))
    [line] = lines(kit_log, "ERROR")
    assert line.startswith(f"Callback of topic '{t.A}' failed - stop here\nTraceback (most recent call last)")
    assert line.endswith(f"{exc.__name__}: stop here")
    deliver(t.B, '{"v": 1}', lambda: client.get_last_published_msg() == {0: {"v": 1}})
    assert client.client._thread is thread and thread.is_alive() and client.client.is_connected()


@pytest.mark.parametrize("exc", [SystemExit, KeyboardInterrupt])
def test_connect_and_publish_callbacks_contain_what_they_meet(broker, make_client, peers, kit_log, t, exc):
    class Client(CourierClient):
        def subscribe(self, topic):
            if topic == t.A:
                raise exc("no subscription")
            super().subscribe(topic)

    class Verbose:
        def __bool__(self):
            raise exc("no verdict")

    client = make_client(cls=Client, port=broker.port, subscribe_topics=[t.A, t.B], verbose=False)
    ready(client, broker, t.B)
    assert wait_for(lambda: lines(kit_log, "ERROR"), 5)
    assert lines(kit_log, "ERROR")[0].startswith(f"Failed to subscribe to topic '{t.A}' - no subscription\nTraceback")
    thread = client.client._thread
    client.verbose = Verbose()
    client.publish(t.P, "x")
    assert wait_for(lambda: len(lines(kit_log, "ERROR")) == 2, 5)
    line = lines(kit_log, "ERROR")[1]
    assert line.startswith("Failed to handle a publish acknowledgement - no verdict\n")
    assert line.endswith(f"{exc.__name__}: no verdict")
    client.verbose = False
    peers(broker).send(t.B, '{"v": 1}')
    assert wait_for(lambda: client.get_last_published_msg() == {0: {"v": 1}}, 5)
    assert client.client._thread is thread and thread.is_alive() and client.client.is_connected()


def test_a_run_of_refusals_is_warned_about_once(private_broker, make_client, kit_log, t):
    server = private_broker(username="kit", password="s3cret")
    client = make_client(port=server.port, username="kit", password="wrong", verbose=False)
    warning = (f"MQTT broker 127.0.0.1:{server.port} refused the connection (result code 5) - "
               "Connection Refused: not authorised.")
    assert wait_for(lambda: connected_lines(kit_log, 5) >= 3, 10)
    assert lines(kit_log, "WARNING") == [warning]
    # accepted once: the next refusal starts a new run, warned about again
    client.client.username_pw_set("kit", "s3cret")
    assert wait_for(lambda: connected_lines(kit_log, 0) == 1, 10)
    client.client.username_pw_set("kit", "wrong")
    refusals = connected_lines(kit_log, 5)
    client.disconnect()
    assert wait_for(lambda: connected_lines(kit_log, 5) >= refusals + 2, 10)
    assert lines(kit_log, "WARNING") == [warning, warning]
    assert "s3cret" not in kit_log.text and "wrong" not in kit_log.text


@pytest.mark.parametrize("verbose", [False, True])
def test_a_large_message_is_cut_in_the_log(listening, kit_log, t, verbose):
    client, deliver = listening
    client.verbose = verbose
    payload = "y" * (10 * 1024 * 1024)
    deliver(t.A, payload, lambda: lines(kit_log, "ERROR"))
    quoted = "y" * 1000 + "... (10485760 characters)"
    expected = [f"Failed to parse subscribed message({quoted}) - Expecting value: line 1 column 1 (char 0)"]
    if verbose:
        expected.insert(0, f"Received a message(`{quoted}`) on topic: `{t.A}`")
    assert lines(kit_log) == expected


def test_stop_and_disconnect_during_a_blocked_connection_attempt_leave_nothing(full_backlog, kit_log):
    before_threads, before_sockets = set(threading.enumerate()), sockets()
    client = CourierClient(port=full_backlog.port, verbose=False)
    assert wait_for(lambda: connecting_to(full_backlog.port), 10)
    client.stop()
    done = threading.Thread(target=client.disconnect)
    done.start()
    full_backlog.free()  # the attempt now completes (or times out), after the disconnect() call
    done.join(30)
    client.join(30)
    assert not done.is_alive() and not client.is_alive()
    assert not network_threads()
    assert set(threading.enumerate()) - before_threads == set()
    assert sockets() == before_sockets


# ---------------------------------------------------------------------------------------------
# with blocks and close(): the whole shutdown, exception or not

def tasks() -> int:
    """Threads of this process as the kernel counts them (Python's and native ones)."""
    return len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize("raised", [None, AttributeError, KeyboardInterrupt, SystemExit])
def test_a_with_block_stops_joins_and_disconnects(raised, broker, peers, t):
    peer = peers(broker, t.W)  # made first: the counts are taken with it running
    peer_threads, peer_native, peer_sockets = set(threading.enumerate()), tasks(), sockets()

    def block():
        with CourierClient(port=broker.port, subscribe_topics=[t.A], verbose=False) as client:
            ready(client, broker, t.A)
            client.publish(t.W, "from inside")
            assert wait_for(lambda: peer.received, 5)
            if raised is not None:
                raise raised("set-up failed")
        return client

    if raised is None:
        client = block()
    else:
        with pytest.raises(raised, match="set-up failed"):
            block()
        client = None
    assert set(threading.enumerate()) == peer_threads and not network_threads()
    # A joined thread's kernel task ends a moment after its join returns.
    assert wait_for(lambda: tasks() == peer_native, 5), (tasks(), peer_native)
    assert sockets() <= peer_sockets  # none added (others may close meanwhile)
    if client is not None:
        assert not client.is_alive() and not client.client.is_connected()


@pytest.mark.parametrize("steps", [
    ["close", "close"],
    ["stop", "close"],
    ["stop", "join", "disconnect", "close"],
    ["close", "exit"],
    ["disconnect", "exit", "close"],
])
def test_close_is_idempotent(steps, broker, t):
    before = sockets()
    client = CourierClient(port=broker.port, subscribe_topics=[t.A], verbose=False)
    ready(client, broker, t.A)
    for step in steps:
        if step == "exit":
            assert client.__exit__(None, None, None) is False
        else:
            getattr(client, step)()
    assert not client.is_alive() and not client.client.is_connected() and not network_threads()
    assert wait_for(lambda: sockets() <= before, 2)


def test_close_of_a_client_that_never_reached_its_broker(make_client):
    port = free_port()
    with CourierClient(port=port, verbose=False) as client:
        assert client.is_alive()
    assert not client.is_alive() and not network_threads()
    assert client.stats()["connected"] is False


# ---------------------------------------------------------------------------------------------
# stats(): the client's own counters

STATS_KEYS = {"published", "received", "publish_failures", "reconnections", "connected"}


@pytest.mark.parametrize("sent, received", [(0, 0), (1, 3), (25, 10)])
def test_stats_count_what_the_client_did(sent, received, broker, make_client, peers, t):
    peer = peers(broker, t.Out)
    client = make_client(port=broker.port, subscribe_topics=[t.In], verbose=False)
    ready(client, broker, t.In)
    assert client.stats() == dict(published=0, received=0, publish_failures=0, reconnections=0,
                                  connected=True)
    for n in range(sent):
        client.publish(t.Out, f"m{n}")
    for n in range(received):
        peer.send(t.In, json.dumps({"n": n}))
    assert wait_for(lambda: len(peer.received) == sent and client.stats()["received"] == received, 5)
    stats = client.stats()
    assert type(stats) is dict and set(stats) == STATS_KEYS
    assert (stats["published"], stats["publish_failures"], stats["reconnections"]) == (sent, 0, 0)
    assert stats is not client.stats()  # a new dict per call


def test_stats_count_failed_publishes_and_a_reconnection(private_broker, make_client, peers, t):
    server = private_broker()
    client = make_client(port=server.port, subscribe_topics=[t.A], verbose=False)
    ready(client, server, t.A)
    server.stop()
    assert wait_for(lambda: not client.stats()["connected"], 5)
    for _ in range(3):
        client.publish(t.A, "lost")  # paho refuses: no connection
    assert client.stats()["publish_failures"] == 3 and client.stats()["published"] == 0
    server.start()
    ready(client, server, t.A, times=2)
    peers(server).send(t.A, '{"back": 1}')
    assert wait_for(lambda: client.stats()["received"] == 1, 5)
    assert client.stats() == dict(published=0, received=1, publish_failures=3, reconnections=1,
                                  connected=True)


def test_a_publish_that_raises_is_counted_as_failed(make_client):
    client = make_client(port=free_port(), verbose=False)
    with pytest.raises(TypeError):
        client.publish("t", object())
    assert client.stats()["publish_failures"] == 1
