#!/usr/bin/env python3
"""The error-bounded encoder beside SZ3, zfp and compress_signal: same
signals, one run.

Signals (a missing Debian package skips its signal, with a message):
  ecg        the electrocardiogram of Debian's python3-scipy (108,000 samples),
             in mV as scipy's electrocardiogram() returns it.
  speech     Front_Center.wav of Debian's alsa-utils (48 kHz, 16 bit), as
             int16 values.
  telephone  73 s of telephone speech, demo-instruct.wav of Debian's
             asterisk-core-sounds-en-wav (8 kHz, 16 bit), as int16 values.
  walk       a random walk of 10^6 steps of a unit normal, from a fixed seed.

Everything is float32 in and out. PSNR = 20 log10(range / RMSE) with range =
max - min of the signal, as the value-range-relative peers define it; ratio =
float32 bytes / compressed bytes.

At equal PSNR (40 and 60 dB), the best ratio each codec reaches with a PSNR
at or above the target:
  bounded  quarnel_tools.compress(x, psnr=target): one call.
  sz3      pysz in its value-range-relative mode; the largest relative bound
           whose PSNR reaches the target, by bisection on the bound.
  zfp      zfpy in fixed-accuracy mode; the largest tolerance that reaches the
           target, by bisection.
  plain    quarnel.compress_signal over every method, scale and cut-off with
           the rANS coder: the best ratio among those that reach the target.

Cap: the ratio of the smallest stream of the signal's length, all of its
coefficients zero (compress_signal of a constant signal, DEFLATE coder, whose
long matches cost the least per zero). No stream of the format for that
length does better, whatever its error.

At equal maximum absolute error (bounds of 10^-2, 3 10^-3 and 10^-3 of the
range): the ratio of each codec given that bound and whether its largest
error stayed within it, as the trailer's readers decode it (the bounded
encoder lists the few samples its coarser stream leaves beyond the bound as
corrections in the trailer). A bound of 10^-4 of the range lies below 2^-12
of the range, the finest step with the signal's own range stored; the
encoder reaches it with a narrower stored range where the coefficients fit
16 bits, and otherwise refuses it with the tightest error it can reach,
which is printed.

Cost: the bounded encoder's time (one thread) / one default
quarnel.compress_signal call, best of --repeats alternating calls each, at 40
and 60 dB.

Usage: bounded.py [--signals ecg,speech,telephone,walk] [--repeats 5]
"""

import argparse
import time
from functools import partial

import numpy as np
import recordings

import quarnel
import quarnel_tools

PSNR_TARGETS = (40.0, 60.0)
MAX_ERROR_FRACTIONS = (1e-2, 3e-3, 1e-3)
BELOW_FINEST_STEP = 1e-4

# Goals of the issue.
GOAL_VS_SZ3_AT_60 = 1.0
GOAL_VS_SZ3_AT_40 = 0.7
GOAL_VS_ZFP_AT_40 = 2.5
GOAL_COST = 3.0


# ---------------------------------------------------------------- signals


def make_walk(n: int = 10**6, seed: int = 20240613) -> np.ndarray:
    return np.cumsum(np.random.default_rng(seed).standard_normal(n)).astype(np.float32)


def load_signals(names: list[str]) -> dict[str, np.ndarray]:
    return recordings.load_signals(
        names,
        {"ecg": recordings.ECG, "speech": recordings.FRONT_CENTER, "telephone": recordings.DEMO_INSTRUCT},
        {"walk": make_walk},
    )


# ---------------------------------------------------------------- codecs
# Each returns (compressed size in bytes, decoded float32 samples).


def run_bounded(x, **target):
    stream = quarnel_tools.compress(x, threads=1, **target)
    # The trailer's reader: a largest-error stream may carry corrections.
    return len(stream), quarnel_tools.decompress(stream)


def run_plain(x, method, scale, cutoff):
    options = quarnel.QrnlCompressionOptions(method, scale, cutoff, "arans")
    stream = quarnel.compress_signal(x, options)
    return len(stream), quarnel.decompress_signal(stream)


