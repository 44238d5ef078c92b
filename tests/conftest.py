"""Shared fixtures: real Mosquitto and Redis servers on loopback."""

from __future__ import annotations

import logging
import os
import sys
import threading

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from certs import make_tls_certs  # noqa: E402
from servers import FullBacklog, Mosquitto, RedisServer, port_open  # noqa: E402


@pytest.fixture(scope="session")
def tls_certs(tmp_path_factory):
    """Throwaway certificates made with openssl for this session (see certs.TlsCerts)."""
    return make_tls_certs(tmp_path_factory.mktemp("tls"))


@pytest.fixture(scope="session")
def broker():
    """A broker shared by the whole session (do not stop it in a test)."""
    server = Mosquitto().start()
    yield server
    server.close()


@pytest.fixture
def private_broker():
    """Factory for brokers a test may stop, restart or protect with a password."""
    made = []

    def make(**kwargs) -> Mosquitto:
        server = Mosquitto(**kwargs)
        made.append(server)
        return server.start()

    yield make
    for server in made:
        server.close()


@pytest.fixture(scope="session")
def redis_server():
    """A Redis server shared by the whole session (do not stop it in a test)."""
    server = RedisServer().start()
    yield server
    server.close()


@pytest.fixture
def private_redis():
    """Factory for Redis servers a test may stop and start again."""
    made = []

    def make(**kwargs) -> RedisServer:
        server = RedisServer(**kwargs)
        made.append(server)
        return server.start()

    yield make
    for server in made:
        server.close()


@pytest.fixture(scope="module")
def own_servers():
    """(Redis server, broker) of the test module's own, on free ports."""
    rds, brk = RedisServer().start(), Mosquitto().start()
    yield rds, brk
    brk.close()
    rds.close()


def _default_port_server(cls, port: int, what: str):
    if port_open(port):
        # Something already listens there; use it only if it is the right kind of server.
        yield None
        return
    server = cls(port=port).start()
    yield server
    server.close()


@pytest.fixture(scope="session")
def default_broker():
    """A broker on the kit's default address 127.0.0.1:1883 (reused if one is listening)."""
    if port_open(1883):
        if not _is_mqtt_broker(1883):
            pytest.skip("port 1883 is taken by something that is not an MQTT broker")
        yield None
        return
    yield from _default_port_server(Mosquitto, 1883, "MQTT broker")


@pytest.fixture(scope="session")
def default_redis():
    """A Redis server on the kit's default address localhost:6379 (reused if one is listening)."""
    if port_open(6379):
        if not _is_redis(6379):
            pytest.skip("port 6379 is taken by something that is not a Redis server")
        yield None
        return
    yield from _default_port_server(RedisServer, 6379, "Redis server")


def _is_mqtt_broker(port: int) -> bool:
    import socket

    # MQTT 3.1.1 CONNECT with client id "kx-probe"; a broker answers with CONNACK (0x20).
    packet = bytes([0x10, 0x14, 0x00, 0x04]) + b"MQTT" + bytes([0x04, 0x02, 0x00, 0x3C, 0x00, 0x08]) + b"kx-probe"
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
            s.sendall(packet)
            return s.recv(1)[:1] == b"\x20"
    except OSError:
        return False


def _is_redis(port: int) -> bool:
    import socket

    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
            s.sendall(b"PING\r\n")
            return s.recv(16).startswith(b"+PONG")
    except OSError:
        return False


@pytest.fixture
def full_backlog():
    """A listener on 127.0.0.1 whose accept queue is full (a connection attempt to it blocks)."""
    backlog = FullBacklog()
    yield backlog
    backlog.close()


@pytest.fixture
def kit_log(caplog):
    """caplog at info level for every logger of the kit."""
    caplog.set_level(logging.INFO, logger="kestrix_sdk")
    return caplog


@pytest.fixture
def no_thread_leak():
    """Fails the test if it leaves threads behind (other than those alive before it)."""
    before = set(threading.enumerate())
    yield
    from servers import wait_for

    wait_for(lambda: not (set(threading.enumerate()) - before), 3)
    left = [t.name for t in set(threading.enumerate()) - before]
    assert not left, f"threads left running: {left}"
