import logging
import threading
from types import TracebackType
from typing import Literal, TypedDict

import numpy as np
import numpy.typing as npt
import redis

logger: logging.Logger
DEFAULT_REDIS_HOST: str
DEFAULT_REDIS_PORT: int
REDIS_URL_ENV: str

class _RedisUrl(TypedDict):
    scheme: str
    host: str | None
    port: int | None
    username: str | None
    password: str | None
    tls: bool
    ca: str | None
    cert: str | None
    key: str | None
    path: str | None
    db: int

class _VaultStats(TypedDict):
    """VaultClient.stats(): the client's own counters."""

    frame_writes: int  # frames encoded and stored
    frame_write_failures: int  # frames that could not be encoded or stored
    frames_dropped: int  # background frames replaced by a newer one before their write
    data_writes: int  # put_data calls that stored
    data_write_failures: int  # put_data calls that did not
    reads: int  # read_data and get_frame calls
    write_seconds_total: float  # time of all frame writes (encoding and SET)
    last_write_seconds: float  # time of the last frame write

def gen_redis_key_local(node_id: object, port: object) -> str: ...
def parse_redis_url(url: str) -> _RedisUrl: ...
def redact_url(url: str) -> str: ...
def b64decode(data: bytes) -> bytes: ...

class VaultClient:
    """Represents a redis client specified for the containers."""

    _use_thread: object
    _redis_client: redis.StrictRedis
    def __init__(
        self, thread: object = True, host: str = "localhost", port: int = 6379, *, url: str | None = None
    ) -> None: ...
    @staticmethod
    def gen_redis_key_status(node_id: object, port: object) -> str: ...
    def put_data(self, redis_key: str, data: str) -> bool: ...
    def read_data(self, redis_key: str) -> bytes | None: ...
    def delete_data(self, redis_key: str) -> bool: ...
    @staticmethod
    def img_to_base64str(
        image: npt.NDArray[np.uint8], zoom_ratio: float | None = 1.0
    ) -> tuple[bool, bytes]: ...
    @staticmethod
    def base64_to_img(b64_bytes: bytes) -> npt.NDArray[np.uint8] | None: ...
    def write_frame(
        self, frame: npt.NDArray[np.uint8] | None, redis_key: str, zoom: float | None = 1.0
    ) -> bool: ...
    def _write_to_redis(
        self, frame: npt.NDArray[np.uint8] | None, redis_key: str, zoom: float | None = 1.0
    ) -> bool: ...
    def get_frame(self, redis_key: str) -> npt.NDArray[np.uint8] | None: ...
    def stats(self) -> _VaultStats: ...
    def close(self) -> None: ...
    def __enter__(self) -> VaultClient: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]: ...

class _FrameWriter(threading.Thread): ...
