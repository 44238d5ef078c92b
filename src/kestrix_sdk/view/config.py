"""The live view's settings, its limits and how it names its servers and asks for a token."""

from __future__ import annotations

import ipaddress
import os
import secrets
import ssl
from dataclasses import dataclass, field, fields

from kestrix_sdk.view.limits import (
    DEFAULT_MAX_ANSWER_BYTES,
    DEFAULT_MAX_NODES,
    DEFAULT_MAX_RECORD_BYTES,
    DEFAULT_STREAMS_PER_CLIENT,
    DEFAULT_WRITE_TIMEOUT,
)

from kestrix_sdk.constants import DEFAULT_MQTT_HOST, DEFAULT_MQTT_PORT, DEFAULT_REDIS_HOST, DEFAULT_REDIS_PORT

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8321
DEFAULT_FPS = 15.0
DEFAULT_MAX_STREAMS = 32
DEFAULT_STALE_AFTER = 180.0
TOKEN_ENV = "KESTRIX_VIEW_TOKEN"

MAX_ERRORS = 200            # error reports kept for /api/errors
MAX_FRAME_KEYS = 256        # frame keys found under the node-local prefix
MAX_KEY_LENGTH = 1024       # longer key names in a path are not looked up
KEY_SCAN_INTERVAL = 3.0     # seconds between two look-ups of the frame keys
STATUS_INTERVAL = 1.0       # seconds between two reads of the status records
REDIS_RETRY = 1.0           # seconds between two tries while Redis is unreachable


@dataclass
class ViewConfig:
    host: str = DEFAULT_HOST
    port: int = DEFAULT_PORT
    frames: list[str] = field(default_factory=list)
    fps: float = DEFAULT_FPS
    token: str | None = None
    max_streams: int = DEFAULT_MAX_STREAMS
    stale_after: float = DEFAULT_STALE_AFTER
    redis_host: str = DEFAULT_REDIS_HOST
    redis_port: int = DEFAULT_REDIS_PORT
    mqtt_host: str = DEFAULT_MQTT_HOST
    mqtt_port: int = DEFAULT_MQTT_PORT
    mqtt_username: str | None = None
    mqtt_password: str | None = None
    # URLs replacing the addresses above (and adding credentials and TLS), as the operator
    # tool's --redis-url / --mqtt-url; they may hold passwords.
    redis_url: str | None = None
    mqtt_url: str | None = None
    scan_interval: float = KEY_SCAN_INTERVAL
    max_nodes: int = DEFAULT_MAX_NODES
    max_record_bytes: int = DEFAULT_MAX_RECORD_BYTES
    max_answer_bytes: int = DEFAULT_MAX_ANSWER_BYTES
    streams_per_client: int = DEFAULT_STREAMS_PER_CLIENT
    write_timeout: float = DEFAULT_WRITE_TIMEOUT
    # The certificate (chain) and key files of HTTPS; plain HTTP without them.
    cert: str | None = None
    key: str | None = None

    def __repr__(self) -> str:
        # The token and the passwords are shown as *** (a URL's password by redact_url).
        shown = []
        for f in fields(self):
            value = getattr(self, f.name)
            if value and f.name in ("token", "mqtt_password"):
                value = "***"
            elif value and f.name in ("redis_url", "mqtt_url"):
                from kestrix_sdk.mqtt.courier import redact_url

                value = redact_url(value)
            shown.append(f"{f.name}={value!r}")
        return f"ViewConfig({', '.join(shown)})"


def tls_context(config: ViewConfig) -> ssl.SSLContext | None:
    """The server's TLS context from config.cert and config.key, None without them. Raises
    OSError or ssl.SSLError when the files cannot be read or do not go together."""
    if not config.cert:
        return None
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(config.cert, config.key)
    return context


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def resolve_token(config: ViewConfig) -> str | None:
    """The token the server asks for: the given one (or KESTRIX_VIEW_TOKEN's), or a new one when
    the server listens on more than loopback; None on loopback without a token."""
    token = config.token or os.environ.get(TOKEN_ENV) or None
    if token is None and not is_loopback(config.host):
        token = secrets.token_urlsafe(18)
    return token


def redis_where(config: ViewConfig) -> str:
    """The Redis server's address for messages: its URL without the password, or host:port."""
    if config.redis_url:
        from kestrix_sdk.redis.vault import redact_url

        return redact_url(config.redis_url)
    return f"{config.redis_host}:{config.redis_port}"


def mqtt_where(config: ViewConfig) -> str:
    """The broker's address for messages: its URL without the password, or host:port."""
    if config.mqtt_url:
        from kestrix_sdk.mqtt.courier import redact_url

        return redact_url(config.mqtt_url)
    return f"{config.mqtt_host}:{config.mqtt_port}"
