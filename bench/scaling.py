#!/usr/bin/env python3
"""How quarnel's cost grows with the signal: time per sample and peak memory.

One run: for log-spaced lengths from 10^4 to --max samples (2^28 by default)
of compare.py's noisy signal (a random walk pulled back towards zero, two
sines, white noise; fixed seed, range nearly independent of the length),
times compress_signal and decompress_signal with default options and with
the DEFLATE coder, prints ns per sample and the peak extra resident memory
of one call, and writes bench/scaling.png. Flat lines mean linear cost.

Timing: CPU time of this process (the calls run on the calling thread), best
of --repeats runs, so that other work on a shared machine disturbs the curve
as little as possible; a run repeats the call until it takes 50 ms. Memory:
measured as in compare.py, one call in a fresh child process, peak extra
resident memory (VmHWM after - VmRSS before, high-water mark reset just before
the call) as a multiple of the float32 signal's size; "child MiB" is the
largest whole high-water mark of a measuring child, signal and interpreter
included.

The 2^28-sample run holds a 1 GiB signal, its stream and a 1 GiB output at
once in this process and needs a few GiB more inside each call; the whole
run takes about half an hour on two cores. --max 1000000 gives a quick run.

Usage: scaling.py [--max 268435456] [--points-per-decade 3] [--repeats 3]
                  [--no-memory] [--plot bench/scaling.png]
"""

import argparse
import math
import sys
import tempfile
import time
from functools import partial
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from compare import make_noisy, measure_peak, time_once  # noqa: E402

import quarnel  # noqa: E402

MIN_SAMPLES = 10_000
MIN_RUN_SECONDS = 0.05
# (label, recipe for compare.build_codec, options for compress_signal)
SERIES = [
    ("default", {"kind": "quarnel"}, None),
    ("deflate", {"kind": "quarnel", "coder": "deflate"}, quarnel.QrnlCompressionOptions(coder="deflate")),
]


def sizes_up_to(maximum: int, per_decade: int) -> list[int]:
    count = max(2, math.ceil(math.log10(maximum / MIN_SAMPLES) * per_decade) + 1)
    sizes = np.geomspace(MIN_SAMPLES, maximum, count).round().astype(np.int64)
    return sorted({int(n) for n in sizes})


def ns_per_sample(call, n: int, repeats: int) -> float:
    """Best run of `repeats`, each of as many calls as fill MIN_RUN_SECONDS."""
    first = time_once(call, time.process_time)
    number = max(1, math.ceil(MIN_RUN_SECONDS / max(first, 1e-9)))

    def run():
        for _ in range(number):
            call()

    best = min(time_once(run, time.process_time) for _ in range(repeats)) / number
    return min(best, first) * 1e9 / n


def measure(n: int, repeats: int, memory: bool) -> dict:
    x = make_noisy(n)
    row = {"samples": n}
    with tempfile.TemporaryDirectory() as tmp:
        signal_file = str(Path(tmp) / "signal.f32")
        if memory:
            x.astype("<f4").tofile(signal_file)
        for label, recipe, options in SERIES:
            stream = quarnel.compress_signal(x, options)
            row[f"{label} compress"] = ns_per_sample(partial(quarnel.compress_signal, x, options), n, repeats)
            row[f"{label} decompress"] = ns_per_sample(partial(quarnel.decompress_signal, stream), n, repeats)
            del stream  # before the next series' stream exists, so that the two never add up
            if memory:
                for direction in ("compress", "decompress"):
                    peak = measure_peak(recipe, signal_file, direction)
                    row[f"{label} {direction} peak"] = peak["extra"] / x.nbytes
                    row[f"{label} {direction} hwm"] = peak["hwm"]
    return row


def print_row(row: dict, memory: bool) -> None:
    cells = [f"{row['samples']:>11}"]
    for label, _, _ in SERIES:
        for direction in ("compress", "decompress"):
            cells.append(f"{row[f'{label} {direction}']:10.2f}")
    if memory:
        for label, _, _ in SERIES:
            for direction in ("compress", "decompress"):
                cells.append(f"{row[f'{label} {direction} peak']:8.2f}x")
        hwm = max(row[f"{label} {d} hwm"] for label, _, _ in SERIES for d in ("compress", "decompress"))
        cells.append(f"{hwm / 2**20:10.0f}")
    print(" ".join(cells), flush=True)


def plot(rows: list[dict], memory: bool, path: Path) -> None:
    panels = 2 if memory else 1
    fig, axes = plt.subplots(panels, 1, figsize=(8, 4.5 * panels), sharex=True, squeeze=False)
    samples = [row["samples"] for row in rows]
    styles = {"compress": "-o", "decompress": "--s"}
    for label, _, _ in SERIES:
        for direction in ("compress", "decompress"):
            name = f"{label} {direction}"
            axes[0][0].plot(samples, [row[name] for row in rows], styles[direction], label=name)
            if memory:
                axes[1][0].plot(samples, [row[f"{name} peak"] for row in rows],
                                styles[direction], label=name)
    axes[0][0].set_ylabel("CPU ns per sample (best run)")
    axes[0][0].set_title("quarnel compress_signal / decompress_signal, cdf97 scale 11, one thread")
    if memory:
        axes[1][0].set_ylabel("peak extra resident memory / float32 input")
    for (ax,) in axes:
        ax.set_xscale("log")
        ax.set_ylim(bottom=0)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize="small")
    axes[-1][0].set_xlabel("samples")
    fig.tight_layout()
    fig.savefig(path, dpi=100)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max", type=int, default=2**28, help="longest signal, in samples")
    parser.add_argument("--points-per-decade", type=int, default=3)
    parser.add_argument("--repeats", type=int, default=3, help="runs timed per figure (best)")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory children")
    parser.add_argument("--plot", type=Path, default=Path(__file__).resolve().parent / "scaling.png")
    args = parser.parse_args()
    if args.max <= MIN_SAMPLES:
        parser.error(f"--max must exceed {MIN_SAMPLES}")
    memory = not args.no_memory

    print(f"c: compress, d: decompress. CPU ns per sample, best of {args.repeats} runs"
          + ("; then the peak extra resident memory of one call / float32 input, and the largest "
             "high-water mark of a measuring child (signal and interpreter included)" if memory else ""))
    names = [f"{label} {d}" for label, _, _ in SERIES for d in "cd"]
    header = f"{'samples':>11} " + " ".join(f"{name:>10}" for name in names)
    if memory:
        header += " " + " ".join(f"{name:>9}" for name in names) + f" {'child MiB':>10}"
    print(header)
    print("-" * len(header))
    rows = []
    for n in sizes_up_to(args.max, args.points_per_decade):
        rows.append(measure(n, args.repeats, memory))
        print_row(rows[-1], memory)

    for label, _, _ in SERIES:
        for direction in ("compress", "decompress"):
            values = [row[f"{label} {direction}"] for row in rows]
            print(f"{label} {direction}: slowest / fastest ns per sample {max(values) / min(values):.2f}")
    plot(rows, memory, args.plot)
    print(f"wrote {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
