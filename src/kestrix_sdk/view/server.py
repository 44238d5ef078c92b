"""The live view's web server (aiohttp).

    GET /                  the page (HTML, CSS and JavaScript shipped in the package)
    GET /api/status        node id -> latest status record (as ``status --json``)
    GET /api/errors        the latest error reports received since the start, newest last
    GET /api/frames        the frame keys the page shows
    GET /api/health        whether Redis and the broker are reachable, and the page's settings
    GET /metrics           the view's state in the Prometheus text format
    GET /frame/<key>.jpg   the frame stored under the key, as the JPEG file it is
    GET /stream/<key>      the frames under the key as Motion-JPEG (multipart/x-mixed-replace)

The page and its files hold no data and need no token; everything else does when the view has
one. Without a token (on loopback) only requests that name the view by a local name in their
Host header are answered, so that a web page cannot read it through a name it rebinds to
127.0.0.1.

The server answers requests on one asyncio event loop. What it shows comes from two sides: the
broker's reports (`kestrix_sdk.view.broker`, in paho's network thread, which reconnects by
itself) and Redis (`kestrix_sdk.view.frames`, in a small thread pool); the settings are in
`kestrix_sdk.view.config`.
"""

from __future__ import annotations

import asyncio
import logging
import os
import signal
import time
from importlib import resources

from aiohttp import web

from kestrix_sdk.reports import FRAME_KEY_PREFIX, record_ts
from kestrix_sdk.view import limits, metrics
from kestrix_sdk.view.broker import Reports
from kestrix_sdk.view.config import (
    MAX_KEY_LENGTH,
    STATUS_INTERVAL,
    TOKEN_ENV,
    ViewConfig,
    is_loopback,
    mqtt_where,
    redis_where,
    resolve_token,
    tls_context,
)
from kestrix_sdk.view.frames import RedisDown, RedisReader

__all__ = ["ViewConfig", "ViewServer", "resolve_token", "serve"]

logger = logging.getLogger("kestrix_sdk.view")

STATIC_FILES = {"view.css": "text/css", "view.js": "text/javascript"}
# Seconds after which a stream sends its last frame once more when no new one came (see stream).
SHOW_AFTER = 0.25
# Paths served without a token: the page and its files, which hold no data.
PUBLIC_PATHS = frozenset({"/", *(f"/static/{name}" for name in STATIC_FILES)})


