"""HDF5 datasets on the command line (FILE.h5:/NAME): what compress writes is
what the filter makes of each chunk, decompress and info read any dataset,
and bad input fails in one line and leaves the file as it was."""

import sys

import numpy as np
import pytest

h5py = pytest.importorskip("h5py")
pytest.importorskip("soundfile")

from test_cli import make_input, read_rows, run  # noqa: E402
from test_hdf5 import CONFIGS, expected  # noqa: E402

from quarnel_tools._settings import Settings  # noqa: E402
from quarnel_tools.cli import hdf5_io  # noqa: E402

TARGETS = [
    (["--max-error", "2e-3", "--no-corrections", "--deflate-level", "9"],
     {"max_error": 2e-3, "corrections": False, "deflate_level": 9}),
    (["--scale", "9", "--method", "db4"], {}),
]


@pytest.mark.parametrize("name", ["pcm16.wav", "pcm24-stereo.wav", "raw.f64"])
@pytest.mark.parametrize("options, config", TARGETS, ids=["max-error", "fixed"])
def test_compress_into_a_dataset_and_back(tmp_path, capsys, name, options, config):
    src = make_input(tmp_path, name)
    raw = ["--dtype", "float64"] if name == "raw.f64" else []
    out = tmp_path / "rec.h5"
    with h5py.File(out, "w") as f:
        f["other"] = np.arange(5.0)
    assert run(capsys, "compress", src, f"{out}:/grp/sig", "--chunk", 700, *options, *raw, "-q")[0] == 0
    x = read_rows(src) if not raw else np.fromfile(src, "<f8")[None]
    config = config or {"method": "db4", "scale": 9}
    with h5py.File(out) as f:
        dataset = f["grp/sig"]
        # One channel is a 1-D dataset, more are rows of a 2-D one.
        assert dataset.shape == (x.shape[1:] if len(x) == 1 else x.shape) and dataset.dtype == x.dtype
        np.testing.assert_array_equal(dataset[...], expected(x.reshape(dataset.shape), dataset.chunks, config, 0.0))
        assert sorted(f) == ["grp", "other"] and sorted(f["grp"]) == ["sig"]
    if config.get("max_error"):
        with h5py.File(out) as f:
            assert np.abs(f["grp/sig"][...].reshape(x.shape) - x.astype(np.float64)).max() <= 2e-3

    back = tmp_path / ("back.npy" if raw else f"back{src.suffix}")
    assert run(capsys, "decompress", f"{out}:grp/sig", back)[0] == 0
    with h5py.File(out) as f:
        np.testing.assert_allclose(read_rows(back), f["grp/sig"][...].reshape(x.shape), atol=0 if raw else 2.0**-16)

    status, info, _ = run(capsys, "info", f"{out}:/grp/sig")
    fields = dict(line.split(None, 1) for line in info.splitlines())
    assert status == 0 and fields["filters"] == f"quarnel ({Settings.parse(**config).describe()})"
    assert fields["ratio"].split(" ", 3)[2] == ("float64" if raw else {"pcm16.wav": "PCM_16"}.get(name, "PCM_24"))


def test_every_setting_reaches_the_filter(tmp_path, capsys, monkeypatch):
    # The filter takes each setting or refuses it; the command line drops none.
    import quarnel_tools.hdf5

    given = []

    class Spy(quarnel_tools.hdf5.Quarnel):
        def __init__(self, **config):
            given.append(config)
            super().__init__(**config)

    monkeypatch.setattr(quarnel_tools.hdf5, "Quarnel", Spy)
    src = make_input(tmp_path, "raw.f64")
    argv = ["--rel-error", "1e-3", "--no-corrections", "--deflate-level", "3", "--coder", "deflate"]
    run(capsys, "compress", src, f"{tmp_path / 'o.h5'}:/x", "--dtype", "float64", *argv)
    x = np.fromfile(src, "<f8")
    assert given[-1] == {
        "max_error": 1e-3 * (x.max() - x.min()), "coder": "deflate", "corrections": False, "deflate_level": 3
    }


