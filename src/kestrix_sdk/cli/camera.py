"""`camera --source SOURCE --key KEY`: a camera node, keeping the newest frame of a video source
in the Redis store and reporting the source's state through the status reporter."""

from __future__ import annotations

import argparse
import logging
import os
import signal
from urllib.parse import quote

from kestrix_sdk.cli.common import (
    EXIT_USAGE,
    fail,
    both_servers_options,
    positive_float,
    positive_int,
)
from kestrix_sdk.constants import MQTT_URL_ENV, NODE_ID, REDIS_URL_ENV

NAME = "camera"
HELP = "a camera node: the newest frame of a video source into the Redis store"
DESCRIPTION = ("Reads SOURCE (an RTSP URL, an HTTP(S) Motion-JPEG URL, a video file, a V4L2 "
               "device or its index) and keeps its newest frame under KEY in Redis, as "
               "VaultClient.write_frame stores frames (a Motion-JPEG camera's own JPEG files when "
               "no resize is asked for). A source that stalls or goes away is opened again, "
               "backing off from 0.5 s to 10 s; the node's status record tells its state "
               "(streaming, reconnecting, ended), measured frame rate, frame size, reconnects and "
               "the age of the newest frame. SIGTERM ends it with exit status 0, SIGINT with "
               "130; a file's end (without --loop) with 0.")


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--source", required=True, metavar="SOURCE",
                   help="rtsp://[user:password@]host/path, http(s)://... Motion-JPEG, a video "
                   "file, /dev/videoN or a device index (the password is never printed)")
    p.add_argument("--key", required=True, metavar="KEY", help="Redis key the frame is stored under")
    p.add_argument("--fps", type=positive_float, help="most frames stored per second (default: every frame)")
    size = p.add_mutually_exclusive_group()
    size.add_argument("--zoom", type=positive_float, help="store frames scaled by this factor")
    size.add_argument("--width", type=positive_int, help="store frames this wide (with --height)")
    p.add_argument("--height", type=positive_int, help="store frames this high (with --width)")
    p.add_argument("--node-id", default=NODE_ID, help=f"node id of the status reports (default $NODE_ID, now {NODE_ID!r})")
    p.add_argument("--loop", action="store_true", help="start a video file again at its end")
    p.add_argument("--status-interval", type=positive_float, default=1.0,
                   help="seconds between status reports (default 1)")
    p.add_argument("--stall-after", type=positive_float, default=5.0,
                   help="seconds without a frame before the source is opened again (default 5)")
    both_servers_options(p)


def server_environment(args: argparse.Namespace) -> None:
    """Points the node's store client and status reporter (which read the kit's URL variables)
    at the servers the options name."""
    redis_url = args.redis_url or f"redis://{args.redis_host}:{args.redis_port}/0"
    mqtt_url = args.mqtt_url
    if mqtt_url is None:
        user = ""
        if args.mqtt_username:
            user = quote(args.mqtt_username, safe="")
            if args.mqtt_password:
                user += ":" + quote(args.mqtt_password, safe="")
            user += "@"
        mqtt_url = f"mqtt://{user}{args.mqtt_host}:{args.mqtt_port}"
    os.environ[REDIS_URL_ENV] = redis_url
    os.environ[MQTT_URL_ENV] = mqtt_url


def run(args: argparse.Namespace) -> int:
    if (args.width is None) != (args.height is None):
        fail("--width and --height go together", EXIT_USAGE)
    if not logging.getLogger().handlers:
        # The camera's own lines; of the clients under it, only their warnings and errors.
        logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")
        for name in ("kestrix_sdk.MQTT", "kestrix_sdk.REDIS"):
            logging.getLogger(name).setLevel(logging.WARNING)
    server_environment(args)
    from kestrix_sdk.camera import CameraSource

    try:
        cam = CameraSource(args.source, args.key, fps=args.fps, width=args.width,
                           height=args.height, zoom=args.zoom, loop=args.loop,
                           node_id=args.node_id, status_interval=args.status_interval,
                           stall_after=args.stall_after)
    except FileNotFoundError as e:
        fail(f"{e.strerror}: {e.filename}", EXIT_USAGE)
    except ValueError as e:
        fail(str(e), EXIT_USAGE)

    code = 0

    def on_signal(signum, frame):  # noqa: ARG001
        nonlocal code
        code = 130 if signum == signal.SIGINT else 0
        cam.stop()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    cam.start()
    # join() waits on a lock, which a signal interrupts to run the handler above.
    cam.join()
    return code
