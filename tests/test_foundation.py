"""Shared constants, logger factory and version record."""

import importlib
import logging
import os
import platform
import re
import subprocess
import sys
from pathlib import Path

if sys.version_info >= (3, 11):
    import tomllib
else:  # Python 3.10: the same parser, from the test extra
    import tomli as tomllib

import pytest

import kestrix_sdk._buildinfo as buildinfo
from kestrix_sdk import constants
from kestrix_sdk.logging import get_logger
from kestrix_sdk.logging import logger as logger_module

ROOT = Path(__file__).resolve().parent.parent


def test_prefixes_are_valid_topic_and_key_texts():
    prefixes = [constants.PREFIX.MQTT.LOCAL, constants.PREFIX.MQTT.CLOUD, constants.PREFIX.MQTT.DEBUG,
                constants.PREFIX.REDIS.LOCAL, constants.PREFIX.REDIS.STATUS]
    for p in prefixes:
        assert isinstance(p, str) and p and not re.search(r"[#+\s\x00]", p)
    assert len({constants.PREFIX.MQTT.CLOUD, constants.PREFIX.MQTT.DEBUG}) == 2
    assert constants.PREFIX.REDIS.LOCAL != constants.PREFIX.REDIS.STATUS


@pytest.mark.parametrize(
    "env, node_id, node_type, fonts",
    [
        ({}, "node", "generic", None),
        ({"NODE_ID": "cam-7", "NODE_TYPE": "camera", "KESTRIX_FONTS_DIR": "/opt/fonts"},
         "cam-7", "camera", "/opt/fonts"),
    ],
)
def test_identity_and_font_dir_come_from_the_environment(env, node_id, node_type, fonts):
    clean = {k: v for k, v in os.environ.items() if k not in ("NODE_ID", "NODE_TYPE", "KESTRIX_FONTS_DIR")}
    code = ("from kestrix_sdk import constants as c;"
            "print(c.NODE_ID); print(c.NODE_TYPE); print(c.FONTS_DIR)")
    out = subprocess.run([sys.executable, "-c", code], env={**clean, **env}, check=True,
                         capture_output=True, text=True).stdout.splitlines()
    assert out[:2] == [node_id, node_type]
    expected_fonts = fonts or os.path.join(os.path.dirname(constants.__file__), "fonts")
    assert out[2] == expected_fonts


def test_detection_keys_are_distinct():
    keys = [constants.KEY.TLWH, constants.KEY.CLASS_ID, constants.KEY.LABEL, constants.KEY.SCORE]
    assert len(set(keys)) == 4


def test_package_fonts_dir_holds_a_truetype_font():
    fonts = Path(os.path.dirname(constants.__file__)) / "fonts"
    assert any(p.suffix == ".ttf" for p in fonts.iterdir())


def test_get_logger_names_loggers_under_the_kit(caplog):
    log = get_logger(name="MQTT")
    assert isinstance(log, logging.Logger)
    assert log.name == "kestrix_sdk.MQTT"
    assert get_logger("MQTT") is log
    assert logger_module.get_logger is get_logger
    caplog.set_level(logging.INFO, logger="kestrix_sdk")
    log.info("hello")
    assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
        ("kestrix_sdk.MQTT", "INFO", "hello")]


def test_unconfigured_application_still_sees_warnings_on_stderr():
    code = ("from kestrix_sdk.logging import get_logger; l = get_logger('X');"
            "l.info('quiet'); l.warning('loud warning'); l.error('loud error')")
    err = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stderr
    assert "loud warning" in err and "loud error" in err and "quiet" not in err


def test_buildinfo_attributes_in_load_order():
    names = [k for k in vars(buildinfo) if k in (
        "_cur_dir", "year", "__author__", "__copyright__", "__email__", "__license__", "__title__",
        "__version__")]
    assert names == ["_cur_dir", "year", "__author__", "__copyright__", "__email__", "__license__",
                     "__title__", "__version__"]
    assert buildinfo.__doc__ == "\n    Constant file\n"
    assert buildinfo.__title__ == "kestrix-sdk-python"
    assert buildinfo.__license__ == "MIT"
    assert isinstance(buildinfo.year, int)


def _cpu_flags() -> set[str]:
    try:
        text = Path("/proc/cpuinfo").read_text()
    except OSError:
        return set()
    return {flag for line in text.splitlines() if line.startswith(("flags", "Features"))
            for flag in line.split(":", 1)[1].split()}


def test_the_dispatch_picks_the_vector_code_this_machine_has():
    # A wheel assumes only the baseline CPU: AVX2 must still be picked at run time where it exists.
    machine = platform.machine()
    expected_b64 = "avx2" if machine == "x86_64" and "avx2" in _cpu_flags() else "portable"
    expected_blend = "sse2" if machine == "x86_64" else "portable"
    assert (buildinfo.simd_path, buildinfo.blend_path) == (expected_b64, expected_blend)


def test_version_matches_the_project_metadata():
    pyproject = tomllib.loads((ROOT / "pyproject.toml").read_text())
    assert buildinfo.__version__ == pyproject["project"]["version"] == "0.1.0"


def test_copyright_holds_the_load_year():
    import datetime

    year = datetime.date.today().year
    assert buildinfo.year == year
    opening, _, closing = buildinfo.__copyright__.partition(str(year))
    assert opening and closing and str(year) not in opening


def test_cur_dir_is_the_absolute_directory_of_the_module_file():
    assert os.path.isabs(buildinfo._cur_dir)
    assert buildinfo._cur_dir == os.path.dirname(os.path.abspath(buildinfo.__file__))


def test_cur_dir_is_absolute_when_loaded_through_a_relative_path(tmp_path):
    pkg_parent = Path(buildinfo.__file__).resolve().parent.parent
    code = "import kestrix_sdk._buildinfo as b, os; print(b._cur_dir)"
    out = subprocess.run([sys.executable, "-c", f"import sys; sys.path.insert(0, '.'); {code}"],
                         cwd=pkg_parent, capture_output=True, text=True, check=True).stdout.strip()
    assert os.path.isabs(out) and out == str(pkg_parent / "kestrix_sdk")
