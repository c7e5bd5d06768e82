"""The command bench: every method and coder on one signal, as a table of
ratio, PSNR, largest error and speed, and a rate-distortion plot."""

from __future__ import annotations

import math
import time
from functools import partial
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

import quarnel_tools
from quarnel_tools._settings import CODERS, METHODS, SCALES, Settings
from quarnel_tools.cli.failure import STDIN, Failure, one_line, shown
from quarnel_tools.cli.progress import progress
from quarnel_tools.cli.signal_io import read_signal, sample_format
from quarnel_tools.cli.staging import check_out, staged

if TYPE_CHECKING:
    from quarnel_tools._arguments import Coder, Method

PSNRS = (30.0, 40.0, 50.0, 60.0, 70.0, 80.0)


def _timed(call: Any, budget: float = 0.2, most: int = 5) -> Tuple[Any, float]:
    """The result and the best time of up to ``most`` calls within ``budget`` seconds."""
    times: List[float] = []
    while not times or (sum(times) < budget and len(times) < most):
        t0 = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - t0)
    return result, min(times)


def measure(samples: np.ndarray, restored: np.ndarray) -> Tuple[float, float]:
    """The largest error and the PSNR (dB, over the range) of ``restored``
    against the finite ``samples``, in float64."""
    finite = np.isfinite(samples)
    given = samples[finite].astype(np.float64)
    if not given.size:
        return 0.0, math.inf
    error = np.abs(restored[finite].astype(np.float64) - given)
    rmse = float(np.sqrt(np.mean(error**2)))
    span = float(given.max() - given.min())
    return float(error.max()), math.inf if rmse == 0 or span == 0 else 20 * math.log10(span / rmse)


def bench_rows(
    samples: np.ndarray, sweep: str, threads: Optional[int], quiet: bool, width: int = 4
) -> List[Dict[str, Any]]:
    """One row per setting; ratios against ``width`` bytes a sample."""
    # (method, coder, label, scale, psnr)
    settings: List[Tuple[Method, Coder, str, Optional[int], Optional[float]]] = []
    for method in METHODS:
        for coder in CODERS:
            if coder == "auto":
                continue
            if sweep == "scale":
                settings += [(method, coder, f"scale {s}", s, None) for s in SCALES]
            else:
                settings += [(method, coder, f"psnr {p:g}", None, p) for p in PSNRS]
    rows = []
    mb = samples.size * 4 / 1e6
    with progress(len(settings), quiet, "bench") as bar:
        for method, coder, label, scale, psnr in settings:
            row: Dict[str, Any] = {"method": method, "coder": coder, "setting": label}
            try:
                chosen = Settings.parse(method=method, coder=coder, scale=scale, psnr=psnr)
                stream, t_c = _timed(partial(chosen.compress, samples, threads))
            except ValueError as e:
                row["refused"] = one_line(e)
                rows.append(row)
                bar.update(1)
                continue
            restored, t_d = _timed(partial(quarnel_tools.decompress, stream, threads=threads))
            max_error, psnr = measure(samples, restored)
            row.update(
                ratio=samples.size * width / len(stream),
                bits=8 * len(stream) / samples.size,
                psnr=psnr,
                max_error=max_error,
                compress_mbs=mb / t_c,
                decompress_mbs=mb / t_d,
            )
            rows.append(row)
            bar.update(1)
    return rows


def print_bench(rows: Sequence[Dict[str, Any]]) -> None:
    head = (
        f"{'method':<6} {'coder':<7} {'setting':<9} {'ratio':>8} {'PSNR dB':>8} {'max error':>10} "
        f"{'comp MB/s':>10} {'dec MB/s':>9}"
    )
    print(head)
    print("-" * len(head))
    for r in rows:
        start = f"{r['method']:<6} {r['coder']:<7} {r['setting']:<9}"
        if "refused" in r:
            print(f"{start} refused: {r['refused']}")
        else:
            print(
                f"{start} {r['ratio']:>8.2f} {r['psnr']:>8.2f} {r['max_error']:>10.3g} "
                f"{r['compress_mbs']:>10.1f} {r['decompress_mbs']:>9.1f}"
            )


def plot_bench(path: Path, rows: Sequence[Dict[str, Any]], title: str) -> None:
    try:
        import matplotlib
    except ImportError:
        raise Failure(path, "the plot needs matplotlib (pip install matplotlib), or pass --no-plot") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5.5), constrained_layout=True)
    for colour, method in enumerate(METHODS):
        for coder, style in (("arans", "-"), ("deflate", ":")):
            points = [(r["bits"], r["psnr"]) for r in rows
                      if r["method"] == method and r["coder"] == coder and "ratio" in r and math.isfinite(r["psnr"])]
            if points:
                x, y = zip(*sorted(points))
                ax.plot(x, y, style, color=f"C{colour}", marker="o", ms=3, label=f"{method} {coder}")
    ax.set_xlabel("bits per sample (float32: 32)")
    ax.set_ylabel("PSNR (dB, over the signal's range)")
    ax.set_title(title)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(ncol=2, fontsize=8)
    with staged(path, directory=False) as tmp:
        fig.savefig(tmp, dpi=110, format="png")
    plt.close(fig)


def default_plot(source: Path) -> Path:
    return Path.cwd() / f"{'stdin' if source is STDIN else source.stem}-rd.png"


def bench(
    source: Path, plot: Optional[Path], *, sweep: str, force: bool, raw_dtype: Optional[str],
    threads: Optional[int], quiet: bool, named: Optional[str] = None,
) -> None:
    """Bench ``source``'s first channel and draw the plot into ``plot``
    unless it is None."""
    if plot is not None:
        check_out(plot, force)
    signal = read_signal(source, raw_dtype, named)
    channels, n = signal.samples.shape
    note = f", first of {channels} channels" if channels > 1 else ""
    rate = f" at {signal.rate} Hz" if signal.rate else ""
    name, width = sample_format(signal.source)
    # Out before the long run, so that a reader that has gone stops it.
    print(
        f"{shown(source)}: {n} samples{rate}{note}; {sweep} sweep, every method and coder; "
        f"ratios against {name} samples", flush=True,
    )
    rows = bench_rows(signal.samples[0], sweep, threads, quiet, width)
    print_bench(rows)
    if plot is not None:
        plot_bench(plot, rows, f"{'<stdin>' if source is STDIN else source.name}: rate and distortion")
        print(f"plot: {plot}")
