"""`view`: a local web page of the nodes, their reports and their frames (live)."""

from __future__ import annotations

import argparse

from kestrix_sdk.cli.common import (
    EXIT_USAGE,
    fail,
    install_command,
    listen_port,
    mqtt_options,
    mqtt_url_option,
    positive_float,
    positive_int,
    redis_options,
    redis_url_option,
)
from kestrix_sdk.reports import FRAME_KEY_PREFIX
from kestrix_sdk.view import config     # the view's settings; the server itself needs aiohttp

NAME = "view"
HELP = "a local web page of the nodes, reports and frames (live)"
DESCRIPTION = ("Serves a web page showing, live, the frames stored in Redis, "
               "the nodes' latest status records and the error reports from the broker. "
               "Listening on another address than loopback requires a token (one is "
               f"generated and printed when --token and {config.TOKEN_ENV} are not given).")


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--host", default=config.DEFAULT_HOST, help=f"address to listen on (default {config.DEFAULT_HOST})")
    p.add_argument("--port", type=listen_port, default=config.DEFAULT_PORT,
                   help=f"port to listen on (default {config.DEFAULT_PORT})")
    p.add_argument("--frames", nargs="+", metavar="KEY",
                   help=f"frame keys to show (default: the keys under {FRAME_KEY_PREFIX}* that hold frames)")
    p.add_argument("--fps", type=positive_float, default=config.DEFAULT_FPS,
                   help=f"most frames per second a stream sends (default {config.DEFAULT_FPS:g})")
    p.add_argument("--token", help="token every request must carry (?token=... or header "
                   f"X-Kestrix-Token / Authorization: Bearer); default ${config.TOKEN_ENV}")
    p.add_argument("--max-streams", type=positive_int, default=config.DEFAULT_MAX_STREAMS,
                   help=f"most frame streams open at once (default {config.DEFAULT_MAX_STREAMS})")
    p.add_argument("--stale-after", type=positive_float, default=config.DEFAULT_STALE_AFTER,
                   help="a status record older than this many seconds is marked stale "
                   f"(default {config.DEFAULT_STALE_AFTER:g})")
    redis_options(p, "redis-", url=False)
    mqtt_options(p, "mqtt-", url=False)
    redis_url_option(p, "--redis-host and --redis-port")
    mqtt_url_option(p, "--mqtt-host and --mqtt-port", "--mqtt-username/--mqtt-password")


def run(args: argparse.Namespace) -> int:
    try:
        from kestrix_sdk.view.server import ViewConfig, serve
    except ImportError as e:
        fail(f"the live view needs the optional extra: {install_command('view')} ({e})", EXIT_USAGE)
    return serve(ViewConfig(
        host=args.host, port=args.port, frames=args.frames or [], fps=args.fps, token=args.token,
        max_streams=args.max_streams, stale_after=args.stale_after,
        redis_host=args.redis_host, redis_port=args.redis_port,
        mqtt_host=args.mqtt_host, mqtt_port=args.mqtt_port,
        mqtt_username=args.mqtt_username, mqtt_password=args.mqtt_password,
        redis_url=args.redis_url, mqtt_url=args.mqtt_url))
