"""Type stubs: every extension module ships a .pyi that matches the built module."""

from __future__ import annotations

import importlib
import importlib.machinery
import subprocess
import sys
from pathlib import Path

import pytest

import kestrix_sdk
from demo_fixtures import child_env

MODULES = [
    "kestrix_sdk._buildinfo",
    "kestrix_sdk.mqtt.courier",
    "kestrix_sdk.redis.vault",
    "kestrix_sdk.status.pulse",
    "kestrix_sdk.visualize.palette",
    "kestrix_sdk.visualize.captions",
    "kestrix_sdk.visualize.boxes",
    "kestrix_sdk.visualize.zones",
    "kestrix_sdk.camera.camera",
]


def test_package_is_marked_typed():
    assert (Path(kestrix_sdk.__file__).parent / "py.typed").is_file()


@pytest.mark.parametrize("name", MODULES)
def test_extension_module_ships_its_stub(name):
    module = importlib.import_module(name)
    path = Path(module.__file__)
    assert path.name.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)), f"{name} is not an extension module"
    assert (path.parent / (name.rsplit(".", 1)[1] + ".pyi")).is_file()


def test_stubs_match_the_built_modules(tmp_path):
    env = child_env(MYPY_CACHE_DIR=str(tmp_path / "mypy-cache"))
    res = subprocess.run([sys.executable, "-m", "mypy.stubtest", *MODULES], capture_output=True,
                         text=True, cwd=tmp_path, env=env, timeout=300)
    assert res.returncode == 0, res.stdout + res.stderr
