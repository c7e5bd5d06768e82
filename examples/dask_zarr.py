"""Compress a long signal on a Dask cluster into a Zarr v3 store with the
quarnel codec, read it back and check the error bound.

    python examples/dask_zarr.py [--samples N] [--chunk N] [--max-error E] [--workers 2] [--scheduler ADDRESS] [STORE]

Without --scheduler it starts a LocalCluster of worker processes on this
machine. With the address of a running scheduler the same code runs on that
cluster; the store must then be on storage that every worker reaches.
"""

import argparse
import tempfile
import time
from pathlib import Path

import dask.array as da
import numpy as np
import zarr
from distributed import Client, LocalCluster

from quarnel_tools.zarr import QuarnelCodec


def synthetic_signal(samples, chunk, seed=0):
    """Two tones and a little noise, float32, made chunk by chunk where the
    work runs (nothing is shipped from the client)."""
    t = da.arange(samples, chunks=chunk, dtype=np.float64)
    noise = da.random.default_rng(seed).standard_normal(samples, chunks=chunk)
    x = 3.0 * da.sin(2 * np.pi * t / 9_700.0) + 0.5 * da.sin(2 * np.pi * t / 130.0) + 0.05 * noise
    return x.astype(np.float32)


def write(signal, store, codec):
    """One Zarr chunk per Dask chunk: each worker compresses and writes its own
    chunks, with no lock and no chunk written twice."""
    array = zarr.create_array(
        store, shape=signal.shape, chunks=signal.chunksize, dtype=signal.dtype,
        serializer=codec, compressors=None, overwrite=True,
    )
    da.store(signal, array, lock=False)
    return array


def largest_error(signal, store):
    restored = da.from_zarr(zarr.open_array(store, mode="r"))
    return float(abs(restored.astype(np.float64) - signal.astype(np.float64)).max().compute())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("store", nargs="?", type=Path, help="Zarr store to write (default: a temporary one)")
    parser.add_argument("--samples", type=int, default=1 << 24)
    parser.add_argument("--chunk", type=int, default=1 << 20)
    parser.add_argument("--max-error", type=float, default=4e-3)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        store = args.store or Path(scratch) / "signal.zarr"
        cluster = None if args.scheduler else LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True)
        with Client(args.scheduler or cluster):
            signal = synthetic_signal(args.samples, args.chunk)
            start = time.perf_counter()
            array = write(signal, str(store), QuarnelCodec(max_error=args.max_error))
            seconds = time.perf_counter() - start
            error = largest_error(signal, str(store))
        if cluster is not None:
            cluster.close()
        ratio = array.nbytes / array.nbytes_stored()
        print(
            f"{args.samples} samples in {seconds:.2f} s, ratio {ratio:.2f}, largest error {error:.3g}"
            f" (bound {args.max_error:g})"
        )


if __name__ == "__main__":
    main()
