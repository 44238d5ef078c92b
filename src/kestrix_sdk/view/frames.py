"""The live view's Redis side: the frames (one reader per watched key), the frame keys and the
status records.

Every Redis command runs in a small thread pool, never on the event loop. A key's frames are read
by one poller, once per frame period, however many viewers watch it; the poller ends when the last
viewer leaves.
"""

from __future__ import annotations

import asyncio
import binascii
import logging
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable

from kestrix_sdk.reports import FRAME_KEY_PREFIX, prefix_pattern, status_records
from kestrix_sdk.view.config import MAX_FRAME_KEYS, REDIS_RETRY, ViewConfig, redis_where
from kestrix_sdk.view.metrics import FrameState

logger = logging.getLogger("kestrix_sdk.view")

# The base64 text of a JPEG file starts with that of its first three bytes, FF D8 FF.
JPEG_B64_START = b"/9j/"
JPEG_START = b"\xff\xd8\xff"
JPEG_END = b"\xff\xd9"


class RedisDown(Exception):
    """The Redis server could not be reached."""


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


class RedisReader:
    """What the view reads from Redis, off the event loop; ends its work when `closing` is set."""

    def __init__(self, config: ViewConfig, closing: asyncio.Event) -> None:
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
        self.ok = False
        self.feeds: dict[str, FrameFeed] = {}
        self.frame_keys: list[str] = list(dict.fromkeys(config.frames))
        self.status: dict[str, dict[str, Any]] = {}
        # Per frame key: when its value was seen to change, its size, the frames served.
        self.frame_stats: dict[str, FrameState] = {}
        self._closing = closing
        self._pool = ThreadPoolExecutor(max_workers=4, thread_name_prefix="kestrix-view-redis")

    # -- Redis, off the event loop ----------------------------------------------------------
    async def call(self, fn: Callable[..., Any], *args: Any) -> Any:
        import redis

        loop = asyncio.get_running_loop()
        try:
            result = await loop.run_in_executor(self._pool, fn, *args)
        except (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError) as e:
            if self.ok:
                logger.warning("lost the Redis server at %s - %s", redis_where(self.config), e)
            self.ok = False
            raise RedisDown(str(e)) from None
        if not self.ok:
            logger.info("connected to the Redis server at %s", redis_where(self.config))
        self.ok = True
        return result

    def _read_value(self, key: str) -> bytes | None:
        import redis

        try:
            value = self.redis.get(key)
        except redis.exceptions.ResponseError:  # not a string value
            return None
        return value if isinstance(value, bytes) else None

    def read_frame(self, key: str, last: bytes | None) -> tuple[bytes | None, bytes | None, bool]:
        """(stored value, its JPEG file, whether it changed since `last`), in a pool thread."""
        raw = self._read_value(key)
        if raw == last:
            return raw, None, False
        return raw, decode_frame(raw), True

    def scan_frame_keys(self) -> list[tuple[str, int]]:
        """(key, size of its value) of the keys under the node-local prefix that hold frames."""
        candidates = []
        for raw_key in self.redis.scan_iter(match=prefix_pattern(FRAME_KEY_PREFIX), count=500):
            candidates.append(raw_key)
            if len(candidates) >= 4 * MAX_FRAME_KEYS:
                break
        pipe = self.redis.pipeline(transaction=False)
        for raw_key in candidates:
            pipe.getrange(raw_key, 0, len(JPEG_B64_START) - 1)
            pipe.strlen(raw_key)
        answers = pipe.execute(raise_on_error=False) if candidates else []
        keys = [(k.decode("utf-8", "replace"), size)
                for k, start, size in zip(candidates, answers[::2], answers[1::2])
                if start == JPEG_B64_START and isinstance(size, int)]
        return sorted(keys)[:MAX_FRAME_KEYS]

    def sizes(self, keys: list[str]) -> list[int | None]:
        """The sizes of the values under `keys` (None for one without a string value)."""
        pipe = self.redis.pipeline(transaction=False)
        for key in keys:
            pipe.strlen(key)
        return [s if isinstance(s, int) else None
                for s in (pipe.execute(raise_on_error=False) if keys else [])]

    def stats(self, key: str) -> FrameState:
        stats = self.frame_stats.get(key)
        if stats is None:
            stats = self.frame_stats[key] = FrameState()
        return stats

    def saw_size(self, key: str, size: int | None) -> None:
        """Notes the size of the key's value; a new size means a new frame."""
        stats = self.stats(key)
        if size is not None and stats.stored_bytes is not None and size != stats.stored_bytes:
            stats.changed = time.time()
        stats.stored_bytes = size

    async def stored_frame(self, key: str) -> bytes | None:
        """The JPEG file stored under the key now (None without one); RedisDown when Redis is."""
        _, jpeg, _ = await self.call(self.read_frame, key, None)
        return jpeg

    async def refresh_keys(self) -> None:
        if self.config.frames:
            found = list(zip(self.frame_keys, await self.call(self.sizes, self.frame_keys)))
        else:
            found = await self.call(self.scan_frame_keys)
            self.frame_keys = [key for key, _ in found]
        for key, size in found:
            self.saw_size(key, size)
        # Statistics of keys that are gone are dropped, unless a stream still reads the key.
        kept = set(self.frame_keys) | {f.key for f in self.feeds.values() if f.viewers > 0}
        for key in list(self.frame_stats):
            if key not in kept:
                del self.frame_stats[key]

    async def refresh_status(self) -> None:
        self.status = await self.call(lambda: status_records(
            self.redis, max_nodes=self.config.max_nodes,
            max_record_bytes=self.config.max_record_bytes, strict=True))

    # -- the frame readers --------------------------------------------------------------------
    def watch(self, key: str) -> FrameFeed:
        """The key's feed, with one more viewer; starts its reader when none runs."""
        feed = self.feeds.get(key)
        if feed is None:
            feed = self.feeds[key] = FrameFeed(key)
        feed.viewers += 1
        if feed.task is None:
            feed.task = asyncio.get_running_loop().create_task(self._poll(feed))
        return feed

    def readers(self) -> list[str]:
        """The keys whose reader runs."""
        return sorted(f.key for f in self.feeds.values() if f.task is not None)

    async def _poll(self, feed: FrameFeed) -> None:
        """Reads the key once per frame period while anybody watches it."""
        loop = asyncio.get_running_loop()
        period = 1.0 / self.config.fps
        try:
            while feed.viewers > 0 and not self._closing.is_set():
                started = loop.time()
                try:
                    feed.reads += 1
                    raw, jpeg, changed = await self.call(self.read_frame, feed.key, feed.raw)
                except RedisDown:
                    await self.pause(REDIS_RETRY)
                    continue
                if changed:
                    stats = self.stats(feed.key)
                    if feed.raw is not None:     # the first value read may be of any age
                        stats.changed = time.time()
                    stats.stored_bytes = None if raw is None else len(raw)
                    feed.raw = raw
                    if jpeg is not None:
                        feed.publish(jpeg)
                await self.pause(period - (loop.time() - started))
        except Exception:
            logger.exception("the frame reader of key %r failed", feed.key)
        finally:
            feed.task = None
            feed.wake()

    # -- background work ----------------------------------------------------------------------
    async def pause(self, seconds: float) -> None:
        """Waits `seconds`, or less when the view closes."""
        if seconds <= 0:
            return
        try:
            await asyncio.wait_for(self._closing.wait(), seconds)
        except asyncio.TimeoutError:
            pass

    async def every(self, seconds: float, work: Callable[[], Any]) -> None:
        """Runs `work` every `seconds` until the view closes; an error ends only that run."""
        while not self._closing.is_set():
            try:
                await work()
            except RedisDown:
                pass
            except Exception:
                logger.exception("background work of the live view failed")
            await self.pause(seconds)

    def wake_all(self) -> None:
        for feed in self.feeds.values():
            feed.wake()

    def tasks(self) -> list[asyncio.Task]:
        return [f.task for f in self.feeds.values() if f.task]

    async def close(self) -> None:
        """Joins the pool's threads and closes the connection (the readers have ended)."""
        await asyncio.get_running_loop().run_in_executor(None, self._pool.shutdown, True)
        self.redis.close()
