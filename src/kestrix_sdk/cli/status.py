"""`status`: the latest status record of every node, read from Redis."""

from __future__ import annotations

import argparse
import json
import sys
import time

from kestrix_sdk.cli.common import EXIT_NOT_FOUND, PROG, redis_client, redis_options, server_text
from kestrix_sdk.constants import PREFIX
from kestrix_sdk.reports import describe_age, status_key, status_records

NAME = "status"
HELP = "latest status record of every node (from Redis)"
DESCRIPTION = ("Shows the latest status record of every node, as its status reporter stored it in "
               f"Redis under {PREFIX.REDIS.STATUS}_<node id>.")


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("nodes", nargs="*", metavar="NODE", help="only these node identifiers")
    redis_options(p)
    p.add_argument("--json", action="store_true", help="print one JSON object: node id -> record")


def run(args: argparse.Namespace) -> int:
    client = redis_client(args.host, args.port, getattr(args, "redis_url", None))
    records = status_records(client)
    if args.nodes:
        missing = [n for n in args.nodes if n not in records]
        records = {n: records[n] for n in args.nodes if n in records}
    else:
        missing = []
    if args.json:
        print(json.dumps({n: records[n] for n in sorted(records)}, indent=2))
    elif not records and not missing:
        print(f"no status records under {PREFIX.REDIS.STATUS}_* on {server_text(args, 'redis_url')}")
    else:
        now = time.time()
        for node_id in sorted(records):
            record = records[node_id]
            print(f"{node_id}  (name {record.get('name', '')!r}, type {record.get('type', '')!r}; "
                  f"{describe_age(record.get('ts'), now)})")
            print("  " + json.dumps(record))
    for n in missing:
        print(f"{PROG}: no status record of node {n!r} ({status_key(n)})", file=sys.stderr)
    return EXIT_NOT_FOUND if missing else 0
