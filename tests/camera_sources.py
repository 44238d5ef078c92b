"""Video sources for the camera tests, all real and on loopback: GStreamer's RTSP server (H.264),
ffmpeg serving Motion-JPEG over HTTP, a socket that accepts and never answers, and video files
written with OpenCV.

The RTSP server runs under Debian's own Python (/usr/bin/python3), which has the GObject
bindings; a virtual environment's interpreter does not see them.
"""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
from pathlib import Path

import pytest

from servers import free_port, port_open, wait_for

SYSTEM_PYTHON = "/usr/bin/python3"

RTSP_SERVER = r'''
import sys
import gi
gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer
Gst.init(None)
port, width, height, fps, codec = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
if codec == "h264":
    encode = (f"x264enc tune=zerolatency speed-preset=ultrafast key-int-max={fps} ! "
              "rtph264pay name=pay0 pt=96")
else:  # Motion-JPEG; the RTP payloader takes 4:2:0 pictures only
    encode = "video/x-raw,format=I420 ! jpegenc ! rtpjpegpay name=pay0 pt=26"
server = GstRtspServer.RTSPServer()
server.set_address("127.0.0.1")
server.set_service(port)
factory = GstRtspServer.RTSPMediaFactory()
factory.set_launch(
    f"( videotestsrc is-live=true pattern=ball ! video/x-raw,width={width},height={height},"
    f"framerate={fps}/1 ! videoconvert ! {encode} )")
factory.set_shared(True)
server.get_mount_points().add_factory("/cam", factory)
server.attach(None)
print("ready", flush=True)
GLib.MainLoop().run()
'''


def have_rtsp_server() -> bool:
    if not os.access(SYSTEM_PYTHON, os.X_OK):
        return False
    probe = ("import gi; gi.require_version('Gst', '1.0'); "
             "gi.require_version('GstRtspServer', '1.0'); from gi.repository import GstRtspServer")
    return subprocess.run([SYSTEM_PYTHON, "-c", probe], capture_output=True).returncode == 0


class RtspServer:
    """GStreamer's RTSP server streaming a moving test picture as H.264 (or, with codec="jpeg",
    Motion-JPEG) at rtsp://.../cam.

    stop() kills it, start() brings it back on the same port (with another size if asked),
    pause()/resume() stop and continue the process (SIGSTOP/SIGCONT): a camera that hangs."""

    def __init__(self, width: int = 320, height: int = 240, fps: int = 15, codec: str = "h264") -> None:
        self.port = free_port()
        self.codec = codec
        self.size = (width, height)
        self.fps = fps
        self.dir = Path(tempfile.mkdtemp(prefix="kx-rtsp-"))
        (self.dir / "server.py").write_text(RTSP_SERVER)
        self.proc: subprocess.Popen | None = None

    @property
    def url(self) -> str:
        return f"rtsp://127.0.0.1:{self.port}/cam"

    def start(self, width: int | None = None, height: int | None = None) -> "RtspServer":
        if width is not None and height is not None:
            self.size = (width, height)
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
        self.proc = subprocess.Popen(
            [SYSTEM_PYTHON, str(self.dir / "server.py"), str(self.port), str(self.size[0]),
             str(self.size[1]), str(self.fps), self.codec],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, text=True)
        assert self.proc.stdout.readline().strip() == "ready", "the RTSP server did not start"
        assert wait_for(lambda: port_open(self.port), 10)
        return self

    def stop(self) -> None:
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait(10)
            self.proc.stdout.close()
            self.proc = None

    def pause(self) -> None:
        os.kill(self.proc.pid, signal.SIGSTOP)

    def resume(self) -> None:
        os.kill(self.proc.pid, signal.SIGCONT)

    def close(self) -> None:
        if self.proc is not None:
            self.resume()
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class MjpegServer:
    """ffmpeg serving a test picture as Motion-JPEG over HTTP (one client, then it ends). The
    JPEG files it sends are written to `frames_dir` too, so a test can compare bytes."""

    def __init__(self, fps: int = 10, width: int = 320, height: int = 240) -> None:
        self.port = free_port()
        self.dir = Path(tempfile.mkdtemp(prefix="kx-mjpeg-"))
        ffmpeg = shutil.which("ffmpeg")
        if ffmpeg is None:
            pytest.skip("ffmpeg is not installed")
        # One encoder, two outputs: the HTTP stream and the same JPEG files on disk.
        self.proc = subprocess.Popen(
            [ffmpeg, "-loglevel", "error", "-re", "-f", "lavfi", "-i",
             f"testsrc=size={width}x{height}:rate={fps}", "-c:v", "mjpeg", "-q:v", "5",
             "-f", "tee", "-map", "0:v",
             f"[f=mpjpeg:listen=1]http://127.0.0.1:{self.port}/feed.mjpg|"
             f"[f=image2]{self.dir}/%06d.jpg"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}/feed.mjpg"

    def sent(self) -> set[bytes]:
        return {p.read_bytes() for p in self.dir.glob("*.jpg")}

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)
        self.proc.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class SilentServer:
    """A listening socket that accepts connections and never says a word."""

    def __init__(self) -> None:
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.accepted: list[socket.socket] = []
        self._closing = False
        self._thread = threading.Thread(target=self._accept, daemon=True)
        self._thread.start()

    def _accept(self) -> None:
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            if self._closing:
                conn.close()
                return
            self.accepted.append(conn)

    def close(self) -> None:
        self._closing = True
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
        except OSError:
            pass
        self._thread.join(5)
        self.sock.close()
        for conn in self.accepted:
            conn.close()


def write_video(path: Path, frames: int, size: tuple[int, int] = (160, 120), fps: float = 30.0) -> Path:
    """A video file of `frames` frames, each with its number written in it."""
    import cv2
    import numpy as np

    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), fps, size)
    assert writer.isOpened()
    for i in range(frames):
        img = np.full((size[1], size[0], 3), (i * 7) % 256, np.uint8)
        cv2.putText(img, str(i), (10, size[1] - 10), cv2.FONT_HERSHEY_SIMPLEX, 1, (0, 0, 255), 2)
        writer.write(img)
    writer.release()
    return path


@pytest.fixture
def rtsp_server():
    """Factory for RTSP servers a test may kill, restart and stop with SIGSTOP."""
    if not have_rtsp_server():
        pytest.skip("GStreamer's RTSP server (python3-gi, gir1.2-gst-rtsp-server-1.0) is not installed")
    made: list[RtspServer] = []

    def make(**kwargs) -> RtspServer:
        server = RtspServer(**kwargs)
        made.append(server)
        return server.start()

    yield make
    for server in made:
        server.close()


@pytest.fixture
def mjpeg_server():
    made: list[MjpegServer] = []

    def make(**kwargs) -> MjpegServer:
        server = MjpegServer(**kwargs)
        made.append(server)
        # ffmpeg serves one client: the camera node is the first to connect (it retries until
        # ffmpeg listens), so nothing probes the port here.
        return server

    yield make
    for server in made:
        server.close()


@pytest.fixture
def silent_server():
    server = SilentServer()
    yield server
    server.close()

