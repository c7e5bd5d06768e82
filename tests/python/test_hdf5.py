"""The HDF5 filter through h5py, h5dump and h5netcdf: each row of each chunk
reads back as quarnel_tools decodes that row's stream, in this process and in
a fresh one."""

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from conftest import make_signal

h5py = pytest.importorskip("h5py")
qh5 = pytest.importorskip("quarnel_tools.hdf5")
import quarnel_tools  # noqa: E402
from quarnel_tools._settings import Settings  # noqa: E402

FILL = -9999.0
CONFIGS = [
    {},
    {"method": "cdf53", "scale": 9, "cutoff": "medium", "coder": "deflate"},
    {"max_error": 1e-2},
    {"rel_error": 1e-3, "method": "db4"},
    {"psnr": 60.0, "coder": "arans"},
]


def data(shape, dtype, fill=FILL):
    x = make_signal(int(np.prod(shape)), dtype=np.float64).reshape(shape).astype(dtype)
    x.flat[5] = np.nan
    if fill is not None:
        x.flat[7] = fill
    return x


def expected(x, chunks, config, fill):
    """Each chunk row, padded with the fill value, through quarnel_tools."""
    x2 = x.reshape(-1, x.shape[-1])
    rows, cols = (1, *chunks)[-2:]
    out = np.empty_like(x2)
    for c in range(0, x2.shape[1], cols):
        block = np.full((x2.shape[0], cols), fill, x.dtype)
        block[:, : x2.shape[1] - c] = x2[:, c : c + cols]
        for r in range(x2.shape[0]):
            stream = Settings.parse(**config).compress(block[r], fill_value=fill)
            out[r, c : c + cols] = quarnel_tools.decompress(stream)[: x2.shape[1] - c]
    return out.reshape(x.shape)


def same(a, b):
    np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("config", CONFIGS, ids=lambda c: ",".join(c) or "default")
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("shape,chunks,fill", [((1000,), (300,), None), ((3, 1000), (2, 300), FILL)])
def test_round_trip(tmp_path, config, dtype, shape, chunks, fill):
    x = data(shape, dtype, fill)
    kwargs = {} if fill is None else {"fillvalue": fill}
    with h5py.File(tmp_path / "a.h5", "w") as f:
        f.create_dataset("x", data=x, chunks=chunks, **kwargs, **qh5.Quarnel(**config))
    with h5py.File(tmp_path / "a.h5") as f:
        y = f["x"][:]
    assert y.dtype == dtype
    same(y, expected(x, chunks, config, 0.0 if fill is None else fill))
    finite = np.isfinite(x)
    assert np.isnan(y.flat[5]) and (fill is None or y.flat[7] == FILL)
    if "max_error" in config:
        assert np.abs(y - x)[finite].max() <= config["max_error"]


def write(path, x, **config):
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=x, chunks=(2, 256), **qh5.Quarnel(**config))


def chunk_rows(dataset, offset):
    """The streams of one stored chunk, by its row table."""
    _, raw = dataset.id.read_direct_chunk(offset)
    rows = int.from_bytes(raw[:4], "little")
    sizes = [int.from_bytes(raw[4 + 4 * r : 8 + 4 * r], "little") for r in range(rows)]
    at = 4 * (rows + 1)
    out = []
    for size in sizes:
        out.append(raw[at : at + size])
        at += size
    return out


def test_a_fresh_process_appends_through_the_filter(tmp_path):
    """A process whose first use of the filter is a write still compresses:
    HDF5 loads an optional filter's plugin only when it reads through it."""
    with h5py.File(tmp_path / "a.h5", "w") as f:
        f.create_dataset("x", data=data((512,), np.float32, None), chunks=(256,), maxshape=(None,), **qh5.Quarnel())
    script = (  # whole new chunks: nothing is read first
        "import sys, h5py, numpy, quarnel_tools.hdf5\n"
        "with h5py.File(sys.argv[1], 'r+') as f:\n"
        "    x = f['x']; x.resize((1536,)); x[512:] = numpy.linspace(0, 1, 1024, dtype='f4')\n"
    )
    subprocess.run([sys.executable, "-c", script, tmp_path / "a.h5"], check=True)
    with h5py.File(tmp_path / "a.h5") as f:
        x = f["x"]
        masks = [x.id.get_chunk_info(i).filter_mask for i in range(x.id.get_num_chunks())]
        assert masks == [0] * 6 and qh5.raw_chunks(x) == []


def test_raw_chunks_lists_what_the_filter_failed_on(tmp_path):
    x = np.ones((3, 600), np.float32)  # constant rows any stream holds exactly...
    x[1] = 5.0 + np.random.default_rng(1).standard_normal(600)  # ...and noise none holds at 400 dB
    with h5py.File(tmp_path / "a.h5", "w") as f:
        d = f.create_dataset("x", data=x, chunks=(1, 256), **qh5.Quarnel(psnr=400))
        assert qh5.raw_chunks(d) == [(1, 0), (1, 256), (1, 512)]


def test_a_filter_before_quarnel_is_refused(tmp_path):
    with h5py.File(tmp_path / "a.h5", "w") as f:
        with pytest.raises(ValueError, match=r"must come first in the pipeline, but shuffle \(filter 2\)"):
            f.create_dataset("x", data=data((600,), np.float32, None), chunks=(256,), shuffle=True, **qh5.Quarnel())
        assert "x" not in f


@pytest.mark.parametrize("fill", [1e20, -999.9])
def test_a_float64_fill_reads_back_as_itself(tmp_path, fill):
    with h5py.File(tmp_path / "a.h5", "w") as f:
        d = f.create_dataset("x", shape=(1000,), dtype="f8", chunks=(400,), fillvalue=fill, **qh5.Quarnel())
        d[:300] = np.linspace(-1, 1, 300)  # the rest of the chunk is not written
        d[500] = 0.5
    with h5py.File(tmp_path / "a.h5") as f:
        y = f["x"][:]
    gaps = np.ones(1000, bool)
    gaps[:300] = gaps[500] = False
    assert np.all(y[gaps] == fill)


