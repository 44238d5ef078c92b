"""What the operator tool's commands share: exit statuses, messages, server options and clients."""

from __future__ import annotations

import argparse
import json
import re
import shlex
import sys
from importlib import metadata
from pathlib import Path
from typing import Any, NoReturn

# The kit's default server addresses (those of CourierClient and VaultClient) and the variables
# that hold a node's server URLs.
from kestrix_sdk.constants import (
    DEFAULT_MQTT_HOST,
    DEFAULT_MQTT_PORT,
    DEFAULT_REDIS_HOST,
    DEFAULT_REDIS_PORT,
    MQTT_URL_ENV,
    REDIS_URL_ENV,
)
from kestrix_sdk.server_urls import chosen_url, redis_url_address

EXIT_NOT_FOUND = 1
EXIT_USAGE = 2
EXIT_UNREACHABLE = 3

PROG = "python -m kestrix_sdk"

#: The name the kit is installed by (its import name is kestrix_sdk).
DIST_NAME = "kestrix-sdk"


class Unreachable(Exception):
    """A server could not be reached (or refused the connection)."""


def fail(message: str, code: int) -> NoReturn:
    print(f"{PROG}: {message}", file=sys.stderr)
    raise SystemExit(code)


# ---------------------------------------------------------------------------------------------
# Values of options


