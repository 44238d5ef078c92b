"""The live view's web server (aiohttp).

    GET /                  the page (HTML, CSS and JavaScript shipped in the package)
    GET /api/status        node id -> latest status record (as ``status --json``)
    GET /api/errors        the latest error reports received since the start, newest last
    GET /api/frames        the frame keys the page shows
    GET /api/health        whether Redis and the broker are reachable, and the page's settings
    GET /frame/<key>.jpg   the frame stored under the key, as the JPEG file it is
    GET /stream/<key>      the frames under the key as Motion-JPEG (multipart/x-mixed-replace)

The server answers requests on one asyncio event loop. What it shows comes from two sides: the
broker's reports (`kestrix_sdk.view.broker`, in paho's network thread, which reconnects by
itself) and Redis (`kestrix_sdk.view.frames`, in a small thread pool); the settings are in
`kestrix_sdk.view.config`.
"""

from __future__ import annotations

import asyncio
import hmac
import os
import signal
import time
from importlib import resources

from aiohttp import web

from kestrix_sdk.reports import FRAME_KEY_PREFIX, record_ts
from kestrix_sdk.view.broker import Reports
from kestrix_sdk.view.config import (
    MAX_KEY_LENGTH,
    STATUS_INTERVAL,
    TOKEN_ENV,
    ViewConfig,
    mqtt_where,
    redis_where,
    resolve_token,
)
from kestrix_sdk.view.frames import RedisDown, RedisReader

__all__ = ["ViewConfig", "ViewServer", "resolve_token", "serve"]

BOUNDARY = "kestrixframe"

STATIC_FILES = {"view.css": "text/css", "view.js": "text/javascript"}


class ViewServer:
    """The web server and its background work (pollers, key look-up, status reads, broker)."""

    def __init__(self, config: ViewConfig) -> None:
        self.config = config
        self._closing = asyncio.Event()
        self.store = RedisReader(config, self._closing)
        self.reports = Reports(config)
        self.open_streams = 0
        self._tasks: list[asyncio.Task] = []
        self._runner: web.AppRunner | None = None
        self._static = {name: resources.files(__package__).joinpath("static", name).read_bytes()
                        for name in ("index.html", *STATIC_FILES)}

    # -- requests -----------------------------------------------------------------------------
    def serves_key(self, key: str) -> bool:
        if not key or len(key) > MAX_KEY_LENGTH:
            return False
        if self.config.frames:
            return key in self.config.frames
        return key.startswith(FRAME_KEY_PREFIX)

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
        records = dict(self.store.status)
        for node, record in live.items():
            if node not in records or record_ts(record) >= record_ts(records[node]):
                records[node] = record
        return web.json_response({n: records[n] for n in sorted(records)})

    async def api_errors(self, request: web.Request) -> web.Response:  # noqa: ARG002
        return web.json_response(self.reports.snapshot()[1])

    async def api_frames(self, request: web.Request) -> web.Response:  # noqa: ARG002
        return web.json_response(self.store.frame_keys)

    async def api_health(self, request: web.Request) -> web.Response:  # noqa: ARG002
        return web.json_response({
            "redis": self.store.ok, "mqtt": self.reports.connected, "time": time.time(),
            "stale_after": self.config.stale_after, "fps": self.config.fps,
            "streams": self.open_streams, "max_streams": self.config.max_streams,
            "readers": self.store.readers(),
            "redis_server": redis_where(self.config),
            "mqtt_broker": mqtt_where(self.config),
        })

    async def _stored_frame(self, key: str) -> bytes:
        """The JPEG file stored under the key now; 503 when Redis is down, 404 without a frame."""
        try:
            jpeg = await self.store.stored_frame(key)
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

    async def stream(self, request: web.Request) -> web.StreamResponse:
        key = request.match_info["key"]
        if not self.serves_key(key):
            raise web.HTTPNotFound(text=f"no frame key {key!r}")
        if self.open_streams >= self.config.max_streams:
            raise web.HTTPServiceUnavailable(text="too many open streams")
        feed = self.store.feeds.get(key)
        if feed is None or feed.jpeg is None:
            # Nobody watches the key yet: it must hold a frame now.
            await self._stored_frame(key)
            if self.open_streams >= self.config.max_streams:
                raise web.HTTPServiceUnavailable(text="too many open streams")
        self.open_streams += 1
        feed = self.store.watch(key)
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
        self.store.wake_all()

    # -- life cycle ---------------------------------------------------------------------------
    async def start(self) -> list[str]:
        """Starts serving; returns the addresses listened on ("host:port")."""
        self.reports.start()
        loop = asyncio.get_running_loop()
        self._tasks.append(loop.create_task(self.store.every(STATUS_INTERVAL, self.store.refresh_status)))
        if not self.config.frames:
            self._tasks.append(loop.create_task(self.store.every(self.config.scan_interval,
                                                                 self.store.refresh_keys)))
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
        self.store.wake_all()
        if self._runner is not None:
            await self._runner.cleanup()
            self._runner = None
        for task in self._tasks + self.store.tasks():
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        self._tasks.clear()
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, self.reports.stop)      # joins paho's network thread
        await self.store.close()


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
