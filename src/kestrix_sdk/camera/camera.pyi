import threading
from logging import Logger
from types import TracebackType
from typing import Literal

from kestrix_sdk.redis.vault import VaultClient
from kestrix_sdk.status.pulse import StatusCaching

logger: Logger

class CameraSource(threading.Thread):
    """Camera node: keeps the newest frame of a video source in the Redis store."""

    source: str | int
    redis_key: str
    loop: bool
    stall_after: float
    status_interval: float
    node_id: str
    vault: VaultClient
    status: StatusCaching
    state: str
    frames_read: int
    frames_stored: int
    frames_dropped: int
    reconnects: int
    frame_size: tuple[int, int] | None
    passthrough: bool
    def __init__(
        self,
        source: str | int,
        redis_key: str,
        *,
        fps: float | None = None,
        width: int | None = None,
        height: int | None = None,
        zoom: float | None = None,
        loop: bool = False,
        node_id: str | None = None,
        status_interval: float = 1.0,
        stall_after: float = 5.0,
        vault: VaultClient | None = None,
        status: StatusCaching | None = None,
    ) -> None: ...
    def run(self) -> None: ...
    def stop(self) -> None:
        """Stop this thread (it releases the source and ends)"""
    def __enter__(self) -> CameraSource:
        """Start the thread"""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]:
        """Stop the thread and wait for it to end, whether the block ended normally or raised; returns False"""
    @property
    def seconds_since_frame(self) -> float | None:
        """Seconds since the last frame was read (None before the first)"""
