"""The live view's broker side: the nodes' status and error reports, received as they come.

What is kept is bounded: the latest status record of at most `max_nodes` nodes (the node heard
from longest ago makes room), the latest MAX_ERRORS error reports, and records of at most
`max_record_bytes` (a larger one is kept as a marker with its size). A record holding NaN or an
infinity is refused. Both are counted in `refused`.
"""

from __future__ import annotations

import collections
import logging
import os
import secrets
import threading
import time
from dataclasses import dataclass
from typing import Any

from kestrix_sdk.reports import report_kind
from kestrix_sdk.view import limits
from kestrix_sdk.view.config import MAX_ERRORS, ViewConfig, mqtt_where

logger = logging.getLogger("kestrix_sdk.view")


@dataclass
class NodeReports:
    """What the broker brought of one node: its latest status record and the reports counted."""

    status: dict[str, Any] | None = None
    status_reports: int = 0
    error_reports: int = 0


class Reports:
    """Status and error reports from the broker, received in paho's network thread."""

    def __init__(self, config: ViewConfig) -> None:
        self._lock = threading.Lock()
        self.nodes = limits.NodeTable(config.max_nodes)
        self.errors: collections.deque[dict[str, Any]] = collections.deque(maxlen=MAX_ERRORS)
        self.refused: collections.Counter[str] = collections.Counter()
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
        client.on_subscribe = self._on_subscribe
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

    def _on_subscribe(self, client, userdata, mid, reason_codes, properties) -> None:  # noqa: ARG002
        # Up once the broker has granted the subscription: from then on no report is missed.
        if any(code.is_failure for code in reason_codes):
            logger.warning("the MQTT broker at %s refused the view's subscription - %s",
                           mqtt_where(self._config), reason_codes[0])
            return
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
        node = kind[1]
        if len(node) > limits.MAX_NODE_ID_LENGTH:
            with self._lock:
                self.refused["too_large"] += 1
            return
        size = len(msg.payload)
        record: Any
        if size > self._config.max_record_bytes:
            record = limits.oversized(size)
            if kind[0] == "status":
                record = {"id": node, **record}
            reason: str | None = "too_large"
        else:
            reason = None
            text = msg.payload.decode("utf-8", "replace")
            try:
                record = limits.loads(text)
            except limits.BadRecord:
                with self._lock:
                    self.refused["non_finite"] += 1
                return
            except ValueError:
                record = text
        with self._lock:
            if reason:
                self.refused[reason] += 1
            entry = self.nodes.get(node)
            if kind[0] == "error":
                self.errors.append({"topic": topic, "node": node, "received": time.time(),
                                    "record": record})
                entry = entry or NodeReports()
                entry.error_reports += 1
            elif isinstance(record, dict) and record.get("id") == node:
                entry = entry or NodeReports()
                entry.status = record
                entry.status_reports += 1
            else:
                return
            self.nodes.put(node, entry)

    def snapshot(self) -> tuple[dict[str, dict[str, Any]], list[dict[str, Any]]]:
        """(node id -> latest status record, error reports oldest first)."""
        with self._lock:
            return ({node: e.status for node, e in self.nodes.items() if e.status is not None},
                    list(self.errors))

    def counts(self) -> tuple[dict[str, NodeReports], dict[str, int], int]:
        """(node id -> its reports, refused records by reason, nodes dropped), for /metrics."""
        with self._lock:
            nodes = {node: NodeReports(e.status, e.status_reports, e.error_reports)
                     for node, e in self.nodes.items()}
            return nodes, dict(self.refused), self.nodes.dropped
