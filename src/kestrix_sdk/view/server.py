"""The live view's web server (aiohttp).

    GET /                  the page (HTML, CSS and JavaScript shipped in the package)
    GET /api/status        node id -> latest status record (as ``status --json``)
    GET /api/errors        the latest error reports received since the start, newest last
    GET /api/frames        the frame keys the page shows
    GET /api/health        whether Redis and the broker are reachable, and the page's settings
    GET /frame/<key>.jpg   the frame stored under the key, as the JPEG file it is
    GET /stream/<key>      the frames under the key as Motion-JPEG (multipart/x-mixed-replace)

Every Redis command runs in a small thread pool, never on the event loop. A key's frames are read
by one poller, once per frame period, however many viewers watch it; the poller ends when the last
viewer leaves. The broker client (paho) runs in its own network thread and reconnects by itself.
"""

from __future__ import annotations

import asyncio
import binascii
import collections
import hmac
import ipaddress
import json
import logging
import os
import secrets
import signal
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from importlib import resources
from typing import Any, Callable

from aiohttp import web

from kestrix_sdk.constants import PREFIX

logger = logging.getLogger("kestrix_sdk.view")

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

# The base64 text of a JPEG file starts with that of its first three bytes, FF D8 FF.
JPEG_B64_START = b"/9j/"
JPEG_START = b"\xff\xd8\xff"
JPEG_END = b"\xff\xd9"
BOUNDARY = "kestrixframe"

STATIC_FILES = {"view.css": "text/css", "view.js": "text/javascript"}


class RedisDown(Exception):
    """The Redis server could not be reached."""


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


@dataclass
class ViewConfig:
    host: str = DEFAULT_HOST
    port: int = DEFAULT_PORT
    frames: list[str] = field(default_factory=list)
    fps: float = DEFAULT_FPS
    token: str | None = None
    max_streams: int = DEFAULT_MAX_STREAMS
    stale_after: float = DEFAULT_STALE_AFTER
    redis_host: str = "localhost"
    redis_port: int = 6379
    mqtt_host: str = "127.0.0.1"
    mqtt_port: int = 1883
    mqtt_username: str | None = None
    mqtt_password: str | None = field(default=None, repr=False)
    # URLs replacing the addresses above (and adding credentials and TLS), as the operator
    # tool's --redis-url / --mqtt-url; they may hold passwords.
    redis_url: str | None = field(default=None, repr=False)
    mqtt_url: str | None = field(default=None, repr=False)
    scan_interval: float = KEY_SCAN_INTERVAL


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


def decode_frame(raw: bytes | None) -> bytes | None:
    """The JPEG file a stored frame's base64 text holds, None for anything else."""
    from kestrix_sdk.redis.vault import b64decode

    if not raw or not raw.startswith(JPEG_B64_START):
        return None
    try:
        data = b64decode(raw)
    except (binascii.Error, ValueError):
        return None
    # A JPEG file starts with the SOI marker and ends with the EOI marker.
    return data if data.startswith(JPEG_START) and data.endswith(JPEG_END) else None


class FrameFeed:
    """The latest frame of one key, shared by every viewer of it."""

    def __init__(self, key: str) -> None:
        self.key = key
        self.raw: bytes | None = None
        self.jpeg: bytes | None = None
        self.version = 0
        self.viewers = 0
        self.reads = 0
        self.task: asyncio.Task | None = None
        self._changed = asyncio.Event()

    def publish(self, jpeg: bytes) -> None:
        self.jpeg = jpeg
        self.version += 1
        self.wake()

    def wake(self) -> None:
        self._changed.set()
        self._changed = asyncio.Event()

    async def next(self, after: int) -> tuple[int, bytes | None]:
        """Waits for a frame newer than version `after` (or a wake-up); returns (version, jpeg)."""
        if self.version == after:
            await self._changed.wait()
        return self.version, self.jpeg


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
        from kestrix_sdk.__main__ import report_kind

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


def _ts(record: dict[str, Any]) -> float:
    ts = record.get("ts")
    return float(ts) if isinstance(ts, (int, float)) and not isinstance(ts, bool) else 0.0


