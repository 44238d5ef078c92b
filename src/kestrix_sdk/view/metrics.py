"""The live view's state in the Prometheus text format (GET /metrics), with prometheus_client.

A custom collector builds the samples from a snapshot of the view's state at each scrape, so
nothing is counted twice and nothing outlives the state it describes (a node dropped from the
node table leaves the metrics with it).
"""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Callable, Iterator

from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, generate_latest
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric

__all__ = ["CONTENT_TYPE_LATEST", "FrameState", "NodeState", "ViewState", "registry", "render"]


@dataclass
class NodeState:
    last_status: float | None = None   # time of the node's latest status record (its "ts")
    status_reports: int = 0            # status reports received from the broker
    error_reports: int = 0             # error reports received from the broker


@dataclass
class FrameState:
    changed: float | None = None       # when the view saw the stored value change
    stored_bytes: int | None = None    # size of the stored value (base64 text)
    served: int = 0                    # frames sent (stream parts and single frames)
    viewers: int = 0                   # streams open on the key


@dataclass
class ViewState:
    nodes: dict[str, NodeState] = field(default_factory=dict)
    frames: dict[str, FrameState] = field(default_factory=dict)
    streams: int = 0
    clients: int = 0                   # client addresses with a stream open
    redis_up: bool = False
    broker_up: bool = False
    refused: dict[str, int] = field(default_factory=dict)   # reason -> records refused
    nodes_dropped: int = 0
    now: float = field(default_factory=time.time)


class ViewCollector:
    """Yields the metric families of the state that `snapshot()` returns."""

    def __init__(self, snapshot: Callable[[], ViewState]) -> None:
        self._snapshot = snapshot

    def collect(self) -> Iterator[Metric]:
        state = self._snapshot()
        age = GaugeMetricFamily("kestrix_node_last_status_age_seconds",
                                "Seconds since the node's latest status record", labels=["node"])
        status = CounterMetricFamily("kestrix_node_status_reports",
                                     "Status reports of the node received from the broker",
                                     labels=["node"])
        errors = CounterMetricFamily("kestrix_node_error_reports",
                                     "Error reports of the node received from the broker",
                                     labels=["node"])
        for node in sorted(state.nodes):
            info = state.nodes[node]
            if info.last_status is not None:
                age.add_metric([node], max(0.0, state.now - info.last_status))
            status.add_metric([node], info.status_reports)
            errors.add_metric([node], info.error_reports)
        yield from (age, status, errors)

        frame_age = GaugeMetricFamily("kestrix_frame_age_seconds",
                                      "Seconds since the frame stored under the key last changed",
                                      labels=["key"])
        size = GaugeMetricFamily("kestrix_frame_stored_bytes",
                                 "Size of the value stored under the frame key", labels=["key"])
        served = CounterMetricFamily("kestrix_frames_served",
                                     "Frames of the key sent to viewers", labels=["key"])
        viewers = GaugeMetricFamily("kestrix_frame_viewers", "Streams open on the frame key",
                                    labels=["key"])
        for key in sorted(state.frames):
            frame = state.frames[key]
            if frame.changed is not None:
                frame_age.add_metric([key], max(0.0, state.now - frame.changed))
            if frame.stored_bytes is not None:
                size.add_metric([key], frame.stored_bytes)
            served.add_metric([key], frame.served)
            viewers.add_metric([key], frame.viewers)
        yield from (frame_age, size, served, viewers)

        yield GaugeMetricFamily("kestrix_view_streams", "Frame streams open", value=state.streams)
        yield GaugeMetricFamily("kestrix_view_stream_clients",
                                "Client addresses with a frame stream open", value=state.clients)
        yield GaugeMetricFamily("kestrix_redis_up", "Whether the Redis server answers (1) or not (0)",
                                value=int(state.redis_up))
        yield GaugeMetricFamily("kestrix_broker_up",
                                "Whether the MQTT broker connection is up (1) or not (0)",
                                value=int(state.broker_up))
        refused = CounterMetricFamily("kestrix_view_records_refused",
                                      "Records from the broker or Redis not kept as they came "
                                      "(too_large: kept as a marker; non_finite: NaN or an "
                                      "infinity, dropped)", labels=["reason"])
        for reason in sorted(state.refused):
            refused.add_metric([reason], state.refused[reason])
        yield refused
        yield CounterMetricFamily("kestrix_view_nodes_dropped",
                                  "Nodes dropped from the full node table to make room",
                                  value=state.nodes_dropped)


def registry(snapshot: Callable[[], ViewState]) -> CollectorRegistry:
    """A registry holding only the view's collector (no process or platform metrics)."""
    reg = CollectorRegistry(auto_describe=False)
    reg.register(ViewCollector(snapshot))
    return reg


def render(reg: CollectorRegistry) -> bytes:
    """The text format of everything in the registry."""
    return generate_latest(reg)
