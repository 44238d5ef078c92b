import threading
from logging import Logger
from types import TracebackType
from typing import Any, Literal

from kestrix_sdk.constants import PREFIX as PREFIX
from kestrix_sdk.mqtt.courier import CourierClient
from kestrix_sdk.redis.vault import VaultClient

STATUS_LOG_INTERVAL: int
logger: Logger
KestrixMqtt = CourierClient
KestrixRedis = VaultClient
NODE_ID: str
NODE_TYPE: str

class StatusCaching(threading.Thread):
    node_id: str
    node_name: str
    node_type: str
    log_interval: int
    _status_buf: dict[Any, Any]
    _error_buf: dict[str, Any]
    _b_stop: threading.Event
    verbose: Any
    _buf_lock: threading.RLock
    def __init__(
        self,
        node_id: str = "",
        node_name: str = "",
        node_type: str = "",
        log_interval: int = 60,
        verbose: Any = False,
    ) -> None: ...
    def run(self) -> None: ...
    def update_status_info(self, info: dict[Any, Any], source_idx: int) -> None:
        """Update status buf

        source_idx counts from 0 and is at most 65535; any other value raises ValueError before
        anything is changed.
        """
    def update_error_info(self, msg: str) -> None: ...
    @staticmethod
    def info(msg: str) -> None: ...
    @staticmethod
    def warning(msg: str) -> None: ...
    def error(self, msg: str) -> None: ...
    def stop(self) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> StatusCaching: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]: ...

def get_pulse_logger(
    node_id: Any = None, node_name: Any = "", node_type: Any = ""
) -> StatusCaching: ...
