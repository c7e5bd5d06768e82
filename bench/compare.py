#!/usr/bin/env python3
"""quarnel beside zfp, SZ3 and PyWavelets: same signals, one run.

Signals (a missing Debian package skips its signal, with a message):
  ecg     the electrocardiogram of Debian's python3-scipy (scipy/misc/ecg.dat,
          108,000 samples at 360 Hz), in mV exactly as
          scipy.misc.electrocardiogram returns it: (adc - 1024) / 200.
  speech  73 s of telephone speech, demo-instruct.wav of Debian's
          asterisk-core-sounds-en-wav (8 kHz, 16 bit), as int16 values.
  noisy   --samples (10^7) samples of a random walk plus two sines plus white
          noise, from a fixed seed.

Codecs, each with float32 input and output:
  quarnel        compress_signal with default options, decompress_signal.
  quarnel_tools  compress/decompress with --threads threads, when the package
                 is importable; its streams must equal quarnel's.
  zfp            zfpy fixed-accuracy mode with tolerance = quarnel's largest
                 absolute error on that signal. The tolerance is a bound, so
                 zfp's error ends up at or below quarnel's.
  sz3            pysz with a value-range-relative bound giving the same
                 absolute bound.
  pywt           pywt.wavedec + pywt.waverec, 'bior4.4' (CDF 9/7), 'symmetric'
                 extension and quarnel's level count: the transform alone, no
                 quantisation or coding, as a yardstick for transform speed.

Speed: MB/s of float32 signal (4 bytes per sample) in both directions, wall
clock, best of --repeats calls. The codecs take turns call by call, so that
load from other processes on the machine falls on all of them alike. Wall
clock rather than CPU time because quarnel_tools runs on several threads.

Two Python threads: with the noisy signal, two threads each compress their
own signal of that length, against the same two calls one after the other
(wall time concurrent / in a row). quarnel.compress_signal holds the
interpreter lock, so it shows about 1; quarnel_tools.compress (threads=1, so
that only the two Python threads run the codec) should release it.

Memory: "peak" is the largest extra resident memory of one call, as a
multiple of the float32 signal's size. Every (signal, codec, direction) is
measured in a fresh child Python that loads the signal from a file (and, to
decompress, compresses it first), warms the codec up on a short prefix so that
its code pages are resident, hands freed heap memory back to the kernel
(malloc_trim) and resets the kernel's high-water mark (writing 5 to
/proc/self/clear_refs). peak = VmHWM after the call - VmRSS before it. This
counts what the kernel holds for the call, the returned stream or signal
included, and cannot be hidden by memory an earlier call left in the heap;
ru_maxrss could not be reset and would keep the high-water mark of the set-up.
It also counts freed memory that glibc keeps resident within the call (its
mmap threshold rises after the first large free), so it can exceed the peak
of live heap bytes that bench_codec reports.

Usage: compare.py [--signals ecg,speech,noisy] [--samples 10000000]
                  [--repeats 7] [--threads 2] [--no-memory]
"""

import argparse
import ctypes
import gc
import json
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from functools import partial
from pathlib import Path
from typing import Any, Callable, Optional

import numpy as np
import recordings

import quarnel

# Goals of the speed issue, as ratios of MB/s taken in the same run.
GOAL_COMPRESS_VS_ZFP = 0.6
GOAL_DECOMPRESS_VS_ZFP = 0.8
GOAL_TOOLS_VS_ZFP = 1.0  # with 2 threads
GOAL_TWO_THREADS = 0.6  # wall time of two concurrent calls / two in a row


# ---------------------------------------------------------------- signals


