"""A real Prometheus (Debian's `prometheus`) on a free loopback port, scraping given targets."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import tempfile
import urllib.parse
import urllib.request
from pathlib import Path

from servers import find_program, free_port, port_open, wait_for


class Prometheus:
    """Scrapes `target` ("host:port") every second at `path`, sending `token` as a bearer token."""

    def __init__(self, target: str, token: str | None = None, path: str = "/metrics",
                 scheme: str = "http") -> None:
        self.port = free_port()
        self.dir = Path(tempfile.mkdtemp(prefix="kx-prometheus-"))
        job = [
            "  - job_name: kestrix_view",
            f"    metrics_path: {path}",
            f"    scheme: {scheme}",
            "    static_configs:",
            f"      - targets: ['{target}']",
        ]
        if token:
            job[3:3] = ["    authorization:", f"      credentials: '{token}'"]
        self.config = self.dir / "prometheus.yml"
        self.config.write_text("\n".join(["global:", "  scrape_interval: 1s",
                                          "  scrape_timeout: 1s", "scrape_configs:", *job]) + "\n")
        self.proc: subprocess.Popen | None = None

    def start(self) -> "Prometheus":
        exe = find_program("prometheus")
        if exe is None:
            raise RuntimeError("prometheus is not installed (Debian package prometheus)")
        with open(self.dir / "stderr.log", "ab") as log:
            self.proc = subprocess.Popen(
                [exe, f"--config.file={self.config}", f"--storage.tsdb.path={self.dir / 'data'}",
                 f"--web.listen-address=127.0.0.1:{self.port}"],
                stdout=subprocess.DEVNULL, stderr=log, cwd=self.dir)
        if not wait_for(lambda: port_open(self.port) or self.proc.poll() is not None, 60):
            self.close()
            raise RuntimeError("prometheus did not come up: " + self.log())
        # It answers 503 until its storage is ready.
        if not wait_for(lambda: self.ready() or self.proc.poll() is not None, 60, 0.1) \
                or self.proc.poll() is not None:
            self.close()
            raise RuntimeError("prometheus did not get ready: " + self.log())
        return self

    def ready(self) -> bool:
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/-/ready", timeout=5) as response:
                return response.status == 200
        except OSError:
            return False

    def log(self) -> str:
        try:
            return (self.dir / "stderr.log").read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def api(self, path: str, **params: str) -> dict:
        """The "data" of an answer of the HTTP API (/api/v1/...)."""
        query = "?" + urllib.parse.urlencode(params) if params else ""
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/api/v1/{path}{query}",
                                    timeout=30) as response:
            answer = json.loads(response.read())
        assert answer["status"] == "success", answer
        return answer["data"]

    def close(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait(10)
        self.proc = None
        shutil.rmtree(self.dir, ignore_errors=True)