def h5_file(tmp_path):
    """A file with a dataset beside a group, and one without a filter."""
    path = tmp_path / "rec.h5"
    with h5py.File(path, "w") as f:
        f.create_group("grp")
        f["grp/plain"] = np.linspace(0, 1, 300)
        f["ints"] = np.arange(10)
    run_quiet("compress", make_input(tmp_path, "mono.npy"), f"{path}:/ecg", "--chunk", 1000)
    return path


def run_quiet(*argv):
    from quarnel_tools import cli

    assert cli.main([str(a) for a in argv] + ["-q"]) == 0


def damaged(tmp_path):
    path = h5_file(tmp_path)
    with h5py.File(path, "r+") as f:
        f["ecg"].id.write_direct_chunk((1000,), b"QRNL" + bytes(60))
    return path


BAD = [
    (lambda p: ["compress", p / "mono.npy", h5_file(p)], "rec.h5: name the dataset to write as"),
    (lambda p: ["compress", p / "mono.npy", f"{h5_file(p)}:/ecg"], "rec.h5:/ecg: already exists (use --force"),
    (lambda p: ["compress", p / "mono.npy", f"{h5_file(p)}:/grp", "-f"], "rec.h5:/grp: is an HDF5 group; name a"),
    (lambda p: ["compress", p / "mono.npy", f"{h5_file(p)}:/ecg/x"], "/ecg in "),
    (lambda p: ["compress", p / "mono.npy", f"{h5_file(p)}:/x", "--no-trailer"], "always writes the trailer"),
    # HDF5 would keep the chunks it cannot filter as they are.
    (lambda p: ["compress", p / "mono.npy", f"{h5_file(p)}:/x", "--max-error", "1e-8"], "2999: Can't meet max error"),
    (lambda p: ["compress", p / "mono.npy", p / "notes.h5:/x"], "notes.h5: already exists"),
    (lambda p: ["compress", p / "mono.npy", p / "rec.nc:/x"], "NetCDF variables need dimensions"),
    (lambda p: ["compress", f"{h5_file(p)}:/ecg", p / "o.qrnl"], "an HDF5 dataset is read by decompress"),
    (lambda p: ["decompress", h5_file(p), p / "o.npy"], "rec.h5: is an HDF5 group; name one of its datasets"),
    (lambda p: ["decompress", f"{h5_file(p)}:/none", p / "o.npy"], "rec.h5:/none: no dataset /none in"),
    (lambda p: ["decompress", f"{h5_file(p)}:/ints", p / "o.npy"], "holds a 1-D int64 dataset"),
    (lambda p: ["decompress", f"{damaged(p)}:/ecg", p / "o.npy"], "rec.h5:/ecg: channel 0, samples 0..2999: "),
    (lambda p: ["info", p / "notes.h5:/x"], "notes.h5:/x: not an HDF5 file"),
]


def datasets_of(path):
    """The datasets and groups in the file, None for no HDF5 file."""
    if not path.is_file() or not h5py.is_hdf5(path):
        return None
    with h5py.File(path) as f:
        found = []
        f.visit(found.append)
        return sorted(found)


@pytest.mark.parametrize("argv, words", BAD)
def test_bad_input_fails_in_one_line_and_leaves_the_file(tmp_path, capsys, argv, words):
    make_input(tmp_path, "mono.npy")
    (tmp_path / "notes.h5").write_text("not HDF5")
    args = argv(tmp_path)
    before = sorted(p.name for p in tmp_path.iterdir()), datasets_of(tmp_path / "rec.h5")
    status, out, err = run(capsys, *args)
    assert (status, out) == (2, "") and err.count("\n") == 1 and words in err and err.startswith("quarnel: ")
    assert (sorted(p.name for p in tmp_path.iterdir()), datasets_of(tmp_path / "rec.h5")) == before


def test_force_replaces_a_dataset_and_keeps_the_others(tmp_path, capsys):
    path = h5_file(tmp_path)
    assert run(capsys, "compress", tmp_path / "mono.npy", f"{path}:/ecg", "-f", "--psnr", "50", "-q")[0] == 0
    with h5py.File(path) as f:
        assert hdf5_io.filters(f["ecg"]) == "quarnel (psnr=50.0)"
        np.testing.assert_array_equal(f["grp/plain"][...], np.linspace(0, 1, 300))
    assert datasets_of(path) == ["ecg", "grp", "grp/plain", "ints"]


