"""Shared fixtures: real Mosquitto and Redis servers on loopback."""

from __future__ import annotations

import logging
import os
import sys
import threading

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from certs import make_tls_certs  # noqa: E402
from servers import FullBacklog, Mosquitto, RedisServer, server_urls  # noqa: E402

from kestrix_sdk.constants import MQTT_URL_ENV, REDIS_URL_ENV  # noqa: E402


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


@pytest.fixture(scope="session", autouse=True)
def _no_inherited_server_urls():
    """The suite talks only to servers it started: server URLs in the environment it was run from
    (a device's own KESTRIX_MQTT_URL / KESTRIX_REDIS_URL) are dropped for the whole session."""
    with pytest.MonkeyPatch.context() as mp:
        for name in (MQTT_URL_ENV, REDIS_URL_ENV):
            mp.delenv(name, raising=False)
        yield


@pytest.fixture
def kit_servers(broker, redis_server, monkeypatch):
    """The session's broker and Redis server, which clients made at the default address (the
    status reporter's own ones included) reach through KESTRIX_MQTT_URL / KESTRIX_REDIS_URL for
    the test's duration: (broker, redis_server)."""
    for name, url in server_urls(broker, redis_server).items():
        monkeypatch.setenv(name, url)
    return broker, redis_server


@pytest.fixture(scope="module")
def own_servers():
    """(Redis server, broker) of the test module's own, on free ports."""
    rds, brk = RedisServer().start(), Mosquitto().start()
    yield rds, brk
    brk.close()
    rds.close()


@pytest.fixture(scope="session")
def default_broker():
    pytest.fail("the tests never use the servers on the default ports: use `broker` (or `kit_servers`)")


@pytest.fixture(scope="session")
def default_redis():
    pytest.fail("the tests never use the servers on the default ports: use `redis_server` (or `kit_servers`)")


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
