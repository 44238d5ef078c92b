"""Helpers of the demo and operator-tool tests."""

from __future__ import annotations

import os


def child_env(**extra: str) -> dict[str, str]:
    """The environment for a child process that may run in another directory: PYTHONPATH entries
    made absolute (the tests are often run with PYTHONPATH=../src), so that the child imports the
    same package as the tests."""
    env = dict(os.environ, **extra)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    return env
