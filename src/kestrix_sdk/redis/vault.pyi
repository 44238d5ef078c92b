import logging
import threading
from typing import TypedDict

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

class _FrameWriter(threading.Thread): ...
