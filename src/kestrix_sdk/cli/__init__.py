"""The operator tool, ``python -m kestrix_sdk <command>``: one module per command.

  status            the latest status record of every node, read from Redis
  watch             status and error reports live from the MQTT broker
  frame KEY --out F save the frame stored under a Redis key as an image file
  bridge            the device broker's configuration for a fleet link to a cloud broker
  view              a local web page of the nodes, their reports and their frames (live)
  health            whether the servers answer and the named nodes report (HEALTHCHECK)
  camera            a camera node: the newest frame of a video source into the Redis store

Exit status: 0 done; 1 nothing (or not all) of what was asked for was found; 2 wrong usage;
3 a server could not be reached.

Adding a command is one new module here and its name in `COMMANDS`. The module defines

    NAME = "health"                         # the command's name on the command line
    HELP = "..."                            # its line in ``python -m kestrix_sdk --help``
    DESCRIPTION = "..."                     # the text of ``python -m kestrix_sdk health --help``
    def add_arguments(parser) -> None: ...  # its options (argparse)
    def run(args) -> int: ...               # does the work, returns the exit status

and takes what commands share from `kestrix_sdk.cli.common`: the server options
(`redis_options`, `mqtt_options`, `--redis-url`/`--mqtt-url`), the option value checks, `fail`,
the exit statuses, `redis_client` and `Unreachable`, which the tool reports as exit status 3.
`resolve_servers` has filled in args.redis_url / args.mqtt_url (from the options or the
environment) before `run` is called. A command imports heavy libraries (paho, redis, OpenCV,
aiohttp) inside `run`, so that the others start fast; what the live view shares with the tool
about reports and records lives in `kestrix_sdk.reports`.
"""

from __future__ import annotations

import argparse
import importlib
from types import ModuleType

from kestrix_sdk.cli.common import EXIT_UNREACHABLE, EXIT_USAGE, PROG, Unreachable, fail, resolve_servers, server_text

#: The commands, in the order ``--help`` lists them: modules of this package.
COMMANDS = ["status", "watch", "frame", "bridge", "view", "health", "camera"]


def command_modules() -> list[ModuleType]:
    return [importlib.import_module(f"{__name__}.{name}") for name in COMMANDS]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Operator tool for the nodes of kestrix_sdk.",
        epilog="Exit status: 0 done, 1 not (all) found, 2 wrong usage, 3 server unreachable.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in command_modules():
        p = sub.add_parser(command.NAME, help=command.HELP, description=command.DESCRIPTION)
        command.add_arguments(p)
        p.set_defaults(run=command.run)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    resolve_servers(args)
    try:
        return args.run(args)
    except ValueError as e:
        # An unusable server URL; the message shows it without its password.
        if "URL '" not in str(e):
            raise
        fail(str(e), EXIT_USAGE)
    except Unreachable as e:
        fail(str(e), EXIT_UNREACHABLE)
    except Exception as e:
        # The Redis server went away after the first exchange.
        if type(e).__module__.startswith("redis.") and type(e).__name__ in ("ConnectionError", "TimeoutError"):
            fail(f"lost the Redis server at {server_text(args, 'redis_url')} - {e}", EXIT_UNREACHABLE)
        raise
    except KeyboardInterrupt:
        return 130


__all__ = ["COMMANDS", "build_parser", "main"]
