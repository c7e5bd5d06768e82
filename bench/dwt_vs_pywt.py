#!/usr/bin/env python3
"""Multi-level wavelet round trip: quarnel's lumvet kernels against PyWavelets.

One run: builds a float32 test signal, runs bench_dwt (Google Benchmark, JSON
output) on it, times pywt.wavedec + pywt.waverec on the same signal, and prints
ns per sample and the speed ratio for every row of CASES. Both sides are timed
in CPU time of their own process (single-threaded), and both by the same
statistic: the best of many short runs (a round trip or two each), so that
other work on the machine disturbs the ratio as little as possible.

Usage: dwt_vs_pywt.py [--bench build/bench/bench_dwt] [--samples 1000000]
                      [--levels 8] [--repeats 7]

Needs numpy and PyWavelets (requirements-dev.txt). The bench binary reads the
signal from a file written here, so both sides transform identical samples.
PyWavelets runs in this Python process, whose heap keeps its memory between
calls (about 0.2 page faults per round trip); bench_dwt is started with
--warm_heap so that its allocator does the same. The ratio is taken from that
run. The figures of a second run with glibc's default heap settings are
printed beside it: depending on the heap's history, glibc may hand the large
buffers back to the kernel after every call, and the next call then pays a
first-touch page fault per 4 KiB, which can cost more than the transform.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import timeit
from pathlib import Path

import numpy as np
import pywt

# (bench_dwt wavelet name, PyWavelets wavelet, PyWavelets signal extension mode,
#  goal: how many times faster than PyWavelets)
CASES = [
    ("cdf97", "bior4.4", "symmetric", 8.0),
    ("cdf53", "bior4.4", "symmetric", 8.0),
    # PyWavelets' 'periodic' extends as BorderMode Wrap with the same band
    # lengths: both sides compute the same decomposition.
    ("db4", "db4", "periodic", 4.0),
    ("sym4", "sym4", "periodic", 4.0),
]

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def make_signal(n: int) -> np.ndarray:
    t = np.arange(n, dtype=np.float64)
    rng = np.random.default_rng(20240607)
    x = np.sin(0.001 * t) + 0.25 * np.sin(0.37 * t) + 0.05 * rng.standard_normal(n)
    return x.astype(np.float32)


def run_bench(binary: Path, signal_file: str, repeats: int, warm_heap: bool) -> dict:
    names = "|".join(name for name, *_ in CASES)
    cmd = [
        str(binary),
        f"--signal_file={signal_file}",
        f"--benchmark_filter=^round_trip/({names})",
        "--benchmark_format=json",
        f"--benchmark_repetitions={repeats}",
        "--benchmark_min_time=0.002",
    ]
    if warm_heap:
        cmd.append("--warm_heap")
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    best = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        name = b["run_name"].split("/")[1]
        ns = b["cpu_time"] * UNIT_NS[b["time_unit"]] / b["samples"]
        best[name] = min(best.get(name, float("inf")), ns)
    return best


def time_pywt(x: np.ndarray, wavelet: str, mode: str, levels: int, repeats: int) -> float:
    def round_trip():
        coeffs = pywt.wavedec(x, wavelet, mode=mode, level=levels)
        return pywt.waverec(coeffs, wavelet, mode=mode)

    y = round_trip()
    assert y.dtype == np.float32 and np.allclose(y[: x.size], x, atol=1e-3)
    number = 1
    timer = timeit.Timer(round_trip, timer=time.process_time)
    seconds = min(timer.repeat(number=number, repeat=repeats)) / number
    return seconds * 1e9 / x.size


def main() -> int:
    root = Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bench", type=Path, default=root / "build" / "bench" / "bench_dwt")
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--levels", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=40)
    args = parser.parse_args()
    if args.levels != 8:
        parser.error("bench_dwt runs 8 levels")

    x = make_signal(args.samples)
    with tempfile.TemporaryDirectory() as tmp:
        signal_file = os.path.join(tmp, "signal.f32")
        x.astype("<f4").tofile(signal_file)
        cold = run_bench(args.bench, signal_file, args.repeats, warm_heap=False)
        warm = run_bench(args.bench, signal_file, args.repeats, warm_heap=True)

    print(f"{args.samples} float32 samples, {args.levels} levels, multi_dwt + multi_idwt "
          f"(pywt.wavedec + pywt.waverec), best of {args.repeats}")
    header = (f"{'quarnel':8} {'pywt':16} {'ns/sample':>10} {'(default heap)':>15} "
              f"{'pywt ns/sample':>15} {'ratio':>7} {'(default heap)':>15}")
    print(header)
    print("-" * len(header))
    ok = True
    for name, wavelet, mode, goal in CASES:
        theirs = time_pywt(x, wavelet, mode, args.levels, args.repeats)
        ratio = theirs / warm[name]
        ok = ok and ratio >= goal
        print(f"{name:8} {wavelet + '/' + mode:16} {warm[name]:10.3f} {cold[name]:15.3f} "
              f"{theirs:15.3f} {ratio:6.1f}x {theirs / cold[name]:14.1f}x")
    goals = ", ".join(f"{name} {goal:.0f}x" for name, _, _, goal in CASES)
    print(f"goal: at least {goals} faster: {'met' if ok else 'NOT met'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