def make_noisy(n: int, seed: int = 20240612) -> np.ndarray:
    """Two sines, a random walk pulled back towards zero (AR(1): correlation
    length 2000 samples, standard deviation 0.2) and white noise (0.05), from a
    fixed seed. Unlike a free random walk its range hardly grows with n, so
    10^4 and 2^28 samples quantise alike and per-sample costs compare across
    lengths. Generated in chunks, so 2^28 samples need no float64 array of the
    whole length."""
    chunk, block = 1 << 22, 1 << 12
    a = 1.0 - 1.0 / 2000
    step = 0.2 * np.sqrt(1.0 - a * a)
    # Within a block: x_k = a^k * cumsum(e_j * a^-j) from a zero start, plus
    # a^(k+1) times the previous block's last value (a^-4096 < 8: no overflow).
    decay = a ** np.arange(1, block + 1)
    rng = np.random.default_rng(seed)
    out = np.empty(n, dtype=np.float32)
    carry = 0.0
    for start in range(0, n, chunk):
        m = min(chunk, n - start)
        rows = -(-m // block)
        e = step * rng.standard_normal((rows, block))
        walk = np.cumsum(e / decay, axis=1) * decay
        carries = np.empty(rows)
        for r in range(rows):
            carries[r] = carry
            carry = walk[r, -1] + decay[-1] * carry
        walk += np.outer(carries, decay)
        t = np.arange(start, start + m, dtype=np.float64)
        out[start : start + m] = (
            walk.ravel()[:m] + np.sin(0.0013 * t) + 0.3 * np.sin(0.071 * t)
            + 0.05 * rng.standard_normal(m)
        )
    return out


def load_signals(names: list[str], samples: int) -> dict[str, np.ndarray]:
    return recordings.load_signals(
        names,
        {"ecg": recordings.ECG, "speech": recordings.DEMO_INSTRUCT},
        {"noisy": lambda: make_noisy(samples)},
    )


# ----------------------------------------------------------------- codecs


@dataclass
class Codec:
    name: str
    compress: Callable[[np.ndarray], Any]
    decompress: Callable[[Any], np.ndarray]
    # Bytes of a compressed payload; None for a transform that does not compress.
    payload_size: Optional[Callable[[Any], int]]


def build_codec(recipe: dict) -> Codec:
    """The codec a recipe names. Recipes are plain dicts so that a child process
    can rebuild the same codec from JSON; peers are imported here, so that
    scaling.py, which needs quarnel only, can import this file."""
    kind = recipe["kind"]
    if kind == "quarnel":
        options = quarnel.QrnlCompressionOptions(coder=recipe["coder"]) if "coder" in recipe else None
        name = "quarnel" if options is None else f"quarnel {recipe['coder']}"
        return Codec(name, lambda x: quarnel.compress_signal(x, options), quarnel.decompress_signal, len)
    if kind == "quarnel_tools":
        import quarnel_tools

        threads = recipe["threads"]
        return Codec(
            f"quarnel_tools t={threads}",
            lambda x: quarnel_tools.compress(x, threads=threads),
            lambda s: quarnel_tools.decompress(s, threads=threads),
            len,
        )
    if kind == "zfp":
        import zfpy

        tolerance = recipe["tolerance"]
        return Codec(
            "zfp", lambda x: zfpy.compress_numpy(x, tolerance=tolerance), zfpy.decompress_numpy, len
        )
    if kind == "sz3":
        from pysz import sz, szConfig, szErrorBoundMode

        config = szConfig()
        config.errorBoundMode = szErrorBoundMode.REL  # relative to the value range
        config.relErrorBound = recipe["relative_bound"]
        # pysz needs the shape to decompress: carry the length with the bytes.
        return Codec(
            "sz3",
            lambda x: (sz.compress(x, config)[0], x.size),
            lambda p: sz.decompress(p[0], np.float32, (p[1],))[0],
            lambda p: p[0].nbytes,
        )
    if kind == "pywt":
        import pywt

        levels = recipe["levels"]
        # waverec can return one sample more than an odd-length input.
        return Codec(
            "pywt (transform only)",
            lambda x: (pywt.wavedec(x, "bior4.4", mode="symmetric", level=levels), x.size),
            lambda p: pywt.waverec(p[0], "bior4.4", mode="symmetric")[: p[1]],
            None,
        )
    raise ValueError(f"unknown codec kind {kind!r}")


def tools_available() -> bool:
    try:
        import quarnel_tools  # noqa: F401
    except ImportError:
        return False
    return True


def codec_recipes(x: np.ndarray, threads: int) -> tuple[list[dict], bytes]:
    """Recipes for one signal, the peers' bounds matched to quarnel's error."""
    stream = quarnel.compress_signal(x)
    error = float(np.max(np.abs(quarnel.decompress_signal(stream) - x)))
    value_range = float(np.max(x)) - float(np.min(x))
    recipes = [{"kind": "quarnel"}]
    if threads and tools_available():
        recipes.append({"kind": "quarnel_tools", "threads": threads})
    recipes += [
        {"kind": "zfp", "tolerance": error},
        {"kind": "sz3", "relative_bound": error / value_range},
        # Byte 12 of the header is the level count the stream was made with.
        {"kind": "pywt", "levels": stream[12]},
    ]
    return recipes, stream


# ------------------------------------------------------------ measuring


def time_once(call: Callable[[], Any], clock: Callable[[], float] = time.perf_counter) -> float:
    """Seconds of one call on `clock`, without the garbage collector."""
    gc.disable()
    try:
        start = clock()
        call()
        return clock() - start
    finally:
        gc.enable()


def time_codecs(codecs: list[Codec], x: np.ndarray, payloads: list, repeats: int) -> list[tuple]:
    """Best seconds of (compress, decompress) per codec, the codecs taking turns."""
    best = [[float("inf"), float("inf")] for _ in codecs]
    for _ in range(repeats):
        for i, codec in enumerate(codecs):
            best[i][0] = min(best[i][0], time_once(partial(codec.compress, x)))
        for i, codec in enumerate(codecs):
            best[i][1] = min(best[i][1], time_once(partial(codec.decompress, payloads[i])))
    return [tuple(b) for b in best]


def read_status(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def peak_child(spec_json: str, signal_file: str, direction: str) -> None:
    """Runs in the child: one call, then prints its peak extra resident bytes."""
    codec = build_codec(json.loads(spec_json))
    x = np.fromfile(signal_file, dtype="<f4")
    # Short: its buffers stay below glibc's first mmap threshold (128 KiB), so
    # the warm-up leaves the allocator much as a fresh process has it.
    prefix = x[: 1 << 12].copy()
    codec.decompress(codec.compress(prefix))
    del prefix
    if direction == "compress":
        call = lambda: codec.compress(x)  # noqa: E731
    else:
        payload = codec.compress(x)
        del x
        call = lambda: codec.decompress(payload)  # noqa: E731
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass
    before = read_status("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    result = call()
    hwm = read_status("VmHWM")
    del result
    print(json.dumps({"extra": hwm - before, "hwm": hwm}))


def measure_peak(recipe: dict, signal_file: str, direction: str) -> dict:
    """Peak extra resident bytes of one call, measured in a fresh child."""
    cmd = [sys.executable, __file__, "--peak-child", json.dumps(recipe), signal_file, direction]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def error_stats(x: np.ndarray, y: np.ndarray) -> tuple[float, float]:
    """Largest absolute error, and PSNR in dB relative to the value range."""
    diff = y.astype(np.float64) - x.astype(np.float64)
    max_error = float(np.max(np.abs(diff)))
    rmse = float(np.sqrt(np.mean(diff * diff)))
    value_range = float(np.max(x)) - float(np.min(x))
    psnr = float("inf") if rmse == 0 else 20 * np.log10(value_range / rmse)
    return max_error, psnr


# -------------------------------------------------------------- reports


def compare_signal(name: str, x: np.ndarray, args: argparse.Namespace) -> dict:
    recipes, stream = codec_recipes(x, args.threads)
    codecs = [build_codec(recipe) for recipe in recipes]
    payloads, rows = [], []
    for codec in codecs:
        payload = codec.compress(x)
        payloads.append(payload)
        y = codec.decompress(payload)
        assert y.dtype == np.float32 and y.shape == x.shape, codec.name
        if codec.name.startswith("quarnel_tools") and bytes(payload) != stream:
            print(f"WARNING: {codec.name} wrote a stream that differs from quarnel's")
        size = codec.payload_size(payload) if codec.payload_size else None
        rows.append({"codec": codec.name, "ratio": x.nbytes / size if size else None})
        rows[-1]["max_error"], rows[-1]["psnr"] = error_stats(x, y)

    for row, (c, d) in zip(rows, time_codecs(codecs, x, payloads, args.repeats)):
        row["compress"], row["decompress"] = x.nbytes / c / 1e6, x.nbytes / d / 1e6

    if not args.no_memory:
        with tempfile.TemporaryDirectory() as tmp:
            signal_file = str(Path(tmp) / "signal.f32")
            x.astype("<f4").tofile(signal_file)
            for row, recipe in zip(rows, recipes):
                for direction in ("compress", "decompress"):
                    peak = measure_peak(recipe, signal_file, direction)
                    row[f"{direction}_peak"] = peak["extra"] / x.nbytes

    print(f"\n== {name}: {x.size} samples, {x.nbytes / 1e6:.2f} MB float32, "
          f"best of {args.repeats}")
    header = (f"{'codec':22} {'comp MB/s':>10} {'decomp MB/s':>12} {'ratio':>7} "
              f"{'max abs err':>12} {'PSNR dB':>8} {'comp peak':>10} {'decomp peak':>12}")
    print(header)
    print("-" * len(header))
    for row in rows:
        ratio = f"{row['ratio']:7.2f}" if row["ratio"] else f"{'-':>7}"
        peaks = "".join(
            f"{row[key]:{width - 1}.2f}x" if key in row else f"{'-':>{width}}"
            for key, width in (("compress_peak", 11), ("decompress_peak", 13))
        )
        print(f"{row['codec']:22} {row['compress']:10.1f} {row['decompress']:12.1f} {ratio} "
              f"{row['max_error']:12.4g} {row['psnr']:8.1f}{peaks}")

    by_name = {row["codec"]: row for row in rows}
    q, zfp = by_name["quarnel"], by_name["zfp"]
    goals = {
        "quarnel/zfp compress": (q["compress"] / zfp["compress"], GOAL_COMPRESS_VS_ZFP),
        "quarnel/zfp decompress": (q["decompress"] / zfp["decompress"], GOAL_DECOMPRESS_VS_ZFP),
    }
    tools = next((row for row in rows if row["codec"].startswith("quarnel_tools")), None)
    if tools:
        goal = GOAL_TOOLS_VS_ZFP if args.threads == 2 else None
        goals[f"tools t={args.threads}/zfp compress"] = (tools["compress"] / zfp["compress"], goal)
        goals[f"tools t={args.threads}/zfp decompress"] = (
            tools["decompress"] / zfp["decompress"], goal)
    for label, (value, goal) in goals.items():
        verdict = "" if goal is None else (
            f"   goal >= {goal}: {'met' if value >= goal else 'NOT met'}")
        print(f"{label:30} {value:6.3f}{verdict}")
    return {label: value for label, (value, _) in goals.items()}


def in_a_row(compress: Callable[[np.ndarray], Any], signals: tuple[np.ndarray, ...]) -> None:
    for s in signals:
        compress(s)


def concurrently(compress: Callable[[np.ndarray], Any], signals: tuple[np.ndarray, ...]) -> None:
    workers = [threading.Thread(target=compress, args=(s,)) for s in signals]
    for w in workers:
        w.start()
    for w in workers:
        w.join()


def two_threads(n: int, repeats: int) -> None:
    """Two Python threads, each compressing its own signal, against the same
    two calls one after the other: wall time concurrent / sequential."""
    a, b = make_noisy(n, seed=1), make_noisy(n, seed=2)
    entries = [("quarnel.compress_signal", quarnel.compress_signal)]
    if tools_available():
        import quarnel_tools

        entries.append(("quarnel_tools.compress t=1",
                        lambda x: quarnel_tools.compress(x, threads=1)))
    print(f"\n== two Python threads, each compressing its own {n}-sample noisy signal, "
          f"best of {repeats}")
    for label, compress in entries:
        row_best = [float("inf"), float("inf")]
        for _ in range(repeats):
            row_best[0] = min(row_best[0], time_once(partial(in_a_row, compress, (a, b))))
            row_best[1] = min(row_best[1], time_once(partial(concurrently, compress, (a, b))))
        ratio = row_best[1] / row_best[0]
        verdict = ""
        if label.startswith("quarnel_tools"):
            verdict = f"   goal <= {GOAL_TWO_THREADS}: {'met' if ratio <= GOAL_TWO_THREADS else 'NOT met'}"
        print(f"{label:28} in a row {row_best[0]:6.3f} s, concurrent {row_best[1]:6.3f} s, "
              f"ratio {ratio:5.2f}{verdict}")
    if len(entries) == 1:
        print("quarnel_tools is not importable: its two-thread case is skipped")


def main() -> int:
    if len(sys.argv) == 5 and sys.argv[1] == "--peak-child":
        peak_child(*sys.argv[2:])
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--signals", default="ecg,speech,noisy",
                        help="comma-separated subset of ecg, speech, noisy")
    parser.add_argument("--samples", type=int, default=10_000_000,
                        help="length of the noisy signal")
    parser.add_argument("--repeats", type=int, default=7, help="calls timed per figure (best)")
    parser.add_argument("--threads", type=int, default=2,
                        help="threads for quarnel_tools (0: leave it out)")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory children")
    args = parser.parse_args()
    names = [s for s in args.signals.split(",") if s]
    unknown = set(names) - {"ecg", "speech", "noisy"}
    if unknown:
        parser.error(f"unknown signals: {', '.join(sorted(unknown))}")

    if args.threads and not tools_available():
        print("quarnel_tools is not importable: its rows are left out")
    summary = {}
    for name, x in load_signals(names, args.samples).items():
        summary[name] = compare_signal(name, x, args)

    if summary:
        labels = list(next(iter(summary.values())))
        print("\n== MB/s ratios, same run")
        print(f"{'signal':8}" + "".join(f"{label:>{len(label) + 2}}" for label in labels))
        for name, ratios in summary.items():
            print(f"{name:8}" + "".join(f"{ratios.get(label, float('nan')):{len(label) + 2}.3f}"
                                        for label in labels))
    if "noisy" in names:
        two_threads(args.samples, args.repeats)
    return 0


if __name__ == "__main__":
    sys.exit(main())
