"""The live view's broker side: the nodes' status and error reports, received as they come."""

from __future__ import annotations

import collections
import json
import logging
import os
import secrets
import threading
import time
from typing import Any

from kestrix_sdk.reports import report_kind
from kestrix_sdk.view.config import MAX_ERRORS, ViewConfig, mqtt_where

logger = logging.getLogger("kestrix_sdk.view")


class Reports:
    """Status and error reports from the broker, received in paho's network thread."""

    def __init__(self, config: ViewConfig) -> None:
        self._lock = threading.Lock()
        self.status: dict[str, dict[str, Any]] = {}
        self.errors: collections.deque[dict[str, Any]] = collections.deque(maxlen=MAX_ERRORS)
        self.connected = False
        self._config = config
        self._client: Any = None

    def start(self) -> None:
        import paho.mqtt.client as mqtt

        from kestrix_sdk.server_urls import mqtt_connection

        client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2,
                             client_id=f"kestrix-view-{os.getpid()}-{secrets.token_hex(3)}")
        config = self._config
        _, host, port = mqtt_connection(client, config.mqtt_host, config.mqtt_port,
                                        config.mqtt_username, config.mqtt_password,
                                        config.mqtt_url)
        client.reconnect_delay_set(1, 5)
        client.on_connect = self._on_connect
        client.on_disconnect = self._on_disconnect
        client.on_message = self._on_message
        client.connect_async(host, port, keepalive=30)
        client.loop_start()
        self._client = client

    def stop(self) -> None:
        if self._client is not None:
            self._client.disconnect()
            self._client.loop_stop()
            self._client = None

    def _on_connect(self, client, userdata, flags, reason_code, properties) -> None:  # noqa: ARG002
        if reason_code.is_failure:
            logger.warning("the MQTT broker at %s refused the connection - %s",
                           mqtt_where(self._config), reason_code)
            return
        # A wildcard stands for whole topic levels only: take every topic and keep the reports.
        client.subscribe("#", 0)
        self.connected = True

    def _on_disconnect(self, client, userdata, flags, reason_code, properties) -> None:  # noqa: ARG002
        self.connected = False

    def _on_message(self, client, userdata, msg) -> None:  # noqa: ARG002
        # An error here would end paho's network thread: it ends only this message's handling.
        try:
            self._take(msg)
        except Exception:
            logger.exception("cannot handle a message of the MQTT broker")

    def _take(self, msg) -> None:
        try:
            topic = msg.topic
        except UnicodeDecodeError:
            return
        kind = report_kind(topic)
        if kind is None:
            return
        text = msg.payload.decode("utf-8", "replace")
        try:
            record: Any = json.loads(text)
        except ValueError:
            record = text
        with self._lock:
            if kind[0] == "error":
                self.errors.append({"topic": topic, "node": kind[1], "received": time.time(),
                                    "record": record})
            elif isinstance(record, dict) and record.get("id") == kind[1]:
                self.status[kind[1]] = record

    def snapshot(self) -> tuple[dict[str, dict[str, Any]], list[dict[str, Any]]]:
        with self._lock:
            return dict(self.status), list(self.errors)