def run_sz3(x, relative_bound):
    from pysz import sz, szConfig, szErrorBoundMode

    config = szConfig()
    config.errorBoundMode = szErrorBoundMode.REL
    config.relErrorBound = relative_bound
    packed = sz.compress(x, config)[0]
    return packed.nbytes, sz.decompress(packed, x.dtype, (x.size,))[0]


def run_zfp(x, tolerance):
    import zfpy

    packed = zfpy.compress_numpy(x, tolerance=tolerance)
    return len(packed), zfpy.decompress_numpy(packed)


# ---------------------------------------------------------------- measures


def value_range(x) -> float:
    return float(np.max(x)) - float(np.min(x))


def errors(x, y):
    e = y.astype(np.float64) - x.astype(np.float64)
    rmse = float(np.sqrt(np.mean(e * e)))
    peak = float(np.max(np.abs(e)))
    psnr = float("inf") if rmse == 0 else 20 * np.log10(value_range(x) / rmse)
    return peak, psnr


def ratio(x, size) -> float:
    return 4 * x.size / size


def best_by_bisection(x, run, lo, hi, target, steps=22):
    """The best ratio of `run(x, bound)` with PSNR >= target over bounds in
    [lo, hi], the PSNR falling as the bound grows: bisection on log(bound)."""
    best = None
    for _ in range(steps):
        mid = float(np.sqrt(lo * hi))
        size, y = run(x, mid)
        _, psnr = errors(x, y)
        if psnr >= target:
            best = max(best or 0.0, ratio(x, size))
            lo = mid
        else:
            hi = mid
    return best


def plain_best(x, target):
    best = None
    for method in ("cdf97", "cdf53", "db4", "sym4"):
        for scale in range(6, 13):
            for cutoff in ("low", "medium", "high"):
                try:
                    size, y = run_plain(x, method, scale, cutoff)
                except ValueError:  # a coefficient beyond 16 bits at this scale
                    continue
                if errors(x, y)[1] >= target:
                    best = max(best or 0.0, ratio(x, size))
    return best


def cap(x):
    zeros = np.zeros(x.size, np.float32)
    stream = quarnel.compress_signal(zeros, quarnel.QrnlCompressionOptions(coder="deflate"))
    return ratio(x, len(stream))


