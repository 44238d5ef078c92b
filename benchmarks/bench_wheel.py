"""The wheel against the local build: base64 (the frame store's AVX2 code) and drawing at
1920x1080, each build in its own interpreter process, interleaved rounds, one run.

    python benchmarks/bench_wheel.py --wheel-python build/ci-wheels/venv-x86_64/bin/python \
        --local-python .venv/bin/python [--rounds 7]

The local build is the one `scripts/dev-build.sh` writes into src/kestrix_sdk (imported with
PYTHONPATH=src); the wheel's is the one installed in the given interpreter's environment (run
scripts/ci-wheels.sh, or pip install a wheel from dist/). Each worker prints which vector code
the run-time dispatch picked. Times are medians of the processor time per operation; a ratio
above 1 means the wheel is slower.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def worker(reps: int) -> None:
    import base64

    import numpy as np

    import kestrix_sdk._buildinfo as info
    from kestrix_sdk.constants import KEY
    from kestrix_sdk.redis import vault
    from kestrix_sdk.visualize.boxes import BoxesDraw
    from kestrix_sdk.visualize.zones import VizPolygonDraw

    rng = np.random.default_rng(7)
    frame = rng.integers(0, 256, (1080, 1920, 3), dtype=np.uint8)
    text = base64.b64encode(rng.integers(0, 256, 618_000, dtype=np.uint8).tobytes())
    dets = [{KEY.TLWH: (float(x), float(y), 120.0, 200.0), KEY.CLASS_ID: i % 5, KEY.LABEL: "person",
             KEY.SCORE: 0.9} for i, (x, y) in enumerate(rng.integers(0, 1700, (20, 2)))]
    rois = [{"polygon": np.array([[0.1 + i * 0.2, 0.1], [0.25 + i * 0.2, 0.15], [0.2 + i * 0.2, 0.6]]),
             "roi_name": f"zone {i}"} for i in range(4)]
    boxes = BoxesDraw(None, 2, (255, 255, 255), 16)
    zones = VizPolygonDraw(show_label=True)
    ops = {
        "base64 decode 618 KB": lambda: vault.b64decode(text),
        "draw 20 detections": lambda: boxes.draw_detections(frame, dets),
        "draw 4 regions": lambda: zones.draw_polygon_rois(frame, rois),
    }
    out = {"simd_path": info.simd_path, "blend_path": info.blend_path, "module": vault.__file__, "times": {}}
    for name, op in ops.items():
        op()
        t0 = time.process_time()
        for _ in range(reps):
            op()
        out["times"][name] = (time.process_time() - t0) / reps
    print(json.dumps(out))


def run(python: str, local: bool, reps: int) -> dict:
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if local:
        env["PYTHONPATH"] = str(ROOT / "src")
    done = subprocess.run([python, str(Path(__file__).resolve()), "--worker", str(reps)], env=env, cwd="/",
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--wheel-python", required=True)
    ap.add_argument("--local-python", required=True)
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--reps", type=int, default=40)
    if len(sys.argv) == 3 and sys.argv[1] == "--worker":
        worker(int(sys.argv[2]))
        return 0
    args = ap.parse_args()
    samples: dict[str, dict[str, list[float]]] = {"wheel": {}, "local": {}}
    for _ in range(args.rounds):
        for which, python in (("wheel", args.wheel_python), ("local", args.local_python)):
            result = run(python, which == "local", args.reps)
            for name, t in result["times"].items():
                samples[which].setdefault(name, []).append(t)
            samples[which]["_info"] = result  # type: ignore[assignment]
    for which in ("wheel", "local"):
        info = samples[which]["_info"]
        print(f"{which}: {info['module']} (base64: {info['simd_path']}, blend: {info['blend_path']})")
    for name in samples["wheel"]:
        if name == "_info":
            continue
        w, loc = statistics.median(samples["wheel"][name]), statistics.median(samples["local"][name])
        print(f"{name:24s} wheel {w * 1e3:8.3f} ms   local {loc * 1e3:8.3f} ms   wheel/local {w / loc:5.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
