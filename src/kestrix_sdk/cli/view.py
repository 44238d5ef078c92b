"""`view`: a local web page of the nodes, their reports and their frames (live)."""

from __future__ import annotations

import argparse

from kestrix_sdk.cli.common import (
    EXIT_USAGE,
    fail,
    install_command,
    listen_port,
    mqtt_url_option,
    port_number,
    positive_float,
    positive_int,
    redis_url_option,
)
from kestrix_sdk.constants import DEFAULT_MQTT_HOST, DEFAULT_MQTT_PORT, DEFAULT_REDIS_HOST, DEFAULT_REDIS_PORT
from kestrix_sdk.reports import FRAME_KEY_PREFIX

NAME = "view"
HELP = "a local web page of the nodes, reports and frames (live)"
DESCRIPTION = ("Serves a web page showing, live, the frames stored in Redis, "
               "the nodes' latest status records and the error reports from the broker. "
               "Listening on another address than loopback requires a token (one is "
               "generated and printed when --token and KESTRIX_VIEW_TOKEN are not given).")


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=listen_port, default=8321, help="port to listen on (default 8321)")
    p.add_argument("--frames", nargs="+", metavar="KEY",
                   help=f"frame keys to show (default: the keys under {FRAME_KEY_PREFIX}* that hold frames)")
    p.add_argument("--fps", type=positive_float, default=15.0,
                   help="most frames per second a stream sends (default 15)")
    p.add_argument("--token", help="token every request must carry (?token=... or header "
                   "X-Kestrix-Token / Authorization: Bearer); default $KESTRIX_VIEW_TOKEN")
    p.add_argument("--max-streams", type=positive_int, default=32,
                   help="most frame streams open at once (default 32)")
    p.add_argument("--stale-after", type=positive_float, default=180.0,
                   help="a status record older than this many seconds is marked stale (default 180)")
    p.add_argument("--redis-host", default=DEFAULT_REDIS_HOST,
                   help=f"Redis server host (default {DEFAULT_REDIS_HOST})")
    p.add_argument("--redis-port", type=port_number, default=DEFAULT_REDIS_PORT,
                   help=f"Redis server port (default {DEFAULT_REDIS_PORT})")
    p.add_argument("--mqtt-host", default=DEFAULT_MQTT_HOST,
                   help=f"broker host (default {DEFAULT_MQTT_HOST})")
    p.add_argument("--mqtt-port", type=port_number, default=DEFAULT_MQTT_PORT,
                   help=f"broker port (default {DEFAULT_MQTT_PORT})")
    p.add_argument("--mqtt-username", help="broker user name")
    p.add_argument("--mqtt-password", help="broker password")
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
