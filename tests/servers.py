"""Real servers for the tests: a Mosquitto broker and a Redis server on loopback.

Each server runs as a child process on a free port (or on a fixed port when asked), is stopped
by its pid, and can be stopped and started again on the same port to simulate an outage.
"""

from __future__ import annotations

import hashlib
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

from kestrix_sdk.constants import MQTT_URL_ENV, REDIS_URL_ENV


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port: int, host: str = "127.0.0.1") -> bool:
    try:
        with socket.create_connection((host, port), timeout=0.2):
            return True
    except OSError:
        return False


def find_program(name: str) -> str | None:
    return shutil.which(name) or next(
        (p for p in (f"/usr/sbin/{name}", f"/usr/bin/{name}") if os.access(p, os.X_OK)), None
    )


def wait_for(predicate, timeout: float = 10.0, interval: float = 0.02) -> bool:
    """Polls predicate() until it is true or the time-out passes; returns its last answer."""
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


class _Server:
    program = ""

    def __init__(self, port: int | None = None) -> None:
        self.port = port or free_port()
        self.dir = Path(tempfile.mkdtemp(prefix=f"kx-{self.program}-"))
        self.proc: subprocess.Popen | None = None

    def command(self) -> list[str]:
        raise NotImplementedError

    def start(self) -> "_Server":
        exe = find_program(self.program)
        if exe is None:
            raise RuntimeError(f"{self.program} is not installed")
        with open(self.dir / "stderr.log", "ab") as stderr:
            # The servers are the system's own builds: the sanitizer runtimes that the ASan run
            # preloads into the kit's processes are not for them.
            env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
            self.proc = subprocess.Popen(
                [exe, *self.command()], stdout=subprocess.DEVNULL, stderr=stderr, cwd=self.dir,
                env=env,
            )
        if not wait_for(lambda: port_open(self.port) or self.proc.poll() is not None, 10):
            self.stop()
            raise RuntimeError(f"{self.program} did not come up on port {self.port}")
        if self.proc.poll() is not None:
            raise RuntimeError(
                f"{self.program} exited: {(self.dir / 'stderr.log').read_text(errors='replace')}"
            )
        return self

    def stop(self) -> None:
        if self.proc is None:
            return
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait(5)
        self.proc = None
        wait_for(lambda: not port_open(self.port), 5)

    def restart(self) -> None:
        self.stop()
        self.start()

    @property
    def running(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def close(self) -> None:
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class Mosquitto(_Server):
    """A Mosquitto broker on 127.0.0.1. With credentials, anonymous clients are refused.

    With `certfile` and `keyfile` the listener speaks TLS; `cafile` verifies client certificates,
    which `require_certificate` makes mandatory. `users` maps further user names to passwords
    (all kept in one password file, beside `username`/`password`). A `persistent` broker keeps
    its sessions and queued messages across a restart in its directory; `extra` lines are
    appended to its configuration.

    Every client connection and disconnection is written to `log_path`; `connections()` counts
    the "New client connected" lines, which is the number of accepted TCP connections.
    """

    program = "mosquitto"

    def __init__(self, port: int | None = None, username: str | None = None,
                 password: str | None = None, *, cafile: str | os.PathLike | None = None,
                 certfile: str | os.PathLike | None = None,
                 keyfile: str | os.PathLike | None = None, require_certificate: bool = False,
                 users: dict[str, str] | None = None, persistent: bool = False,
                 extra: list[str] | None = None) -> None:
        super().__init__(port)
        self.log_path = self.dir / "mosquitto.log"
        lines = [
            f"listener {self.port} 127.0.0.1",
            f"persistence {'true' if persistent else 'false'}",
            *([f"persistence_location {self.dir}/"] if persistent else []),
            f"log_dest file {self.log_path}",
            "log_type all",
            "connection_messages true",
        ]
        if os.geteuid() == 0:
            lines.append("user root")
        if certfile is not None:
            lines += [f"certfile {certfile}", f"keyfile {keyfile}"]
            if cafile is not None:
                lines.append(f"cafile {cafile}")
            lines.append(f"require_certificate {'true' if require_certificate else 'false'}")
        accounts = dict(users or {})
        if username is not None:
            accounts[username] = password or ""
        if accounts:
            pw_file = self.dir / "passwd"
            for n, (name, secret) in enumerate(accounts.items()):
                subprocess.run(
                    [find_program("mosquitto_passwd") or "mosquitto_passwd", "-b",
                     *(["-c"] if n == 0 else []), str(pw_file), name, secret],
                    check=True, capture_output=True,
                )
            lines += ["allow_anonymous false", f"password_file {pw_file}"]
        else:
            lines.append("allow_anonymous true")
        lines += extra or []
        self.conf = self.dir / "mosquitto.conf"
        self.conf.write_text("\n".join(lines) + "\n")

    def command(self) -> list[str]:
        return ["-c", str(self.conf)]

    def log(self) -> str:
        try:
            return self.log_path.read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def connections(self) -> int:
        return self.log().count("New client connected")


class RedisServer(_Server):
    """A Redis server on 127.0.0.1 without persistence.

    With `tls_certfile` and `tls_keyfile` the port speaks TLS only (the plain port is off);
    `tls_cafile` verifies client certificates, which `tls_auth_clients` makes mandatory.
    `password` protects the default user; `acl_users` are further ACL rules, one per user
    (for example "cam1 on >secret ~cam1_* +@all"). `unixsocket` also listens on a socket file
    in the server's directory, whose path is `socket_path`.
    """

    program = "redis-server"

    def __init__(self, port: int | None = None, *, tls_certfile: str | os.PathLike | None = None,
                 tls_keyfile: str | os.PathLike | None = None,
                 tls_cafile: str | os.PathLike | None = None, tls_auth_clients: bool = False,
                 password: str | None = None, acl_users: list[str] | None = None,
                 unixsocket: bool = False) -> None:
        super().__init__(port)
        self.tls = (tls_certfile, tls_keyfile, tls_cafile, tls_auth_clients)
        self.password = password
        self.acl_users = list(acl_users or [])
        self.socket_path = self.dir / "redis.sock" if unixsocket else None

    def command(self) -> list[str]:
        certfile, keyfile, cafile, auth_clients = self.tls
        if certfile is not None:
            args = ["--port", "0", "--tls-port", str(self.port), "--tls-cert-file", str(certfile),
                    "--tls-key-file", str(keyfile),
                    "--tls-auth-clients", "yes" if auth_clients else "no"]
            if cafile is not None:
                args += ["--tls-ca-cert-file", str(cafile)]
        else:
            args = ["--port", str(self.port)]
        args += ["--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
                 "--protected-mode", "no", "--daemonize", "no", "--dir", str(self.dir)]
        if self.password is not None:
            args += ["--requirepass", self.password]
        if self.acl_users:
            acl = self.dir / "users.acl"
            rules = list(self.acl_users)
            if self.password is not None:
                # The password's SHA-256, so that any text (spaces included) can be used.
                digest = hashlib.sha256(self.password.encode()).hexdigest()
                rules.insert(0, f"user default on #{digest} ~* &* +@all")
            else:
                rules.insert(0, "user default on nopass ~* &* +@all")
            acl.write_text("\n".join(rules) + "\n")
            args += ["--aclfile", str(acl)]
            if self.password is not None:
                args = args[:args.index("--requirepass")] + args[args.index("--requirepass") + 2:]
        if self.socket_path is not None:
            args += ["--unixsocket", str(self.socket_path), "--unixsocketperm", "700"]
        return args


def server_urls(broker: Mosquitto, redis: RedisServer) -> dict[str, str]:
    """The variables that lead every client made at the default address to these servers."""
    return {MQTT_URL_ENV: f"mqtt://127.0.0.1:{broker.port}",
            REDIS_URL_ENV: f"redis://127.0.0.1:{redis.port}/0"}


def sockets() -> int:
    """Sockets this process holds open."""
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{fd}").startswith("socket:")
        except OSError:
            pass
    return count


def connecting_to(port: int) -> bool:
    """True while a TCP handshake to 127.0.0.1:port waits for its answer (state SYN_SENT)."""
    with open("/proc/net/tcp") as table:
        return any(f.split()[2] == f"0100007F:{port:04X}" and f.split()[3] == "02"
                   for f in table.readlines()[1:])


class FullBacklog:
    """A listener whose accept queue is full: a connection attempt to it blocks in the TCP
    handshake until free() makes room, and then completes."""

    def __init__(self) -> None:
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(0)
        self.port = self.listener.getsockname()[1]
        self.filler = socket.create_connection(("127.0.0.1", self.port))
        assert wait_for(lambda: self._queued(), 5)

    def _queued(self) -> bool:
        with open("/proc/net/tcp") as table:
            return any(f.split()[1] == f"0100007F:{self.port:04X}" and f.split()[3] == "0A"
                       and int(f.split()[4].split(":")[1], 16) >= 1 for f in table.readlines()[1:])

    def free(self) -> None:
        self.listener.accept()[0].close()

    def close(self) -> None:
        self.filler.close()
        self.listener.close()


def _received(sock: socket.socket) -> bytes:
    """The next bytes from the socket; empty at its end or on an error."""
    try:
        return sock.recv(65536)
    except OSError:
        return b""


class HoldingProxy:
    """A TCP relay on loopback to 127.0.0.1:`port` that can hold back what a client sends.

    After hold(), the bytes of the next client connection that sends anything are kept (not
    passed on) until release(), even when that client has closed its end meanwhile: a command
    delayed on its way to the server, as a stalled network or server delays it. Once released,
    the held bytes go to the server and `held_answered` is set when its answer arrives.
    """

    def __init__(self, port: int) -> None:
        import threading

        self._threading = threading
        self.upstream_port = port
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self._lock = threading.Lock()
        self._armed = False
        self._held: socket.socket | None = None   # the upstream side of the held connection
        self.held_bytes = bytearray()
        self.held_client_closed = threading.Event()
        self.held_answered = threading.Event()
        self._released = threading.Event()
        self._closing = False
        self._sockets: list[socket.socket] = []
        self._threads = [threading.Thread(target=self._accept, daemon=True)]
        self._threads[0].start()

    def hold(self) -> None:
        with self._lock:
            self._armed = True

    def release(self) -> None:
        self._released.set()

    def _accept(self) -> None:
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.upstream_port))
            with self._lock:
                self._sockets += [client, server]
            for target, args in ((self._to_server, (client, server)),
                                 (self._to_client, (server, client))):
                t = self._threading.Thread(target=target, args=args, daemon=True)
                self._threads.append(t)
                t.start()

    def _to_server(self, client: socket.socket, server: socket.socket) -> None:
        held = False
        while data := _received(client):
            with self._lock:
                if self._armed and self._held is None:
                    self._held, held = server, True
            if held:
                self.held_bytes += data
            else:
                try:
                    server.sendall(data)
                except OSError:
                    break
        if held:
            self.held_client_closed.set()
            self._released.wait()
            if not self._closing:
                server.sendall(bytes(self.held_bytes))
                return  # the server's answer is read by _to_client, which then closes
        try:
            server.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def _to_client(self, server: socket.socket, client: socket.socket) -> None:
        while data := _received(server):
            if server is self._held:
                if self._released.is_set():
                    self.held_answered.set()
                    break
                continue
            try:
                client.sendall(data)
            except OSError:
                pass
        for s in (client, server):
            try:
                s.close()
            except OSError:
                pass

    def close(self) -> None:
        self._closing = True
        self._released.set()
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread
        except OSError:
            pass
        self.listener.close()
        with self._lock:
            for s in self._sockets:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                s.close()
        for t in self._threads:
            t.join(5)
