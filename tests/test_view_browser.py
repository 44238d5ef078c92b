"""The live view's page in a real browser: headless Chromium driven with selenium."""

from __future__ import annotations

import json
import os
import shutil
import threading
import time
import uuid

import cv2
import numpy as np
import pytest

from kestrix_sdk.redis.vault import VaultClient
from kestrix_sdk.status.pulse import StatusCaching
from servers import wait_for

pytest.importorskip("aiohttp")

from view_fixtures import ViewProcess  # noqa: E402


def browser_paths() -> tuple[str, str] | None:
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    return (chromium, driver) if chromium and driver else None


@pytest.fixture(scope="module")
def browser():
    paths = browser_paths()
    missing = "headless Chromium (Debian packages chromium, chromium-driver) or selenium is not installed"
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        paths = None
    if paths is None:
        # CI installs both (scripts/test.sh): there a missing browser is a failure, not a skip.
        if os.environ.get("CI", "").lower() == "true":
            pytest.fail(missing)
        pytest.skip(missing)
    options = webdriver.ChromeOptions()
    options.binary_location = paths[0]
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--window-size=1280,900", "--no-first-run", "--disable-extensions"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service(executable_path=paths[1]), options=options)
    yield driver
    driver.quit()


def colour_share(png: bytes, bgr: tuple[int, int, int]) -> float:
    """The share of the screenshot's pixels within a JPEG's noise of the colour."""
    shot = cv2.imdecode(np.frombuffer(png, np.uint8), cv2.IMREAD_COLOR)
    near = np.abs(shot.astype(int) - np.array(bgr)).max(axis=2) < 40
    return float(near.mean())


def texts_of(browser, css: str) -> list[str]:
    """The texts of the elements matching `css`; empty while the page replaces them (the tables
    are drawn anew on every update, so an element found may be gone when its text is read)."""
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.by import By

    try:
        return [e.text for e in browser.find_elements(By.CSS_SELECTOR, css)]
    except StaleElementReferenceException:
        return []


# Slow; and the browser and its driver are not built for the sanitizer runtimes that the ASan
# run preloads into every process it starts.
@pytest.mark.slow
def test_page_shows_live_frames_and_the_node_table(browser, kit_servers):
    from selenium.webdriver.common.by import By

    n = uuid.uuid4().hex[:8]
    key, node = f"kestrix_local_browser-{n}_6379", f"browser-node-{n}"
    broker, redis_server = kit_servers
    vault = VaultClient(thread=False, host="127.0.0.1", port=redis_server.port)
    colour = [(255, 0, 255)]          # BGR, magenta first; the writer always writes the current one
    stop = threading.Event()

    def write_frames() -> None:
        frame = np.zeros((240, 320, 3), np.uint8)
        while not stop.is_set():
            frame[:] = colour[0]
            vault.write_frame(frame, key)
            stop.wait(0.05)

    writer = threading.Thread(target=write_frames, daemon=True)
    reporter = StatusCaching(node_id=node, node_name="browser test", node_type="camera", log_interval=1)
    server = None
    writer.start()
    reporter.update_status_info({"fps": 20}, 0)
    reporter.start()
    try:
        # A node that reported long ago.
        old = {"ts": int(time.time()) - 3600, "id": f"old-{n}", "name": "gone", "msg_type": "info", "type": "camera"}
        vault.put_data(f"kestrix_status_old-{n}", json.dumps(old))
        server = ViewProcess("--redis-host", "127.0.0.1", "--redis-port", str(redis_server.port),
                             "--mqtt-host", "127.0.0.1", "--mqtt-port", str(broker.port), "--frames", key)
        browser.get(server.url)

        def shows(bgr) -> bool:
            return colour_share(browser.get_screenshot_as_png(), bgr) > 0.02

        assert wait_for(lambda: shows((255, 0, 255)), 60), "the tile does not show the frame"
        colour[0] = (255, 255, 0)      # cyan: the tile follows the stored frame
        assert wait_for(lambda: shows((255, 255, 0)) and not shows((255, 0, 255)), 60)

        def node_row():
            texts = texts_of(browser, f'#nodes tbody tr[data-node="{node}"]')
            return texts[0] if texts else ""

        # The row follows the stored record, which holds the status once the reporter sent it.
        assert wait_for(lambda: "browser test" in node_row() and '"fps":[20]' in node_row(), 60), node_row()
        assert "camera" in node_row()
        assert browser.find_element(By.CSS_SELECTOR, "figure.tile figcaption").text == key
        # Stale records are marked, fresh ones not.
        assert wait_for(lambda: browser.find_elements(By.CSS_SELECTOR, f'tr.stale[data-node="old-{n}"]'), 60)
        assert not browser.find_elements(By.CSS_SELECTOR, f'tr.stale[data-node="{node}"]')

        # Error reports appear as they arrive (the reporter drops one made before it connects).
        def error_shown() -> bool:
            return any(f"lens cap {n}" in text for text in texts_of(browser, "#errors li"))

        assert wait_for(lambda: error_shown() or reporter.error(f"lens cap {n}"), 60, 0.5)
        assert "connected" in browser.find_element(By.ID, "redis").text
    finally:
        stop.set()
        writer.join(10)
        reporter.stop()
        reporter.join(10)
        vault.delete_data(f"kestrix_status_{node}")
        vault.delete_data(f"kestrix_status_old-{n}")
        if server is not None:
            assert server.close() == 0, "".join(server.lines)
        vault.delete_data(key)


@pytest.mark.parametrize("ci, outcome, code", [("true", "1 error", 1), ("", "1 skipped", 0)])
def test_missing_browser_fails_on_ci(tmp_path, ci, outcome, code):
    """With CI=true a machine without the browser fails the page's test instead of skipping it."""
    import subprocess
    import sys

    from demo_fixtures import child_env

    env = child_env(CI=ci, PATH=str(tmp_path))     # no chromium, no chromedriver on PATH
    res = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__,
         "-k", "live_frames", "--rootdir", os.path.dirname(__file__)],
        capture_output=True, text=True, timeout=300, env=env, cwd=os.path.dirname(__file__))
    assert outcome in res.stdout and res.returncode == code, res.stdout + res.stderr
