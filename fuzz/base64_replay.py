"""Holds the core's base64 decoder against Python's base64.b64decode on fuzzing inputs.

Usage: python fuzz/base64_replay.py REPLAY_TOOL DIR...  (REPLAY_TOOL: fuzz/base64_fuzzer.cpp
built with -DKX_BASE64_REPLAY). Every file of the directories is decoded by both; the results
(bytes, or the binascii.Error text) must be equal. Exits with status 1 and names the files
whose results differ.
"""

from __future__ import annotations

import base64
import binascii
import subprocess
import sys
from pathlib import Path


def python_answer(data: bytes) -> str:
    try:
        return "ok " + base64.b64decode(data).hex()
    except binascii.Error as err:
        return f"error {err}"


def main() -> int:
    tool, dirs = sys.argv[1], sys.argv[2:]
    files = sorted(p for d in dirs for p in Path(d).iterdir() if p.is_file())
    if not files:
        print("base64 replay: no inputs", file=sys.stderr)
        return 1
    mismatches = 0
    for start in range(0, len(files), 500):
        chunk = files[start:start + 500]
        out = subprocess.run([tool, *map(str, chunk)], check=True, capture_output=True).stdout
        lines = out.decode("utf-8", "surrogateescape").splitlines()
        if len(lines) != len(chunk):
            print(f"base64 replay: {len(lines)} answers for {len(chunk)} inputs", file=sys.stderr)
            return 1
        for path, line in zip(chunk, lines):
            expected = python_answer(path.read_bytes())
            if line != expected:
                mismatches += 1
                print(f"base64 replay: {path}: core {line[:120]!r}, Python {expected[:120]!r}",
                      file=sys.stderr)
    print(f"base64 replay: {len(files)} inputs, {mismatches} differ from base64.b64decode")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
