"""`bridge`: the device broker's configuration for a fleet link to a cloud broker."""

from __future__ import annotations

import argparse
import os
import sys

from kestrix_sdk.cli.common import EXIT_NOT_FOUND, EXIT_USAGE, fail

NAME = "bridge"
HELP = "Mosquitto configuration of a device's fleet link to a cloud broker"
DESCRIPTION = ("Writes a Mosquitto configuration fragment for a device's broker "
               "(for its include_dir, or to append to its configuration): one bridge "
               "connection to the cloud broker of --remote that forwards the nodes' error "
               "and status topics at QoS 1 under <prefix>/<device>/, keeps a persistent "
               "session and a bounded queue while the cloud is unreachable, and publishes "
               "the link's state on <prefix>/<device>/online (retained 1 or 0).")


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--remote", required=True, metavar="URL",
                   help="the cloud broker: mqtt://[user[:password]@]host[:port] or mqtts://... "
                   "with ?ca=FILE&cert=FILE&key=FILE")
    p.add_argument("--device", required=True, metavar="ID", help="this device's identifier (one topic level)")
    what = p.add_mutually_exclusive_group(required=True)
    what.add_argument("--node", dest="nodes", action="append", metavar="NODE",
                      help="forward this node's error and status topics (repeatable)")
    what.add_argument("--all", action="store_true", help="forward every topic of the device broker")
    p.add_argument("--prefix", default="fleet", help="first topic level(s) at the cloud (default fleet)")
    p.add_argument("--out", metavar="FILE", help="write to FILE (mode 0600) instead of standard output")


def run(args: argparse.Namespace) -> int:
    from kestrix_sdk import fleet
    from kestrix_sdk.mqtt import courier

    try:
        remote = courier.parse_mqtt_url(args.remote)
        shown = courier.redact_url(args.remote)
    except ValueError as e:
        fail(f"unusable --remote URL - {e}", EXIT_USAGE)
    if remote.get("password") is not None and args.out is None:
        fail("the --remote URL holds a password, which is not written to standard output: "
             "give --out FILE (created readable by its owner only)", EXIT_USAGE)
    try:
        text = fleet.bridge_config(remote, args.device, args.nodes or (), args.all,
                                   args.prefix, shown_url=shown)
    except fleet.BridgeError as e:
        fail(str(e), EXIT_USAGE)
    if args.out is None:
        sys.stdout.write(text)
        return 0
    try:
        fd = os.open(args.out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "w") as f:
            os.fchmod(f.fileno(), 0o600)   # also when the file was there before
            f.write(text)
    except OSError as e:
        fail(f"cannot write {args.out} - {e}", EXIT_NOT_FOUND)
    print(f"wrote the fleet link of device {args.device} to {shown} into {args.out}", file=sys.stderr)
    return 0