@pytest.mark.parametrize("existing", [True, False], ids=["into a file", "a new file"])
def test_an_interrupted_write_leaves_the_file_as_it_was(tmp_path, capsys, monkeypatch, existing):
    path = h5_file(tmp_path) if existing else tmp_path / "new.h5"
    before = datasets_of(path) if existing else None
    write_rows = hdf5_io.write_rows

    def interrupted(source, array, samples, step, quiet):
        write_rows(source, array, samples[:, :step], step, quiet)
        raise KeyboardInterrupt

    monkeypatch.setattr(hdf5_io, "write_rows", interrupted)
    src = make_input(tmp_path, "mono.npy")
    status, _, err = run(capsys, "compress", src, f"{path}:/new/group/x", "--chunk", 500)
    assert (status, err) == (130, "quarnel: interrupted\n")
    assert datasets_of(path) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["mono.npy", *(["rec.h5"] if existing else [])])


def test_any_dataset_and_netcdf_variables_are_read(tmp_path, capsys):
    h5netcdf = pytest.importorskip("h5netcdf")
    import quarnel_tools.hdf5

    path = h5_file(tmp_path)
    x = np.linspace(-1, 1, 2 * 900).reshape(2, 900)
    with h5py.File(path, "a") as f:
        f.create_dataset("gz", data=x.astype(np.float32), compression="gzip")
    with h5netcdf.File(tmp_path / "rec.nc", "w") as f:
        f.dimensions = {"channel": 2, "time": 900}
        v = f.create_variable("v", ("channel", "time"), "f8", chunks=(1, 400), **quarnel_tools.hdf5.Quarnel(psnr=70))
        v[...] = x
    for name, want in [(f"{path}:/grp/plain", np.linspace(0, 1, 300)), (f"{path}:/gz", x.astype(np.float32))]:
        assert run(capsys, "decompress", name, tmp_path / "o.npy", "-f")[0] == 0
        np.testing.assert_array_equal(np.load(tmp_path / "o.npy"), want)
    assert run(capsys, "decompress", f"{tmp_path / 'rec.nc'}:/v", tmp_path / "o.npy", "-f")[0] == 0
    with h5netcdf.File(tmp_path / "rec.nc") as f:
        np.testing.assert_array_equal(np.load(tmp_path / "o.npy"), f["v"][...])

    rows = dict(line.split(None, 1) for line in run(capsys, "info", path)[1].splitlines())
    assert rows["format"] == "HDF5 group" and rows["/gz"] == "[2, 900] float32, filters deflate [4]"
    assert rows["/ecg"] == "[3000] float32, filters quarnel (method=cdf97, scale=11, cutoff=low, coder=auto)"
    rows = dict(line.split(None, 1) for line in run(capsys, "info", f"{tmp_path / 'rec.nc'}:/v")[1].splitlines())
    assert rows["filters"] == "quarnel (psnr=70.0)" and "against float64 samples" in rows["ratio"]


@pytest.mark.parametrize(
    "argv", [["info", "x.h5:/a"], ["decompress", "x.h5:/a", "o.npy"], ["compress", "i.npy", "x.h5:/a"]]
)
def test_without_h5py_one_line_says_what_to_install(tmp_path, capsys, monkeypatch, argv):
    monkeypatch.chdir(tmp_path)
    np.save("i.npy", np.zeros(10))
    monkeypatch.setitem(sys.modules, "h5py", None)
    status, _, err = run(capsys, *argv)
    assert (status, err) == (2, "quarnel: x.h5:/a: HDF5 files need h5py (pip install h5py)\n")


@pytest.mark.parametrize("config", CONFIGS, ids=lambda c: ",".join(c) or "default")
def test_info_reads_the_settings_back(config):
    from quarnel_tools.hdf5 import Quarnel, settings_of

    written = Quarnel(**config)
    assert settings_of(written["compression_opts"]) == written.settings
