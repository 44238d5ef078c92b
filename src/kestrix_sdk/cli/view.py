"""`view`: a local web page of the nodes, their reports and their frames (live)."""

from __future__ import annotations

import argparse

from kestrix_sdk.cli.common import (
    EXIT_USAGE,
    both_servers_options,
    bounded_int,
    fail,
    finite_float,
    install_command,
    listen_port,
    positive_int,
)
from kestrix_sdk.reports import FRAME_KEY_PREFIX
from kestrix_sdk.view import config     # the view's settings; the server itself needs aiohttp
from kestrix_sdk.view import limits

NAME = "view"
HELP = "a local web page of the nodes, reports and frames (live)"
DESCRIPTION = ("Serves a web page showing, live, the frames stored in Redis, "
               "the nodes' latest status records and the error reports from the broker. "
               "Listening on another address than loopback requires a token (one is "
               f"generated and printed when --token and {config.TOKEN_ENV} are not given), "
               "and should have --cert and --key (HTTPS).")


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--host", default=config.DEFAULT_HOST, help=f"address to listen on (default {config.DEFAULT_HOST})")
    p.add_argument("--port", type=listen_port, default=config.DEFAULT_PORT,
                   help=f"port to listen on (default {config.DEFAULT_PORT})")
    p.add_argument("--frames", nargs="+", metavar="KEY",
                   help=f"frame keys to show (default: the keys under {FRAME_KEY_PREFIX}* that hold frames)")
    p.add_argument("--fps", type=finite_float(0, limits.MAX_FPS), default=config.DEFAULT_FPS,
                   help=f"most frames per second a stream sends (default {config.DEFAULT_FPS:g}, at most {limits.MAX_FPS:g})")
    p.add_argument("--token", help="token every data request must carry (?token=... or header "
                   f"X-Kestrix-Token / Authorization: Bearer); default ${config.TOKEN_ENV}")
    p.add_argument("--cert", metavar="FILE", help="serve HTTPS with this certificate (chain), PEM")
    p.add_argument("--key", metavar="FILE", help="the private key of --cert, PEM")
    p.add_argument("--max-streams", type=positive_int, default=config.DEFAULT_MAX_STREAMS,
                   help=f"most frame streams open at once (default {config.DEFAULT_MAX_STREAMS})")
    p.add_argument("--streams-per-client", type=positive_int, default=limits.DEFAULT_STREAMS_PER_CLIENT,
                   help="most frame streams one client address may hold open (default "
                   f"{limits.DEFAULT_STREAMS_PER_CLIENT})")
    p.add_argument("--write-timeout", type=finite_float(0, 3600), default=limits.DEFAULT_WRITE_TIMEOUT,
                   help="a stream whose write stays blocked this many seconds is dropped "
                   f"(default {limits.DEFAULT_WRITE_TIMEOUT:g})")
    p.add_argument("--stale-after", type=finite_float(0, limits.MAX_SECONDS), default=config.DEFAULT_STALE_AFTER,
                   help="a status record older than this many seconds is marked stale "
                   f"(default {config.DEFAULT_STALE_AFTER:g})")
    p.add_argument("--max-nodes", type=bounded_int(1, 1_000_000), default=limits.DEFAULT_MAX_NODES,
                   help="most nodes whose status record is kept; the one heard from longest ago "
                   f"makes room (default {limits.DEFAULT_MAX_NODES})")
    p.add_argument("--max-record-bytes", type=bounded_int(64, 1 << 30),
                   default=limits.DEFAULT_MAX_RECORD_BYTES,
                   help="a larger record is kept as a marker with its size (default "
                   f"{limits.DEFAULT_MAX_RECORD_BYTES})")
    p.add_argument("--max-answer-bytes", type=bounded_int(1024, 1 << 30),
                   default=limits.DEFAULT_MAX_ANSWER_BYTES,
                   help=f"most bytes of a JSON answer (default {limits.DEFAULT_MAX_ANSWER_BYTES})")
    both_servers_options(p)


def run(args: argparse.Namespace) -> int:
    import ssl

    try:
        from kestrix_sdk.view.server import ViewConfig, serve
    except ImportError as e:
        fail(f"the live view needs the optional extra: {install_command('view')} ({e})", EXIT_USAGE)
    if bool(args.cert) != bool(args.key):
        fail("--cert and --key go together (the certificate and its private key)", EXIT_USAGE)
    from kestrix_sdk.view.config import tls_context

    config = ViewConfig(
        host=args.host, port=args.port, frames=args.frames or [], fps=args.fps, token=args.token,
        max_streams=args.max_streams, stale_after=args.stale_after,
        redis_host=args.redis_host, redis_port=args.redis_port,
        mqtt_host=args.mqtt_host, mqtt_port=args.mqtt_port,
        mqtt_username=args.mqtt_username, mqtt_password=args.mqtt_password,
        redis_url=args.redis_url, mqtt_url=args.mqtt_url,
        max_nodes=args.max_nodes, max_record_bytes=args.max_record_bytes,
        max_answer_bytes=args.max_answer_bytes, streams_per_client=args.streams_per_client,
        write_timeout=args.write_timeout, cert=args.cert, key=args.key)
    try:
        tls_context(config)
    except (OSError, ssl.SSLError) as e:
        fail(f"cannot use the certificate --cert {args.cert} with the key --key {args.key} - {e}",
             EXIT_USAGE)
    return serve(config)