def seconds(call, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def cost(x, target, repeats):
    """Bounded time / default compress_signal time, calls alternating."""
    bounded = plain = float("inf")
    for _ in range(repeats):
        bounded = min(bounded, seconds(lambda: quarnel_tools.compress(x, psnr=target, threads=1), 1))
        plain = min(plain, seconds(lambda: quarnel.compress_signal(x), 1))
    return bounded / plain, bounded


def fmt(v, width=8, digits=1):
    return f"{'n/a':>{width}}" if v is None else f"{v:>{width}.{digits}f}"


def share(ours, other):
    """ours / other, None when the peer reached no ratio."""
    return None if other is None else ours / other


# ---------------------------------------------------------------- main


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--signals", default="ecg,speech,telephone,walk")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    signals = load_signals(args.signals.split(","))

    verdicts = []

    def verdict(name, ok, detail):
        verdicts.append((name, ok, detail))

    print("Ratio at equal PSNR (float32 bytes / stream bytes; best with PSNR >= target)")
    print(f"{'signal':<10} {'samples':>9} {'dB':>4} {'bounded':>8} {'(dB)':>6} {'sz3':>8} {'zfp':>8} {'plain':>8}"
          f" {'b/sz3':>6} {'b/zfp':>6} {'b/pl':>6} {'cap':>8}")
    for name, x in signals.items():
        r = value_range(x)
        ceiling = cap(x)
        for target in PSNR_TARGETS:
            size, y = run_bounded(x, psnr=target)
            ours = ratio(x, size)
            achieved = errors(x, y)[1]
            sz3 = best_by_bisection(x, run_sz3, 1e-8, 0.5, target)
            zfp = best_by_bisection(x, run_zfp, r * 1e-9, r, target)
            plain = plain_best(x, target)
            print(f"{name:<10} {x.size:>9} {target:>4.0f} {ours:>8.1f} {achieved:>6.2f} {fmt(sz3)} {fmt(zfp)}"
                  f" {fmt(plain)} {fmt(share(ours, sz3), 6, 2)} {fmt(share(ours, zfp), 6, 2)}"
                  f" {fmt(share(ours, plain), 6, 2)} {ceiling:>8.1f}")
            verdict(f"{name} {target:.0f} dB: PSNR reached", achieved >= target, f"{achieved:.3f} dB")
            if target == 60.0:
                verdict(f"{name} 60 dB: >= {GOAL_VS_SZ3_AT_60} x SZ3", ours >= GOAL_VS_SZ3_AT_60 * sz3,
                        f"{ours / sz3:.3f} x")
            else:
                why = ""
                if GOAL_VS_SZ3_AT_40 * sz3 > ceiling:
                    why = (f"; unreachable with this format: {GOAL_VS_SZ3_AT_40} x SZ3 = "
                           f"{GOAL_VS_SZ3_AT_40 * sz3:.1f} is above the cap {ceiling:.1f}, bounded at "
                           f"{ours / ceiling:.2f} of the cap")
                verdict(f"{name} 40 dB: >= {GOAL_VS_SZ3_AT_40} x SZ3", ours >= GOAL_VS_SZ3_AT_40 * sz3,
                        f"{ours / sz3:.3f} x{why}")
                verdict(f"{name} 40 dB: >= {GOAL_VS_ZFP_AT_40} x zfp", ours >= GOAL_VS_ZFP_AT_40 * zfp,
                        f"{ours / zfp:.3f} x")
            if plain is not None:
                verdict(f"{name} {target:.0f} dB: >= compress_signal's best", ours >= plain,
                        f"{ours / plain:.3f} x")

    print()
    print("Equal maximum absolute error: ratio, and whether the largest error kept the bound")
    print(f"{'signal':<10} {'bound':>10} {'bounded':>14} {'sz3':>14} {'zfp':>14}")
    met = total = 0
    for name, x in signals.items():
        r = value_range(x)
        for fraction in MAX_ERROR_FRACTIONS:
            bound = fraction * r
            cells = []
            for label, run in (
                ("bounded", partial(run_bounded, x, max_error=bound)),
                ("sz3", partial(run_sz3, x, fraction)),
                ("zfp", partial(run_zfp, x, bound)),
            ):
                try:
                    size, y = run()
                    ok = errors(x, y)[0] <= bound
                    cells.append(f"{ratio(x, size):>8.1f} {'met' if ok else 'MISS':>5}")
                except ValueError as e:  # the bounded encoder refuses what the format cannot reach
                    ok = False
                    cells.append(f"{'refused':>14}")
                    print(f"  ({name}, {label}, {bound:.4g}: {e})")
                if label == "bounded":
                    met += ok
                    total += 1
            print(f"{name:<10} {bound:>10.4g} {cells[0]:>14} {cells[1]:>14} {cells[2]:>14}")
    verdict("bound met by the bounded encoder", met == total, f"{met}/{total}")
    print(f"Below the finest step ({BELOW_FINEST_STEP:g} of the range), the bounded encoder's answer:")
    for name, x in signals.items():
        bound = BELOW_FINEST_STEP * value_range(x)
        try:
            size, y = run_bounded(x, max_error=bound)
            ok = errors(x, y)[0] <= bound
            print(f"  {name:<10} {bound:>10.4g} {ratio(x, size):>8.1f} {'met' if ok else 'MISS'}")
            verdict(f"{name} {BELOW_FINEST_STEP:g} of the range: bound met", ok, "")
        except ValueError as e:
            print(f"  {name:<10} {bound:>10.4g} refused: {e}")

    print()
    print("Cost: bounded encoder (1 thread) / one default compress_signal")
    for name, x in signals.items():
        for target in PSNR_TARGETS:
            factor, taken = cost(x, target, args.repeats)
            print(f"{name:<10} {target:>4.0f} dB {factor:>6.2f} x ({taken * 1e3:.1f} ms)")
            verdict(f"{name} {target:.0f} dB: cost <= {GOAL_COST} x", factor <= GOAL_COST, f"{factor:.2f} x")

    print()
    print("Goals")
    for name, ok, detail in verdicts:
        print(f"  {'PASS' if ok else 'FAIL'}  {name}: {detail}")


if __name__ == "__main__":
    main()
