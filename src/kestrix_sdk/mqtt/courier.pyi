import logging
import ssl
import threading
from types import TracebackType
from typing import Any, Callable, Literal, TypedDict

import paho.mqtt.client

from kestrix_sdk.constants import PREFIX as PREFIX

logger: logging.Logger
DEFAULT_MQTT_HOST: str
DEFAULT_MQTT_PORT: int
MQTT_URL_ENV: str

class _MqttUrl(TypedDict):
    scheme: str
    host: str
    port: int
    username: str | None
    password: str | None
    tls: bool
    ca: str | None
    cert: str | None
    key: str | None

class _CourierStats(TypedDict):
    """CourierClient.stats(): the client's own counters."""

    published: int  # messages paho queued
    received: int  # messages handed to the dispatch
    publish_failures: int  # publish() calls paho refused or that raised
    reconnections: int  # connections the broker accepted after the first
    connected: bool  # connected now

def gen_mqtt_key_local(node_id: object) -> str: ...
def parse_mqtt_url(url: str) -> _MqttUrl: ...
def redact_url(url: str) -> str: ...

class CourierClient(threading.Thread):
    callbacks: dict[str, Callable[..., object]]
    host: str | None
    port: int | None
    url: str | None
    verbose: Any
    client: paho.mqtt.client.Client
    _username: Any
    _password: Any
    _b_stop: threading.Event
    _lock: threading.Lock
    msg_subscribed: dict[str | int, dict[str, Any]]
    _connect_lock: threading.RLock
    _refused_rc: Any
    _counters: object
    def __init__(
        self,
        host: str | None = "127.0.0.1",
        port: int | None = 1883,
        subscribe_topics: list[str | None] | None = None,
        verbose: object = True,
        username: Any = None,
        password: Any = None,
        *,
        url: str | None = None,
    ) -> None: ...
    def connect(self) -> bool: ...
    def run(self) -> None: ...
    def disconnect(self) -> None: ...
    def stop(self) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> CourierClient: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]: ...
    def stats(self) -> _CourierStats: ...
    def publish(self, topic: str, message: str | bytes | bytearray | int | float | None) -> tuple[bool, int]: ...
    def subscribe(self, topic: str) -> None: ...
    def unsubscribe(self, topic: str) -> None: ...
    def get_last_published_msg(self) -> dict[str | int, dict[str, Any]]: ...
    def _on_connect(self, client: paho.mqtt.client.Client, userdata: Any, flags: dict[str, int], rc: int) -> None: ...
    def _on_message(self, client: paho.mqtt.client.Client, userdata: Any, msg: paho.mqtt.client.MQTTMessage) -> None: ...
    def _on_publish(self, client: paho.mqtt.client.Client, userdata: Any, mid: int) -> None: ...
    def _on_kestrix_msg_listen(self, topic: str, msg: str) -> None: ...

class _TlsSocket(ssl.SSLSocket):
    def do_handshake(self, *args: Any, **kwargs: Any) -> None: ...