def positive_float(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be a positive number")
    return value


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def port_number(text: str) -> int:
    value = int(text)
    if not 0 < value < 65536:
        raise argparse.ArgumentTypeError("must be a TCP port number (1-65535)")
    return value


def listen_port(text: str) -> int:
    value = int(text)
    if not 0 <= value < 65536:
        raise argparse.ArgumentTypeError("must be a TCP port number (0 for any free port)")
    return value


# ---------------------------------------------------------------------------------------------
# Server options


def redis_url_option(p: argparse.ArgumentParser, address: str = "--host and --port") -> None:
    p.add_argument("--redis-url", metavar="URL",
                   help=f"Redis URL, replacing {address}: redis://[[user]:password@]host"
                   "[:port][/db], rediss://... (TLS; ?ca=, cert=, key= files) or "
                   f"unix:///path/to/redis.sock[?db=N] (default: ${REDIS_URL_ENV} when {address} "
                   "are the defaults)")


def mqtt_url_option(p: argparse.ArgumentParser, address: str = "--host and --port",
                    credentials: str = "--username/--password") -> None:
    p.add_argument("--mqtt-url", metavar="URL",
                   help=f"broker URL, replacing {address} (and {credentials} when "
                   "it names a user): mqtt://[user[:password]@]host[:port] or mqtts://... (TLS; "
                   f"?ca=, cert=, key= files) (default: ${MQTT_URL_ENV} when {address} "
                   "are the defaults)")


def redis_options(p: argparse.ArgumentParser, prefix: str = "", url: bool = True) -> None:
    """--host and --port of a command that reads Redis (--<prefix>host, ... when the command's
    own --host is something else), and --redis-url unless `url` is false."""
    p.add_argument(f"--{prefix}host", default=DEFAULT_REDIS_HOST,
                   help=f"Redis server host (default {DEFAULT_REDIS_HOST})")
    p.add_argument(f"--{prefix}port", type=port_number, default=DEFAULT_REDIS_PORT,
                   help=f"Redis server port (default {DEFAULT_REDIS_PORT})")
    if url:
        redis_url_option(p)


def mqtt_options(p: argparse.ArgumentParser, prefix: str = "", url: bool = True) -> None:
    """--host, --port, --username and --password of a command that reads the broker
    (--<prefix>host, ...), and --mqtt-url unless `url` is false."""
    p.add_argument(f"--{prefix}host", default=DEFAULT_MQTT_HOST, help=f"broker host (default {DEFAULT_MQTT_HOST})")
    p.add_argument(f"--{prefix}port", type=port_number, default=DEFAULT_MQTT_PORT,
                   help=f"broker port (default {DEFAULT_MQTT_PORT})")
    p.add_argument(f"--{prefix}username", help="broker user name")
    p.add_argument(f"--{prefix}password", help="broker password")
    if url:
        mqtt_url_option(p)


def both_servers_options(p: argparse.ArgumentParser) -> None:
    """--redis-host, --redis-port, --mqtt-host, --mqtt-port, --mqtt-username, --mqtt-password,
    --redis-url and --mqtt-url of a command that uses both servers."""
    redis_options(p, "redis-", url=False)
    mqtt_options(p, "mqtt-", url=False)
    redis_url_option(p, "--redis-host and --redis-port")
    mqtt_url_option(p, "--mqtt-host and --mqtt-port", "--mqtt-username/--mqtt-password")


def finite_float(low: float, high: float):
    """An option value check: a finite number above `low` and at most `high` (not inf, nan)."""
    import math

    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not math.isfinite(value) or not low < value <= high:
            raise argparse.ArgumentTypeError(f"must be a finite number above {low:g} and at most {high:g}")
        return value

    return parse


def bounded_int(low: int, high: int):
    """An option value check: a whole number from `low` to `high`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be from {low} to {high}")
        return value

    return parse


# ---------------------------------------------------------------------------------------------
# Server URLs (--mqtt-url, --redis-url and the environment)


def resolve_servers(args: argparse.Namespace) -> None:
    """Sets args.redis_url / args.mqtt_url to the URL each server is reached by (or None).

    `view`, `health` and `camera` name their servers' addresses --redis-host/--redis-port and
    --mqtt-host/--mqtt-port (the view's --host and --port are where it listens); the other
    commands --host and --port."""
    named = hasattr(args, "redis_host") or hasattr(args, "mqtt_host")
    if hasattr(args, "redis_url"):
        args.redis_url = chosen_url(args.redis_url, args.redis_host if named else args.host,
                                    args.redis_port if named else args.port, DEFAULT_REDIS_HOST,
                                    DEFAULT_REDIS_PORT, REDIS_URL_ENV)
    if hasattr(args, "mqtt_url"):
        args.mqtt_url = chosen_url(args.mqtt_url, args.mqtt_host if named else args.host,
                                   args.mqtt_port if named else args.port, DEFAULT_MQTT_HOST,
                                   DEFAULT_MQTT_PORT, MQTT_URL_ENV)


def server_text(args: argparse.Namespace, url_attr: str) -> str:
    """Where a sub-command's server is, for messages: the URL without its password, or
    host:port."""
    url = getattr(args, url_attr, None)
    if url:
        from kestrix_sdk.mqtt.courier import redact_url

        return redact_url(url)
    return f"{args.host}:{args.port}"


# ---------------------------------------------------------------------------------------------
# Clients


def redis_client(host: str, port: int, url: str | None = None, timeout: float = 5.0):
    """A client of the Redis server at host:port, or at `url` (which replaces both) when given;
    `timeout` bounds the connection's set-up."""
    import redis
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    where = f"{host}:{port}"
    address: dict[str, Any] = {"host": host, "port": port}
    if url is not None:
        where, address = redis_url_address(url)
    # One immediate retry, not the client's default backed-off retries: a person is waiting.
    client = redis.Redis(**address, socket_connect_timeout=timeout, socket_timeout=2 * timeout,
                         retry=Retry(NoBackoff(), 1))
    try:
        client.ping()
    except (redis.exceptions.ConnectionError, redis.exceptions.TimeoutError) as e:
        raise Unreachable(f"cannot reach the Redis server at {where} - {e}") from None
    except redis.exceptions.ResponseError as e:
        # A server that wants authentication, for instance.
        raise Unreachable(f"the Redis server at {where} refused the request - {e}") from None
    return client


# ---------------------------------------------------------------------------------------------
# Optional extras


def install_command(extra: str) -> str:
    """The pip command that adds the optional `extra` to the kit as it is installed here."""
    try:
        dist: metadata.Distribution | None = metadata.distribution(DIST_NAME)
    except metadata.PackageNotFoundError:
        dist = None
    return pip_command(extra, dist, Path(__file__).resolve().parents[1])


def pip_command(extra: str, dist: metadata.Distribution | None, package_dir: Path) -> str:
    """The pip command adding `extra` to the package at `package_dir`, installed as `dist` (None
    when it is not installed): the checkout it runs from, the local directory it was installed
    from, or else the distribution's name (a wheel, an index)."""
    checkout = source_tree(package_dir)
    source = installed_from(dist)
    if checkout is not None:
        editable = source is not None and source[1] and source[0] == checkout
        return f"pip install {'-e ' if editable else ''}{shlex.quote(f'{checkout}[{extra}]')}"
    if source is not None and source[0].is_dir():
        return f"pip install {'-e ' if source[1] else ''}{shlex.quote(f'{source[0]}[{extra}]')}"
    return f"pip install {shlex.quote(f'{DIST_NAME}[{extra}]')}"


def source_tree(package_dir: Path) -> Path | None:
    """The checkout whose src/ holds `package_dir`, None when the package lives elsewhere."""
    if package_dir.parent.name != "src":
        return None
    root = package_dir.parent.parent
    try:
        project = (root / "pyproject.toml").read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError):
        return None
    if not re.search(rf'^name\s*=\s*"{re.escape(DIST_NAME)}"', project, re.MULTILINE):
        return None
    return root


def installed_from(dist: metadata.Distribution | None) -> tuple[Path, bool] | None:
    """(local directory, editable) a distribution was installed from, as its direct_url.json
    records; None for one installed from a wheel file or an index."""
    text = dist.read_text("direct_url.json") if dist is not None else None
    if not text:
        return None
    try:
        direct = json.loads(text)
        url, dir_info = direct["url"], direct["dir_info"]
    except (ValueError, KeyError, TypeError):
        return None
    if not isinstance(url, str) or not url.startswith("file://") or not isinstance(dir_info, dict):
        return None
    from urllib.parse import unquote, urlsplit

    return Path(unquote(urlsplit(url).path)), dir_info.get("editable") is True
