"""Pieces shared by the demo's processes: node identities, topic and key names, logging set-up,
stop signals and the end-of-run status check."""

from __future__ import annotations

import json
import logging
import signal
import threading
import time

import redis

from kestrix_sdk.constants import PREFIX

CAMERA_ID = "camera"
ANALYTICS_ID = "analytics"
NODES = (CAMERA_ID, ANALYTICS_ID)

# The demo's reporters report every second (the kit's default is a minute).
STATUS_INTERVAL = 1


def status_topic(node_id: str) -> str:
    return f"{PREFIX.MQTT.DEBUG}_{node_id}"


def error_topic(node_id: str) -> str:
    return f"{PREFIX.MQTT.CLOUD}_{node_id}"


def status_key(node_id: str) -> str:
    """The Redis key under which a node's status reporter stores its record."""
    return f"{PREFIX.REDIS.STATUS}_{node_id}"


def setup_logging(verbose: bool) -> None:
    """The kit's log lines on standard error: warnings and errors, or everything with verbose.

    Without verbose the status reporter's own warnings (each error record as it is recorded and
    published) are left out: the monitor shows those reports already."""
    logging.basicConfig(format="%(asctime)s %(name)s %(levelname)s %(message)s",
                        level=logging.INFO if verbose else logging.WARNING)
    if not verbose:
        logging.getLogger("kestrix_sdk.STATUS").setLevel(logging.ERROR)


def stop_on_signals() -> threading.Event:
    """An event that SIGINT or SIGTERM sets, so that a node can end its loop and stop its threads
    in order instead of dying in the middle of a write."""
    stop = threading.Event()

    def handler(signum, frame):  # noqa: ARG001
        stop.set()

    signal.signal(signal.SIGINT, handler)
    signal.signal(signal.SIGTERM, handler)
    return stop


def wait_until(predicate, timeout: float, interval: float = 0.02, stop: threading.Event | None = None) -> bool:
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline or (stop is not None and stop.is_set()):
            return False
        time.sleep(interval)


def wait_connected(courier, timeout: float, stop: threading.Event | None = None) -> bool:
    """Waits until a CourierClient's broker connection is up."""
    return wait_until(courier.client.is_connected, timeout, 0.05, stop)


def wait_status_stored(vault, node_id: str, expected: dict, timeout: float) -> bool:
    """Waits until the node's status record in Redis holds the expected values, i.e. until the
    reporter has sent a report made after the node's last update."""
    key = status_key(node_id)

    def stored() -> bool:
        try:
            raw = vault.read_data(key)
        except redis.exceptions.RedisError:
            return False
        if raw is None:
            return False
        try:
            record = json.loads(raw)
        except ValueError:
            return False
        return all(record.get(k) == v for k, v in expected.items())

    return wait_until(stored, timeout, 0.05)