def test_a_damaged_row_count_is_refused_before_it_is_sized(tmp_path):
    with h5py.File(tmp_path / "a.h5", "w") as f:
        x = data((2, 1 << 16), np.float32, None)
        f.create_dataset("x", data=x, chunks=x.shape, **qh5.Quarnel(max_error=1e-3))
        mask, raw = f["x"].id.read_direct_chunk((0, 0))
        assert mask == 0
        damaged = bytearray(raw)
        damaged[1] ^= 0x10  # 2 rows become 4,098: 1 GiB of samples
        f["x"].id.write_direct_chunk((0, 0), bytes(damaged), mask)
    script = (
        "import resource, sys, h5py, quarnel_tools.hdf5\n"
        "with h5py.File(sys.argv[1]) as f:\n"
        "    try: f['x'][:]\n"
        "    except OSError: print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)\n"
    )
    peak = subprocess.run([sys.executable, "-c", script, tmp_path / "a.h5"], check=True, capture_output=True, text=True)
    assert 0 < int(peak.stdout) < 400_000  # KiB


def test_a_build_without_the_plugin_says_so_at_import():
    script = (
        "import os\n"
        "isdir = os.path.isdir\n"
        "os.path.isdir = lambda p: not str(p).endswith('hdf5_plugin') and isdir(p)\n"
        "import quarnel_tools.hdf5\n"
    )
    run = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", script], capture_output=True, text=True)
    assert run.returncode != 0 and "no HDF5 filter plugin" in run.stderr


def test_a_row_cut_at_its_payload_is_refused(tmp_path):
    x = data((1000,), np.float32)
    with h5py.File(tmp_path / "a.h5", "w") as f:
        f.create_dataset("x", data=x, chunks=(1000,), **qh5.Quarnel())
    with h5py.File(tmp_path / "a.h5", "r+") as f:
        mask, chunk = f["x"].id.read_direct_chunk((0,))
        # One row: its size, then its stream, which loses its trailer.
        stream = chunk[8:]
        cut = stream[: 52 + quarnel_tools.inspect(stream).payload_length]
        f["x"].id.write_direct_chunk((0,), chunk[:4] + len(cut).to_bytes(4, "little") + cut, mask)
    with h5py.File(tmp_path / "a.h5") as f, pytest.raises(OSError):
        f["x"][:]


def test_a_fresh_process_reads_without_a_plugin_path(tmp_path):
    x = data((4, 700), np.float32)
    write(tmp_path / "a.h5", x, max_error=1e-2)
    with h5py.File(tmp_path / "a.h5") as f:
        y = f["x"][:]
    script = (
        "import sys, h5py, numpy, quarnel_tools.hdf5\n"
        "with h5py.File(sys.argv[1]) as f: numpy.save(sys.argv[2], f['x'][:])\n"
    )
    env = {k: v for k, v in os.environ.items() if k != "HDF5_PLUGIN_PATH"}
    subprocess.run([sys.executable, "-c", script, tmp_path / "a.h5", tmp_path / "y.npy"], check=True, env=env)
    same(np.load(tmp_path / "y.npy"), y)


@pytest.mark.skipif(shutil.which("h5dump") is None, reason="needs h5dump (hdf5-tools)")
def test_h5dump_reads_what_h5py_wrote(tmp_path):
    x = data((3, 500), np.float32)
    write(tmp_path / "a.h5", x, psnr=70.0)
    with h5py.File(tmp_path / "a.h5") as f:
        y = f["x"][:]
    env = dict(os.environ, HDF5_PLUGIN_PATH=qh5.PLUGIN_DIR)
    out = tmp_path / "x.txt"
    subprocess.run(
        ["h5dump", "-d", "x", "-m", "%.9g", "-y", "-w", "0", "-o", out, tmp_path / "a.h5"],
        check=True,
        env=env,
        capture_output=True,
    )
    values = np.array([float(v) for v in out.read_text().replace("\n", " ").split(",")], np.float32)
    same(values, y.ravel())


def test_netcdf_variable(tmp_path):
    h5netcdf = pytest.importorskip("h5netcdf")
    x = data((2, 900), np.float64)
    with h5netcdf.File(tmp_path / "a.nc", "w") as f:
        f.dimensions = {"channel": 2, "time": 900}
        v = f.create_variable("x", ("channel", "time"), np.float64, chunks=(1, 400), **qh5.Quarnel(max_error=1e-3))
        v[...] = x
    with h5netcdf.File(tmp_path / "a.nc") as f:
        y = f["x"][...]
    finite = np.isfinite(x)
    assert np.abs(y - x)[finite].max() <= 1e-3
    assert np.isnan(y.flat[5]) and y.flat[7] == FILL


@pytest.mark.parametrize("dtype,name", [(np.int32, "4-byte integer"), (np.float16, "2-byte float")])
def test_other_types_are_refused(tmp_path, dtype, name):
    with h5py.File(tmp_path / "a.h5", "w") as f:
        with pytest.raises(ValueError, match=f"quarnel compresses float32 or float64 datasets, not a {name} type"):
            f.create_dataset("x", data=np.arange(100, dtype=dtype), chunks=(50,), **qh5.Quarnel())


@pytest.mark.parametrize(
    "config,message", [({"trailer": False}, "always writes the trailer"), ({"scale": 5, "max_error": 1}, "scale")]
)
def test_settings_are_checked(config, message):
    with pytest.raises(ValueError, match=message):
        qh5.Quarnel(**config)
