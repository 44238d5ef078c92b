"""`health`: whether Redis and the broker answer and the named nodes report, for a container's
HEALTHCHECK. Exit status 0 when all is well, 1 otherwise, with one line saying what is wrong."""

from __future__ import annotations

import argparse
import os
import threading
import time
from typing import Any

from kestrix_sdk.cli.common import EXIT_NOT_FOUND, Unreachable, both_servers_options, finite_float, redis_client

NAME = "health"
HELP = "whether the servers answer and the named nodes report (for a HEALTHCHECK)"
DESCRIPTION = ("Exit status 0 when the Redis server and the MQTT broker answer and every --node "
               "has a status record in Redis at most --max-age seconds old; 1 otherwise. One "
               "line on standard output says what was found.")

DEFAULT_MAX_AGE = 180.0     # as the live view's --stale-after
DEFAULT_TIMEOUT = 5.0       # seconds each server has to answer
EXIT_UNHEALTHY = EXIT_NOT_FOUND
DAY = 24 * 3600.0


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--node", dest="nodes", action="append", metavar="ID",
                   help="this node must have reported within --max-age (repeatable)")
    p.add_argument("--max-age", type=finite_float(0, 365 * DAY), default=DEFAULT_MAX_AGE,
                   help=f"seconds a node's latest status record may be old (default {DEFAULT_MAX_AGE:g})")
    p.add_argument("--timeout", type=finite_float(0, 600), default=DEFAULT_TIMEOUT,
                   help=f"seconds each server has to answer (default {DEFAULT_TIMEOUT:g})")
    both_servers_options(p)


def broker_problem(args: argparse.Namespace) -> str | None:
    """None when the broker accepts a connection within the time-out, else what went wrong."""
    import paho.mqtt.client as mqtt

    from kestrix_sdk.server_urls import mqtt_connection

    answered = threading.Event()
    refused: list[str] = []

    def on_connect(client, userdata, flags, reason_code, properties):  # noqa: ARG001
        if reason_code.is_failure:
            refused.append(str(reason_code))
        answered.set()

    client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2,
                         client_id=f"kestrix-health-{os.getpid()}")
    where, host, port = mqtt_connection(client, args.mqtt_host, args.mqtt_port,
                                        args.mqtt_username, args.mqtt_password, args.mqtt_url)
    client.on_connect = on_connect
    # connect_async: the network thread connects, so that the time-out bounds every step.
    client.connect_async(host, port, keepalive=30)
    client.loop_start()
    try:
        if not answered.wait(args.timeout):
            return f"the MQTT broker at {where} did not answer within {args.timeout:g} s"
        if refused:
            return f"the MQTT broker at {where} refused the connection - {refused[0]}"
        return None
    finally:
        client.disconnect()
        client.loop_stop()


def node_problems(records: dict[str, dict[str, Any]], nodes: list[str], max_age: float,
                  now: float) -> list[str]:
    """What is wrong with the named nodes' status records (missing, without time, too old)."""
    problems = []
    for node in nodes:
        record = records.get(node)
        if record is None:
            problems.append(f"no status record of node {node!r}")
            continue
        ts = record.get("ts")
        if not isinstance(ts, (int, float)) or isinstance(ts, bool) or ts <= 0:
            problems.append(f"node {node!r} has not reported an update yet")
        elif now - ts > max_age:
            problems.append(f"node {node!r} last reported {now - ts:.0f} s ago "
                            f"(more than {max_age:g} s)")
    return problems


def run(args: argparse.Namespace) -> int:
    import redis

    from kestrix_sdk.reports import status_records

    problems: list[str] = []
    records: dict[str, dict[str, Any]] = {}
    try:
        records = status_records(redis_client(args.redis_host, args.redis_port, args.redis_url,
                                              timeout=args.timeout))
    except Unreachable as e:
        problems.append(str(e))
    except redis.exceptions.RedisError as e:
        problems.append(f"the Redis server failed to list the status records - {e}")
    else:
        problems += node_problems(records, args.nodes or [], args.max_age, time.time())
    broker = broker_problem(args)
    if broker:
        problems.append(broker)
    if problems:
        print("unhealthy: " + "; ".join(problems), flush=True)
        return EXIT_UNHEALTHY
    fresh = f"; nodes {', '.join(args.nodes)} reported within {args.max_age:g} s" if args.nodes else ""
    print(f"healthy: Redis and the MQTT broker answer{fresh}", flush=True)
    return 0
