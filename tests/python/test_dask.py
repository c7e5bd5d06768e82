"""The Dask recipe: two worker processes on loopback write a chunked signal
into a Zarr v3 store with the quarnel codec, and it reads back within its
bound."""

import sys
from pathlib import Path

import pytest

pytest.importorskip("zarr")
pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import dask_zarr  # noqa: E402

from quarnel_tools.zarr import QuarnelCodec  # noqa: E402


@pytest.mark.parametrize("bound", [1e-2, 3e-3])
def test_two_workers_write_a_store_that_reads_back_within_its_bound(tmp_path, bound):
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        signal = dask_zarr.synthetic_signal(1 << 18, 1 << 15)
        store = str(tmp_path / "s.zarr")
        array = dask_zarr.write(signal, store, QuarnelCodec(max_error=bound))
        assert len(client.scheduler_info()["workers"]) == 2
        assert array.nchunks_initialized == 8
        assert 0 < dask_zarr.largest_error(signal, store) <= bound
