"""The live view (python -m kestrix_sdk view) as a child process, and a Motion-JPEG reader."""

from __future__ import annotations

import http.client
import os
import re
import signal
import subprocess
import sys
import threading
import urllib.error
import urllib.request
from urllib.parse import quote, urlsplit

from demo_fixtures import child_env


class ViewProcess:
    """`python -m kestrix_sdk view --port 0 ...`; `url` is the address it printed."""

    def __init__(self, *args: str, env: dict[str, str] | None = None) -> None:
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "kestrix_sdk", "view", "--port", "0", *args],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=child_env(**(env or {})))
        self.lines: list[str] = []
        self.url: str | None = None
        self._up = threading.Event()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        if not self._up.wait(60) or self.url is None:
            self.close()
            raise RuntimeError("the live view did not come up:\n" + "".join(self.lines))

    def _read(self) -> None:
        assert self.proc.stdout is not None
        for line in self.proc.stdout:
            self.lines.append(line)
            found = re.match(r"view: serving (https?://\S+)", line)
            if found and self.url is None:
                self.url = found.group(1)
                self._up.set()
        self._up.set()

    @property
    def base(self) -> str:
        """The address without a query (token)."""
        parts = urlsplit(self.url)
        return f"{parts.scheme}://{parts.netloc}"

    def close(self) -> int | None:
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        self._reader.join(10)
        if self.proc.stdout:
            self.proc.stdout.close()
        return self.proc.returncode


def get(url: str, headers: dict[str, str] | None = None, timeout: float = 30) -> tuple[int, dict, bytes]:
    """(status, headers, body) of a GET, errors included."""
    request = urllib.request.Request(url, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            return response.status, dict(response.headers), response.read()
    except urllib.error.HTTPError as e:
        return e.code, dict(e.headers), e.read()


def key_path(key: str) -> str:
    return quote(key, safe="")


class MjpegReader:
    """Reads the parts of a multipart/x-mixed-replace response one by one."""

    def __init__(self, base: str, path: str, timeout: float = 60) -> None:
        parts = urlsplit(base)
        self.conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=timeout)
        self.conn.request("GET", path)
        self.response = self.conn.getresponse()
        self.status = self.response.status
        content_type = self.response.getheader("Content-Type", "")
        found = re.search(r"boundary=(\S+)", content_type)
        self.content_type = content_type
        self.boundary = found.group(1).encode() if found else None
        self._buffer = b""
        self._started = False
        self._last: bytes | None = None
        self.repeats = 0

    def next_part(self) -> bytes:
        """The body of the next part that holds another frame than the one before (the view
        sends a frame once more to have browsers show it); `repeats` counts those skipped."""
        while True:
            body = self._part()
            if body != self._last:
                self._last = body
                return body
            self.repeats += 1

    def _part(self) -> bytes:
        """The body of the next part (a part ends where the next boundary line begins)."""
        if not self._started:
            self._take(b"--" + self.boundary + b"\r\n")
            self._started = True
        self.part_headers = self._headers()
        delimiter = b"\r\n--" + self.boundary + b"\r\n"
        while delimiter not in self._buffer:
            self._more()
        body, self._buffer = self._buffer.split(delimiter, 1)
        assert int(self.part_headers["Content-Length"]) == len(body)
        return body

    def _more(self) -> None:
        chunk = self.response.read1(65536)
        if not chunk:
            raise EOFError("the stream ended")
        self._buffer += chunk

    def _take(self, opening: bytes) -> None:
        while len(self._buffer) < len(opening):
            self._more()
        assert self._buffer.startswith(opening), self._buffer[:200]
        self._buffer = self._buffer[len(opening):]

    def _headers(self) -> dict[str, str]:
        """Takes a part's headers off the buffer."""
        while b"\r\n\r\n" not in self._buffer:
            self._more()
        head, self._buffer = self._buffer.split(b"\r\n\r\n", 1)
        headers = dict(line.split(": ", 1) for line in head.decode("latin-1").split("\r\n"))
        assert headers.get("Content-Type") == "image/jpeg", head
        return headers

    def close(self) -> None:
        self.conn.close()


def stream_status(base: str, path: str) -> int:
    """The HTTP status a stream request gets (the connection is closed again)."""
    reader = MjpegReader(base, path)
    reader.close()
    return reader.status


def publish(port: int, messages) -> None:
    """Publishes (topic, payload) pairs at QoS 1 on the broker at 127.0.0.1:`port`, each
    acknowledged before the next."""
    import paho.mqtt.client as mqtt

    client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2)
    client.connect("127.0.0.1", port)
    client.loop_start()
    try:
        for topic, payload in messages:
            client.publish(topic, payload, qos=1).wait_for_publish(30)
    finally:
        client.disconnect()
        client.loop_stop()