class ViewServer:
    """The web server and its background work (pollers, key look-up, status reads, broker)."""

    def __init__(self, config: ViewConfig) -> None:
        self.config = config
        self._closing = asyncio.Event()
        self.store = RedisReader(config, self._closing)
        self.reports = Reports(config)
        self.open_streams = 0
        self.slots = limits.ClientSlots(config.streams_per_client)
        self._hosts: frozenset[str] = frozenset()
        self._metrics = metrics.registry(self.metrics_state)
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
    async def _guard(self, request: web.Request, handler):
        token = self.config.token
        if not token:
            host = request.headers.get("Host", "").lower()
            if host not in self._hosts:
                return web.Response(status=403, text="this view answers only to a local host name "
                                    "(localhost, 127.0.0.1, [::1] or its address, with the port)")
        elif request.path not in PUBLIC_PATHS:
            given = request.query.get("token") or request.headers.get("X-Kestrix-Token") or ""
            auth = request.headers.get("Authorization", "")
            if not given and auth.lower().startswith("bearer "):
                given = auth[7:].strip()
            if not limits.token_matches(given, token):
                return web.json_response({"error": "a valid token is required"}, status=401,
                                         headers={"WWW-Authenticate": "Bearer"})
        return await handler(request)

    @staticmethod
    async def _headers(request: web.Request, response: web.StreamResponse) -> None:  # noqa: ARG004
        # Every answer, errors included: a browser takes each at its declared type.
        response.headers["X-Content-Type-Options"] = "nosniff"

    def _json(self, text: str, left_out: int = 0) -> web.Response:
        headers = {limits.TRUNCATED_HEADER: str(left_out)} if left_out else None
        return web.Response(text=text, content_type="application/json", headers=headers)

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
        left_out = max(0, len(records) - self.config.max_nodes)
        if left_out:
            # Read from Redis and heard from the broker: the nodes that reported last are shown.
            newest = sorted(records, key=lambda n: record_ts(records[n]), reverse=True)
            records = {n: records[n] for n in newest[:self.config.max_nodes]}
        text, more = limits.bounded_object(((n, records[n]) for n in sorted(records)),
                                           self.config.max_answer_bytes)
        return self._json(text, left_out + more)

    async def api_errors(self, request: web.Request) -> web.Response:  # noqa: ARG002
        return self._json(*limits.bounded_list(self.reports.snapshot()[1],
                                               self.config.max_answer_bytes))

    async def api_frames(self, request: web.Request) -> web.Response:  # noqa: ARG002
        return self._json(*limits.bounded_list(self.store.frame_keys, self.config.max_answer_bytes))

    async def api_health(self, request: web.Request) -> web.Response:  # noqa: ARG002
        _, refused, dropped = self.reports.counts()
        return self._json(limits.dumps({
            "redis": self.store.ok, "mqtt": self.reports.connected, "time": time.time(),
            "stale_after": self.config.stale_after, "fps": self.config.fps,
            "streams": self.open_streams, "max_streams": self.config.max_streams,
            "streams_per_client": self.config.streams_per_client,
            "readers": self.store.readers(),
            "redis_server": redis_where(self.config),
            "mqtt_broker": mqtt_where(self.config),
            "max_nodes": self.config.max_nodes, "nodes_dropped": dropped, "refused": refused,
            "tls": bool(self.config.cert),
        }))

    def metrics_state(self) -> metrics.ViewState:
        """The state /metrics shows (called by the collector at each scrape)."""
        nodes_seen, refused, dropped = self.reports.counts()
        nodes: dict[str, metrics.NodeState] = {}
        for node, record in self.store.status.items():
            nodes[node] = metrics.NodeState(last_status=record_ts(record) or None)
        for node, seen in nodes_seen.items():
            state = nodes.setdefault(node, metrics.NodeState())
            if seen.status is not None:
                ts = record_ts(seen.status) or None
                if ts is not None and (state.last_status is None or ts > state.last_status):
                    state.last_status = ts
            state.status_reports, state.error_reports = seen.status_reports, seen.error_reports
        frames = {key: metrics.FrameState(s.changed, s.stored_bytes, s.served)
                  for key, s in self.store.frame_stats.items()}
        for feed in self.store.feeds.values():
            if feed.viewers > 0:
                frames.setdefault(feed.key, metrics.FrameState()).viewers = feed.viewers
        return metrics.ViewState(nodes=nodes, frames=frames, streams=self.open_streams,
                                 clients=self.slots.clients(), redis_up=self.store.ok,
                                 broker_up=self.reports.connected, refused=refused,
                                 nodes_dropped=dropped)

    async def api_metrics(self, request: web.Request) -> web.Response:  # noqa: ARG002
        return web.Response(body=metrics.render(self._metrics),
                            headers={"Content-Type": metrics.CONTENT_TYPE_LATEST})

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
        self.store.stats(key).served += 1
        return web.Response(body=jpeg, content_type="image/jpeg",
                            headers={"Cache-Control": "no-store"})

    async def _write(self, request: web.Request, response: web.StreamResponse, data: bytes) -> None:
        """Writes to a stream; a write still blocked after the time-out drops the stream."""
        try:
            await asyncio.wait_for(response.write(data), self.config.write_timeout)
        except asyncio.TimeoutError:
            logger.info("dropped the stream of %s: it took no data for %g s", request.remote,
                        self.config.write_timeout)
            if request.transport is not None:
                request.transport.abort()
            raise ConnectionResetError("the viewer stopped reading") from None

    @staticmethod
    def _part(jpeg: bytes, delimiter: bytes) -> bytes:
        """A stream part: its headers, the frame and the boundary that ends it."""
        head = f"Content-Type: image/jpeg\r\nContent-Length: {len(jpeg)}\r\n\r\n"
        return head.encode("ascii") + jpeg + delimiter

    async def stream(self, request: web.Request) -> web.StreamResponse:
        key = request.match_info["key"]
        if not self.serves_key(key):
            raise web.HTTPNotFound(text=f"no frame key {key!r}")
        if self.open_streams >= self.config.max_streams:
            raise web.HTTPServiceUnavailable(text="too many open streams")
        feed = self.store.feeds.get(key)
        first = feed.jpeg if feed is not None else None
        if first is None:
            # Nobody watches the key yet: it must hold a frame now.
            first = await self._stored_frame(key)
            if self.open_streams >= self.config.max_streams:
                raise web.HTTPServiceUnavailable(text="too many open streams")
        client = request.remote or ""
        if not self.slots.take(client):
            raise web.HTTPTooManyRequests(text="too many open streams from this address")
        self.open_streams += 1
        feed = self.store.watch(key)
        try:
            # A boundary of this response's own, which the frame about to be sent does not
            # hold; each part has its length, so no frame's bytes can end it early.
            boundary = limits.new_boundary(first)
            delimiter = f"\r\n--{boundary}\r\n".encode("ascii")
            response = web.StreamResponse(headers={
                "Content-Type": f"multipart/x-mixed-replace; boundary={boundary}",
                "Cache-Control": "no-store"})
            await response.prepare(request)
            await self._write(request, response, delimiter[2:])
            version, unshown = 0, b""
            while not self._closing.is_set():
                try:
                    latest, jpeg = await asyncio.wait_for(
                        feed.next(version), SHOW_AFTER if unshown else None)
                except asyncio.TimeoutError:
                    # Browsers show a part only once the headers of the next one have come, and
                    # a part's headers hold its length: with no new frame by now, the last one
                    # is sent once more, which shows it.
                    await self._write(request, response, self._part(unshown, delimiter))
                    unshown = b""
                    continue
                if latest == version or jpeg is None or self._closing.is_set():
                    continue
                version = latest
                if boundary.encode("ascii") in jpeg:
                    # Too unlikely to plan for: the viewer opens the stream again and gets a
                    # new boundary.
                    break
                # A slow viewer skips the frames stored while it was being written to.
                await self._write(request, response, self._part(jpeg, delimiter))
                self.store.stats(key).served += 1
                unshown = jpeg
            return response
        except (ConnectionError, RuntimeError):
            # The viewer went away (aiohttp reports a closed transport as either).
            return web.StreamResponse()
        finally:
            self.open_streams -= 1
            self.slots.give(client)
            feed.viewers -= 1

    def app(self) -> web.Application:
        app = web.Application(middlewares=[self._guard], client_max_size=1024)
        app.on_response_prepare.append(self._headers)
        app.add_routes([
            web.get("/", self.page),
            web.get("/static/{name}", self.static),
            web.get("/api/status", self.api_status),
            web.get("/api/errors", self.api_errors),
            web.get("/api/frames", self.api_frames),
            web.get("/api/health", self.api_health),
            web.get("/metrics", self.api_metrics),
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
        # The keys (or, with --frames, the sizes of the given keys' values).
        self._tasks.append(loop.create_task(self.store.every(self.config.scan_interval,
                                                             self.store.refresh_keys)))
        # A viewer that goes away cancels its handler, so that a stream waiting for the next
        # frame gives its place back at once.
        self._runner = web.AppRunner(self.app(), access_log=None, shutdown_timeout=5,
                                     handler_cancellation=True)
        await self._runner.setup()
        site = web.TCPSite(self._runner, self.config.host, self.config.port,
                           ssl_context=tls_context(self.config))
        try:
            await site.start()
        except OSError:
            await self.close()
            raise
        self._hosts = limits.allowed_hosts(self.config.host, {a[1] for a in self._runner.addresses},
                                           tls=bool(self.config.cert))
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
            scheme = "https" if config.cert else "http"
            for address in addresses:
                query = f"?token={config.token}" if config.token and not given else ""
                print(f"view: serving {scheme}://{address}/{query}", file=out, flush=True)
            if not config.cert and not is_loopback(config.host):
                logger.warning("the view listens on %s without TLS: its token crosses the network "
                               "in clear text (give --cert and --key)", config.host)
                print(f"view: warning: serving {config.host} without TLS, the token crosses the "
                      "network in clear text (give --cert and --key)", file=out, flush=True)
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