class ViewServer:
    """The web server and its background work (pollers, key look-up, status reads, broker)."""

    def __init__(self, config: ViewConfig) -> None:
        import redis
        from redis.backoff import NoBackoff
        from redis.retry import Retry

        self.config = config
        address: dict[str, Any] = {"host": config.redis_host, "port": config.redis_port}
        if config.redis_url:
            from kestrix_sdk.server_urls import redis_url_address

            _, address = redis_url_address(config.redis_url)
        self.redis = redis.Redis(**address,
                                 socket_connect_timeout=1, socket_timeout=5,
                                 retry=Retry(NoBackoff(), 0))
        self.redis_ok = False
        self.reports = Reports(config)
        self.feeds: dict[str, FrameFeed] = {}
        self.frame_keys: list[str] = list(dict.fromkeys(config.frames))
        self.redis_status: dict[str, dict[str, Any]] = {}
        self.open_streams = 0
        self._pool = ThreadPoolExecutor(max_workers=4, thread_name_prefix="kestrix-view-redis")
        self._closing = asyncio.Event()
        self._tasks: list[asyncio.Task] = []
        self._runner: web.AppRunner | None = None
        self._static = {name: resources.files(__package__).joinpath("static", name).read_bytes()
                        for name in ("index.html", *STATIC_FILES)}

    # -- Redis, off the event loop ----------------------------------------------------------
    async def _redis_call(self, fn: Callable[..., Any], *args: Any) -> Any:
        import redis

        loop = asyncio.get_running_loop()
        try:
            result = await loop.run_in_executor(self._pool, fn, *args)
        except (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError) as e:
            if self.redis_ok:
                logger.warning("lost the Redis server at %s - %s", redis_where(self.config), e)
            self.redis_ok = False
            raise RedisDown(str(e)) from None
        if not self.redis_ok:
            logger.info("connected to the Redis server at %s", redis_where(self.config))
        self.redis_ok = True
        return result

    def _read_value(self, key: str) -> bytes | None:
        import redis

        try:
            value = self.redis.get(key)
        except redis.exceptions.ResponseError:  # not a string value
            return None
        return value if isinstance(value, bytes) else None

    def _read_frame(self, key: str, last: bytes | None) -> tuple[bytes | None, bytes | None, bool]:
        """(stored value, its JPEG file, whether it changed since `last`), in a pool thread."""
        raw = self._read_value(key)
        if raw == last:
            return raw, None, False
        return raw, decode_frame(raw), True

    def _scan_frame_keys(self) -> list[str]:
        """The keys under the node-local prefix that hold frames."""
        from kestrix_sdk.__main__ import glob_escape

        candidates = []
        for raw_key in self.redis.scan_iter(match=glob_escape(PREFIX.REDIS.LOCAL + "_") + "*",
                                            count=500):
            candidates.append(raw_key)
            if len(candidates) >= 4 * MAX_FRAME_KEYS:
                break
        pipe = self.redis.pipeline(transaction=False)
        for raw_key in candidates:
            pipe.getrange(raw_key, 0, len(JPEG_B64_START) - 1)
        starts = pipe.execute(raise_on_error=False) if candidates else []
        keys = [k.decode("utf-8", "replace") for k, start in zip(candidates, starts)
                if start == JPEG_B64_START]
        return sorted(keys)[:MAX_FRAME_KEYS]

    def _read_status(self) -> dict[str, dict[str, Any]]:
        from kestrix_sdk.__main__ import status_records

        return status_records(self.redis)

    # -- background work --------------------------------------------------------------------
    async def _poll(self, feed: FrameFeed) -> None:
        """Reads the key once per frame period while anybody watches it."""
        loop = asyncio.get_running_loop()
        period = 1.0 / self.config.fps
        try:
            while feed.viewers > 0 and not self._closing.is_set():
                started = loop.time()
                try:
                    feed.reads += 1
                    raw, jpeg, changed = await self._redis_call(self._read_frame, feed.key, feed.raw)
                except RedisDown:
                    await self._pause(REDIS_RETRY)
                    continue
                if changed:
                    feed.raw = raw
                    if jpeg is not None:
                        feed.publish(jpeg)
                await self._pause(period - (loop.time() - started))
        except Exception:
            logger.exception("the frame reader of key %r failed", feed.key)
        finally:
            feed.task = None
            feed.wake()

    async def _pause(self, seconds: float) -> None:
        """Waits `seconds`, or less when the server closes."""
        if seconds <= 0:
            return
        try:
            await asyncio.wait_for(self._closing.wait(), seconds)
        except asyncio.TimeoutError:
            pass

    async def _every(self, seconds: float, work: Callable[[], Any]) -> None:
        while not self._closing.is_set():
            try:
                await work()
            except RedisDown:
                pass
            except Exception:
                logger.exception("background work of the live view failed")
            await self._pause(seconds)

    async def _refresh_keys(self) -> None:
        self.frame_keys = await self._redis_call(self._scan_frame_keys)

    async def _refresh_status(self) -> None:
        self.redis_status = await self._redis_call(self._read_status)

    # -- requests -----------------------------------------------------------------------------
    def serves_key(self, key: str) -> bool:
        if not key or len(key) > MAX_KEY_LENGTH:
            return False
        if self.config.frames:
            return key in self.config.frames
        return key.startswith(PREFIX.REDIS.LOCAL + "_")

    @web.middleware
    async def _auth(self, request: web.Request, handler):
        token = self.config.token
        if token:
            given = request.query.get("token") or request.headers.get("X-Kestrix-Token") or ""
            auth = request.headers.get("Authorization", "")
            if not given and auth.lower().startswith("bearer "):
                given = auth[7:].strip()
            if not hmac.compare_digest(given.encode(), token.encode()):
                return web.json_response({"error": "a valid token is required"}, status=401,
                                         headers={"WWW-Authenticate": "Bearer"})
        return await handler(request)

    async def page(self, request: web.Request) -> web.Response:  # noqa: ARG002
        return web.Response(body=self._static["index.html"], content_type="text/html",
                            charset="utf-8", headers={"Cache-Control": "no-cache"})

    async def static(self, request: web.Request) -> web.Response:
        name = request.match_info["name"]
        if name not in STATIC_FILES:
            raise web.HTTPNotFound()
        return web.Response(body=self._static[name], content_type=STATIC_FILES[name],
                            charset="utf-8", headers={"Cache-Control": "no-cache"})

    async def api_status(self, request: web.Request) -> web.Response:  # noqa: ARG002
        live, _ = self.reports.snapshot()
        records = dict(self.redis_status)
        for node, record in live.items():
            if node not in records or _ts(record) >= _ts(records[node]):
                records[node] = record
        return web.json_response({n: records[n] for n in sorted(records)})

    async def api_errors(self, request: web.Request) -> web.Response:  # noqa: ARG002
        return web.json_response(self.reports.snapshot()[1])

    async def api_frames(self, request: web.Request) -> web.Response:  # noqa: ARG002
        return web.json_response(self.frame_keys)

    async def api_health(self, request: web.Request) -> web.Response:  # noqa: ARG002
        return web.json_response({
            "redis": self.redis_ok, "mqtt": self.reports.connected, "time": time.time(),
            "stale_after": self.config.stale_after, "fps": self.config.fps,
            "streams": self.open_streams, "max_streams": self.config.max_streams,
            "readers": sorted(f.key for f in self.feeds.values() if f.task is not None),
            "redis_server": redis_where(self.config),
            "mqtt_broker": mqtt_where(self.config),
        })

    async def _stored_frame(self, key: str) -> bytes:
        """The JPEG file stored under the key now; 503 when Redis is down, 404 without a frame."""
        try:
            _, jpeg, _ = await self._redis_call(self._read_frame, key, None)
        except RedisDown:
            raise web.HTTPServiceUnavailable(text="the Redis server is unreachable") from None
        if jpeg is None:
            raise web.HTTPNotFound(text=f"no frame under key {key!r}")
        return jpeg

    async def frame(self, request: web.Request) -> web.Response:
        key = request.match_info["key"]
        if not self.serves_key(key):
            raise web.HTTPNotFound(text=f"no frame key {key!r}")
        jpeg = await self._stored_frame(key)
        return web.Response(body=jpeg, content_type="image/jpeg",
                            headers={"Cache-Control": "no-store"})

    def _feed(self, key: str) -> FrameFeed:
        feed = self.feeds.get(key)
        if feed is None:
            feed = self.feeds[key] = FrameFeed(key)
        feed.viewers += 1
        if feed.task is None:
            feed.task = asyncio.get_running_loop().create_task(self._poll(feed))
        return feed

    async def stream(self, request: web.Request) -> web.StreamResponse:
        key = request.match_info["key"]
        if not self.serves_key(key):
            raise web.HTTPNotFound(text=f"no frame key {key!r}")
        if self.open_streams >= self.config.max_streams:
            raise web.HTTPServiceUnavailable(text="too many open streams")
        feed = self.feeds.get(key)
        if feed is None or feed.jpeg is None:
            # Nobody watches the key yet: it must hold a frame now.
            await self._stored_frame(key)
            if self.open_streams >= self.config.max_streams:
                raise web.HTTPServiceUnavailable(text="too many open streams")
        self.open_streams += 1
        feed = self._feed(key)
        try:
            response = web.StreamResponse(headers={
                "Content-Type": f"multipart/x-mixed-replace; boundary={BOUNDARY}",
                "Cache-Control": "no-store"})
            await response.prepare(request)
            # A part is sent as soon as its frame is known and ends with the boundary and the
            # headers of the next part: browsers show a part only once the next one has begun,
            # and a frame that does not change is sent only once.
            part_head = f"\r\n--{BOUNDARY}\r\nContent-Type: image/jpeg\r\n\r\n".encode("ascii")
            await response.write(part_head[2:])
            version = 0
            while not self._closing.is_set():
                latest, jpeg = await feed.next(version)
                if latest == version or jpeg is None or self._closing.is_set():
                    continue
                version = latest
                # A slow viewer skips the frames stored while it was being written to.
                await response.write(jpeg + part_head)
            return response
        except (ConnectionError, RuntimeError):
            # The viewer went away (aiohttp reports a closed transport as either).
            return web.StreamResponse()
        finally:
            self.open_streams -= 1
            feed.viewers -= 1

    def app(self) -> web.Application:
        app = web.Application(middlewares=[self._auth], client_max_size=1024)
        app.add_routes([
            web.get("/", self.page),
            web.get("/static/{name}", self.static),
            web.get("/api/status", self.api_status),
            web.get("/api/errors", self.api_errors),
            web.get("/api/frames", self.api_frames),
            web.get("/api/health", self.api_health),
            web.get(r"/frame/{key:.+}.jpg", self.frame),
            web.get(r"/stream/{key:.+}", self.stream),
        ])
        app.on_shutdown.append(self._on_shutdown)
        return app

    async def _on_shutdown(self, app: web.Application) -> None:  # noqa: ARG002
        self._closing.set()
        for feed in self.feeds.values():
            feed.wake()

    # -- life cycle ---------------------------------------------------------------------------
    async def start(self) -> list[str]:
        """Starts serving; returns the addresses listened on ("host:port")."""
        self.reports.start()
        loop = asyncio.get_running_loop()
        self._tasks.append(loop.create_task(self._every(STATUS_INTERVAL, self._refresh_status)))
        if not self.config.frames:
            self._tasks.append(loop.create_task(self._every(self.config.scan_interval,
                                                            self._refresh_keys)))
        # A viewer that goes away cancels its handler, so that a stream waiting for the next
        # frame gives its place back at once.
        self._runner = web.AppRunner(self.app(), access_log=None, shutdown_timeout=5,
                                     handler_cancellation=True)
        await self._runner.setup()
        site = web.TCPSite(self._runner, self.config.host, self.config.port)
        try:
            await site.start()
        except OSError:
            await self.close()
            raise
        return [f"{a[0]}:{a[1]}" if ":" not in a[0] else f"[{a[0]}]:{a[1]}"
                for a in self._runner.addresses]

    async def close(self) -> None:
        self._closing.set()
        for feed in self.feeds.values():
            feed.wake()
        if self._runner is not None:
            await self._runner.cleanup()
            self._runner = None
        for task in self._tasks + [f.task for f in self.feeds.values() if f.task]:
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        self._tasks.clear()
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, self.reports.stop)      # joins paho's network thread
        await loop.run_in_executor(None, self._pool.shutdown, True)
        self.redis.close()


