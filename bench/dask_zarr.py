"""Wall time of a Dask cluster compressing a long signal into a Zarr v3 store
with the quarnel codec, and reading it back, with one and with two worker
processes.

    python bench/dask_zarr.py [--samples 268435456] [--chunk 4194304] [--max-error 4e-3] [--workers 1 2]

The signal (float32, two tones and noise) is made by the workers chunk by
chunk; the store goes to a temporary directory on local disk and is deleted
afterwards. Each write is followed by a read that checks the largest error
against the bound.
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import dask.array as da
import numpy as np
import zarr
from distributed import Client, LocalCluster

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
from dask_zarr import synthetic_signal, write  # noqa: E402

from quarnel_tools.zarr import QuarnelCodec  # noqa: E402


def run(workers, samples, chunk, bound, scratch):
    store = str(Path(scratch) / f"signal-{workers}.zarr")
    with LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    ) as cluster, Client(cluster):
        signal = synthetic_signal(samples, chunk)
        start = time.perf_counter()
        array = write(signal, store, QuarnelCodec(max_error=bound))
        written = time.perf_counter() - start
        restored = da.from_zarr(zarr.open_array(store, mode="r"))
        start = time.perf_counter()
        # Reading includes regenerating the signal to compare against: time
        # the same generation alone and take it off.
        error = float(abs(restored.astype(np.float64) - signal.astype(np.float64)).max().compute())
        read_and_check = time.perf_counter() - start
        start = time.perf_counter()
        signal.max().compute()
        generate = time.perf_counter() - start
        stored = array.nbytes_stored()
    return written, read_and_check, generate, stored, error


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=1 << 28)
    parser.add_argument("--chunk", type=int, default=1 << 22)
    parser.add_argument("--max-error", type=float, default=4e-3)
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    args = parser.parse_args()

    mb = args.samples * 4 / 1e6
    print(
        f"{args.samples} float32 samples ({mb:.0f} MB) in chunks of {args.chunk}, max error {args.max_error:g}, "
        f"{os.cpu_count()} CPUs"
    )
    head = (
        f"{'workers':>7} {'write s':>8} {'write MB/s':>10} {'read+check s':>12} {'generate s':>10} {'ratio':>7}"
        f" {'largest error':>13}"
    )
    print(head)
    print("-" * len(head))
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR")) as scratch:
        for workers in args.workers:
            written, read, generate, stored, error = run(workers, args.samples, args.chunk, args.max_error, scratch)
            print(
                f"{workers:>7} {written:>8.2f} {mb / written:>10.1f} {read:>12.2f} {generate:>10.2f} "
                f"{args.samples * 4 / stored:>7.2f} {error:>13.3g}"
                + ("" if error <= args.max_error else "  BOUND MISSED")
            )


if __name__ == "__main__":
    main()
