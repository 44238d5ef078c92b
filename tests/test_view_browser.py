"""The live view's page in a real browser: headless Chromium driven with selenium."""

from __future__ import annotations

import json
import os
import shutil
import socket
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


def make_browser(*extra: str):
    """Headless Chromium driven by selenium (skips, or fails on CI, when either is missing)."""
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
                "--window-size=1280,900", "--no-first-run", "--disable-extensions", *extra):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service(executable_path=paths[1]), options=options)


@pytest.fixture(scope="module")
def browser():
    driver = make_browser()
    yield driver
    driver.quit()


def outward_address() -> str | None:
    """This machine's address on its default route (not loopback), or None."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.connect(("192.0.2.123", 9))      # no packet is sent: this only picks the route
        except OSError:
            return None
        address = s.getsockname()[0]
    return None if address.startswith("127.") else address


def row_text(driver, node: str) -> str:
    """The text of the node's table row ("" while there is none); the page renders the table
    anew every second, so a row found may be gone when it is read."""
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.by import By

    try:
        rows = driver.find_elements(By.CSS_SELECTOR, f'#nodes tbody tr[data-node="{node}"]')
        return rows[0].text if rows else ""
    except StaleElementReferenceException:
        return ""


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
            return row_text(browser, node)

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


@pytest.mark.slow
def test_page_with_a_token_over_https_on_the_network(tls_certs, private_redis, private_broker):
    """An operator on another machine: the view bound to the machine's network address, with a
    token and HTTPS (a certificate for that address, made now); the browser trusts its key."""
    from certs import make_server_cert, spki_sha256
    from selenium.webdriver.common.by import By

    address = outward_address()
    if address is None:
        pytest.skip("this machine has no network address besides loopback")
    cert, key = make_server_cert(tls_certs, f"view-{address}", f"IP:{address}")
    rds, brk = private_redis(), private_broker()
    n = uuid.uuid4().hex[:8]
    frame_key, node, token = f"kestrix_local_remote-{n}_6379", f"remote-{n}", "remote-" + n * 3
    vault = VaultClient(thread=False, host="127.0.0.1", port=rds.port)
    frame = np.zeros((240, 320, 3), np.uint8)
    frame[:] = (0, 255, 255)              # yellow (BGR)
    vault.write_frame(frame, frame_key)
    vault.put_data(f"kestrix_status_{node}", json.dumps(
        {"ts": int(time.time()), "id": node, "name": "far away", "msg_type": "info", "type": "camera"}))
    server = ViewProcess("--host", address, "--token", token, "--cert", str(cert), "--key", str(key),
                         "--redis-host", "127.0.0.1", "--redis-port", str(rds.port),
                         "--mqtt-host", "127.0.0.1", "--mqtt-port", str(brk.port))
    # Chromium trusts the view's certificate by its public key: no system CA store is changed.
    driver = make_browser(f"--ignore-certificate-errors-spki-list={spki_sha256(cert)}")
    try:
        assert server.base.startswith(f"https://{address}:")
        driver.get(f"{server.base}/?token={token}")

        def row() -> str:
            return row_text(driver, node)

        assert wait_for(lambda: "far away" in row(), 60), driver.page_source[:2000]
        assert wait_for(lambda: colour_share(driver.get_screenshot_as_png(), (0, 255, 255)) > 0.02, 60)
        assert wait_for(lambda: "connected" in driver.find_element(By.ID, "redis").text, 30)
        # Opened without the token, the page says what is missing instead of staying empty.
        driver.get(f"{server.base}/")
        assert wait_for(lambda: "token" in driver.find_element(By.ID, "redis").text, 30)
    finally:
        driver.quit()
        assert server.close() == 0, "".join(server.lines)


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