def resolve_token(config: ViewConfig) -> str | None:
    """The token the server asks for: the given one (or KESTRIX_VIEW_TOKEN's), or a new one when
    the server listens on more than loopback; None on loopback without a token."""
    token = config.token or os.environ.get(TOKEN_ENV) or None
    if token is None and not is_loopback(config.host):
        token = secrets.token_urlsafe(18)
    return token


def serve(config: ViewConfig, out=None) -> int:
    """Runs the live view until SIGINT or SIGTERM; prints its address to `out` (stdout)."""
    import sys

    out = out or sys.stdout
    given = config.token or os.environ.get(TOKEN_ENV)
    config.token = resolve_token(config)

    async def main() -> int:
        server = ViewServer(config)
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for signum in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(signum, stop.set)
        try:
            addresses = await server.start()
        except OSError as e:
            print(f"view: cannot listen on {config.host}:{config.port} - {e}", file=sys.stderr)
            return 3
        try:
            for address in addresses:
                query = f"?token={config.token}" if config.token and not given else ""
                print(f"view: serving http://{address}/{query}", file=out, flush=True)
            if config.token and given:
                print("view: every request must carry the token (?token=***)", file=out, flush=True)
            elif config.token:
                print("view: a token was generated for this run; every request must carry it",
                      file=out, flush=True)
            await stop.wait()
        finally:
            await server.close()
        return 0

    return asyncio.run(main())
