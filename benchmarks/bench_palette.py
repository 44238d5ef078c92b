"""Palette build time and the palette module's import time.

The module builds its 256-colour PALETTE when it is imported, so both figures are on every
application's start-up path. The baseline is the same algorithm in pure Python (the standard
library's random.Random(2766) and colorsys), run in the same process.

    PYTHONPATH=src python benchmarks/bench_palette.py [--repeat N]
"""

import argparse
import colorsys
import random
import statistics
import subprocess
import sys
import time


def python_palette(n, rng):
    def dist(a, b):
        d = abs(a[0] - b[0])
        dh = 2 * min(d, 1 - d)
        ds = abs(a[1] - b[1])
        dv = abs(a[2] - b[2])
        return (dh * dh + ds * ds) + dv * dv

    chosen = [(1.0, 1.0, 1.0)]
    for _ in range(n - 1):
        candidates = [(rng.random(), rng.uniform(0.8, 1.0), rng.uniform(0.5, 1.0)) for _ in range(100)]
        scores = [min(dist(o, c) for o in chosen) for c in candidates]
        chosen.append(candidates[scores.index(max(scores))])
    return [tuple(round(x * 255) for x in colorsys.hsv_to_rgb(*c)) for c in chosen]


def timed(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times), statistics.median(times)


def import_times(statements, repeat):
    """Seconds a fresh interpreter spends on each statement (the imports only, not its start-up),
    measured in alternation so that a change of machine load affects all of them alike."""
    times = {st: [] for st in statements}
    for _ in range(repeat):
        for st in statements:
            code = "import time; t0 = time.perf_counter(); " + st + "; print(time.perf_counter() - t0)"
            out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
            times[st].append(float(out.stdout))
    return [(min(times[st]), statistics.median(times[st])) for st in statements]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=20, help="runs of the native build and imports")
    parser.add_argument("--python-repeat", type=int, default=3, help="runs of the pure-Python build")
    args = parser.parse_args()

    from kestrix_sdk.visualize.palette import PALETTE, ColorPalette

    native_min, native_med = timed(lambda: ColorPalette(256), args.repeat)
    py_min, py_med = timed(lambda: python_palette(256, random.Random(2766)), args.python_repeat)
    assert python_palette(256, random.Random(2766)) == PALETTE.palette, "native palette differs from the algorithm"
    native_rng_min, native_rng_med = timed(lambda: ColorPalette(256, random.Random(2766)), args.repeat)

    (imp_min, imp_med), (dep_min, dep_med) = import_times(
        ["import kestrix_sdk.visualize.palette", "import kestrix_sdk, PIL.ImageColor"], args.repeat)

    ms = 1000.0
    print("palette of 256 colours (3,264,000 distance evaluations by the plain rule)")
    print(f"  native, default generator   min {native_min * ms:8.3f} ms  median {native_med * ms:8.3f} ms")
    print(f"  native, random.Random(2766) min {native_rng_min * ms:8.3f} ms  median {native_rng_med * ms:8.3f} ms")
    print(f"  pure Python                 min {py_min * ms:8.1f} ms  median {py_med * ms:8.1f} ms")
    print(f"  speed-up (median)           {py_med / native_med:8.0f} x")
    print(f"  within the 5 ms budget      {'yes' if native_med <= 0.005 else 'NO'}")
    print("import in a fresh interpreter")
    print(f"  kestrix_sdk.visualize.palette   min {imp_min * ms:7.2f} ms  median {imp_med * ms:7.2f} ms")
    print(f"  its dependencies alone          min {dep_min * ms:7.2f} ms  median {dep_med * ms:7.2f} ms")
    print(f"  the module's own share (min)    {(imp_min - dep_min) * ms:7.2f} ms")


if __name__ == "__main__":
    main()
