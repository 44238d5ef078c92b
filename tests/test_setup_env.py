"""scripts/setup-env.sh's kx_venv_install: the package is built again only when its sources
changed, and extras asked for later are added without a build.

The virtual environment is a stand-in: its `python` records every call and answers `-m pip` by
doing nothing, so no build or download runs; everything else goes to this interpreter, over a
site directory holding the installed package's metadata."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

METADATA = """\
Metadata-Version: 2.1
Name: kestrix-sdk
Version: 0.1.0
Requires-Dist: numpy
Requires-Dist: paho-mqtt>=2.0
Provides-Extra: test
Requires-Dist: pytest>=7; extra == "test"
Requires-Dist: tomli>=1.1; python_version < "3.11" and extra == "test"
Provides-Extra: view
Requires-Dist: aiohttp>=3.9; extra == "view"
"""
TEST_REQS = ["pytest>=7"] + (["tomli>=1.1"] if sys.version_info < (3, 11) else [])


@pytest.fixture(scope="module")
def source_stamp():
    return subprocess.run(["bash", "-c", ". scripts/setup-env.sh && kx_source_stamp"], cwd=ROOT,
                          capture_output=True, text=True, check=True).stdout.strip()


def install(tmp_path, source_stamp, recorded: str | None, args: list[str], *, stale=False,
            installed=True, env: dict[str, str] | None = None):
    """Runs kx_venv_install ARGS; returns (its output, the pip calls, the stamp file after)."""
    venv, site, calls = tmp_path / "venv", tmp_path / "site", tmp_path / "calls"
    (venv / "bin").mkdir(parents=True)
    python = venv / "bin" / "python"
    python.write_text(f'#!/bin/sh\nprintf "%s\\n" "$*" >>"{calls}"\n'
                      '[ "$1" = -m ] && [ "$2" = pip ] && exit 0\n'
                      f'exec "{sys.executable}" "$@"\n')
    python.chmod(0o755)
    info = site / "kestrix_sdk-0.1.0.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text(METADATA)
    # The site directory comes first on the path, so a package that fails to import there stands
    # for a broken install even where this interpreter has the kit installed itself.
    (site / "kestrix_sdk").mkdir()
    (site / "kestrix_sdk" / "__init__.py").write_text("" if installed else "raise ImportError('broken')\n")
    stamp_file = venv / ".kestrix-build-stamp"
    if recorded is not None:
        stamp_file.write_text(f"{'0' * 64 if stale else source_stamp} {recorded}\n")
    run_env = {k: v for k, v in os.environ.items() if k != "KESTRIX_REBUILD"}
    run_env.update(KESTRIX_VENV=str(venv), PYTHONPATH=str(site), **(env or {}))
    res = subprocess.run(["bash", "-c", 'set -euo pipefail; . scripts/setup-env.sh; kx_venv_install "$@"',
                          "kx", *args], cwd=ROOT, env=run_env, capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stderr
    pip = [c for c in calls.read_text().splitlines() if c.startswith("-m pip")] if calls.exists() else []
    return res.stdout, pip, stamp_file.read_text().split()


@pytest.mark.parametrize("recorded, args, pip, extras", [
    # up to date: nothing runs
    ("test", ["[test]", "--if-changed"], [], "test"),
    ("test,view", ["[test]", "--if-changed"], [], "test,view"),
    ("[test]", ["--if-changed"], [], "[test]"),        # the older record ("[test]") reads alike
    # an extra asked for later: its requirements only, no build
    ("[test]", ["[view]", "--if-changed"], ["-m pip install -q aiohttp>=3.9"], "test,view"),
    ("", ["[test,view]", "--if-changed"], ["-m pip install -q " + " ".join(TEST_REQS + ["aiohttp>=3.9"])],
     "test,view"),
])
def test_unchanged_sources_are_not_built_again(tmp_path, source_stamp, recorded, args, pip, extras):
    out, calls, stamp = install(tmp_path, source_stamp, recorded, args)
    assert calls == pip
    assert "building" not in out and "up to date" in out
    assert stamp == [source_stamp, extras]


@pytest.mark.parametrize("case, recorded, args, build", [
    ("sources changed", "view", ["[test]", "--if-changed"], ".[test,view]"),   # extras kept
    ("not importable", "test", ["[test]", "--if-changed"], ".[test]"),
    ("no record", None, ["[test]", "--if-changed"], ".[test]"),
    ("asked to", "test", ["[test]"], ".[test]"),
    ("KESTRIX_REBUILD=1", "test", ["[test]", "--if-changed"], ".[test]"),
])
def test_a_build_runs_when_it_is_needed(tmp_path, source_stamp, case, recorded, args, build):
    out, calls, stamp = install(tmp_path, source_stamp, recorded, args, stale=case == "sources changed",
                                installed=case != "not importable",
                                env={"KESTRIX_REBUILD": "1"} if case.startswith("KESTRIX") else None)
    assert calls == [f"-m pip install -q {build}"]
    assert "building and installing" in out
    assert stamp == [source_stamp, build[2:-1]]
