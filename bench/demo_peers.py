#!/usr/bin/env python3
"""A .qrnl stream beside SZ3 and zfp on the signal it was written from: the
stream's own point, and each peer at the stream's largest error and at its
PSNR, in a table and on a rate-distortion plot with each codec's curve.

The signal is read as ``quarnel compress`` reads it (float32, or float64
where float32 would round the source). The stream is decoded with its
trailer. PSNR = 20 log10(range / RMSE) over the signal's range; bits per
sample = 8 * compressed bytes / samples.

  same max error  SZ3 (pysz) with the value-range-relative bound that is the
                  stream's largest error; zfp (zfpy, fixed accuracy) with the
                  largest tolerance, in steps of 1.25, that keeps it.
  same PSNR       each peer's largest bound that still reaches the stream's
                  PSNR, by bisection on the bound.
  curves          quarnel_tools.compress at PSNR targets of 30 to 90 dB, SZ3
                  and zfp over bounds of 10^-1 to 10^-6 of the range.

Usage: demo_peers.py SIGNAL STREAM PLOT (scripts/demo.sh runs it).
"""

import sys
from pathlib import Path

import numpy as np
from bounded import errors, run_sz3, run_zfp, value_range

import quarnel_tools
from quarnel_tools.cli.signal_io import read_signal


def point(x, size, y):
    return (8 * size / x.size, *errors(x, y))


def at_psnr(x, run, lo, hi, target, steps=24):
    """The point of the largest bound in [lo, hi] whose PSNR reaches
    ``target``, the PSNR falling as the bound grows."""
    best = None
    for _ in range(steps):
        mid = float(np.sqrt(lo * hi))
        found = point(x, *run(x, mid))
        if found[2] >= target:
            best, lo = found, mid
        else:
            hi = mid
    return best


def main() -> None:
    source, stream_path, plot = map(Path, sys.argv[1:4])
    x = read_signal(source, None).samples[0]
    stream = stream_path.read_bytes()
    ours = point(x, len(stream), quarnel_tools.decompress(stream, dtype=np.float64))
    span = value_range(x)
    max_error, psnr = ours[1], ours[2]

    tolerance = max_error
    while errors(x, run_zfp(x, tolerance)[1])[0] > max_error:
        tolerance /= 1.25
    rows = [
        ("quarnel, the stream written", ours),
        ("SZ3 at its max error", point(x, *run_sz3(x, max_error / span))),
        ("zfp at its max error", point(x, *run_zfp(x, tolerance))),
        ("SZ3 at its PSNR", at_psnr(x, run_sz3, 1e-9, 0.5, psnr)),
        ("zfp at its PSNR", at_psnr(x, run_zfp, 1e-9 * span, 0.5 * span, psnr)),
    ]
    print(f"{source.name}: {x.size} samples, range {span:.6g}")
    print(f"{'':30} {'bits/sample':>11} {'max error':>10} {'PSNR dB':>8}")
    for name, found in rows:
        if found is None:
            print(f"{name:30} {'not reached':>11}")
        else:
            print(f"{name:30} {found[0]:11.3f} {found[1]:10.4g} {found[2]:8.2f}")

    curves = {
        "quarnel (psnr targets)": [point(x, len(s), quarnel_tools.decompress(s, dtype=np.float64))
                                   for s in (quarnel_tools.compress(x, psnr=p) for p in range(30, 95, 5))],
        "SZ3": [point(x, *run_sz3(x, b)) for b in np.logspace(-1, -6, 11)],
        "zfp": [point(x, *run_zfp(x, b * span)) for b in np.logspace(-1, -6, 11)],
    }

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5.5), constrained_layout=True)
    colours = dict(zip(curves, ("C0", "C1", "C2")))
    for name, points in curves.items():
        ax.plot([p[0] for p in points], [p[2] for p in points], "-", color=colours[name], alpha=0.6, label=name)
    ax.plot(ours[0], ours[2], "*", color="C0", markersize=16, label=f"{stream_path.name}")
    for (name, found), colour in zip(rows[1:], ("C1", "C2", "C1", "C2")):
        if found is not None:
            marker = "s" if "max error" in name else "^"
            ax.plot(found[0], found[2], marker, color=colour, markersize=9, label=name)
    ax.set_xlabel("bits per sample")
    ax.set_ylabel("PSNR (dB)")
    ax.set_title(f"{source.name}: {stream_path.name} beside SZ3 and zfp")
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8)
    fig.savefig(plot, dpi=110)
    print(f"plot: {plot}")


if __name__ == "__main__":
    main()
