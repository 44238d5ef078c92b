"""`frame KEY --out FILE`: save the frame stored under a Redis key as an image file."""

from __future__ import annotations

import argparse
import base64
import binascii
import os

from kestrix_sdk.cli.common import (
    EXIT_NOT_FOUND,
    EXIT_USAGE,
    fail,
    redis_client,
    redis_options,
    server_text,
)

NAME = "frame"
HELP = "save the frame stored under a Redis key as an image"
DESCRIPTION = ("Reads the frame stored under KEY (base64 text of a JPEG file, as "
               "VaultClient.write_frame stores it) and saves it as an image; the format "
               "follows the file name's extension (.jpg keeps the stored file as it is).")


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("key", metavar="KEY", help="Redis key, e.g. kestrix_local_<node id>_6379")
    p.add_argument("--out", required=True, metavar="FILE", help="image file to write (.jpg, .png, ...)")
    redis_options(p)


def run(args: argparse.Namespace) -> int:
    import cv2
    import numpy as np
    import redis

    client = redis_client(args.host, args.port, getattr(args, "redis_url", None))
    try:
        value = client.get(args.key)
    except redis.exceptions.ResponseError as e:
        fail(f"cannot read key {args.key!r} - {e}", EXIT_NOT_FOUND)
    if value is None:
        fail(f"no value under key {args.key!r} on {server_text(args, 'redis_url')}", EXIT_NOT_FOUND)
    try:
        data = base64.b64decode(value)
    except (binascii.Error, ValueError):
        data = b""
    image = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED) if data else None
    if image is None:
        fail(f"the value under key {args.key!r} is not a frame (base64 text of an image)", EXIT_NOT_FOUND)
    ext = os.path.splitext(args.out)[1].lower()
    try:
        if ext in (".jpg", ".jpeg") and data[:2] == b"\xff\xd8":
            # The stored JPEG file itself, without decoding and encoding it again.
            with open(args.out, "wb") as f:
                f.write(data)
        elif not cv2.imwrite(args.out, image):
            fail(f"cannot write {args.out}", EXIT_NOT_FOUND)
    except cv2.error:
        fail(f"cannot write {args.out}: unknown image format {ext or '(no extension)'!r}"
             " (use .jpg, .png, .bmp, ...)", EXIT_USAGE)
    except OSError as e:
        fail(f"cannot write {args.out} - {e}", EXIT_NOT_FOUND)
    height, width = image.shape[:2]
    channels = 1 if image.ndim == 2 else image.shape[2]
    print(f"saved the frame under {args.key!r} ({width} x {height}, {channels} channel"
          f"{'s' if channels != 1 else ''}) to {args.out}")
    return 0
