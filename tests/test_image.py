"""The device stack's node commands, read from deploy/compose.yaml, run in the node image's root
file system (scripts/build-image.sh; its path in KESTRIX_IMAGE_ROOT, run as root) as the image's
non-root user, against real Mosquitto and Redis servers on loopback: each node must come up and
do its work (a status record in Redis, the live view's page)."""

from __future__ import annotations

import os
import subprocess
import urllib.request
from pathlib import Path

import cv2
import numpy as np
import pytest
import redis
import yaml

from kestrix_sdk.constants import PREFIX
from servers import free_port, wait_for

COMPOSE = Path(__file__).resolve().parent.parent / "deploy" / "compose.yaml"
IMAGE_ROOT = os.environ.get("KESTRIX_IMAGE_ROOT")
SERVICES = yaml.safe_load(COMPOSE.read_text())["services"]
NODES = sorted(name for name, svc in SERVICES.items() if svc.get("image") == "kestrix-node")

pytestmark = pytest.mark.skipif(not IMAGE_ROOT, reason="KESTRIX_IMAGE_ROOT names no image root "
                                "(bash scripts/build-image.sh; scripts/ci-wheels.sh sets it)")


def test_the_stack_has_the_nodes_and_servers():
    assert {"mosquitto", "redis"} <= set(SERVICES) and {"camera", "analytics", "view"} <= set(NODES)
    for name in NODES:
        assert isinstance(SERVICES[name]["command"], list)  # exec form: no shell in between


def _sample_video(path: Path) -> None:
    out = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 15, (320, 240))
    for i in range(60):
        out.write(np.full((240, 320, 3), i * 4, np.uint8))
    out.release()


def _local_command(command: list[str], root: Path, view_port: int) -> list[str]:
    """The service's command with what only a device has replaced: the camera device by a
    video file in the root (played in a loop, as a camera never ends), the view's port by a free
    one, its address by loopback."""
    out = []
    for arg in command:
        if arg.startswith("/dev/video"):
            _sample_video(root / "tmp" / "kx-sample.avi")
            out += ["/tmp/kx-sample.avi", "--loop"]
            continue
        out.append(arg)
    for flag, value in (("--host", "127.0.0.1"), ("--port", str(view_port))):
        if flag in out:
            out[out.index(flag) + 1] = value
    return out


def _in_image(root: Path, env: list[str], command: list[str]) -> list[str]:
    """`command` run in the image's root as its non-root user, in a private mount namespace:
    /proc and /dev exist inside the root for the command's lifetime only."""
    script = ('mount -t proc proc "$0/proc" && mount --bind /dev "$0/dev" && '
              'exec chroot --userspec=kestrix:kestrix "$0" env -i "$@"')
    return ["unshare", "--mount", "sh", "-c", script, str(root), *env, *command]


@pytest.fixture(scope="module")
def stack(broker, redis_server, tmp_path_factory):
    """Every node service of the compose file started at once in the image's root, as the
    stack runs on a device (the analytics node reads the camera node's frames); yields
    (view port, env, service -> (process, its output file))."""
    root = Path(IMAGE_ROOT)
    logs = tmp_path_factory.mktemp("image-logs")
    view_port = free_port()
    env = [f"KESTRIX_MQTT_URL=mqtt://127.0.0.1:{broker.port}",
           f"KESTRIX_REDIS_URL=redis://127.0.0.1:{redis_server.port}",
           "PATH=/opt/kestrix/venv/bin:/usr/bin:/bin", "HOME=/home/kestrix", "PYTHONUNBUFFERED=1"]
    nodes = {}
    try:
        for service in NODES:
            command = _local_command(SERVICES[service]["command"], root, view_port)
            out = logs / f"{service}.log"
            with out.open("w") as sink:
                proc = subprocess.Popen(_in_image(root, env, command), stdout=sink,
                                        stderr=subprocess.STDOUT, text=True)
            nodes[service] = (proc, out)
        yield view_port, env, nodes
    finally:
        for proc, _ in nodes.values():
            proc.terminate()
        for proc, _ in nodes.values():
            try:
                proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


@pytest.mark.slow
@pytest.mark.parametrize("service", NODES)
def test_compose_command_runs_in_the_image(service, stack, redis_server):
    root = Path(IMAGE_ROOT)
    view_port, env, nodes = stack
    proc, out = nodes[service]
    if service == "view":
        def page() -> bool:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{view_port}/", timeout=2) as r:
                    return r.status == 200
            except OSError:
                return False
        ready = page
    else:
        client = redis.Redis(host="127.0.0.1", port=redis_server.port)
        key = f"{PREFIX.REDIS.STATUS}_{service}"

        def ready() -> bool:
            return client.exists(key) == 1
    assert wait_for(lambda: ready() or proc.poll() is not None, 60), f"{service} did not come up"
    assert proc.poll() is None, f"{service} ended: {out.read_text()}"
    # The service's health check, run as the container runtime runs it (again until it passes,
    # as in its start period: a node's first record has no update yet), passes.
    check = SERVICES[service].get("healthcheck", {}).get("test")
    if check:
        assert check[0] == "CMD"
        probe = [arg.replace("8321", str(view_port)) for arg in check[1:]]
        last: list[subprocess.CompletedProcess] = []

        def healthy() -> bool:
            last[:] = [subprocess.run(_in_image(root, env, probe), capture_output=True, text=True,
                                      timeout=120)]
            return last[0].returncode == 0
        assert wait_for(healthy, 60), (f"{service}'s health check: {last[0].stdout}{last[0].stderr}"
                                       f"\n{service}'s output: {out.read_text()}")
    assert proc.poll() is None, f"{service} ended: {out.read_text()}"
