"""Which broker and Redis server the demo uses: the ones it is told to use (--mqtt-url /
--redis-url, or KESTRIX_MQTT_URL / KESTRIX_REDIS_URL), or servers of its own, started on free
loopback ports for the run and stopped at its end. Servers already listening on the default
ports (a device's own) are never used unless named."""

from __future__ import annotations

import contextlib
import os
import shutil
import signal
import socket
import subprocess
import tempfile
from collections.abc import Callable, Iterator

import demo_common as common


class ServerError(Exception):
    """A server the demo was told to use, or one it starts, cannot be used; the message says why."""


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def reachable(host: str, port: int) -> bool:
    try:
        socket.create_connection((host, port), timeout=1).close()
        return True
    except OSError:
        return False


def program(name: str) -> str:
    found = shutil.which(name) or next(
        (p for p in (f"/usr/sbin/{name}", f"/usr/bin/{name}") if os.access(p, os.X_OK)), None)
    if found is None:
        raise ServerError(f"{name} is not installed (scripts/demo.sh installs it)")
    return found


class OwnServer:
    """A server process the demo started; `stop()` ends it."""

    def __init__(self, name: str, argv: Callable[[int], list[str]], url: str, rundir: str) -> None:
        self.name = name
        # A free port may be taken between the check and the server's start: try another.
        for _ in range(3):
            self.port = free_port()
            log = open(os.path.join(rundir, f"{name}.err"), "ab")
            # In a session of its own, so that Ctrl-C reaches the nodes (which then stop in
            # order) and not the server they are still using.
            self.proc = subprocess.Popen(argv(self.port), stdout=subprocess.DEVNULL, stderr=log,
                                         cwd=rundir, start_new_session=True)
            log.close()
            common.wait_until(lambda: reachable("127.0.0.1", self.port) or self.proc.poll() is not None, 10)
            if self.proc.poll() is None and reachable("127.0.0.1", self.port):
                self.url = url.format(port=self.port)
                return
            self.stop()
        with open(os.path.join(rundir, f"{name}.err"), errors="replace") as err:
            raise ServerError(f"could not start {name} on 127.0.0.1: {err.read().strip()}")

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)


def start_mosquitto(rundir: str) -> OwnServer:
    exe = program("mosquitto")

    def argv(port: int) -> list[str]:
        conf = os.path.join(rundir, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                    f"log_dest file {os.path.join(rundir, 'mosquitto.log')}\n"
                    + ("user root\n" if os.geteuid() == 0 else ""))
        return [exe, "-c", conf]

    return OwnServer("mosquitto", argv, "mqtt://127.0.0.1:{port}", rundir)


def start_redis(rundir: str) -> OwnServer:
    exe = program("redis-server")

    def argv(port: int) -> list[str]:
        return [exe, "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
                "--protected-mode", "no", "--daemonize", "no", "--dir", rundir,
                "--logfile", os.path.join(rundir, "redis.log")]

    return OwnServer("redis-server", argv, "redis://127.0.0.1:{port}/0", rundir)


def check_given(what: str, url: str, option: str, env_name: str) -> None:
    """Refuses a URL the demo was given that cannot be read or whose server does not answer
    (a Redis socket is not checked here)."""
    try:
        if what == "MQTT broker":
            from kestrix_sdk.mqtt.courier import parse_mqtt_url as parse
        else:
            from kestrix_sdk.redis.vault import parse_redis_url as parse
        parts = parse(url)
    except ValueError as e:
        raise ServerError(f"{option} / {env_name}: {e}") from None
    if parts.get("host") and not reachable(parts["host"], parts["port"]):
        raise ServerError(f"no {what} on {parts['host']}:{parts['port']} (from {option} / {env_name}); "
                          "start it, or leave both out and the demo starts its own")


@contextlib.contextmanager
def chosen(mqtt_url: str | None, redis_url: str | None, say: Callable[[str], None]) -> Iterator[dict[str, str]]:
    """The two servers' URLs as KESTRIX_MQTT_URL / KESTRIX_REDIS_URL for the demo's processes.

    A server without a URL is started here on a free port and stopped on the way out. Raises
    ServerError when a given server cannot be used or an own one cannot be started."""
    from kestrix_sdk.constants import MQTT_URL_ENV, REDIS_URL_ENV
    from kestrix_sdk.mqtt.courier import redact_url

    wanted = [("MQTT broker", MQTT_URL_ENV, "--mqtt-url", mqtt_url, start_mosquitto),
              ("Redis server", REDIS_URL_ENV, "--redis-url", redis_url, start_redis)]
    for what, env_name, option, url, _ in wanted:
        if url:
            check_given(what, url, option, env_name)
    rundir = tempfile.mkdtemp(prefix="kestrix-demo-")
    own: list[OwnServer] = []
    try:
        urls = {}
        for what, env_name, option, url, start in wanted:
            if url:
                say(f"demo: using the {what} at {redact_url(url)}")
            else:
                own.append(start(rundir))
                url = own[-1].url
                say(f"demo: started {own[-1].name} on 127.0.0.1:{own[-1].port} "
                    f"(pid {own[-1].proc.pid}; stopped at the end)")
            urls[env_name] = url
        if own:
            # The servers of its own have no password: their URLs can be shown.
            say("demo: the operator tool finds them with: export "
                + " ".join(f"{name}={urls[name]}" for name in (MQTT_URL_ENV, REDIS_URL_ENV)
                           if urls[name] in [server.url for server in own]))
        yield urls
    finally:
        for server in reversed(own):
            server.stop()
        shutil.rmtree(rundir, ignore_errors=True)
