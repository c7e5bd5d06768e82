"""The quarnel command line on small generated files: the module's streams,
formats that come back as they went in, and bad input that fails in one line
with status 2 and leaves no output behind."""

import io
import os
import re
import shlex
import signal
import subprocess
import sys
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from importlib import metadata

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
zarr = pytest.importorskip("zarr")
pytest.importorskip("tqdm")

import quarnel  # noqa: E402
import quarnel_tools  # noqa: E402
from quarnel_tools import cli  # noqa: E402

from conftest import make_signal, stored  # noqa: E402

RATE = 8000


def audio(n, channels):
    x = np.stack([make_signal(n, seed=c) for c in range(channels)], axis=1)
    return (0.9 * x / np.abs(x).max()).astype(np.float32)


INPUTS = {
    "pcm16.wav": ("WAV", "PCM_16", 1),
    "pcm24-stereo.wav": ("WAV", "PCM_24", 2),
    "float-3ch.wav": ("WAV", "FLOAT", 3),
    "pcm16.flac": ("FLAC", "PCM_16", 1),
}


def make_input(tmp_path, name, n=3000):
    path = tmp_path / name
    if name in INPUTS:
        fmt, subtype, channels = INPUTS[name]
        sf.write(path, audio(n, channels), RATE, subtype=subtype, format=fmt)
    elif name == "rows.npy":
        np.save(path, audio(n, 2).T.astype(np.float64))
    elif name == "columns.npy":
        np.save(path, audio(n, 3))
    elif name == "mono.npy":
        np.save(path, make_signal(n))
    elif name == "raw.f64":
        make_signal(n, dtype=np.float64).tofile(path)
    return path


def read_rows(path):
    """What the command line compresses: float32 samples, channels as rows."""
    if path.suffix in (".wav", ".flac"):
        return sf.read(path, dtype="float32", always_2d=True)[0].T
    if path.suffix == ".npy":
        x = np.load(path).astype(np.float32)
        return x[None] if x.ndim == 1 else (x.T if x.shape[0] > x.shape[1] else x)
    return np.fromfile(path, np.float64).astype(np.float32)[None]


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def stream_samples(stream):
    return quarnel.decompress_signal(stream).size


@pytest.mark.parametrize("name", [*INPUTS, "rows.npy", "columns.npy", "mono.npy", "raw.f64"])
def test_compress_to_zarr_and_back(tmp_path, capsys, name):
    src = make_input(tmp_path, name)
    raw = ["--dtype", "float64"] if name == "raw.f64" else []
    store = tmp_path / "s.zarr"
    assert run(capsys, "compress", src, store, "--chunk", 1000, "--scale", 10, "--method", "db4", *raw)[0] == 0
    x = read_rows(src)
    want = stored(x, (1, 1000), quarnel.QrnlCompressionOptions("db4", 10))
    array = zarr.open_array(store)
    assert array.shape == x.shape and array.chunks == (1, 1000)
    np.testing.assert_array_equal(array[:], want)

    back = tmp_path / ("back" + (src.suffix if name != "raw.f64" else ".npy"))
    assert run(capsys, "decompress", store, back)[0] == 0
    if src.suffix == ".npy":
        got = np.load(back)
        assert got.shape == np.load(src).shape
        np.testing.assert_array_equal(read_rows(back), want)
    elif src.suffix in (".wav", ".flac"):
        info, source = sf.info(back), sf.info(src)
        assert (info.samplerate, info.channels, info.format, info.subtype) == (
            source.samplerate, source.channels, source.format, source.subtype,
        )
        half_step = 0.0 if info.subtype == "FLOAT" else 2.0 ** -int(info.subtype[4:])
        assert np.abs(read_rows(back) - want).max() <= half_step
    else:
        np.testing.assert_array_equal(np.load(back)[None], want)


@pytest.mark.parametrize("name", ["pcm16.wav", "mono.npy", "raw.f64"])
def test_qrnl_is_the_modules_stream(tmp_path, capsys, name):
    src = make_input(tmp_path, name)
    raw = ["--dtype", "float64"] if name == "raw.f64" else []
    out = tmp_path / "s.qrnl"
    assert run(capsys, "compress", src, out, "--cutoff", "medium", "--coder", "deflate", "--threads", 2, *raw)[0] == 0
    options = quarnel.QrnlCompressionOptions(cutoff="medium", coder="deflate")
    stream = quarnel.compress_signal(read_rows(src)[0], options)
    assert out.read_bytes()[: len(stream)] == stream  # then the trailer
    back = tmp_path / "back.f32"
    assert run(capsys, "decompress", out, back, "--dtype", "float32")[0] == 0
    np.testing.assert_array_equal(np.fromfile(back, "<f4"), quarnel.decompress_signal(stream))
    # The writer's DEFLATE level changes the payload, not the samples.
    fast = tmp_path / "fast.qrnl"
    args = ("--cutoff", "medium", "--coder", "deflate", "--deflate-level", 1, *raw)
    assert run(capsys, "compress", src, fast, *args)[0] == 0
    assert fast.read_bytes()[: len(stream)] != stream
    np.testing.assert_array_equal(quarnel_tools.decompress(fast.read_bytes()), quarnel.decompress_signal(stream))
    fields = dict(line.split(None, 1) for line in run(capsys, "info", out)[1].splitlines())
    assert (fields["sample_count"], fields["coder"]) == (str(stream_samples(stream)), "deflate")
    # The ratio against the source's own samples, which the trailer records,
    # over the header and payload as inspect() counts them.
    kind, width = {"pcm16.wav": ("PCM_16", 2), "mono.npy": ("float32", 4), "raw.f64": ("float64", 8)}[name]
    assert fields["ratio"].startswith(f"{stream_samples(stream) * width / len(stream):.4g} against {kind} ")
    # The trailer gives a WAV back its rate and sample format; --rate wins.
    wav = tmp_path / "back.wav"
    assert run(capsys, "decompress", out, wav, "--rate", 16000)[0] == 0
    subtype = INPUTS[name][1] if name in INPUTS else "FLOAT"
    assert (sf.info(wav).samplerate, sf.info(wav).subtype) == (16000, subtype)
    if name in INPUTS:
        assert run(capsys, "decompress", out, wav, "--force")[0] == 0
        assert sf.info(wav).samplerate == RATE


@pytest.mark.parametrize("target", [["--max-error", "0.002"], ["--rel-error", "0.0005", "--method", "cdf53"]])
def test_targets_bound_every_chunk_of_a_store(tmp_path, capsys, target):
    src = make_input(tmp_path, "pcm24-stereo.wav")
    assert run(capsys, "compress", src, tmp_path / "s.zarr", "--chunk", 700, *target)[0] == 0
    x = read_rows(src)
    bound = 0.002 if target[0] == "--max-error" else 0.0005 * float(x.max() - x.min())
    assert np.abs(zarr.open_array(tmp_path / "s.zarr")[:] - x.astype(np.float64)).max() <= bound


def test_a_relative_bound_reaches_each_chunk_with_every_setting(tmp_path, capsys):
    x = make_signal(3000)
    # float32 samples whose span float32 would round.
    x = (0.7 * x / np.abs(x).max() + 0.2).astype(np.float32)
    np.save(tmp_path / "x.npy", x)
    flags = ["--no-corrections", "--deflate-level", "3", "--coder", "deflate", "--no-trailer"]
    assert run(capsys, "compress", tmp_path / "x.npy", tmp_path / "s.zarr", "--rel-error", "1e-3", *flags)[0] == 0
    # The span in float64, as a .qrnl stream's encoder takes it.
    span = float(x.max()) - float(x.min())
    assert span != float(x.max() - x.min())
    config = zarr.open_array(tmp_path / "s.zarr").metadata.codecs[0].to_dict()["configuration"]
    assert config == {
        "max_error": 1e-3 * span, "coder": "deflate", "trailer": False, "corrections": False, "deflate_level": 3
    }


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_a_relative_bound_on_a_constant_signal_gets_the_streams_verdict(tmp_path, capsys, dtype):
    np.save(tmp_path / "flat.npy", np.full(3000, 0.3, dtype))
    qrnl = run(capsys, "compress", tmp_path / "flat.npy", tmp_path / "s.qrnl", "--rel-error", "0.025", "-q")
    store = run(capsys, "compress", tmp_path / "flat.npy", tmp_path / "s.zarr", "--rel-error", "0.025", "-q")
    assert qrnl[0] == store[0]
    if qrnl[0]:
        assert store[2].endswith(qrnl[2].split(": ", 2)[2])
    else:
        assert zarr.open_array(tmp_path / "s.zarr")[0].tobytes() == quarnel_tools.decompress(
            (tmp_path / "s.qrnl").read_bytes(), dtype=dtype).tobytes()


@pytest.mark.parametrize("fmt, subtype", [("WAV", "PCM_U8"), ("WAV", "PCM_16"), ("FLAC", "PCM_16"), ("FLAC", "PCM_24")])
def test_pcm_output_is_within_the_bound_and_half_a_step(tmp_path, capsys, fmt, subtype):
    src = tmp_path / f"in.{fmt.lower()}"
    sf.write(src, audio(3000, 1), RATE, subtype=subtype, format=fmt)
    back = tmp_path / f"back.{fmt.lower()}"
    assert run(capsys, "compress", src, tmp_path / "s.zarr", "--max-error", "1e-3")[0] == 0
    assert run(capsys, "decompress", tmp_path / "s.zarr", back)[0] == 0
    assert sf.info(back).subtype == subtype
    half_step = 2.0 ** -int(subtype[4:].lstrip("U"))
    assert np.abs(read_rows(back) - read_rows(src).astype(np.float64)).max() <= 1e-3 + half_step


def test_info_shows_the_stores_layout(tmp_path, capsys):
    store = tmp_path / "s.zarr"
    run(capsys, "compress", make_input(tmp_path, "pcm24-stereo.wav"), store, "--chunk", 1000)
    status, out, _ = run(capsys, "info", store)
    fields = dict(line.split(None, 1) for line in out.splitlines() if not line.startswith(("chunks written", "stored")))
    assert status == 0 and fields["shape"] == "[2, 3000]" and fields["chunks"] == "[1, 1000]"
    assert '"sample_rate": 8000' in fields["attributes"] and '"name": "quarnel"' in fields["codecs"]
    ratio, against = fields["ratio"].split(" ", 1)
    assert float(ratio) == pytest.approx(2 * 3000 * 3 / zarr.open_array(store).nbytes_stored(), rel=1e-3)
    assert against.startswith("against PCM_24 samples")


def test_bench_prints_every_method_and_coder_and_plots(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    plot = tmp_path / "rd.png"
    plot.write_bytes(b"an older plot")
    status, out, _ = run(capsys, "bench", make_input(tmp_path, "pcm16.wav", 2000), "--plot", plot, "--force")
    rows = [line.split() for line in out.splitlines()[3:-1]]
    assert status == 0 and len(rows) == 4 * 2 * 7
    methods, coders = ("cdf97", "cdf53", "db4", "sym4"), ("deflate", "arans")
    assert {(r[0], r[1]) for r in rows} == {(m, c) for m in methods for c in coders}
    # Ratios against the source's 16-bit samples.
    x = read_rows(tmp_path / "pcm16.wav")[0]
    stream = quarnel_tools.compress(x, quarnel.QrnlCompressionOptions("db4", 9, coder="arans"))
    ratio = next(float(r[4]) for r in rows if r[:4] == ["db4", "arans", "scale", "9"])
    assert ratio == pytest.approx(2000 * 2 / len(stream), abs=0.006)
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and out.splitlines()[-1] == f"plot: {plot}"


def damaged_stream(tmp_path):
    path = tmp_path / "bad.qrnl"
    path.write_bytes(quarnel.compress_signal(make_signal(500))[:-7])
    return path


def damaged_store(tmp_path):
    path = tmp_path / "bad.zarr"
    cli.main(["compress", str(make_input(tmp_path, "mono.npy")), str(path), "--chunk", "1000", "-q"])
    (path / "c" / "0" / "1").write_bytes(b"QRNL" + bytes(60))
    return path


def missing_chunk(tmp_path):
    path = damaged_store(tmp_path)
    (path / "c" / "0" / "1").unlink()
    return path


def group_store(tmp_path, zarr_format=3):
    """A dataset's store as xarray writes one: a group of arrays of other
    codecs, with consolidated metadata."""
    path = tmp_path / "set.zarr"
    group = zarr.open_group(path, mode="w", zarr_format=zarr_format)
    group.create_array("ecg", data=make_signal(2000, dtype=np.float64), chunks=(500,))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # zarr warns: not yet part of Zarr v3's format
        zarr.consolidate_metadata(path)
    return path


def fast_stream(tmp_path):
    """A stream that records a rate of 3 GHz, which the trailer holds."""
    path = tmp_path / "fast.qrnl"
    path.write_bytes(quarnel_tools.compress(make_signal(500), metadata=quarnel_tools.Metadata(sample_rate=3e9)))
    return path


BAD = [
    (lambda p: ["compress", p / "none.wav", p / "o.qrnl"], "none.wav: no such file"),
    (lambda p: ["compress", make_input(p, "mono.npy"), p / "o.txt"], "unsupported output format"),
    (lambda p: ["compress", p / "x.txt", p / "o.qrnl"], "unsupported input format"),
    (lambda p: ["compress", make_input(p, "pcm24-stereo.wav"), p / "o.qrnl"], "2 channels"),
    (lambda p: ["compress", make_input(p, "mono.npy"), p / "o.qrnl", "--scale", "13"], "Only scaled 6..12"),
    (lambda p: ["compress", make_input(p, "mono.npy"), p / "o.qrnl", "--psnr", "50", "--scale", "9"], "combined"),
    (lambda p: ["compress", make_input(p, "mono.npy"), p / "o.qrnl", "--levels", "3"], "unrecognized"),
    (lambda p: ["compress", make_input(p, "mono.npy"), p / "o.qrnl", "--deflate-level", "0"], "DEFLATE level must"),
    (lambda p: ["compress", make_input(p, "mono.npy"), p / "no" / "o.qrnl"], "does not exist"),
    (lambda p: ["compress", p / "notwav.wav", p / "o.qrnl"], "notwav.wav: not a readable WAV"),
    (lambda p: ["compress", p / "cube.npy", p / "o.zarr"], "3-D"),
    (lambda p: ["compress", p / "empty.npy", p / "o.zarr"], "empty.npy: not a readable .npy"),
    (lambda p: ["compress", p / "odd.raw", p / "o.qrnl", "--dtype", "float64"], "whole number"),
    (lambda p: ["compress", p / "huge.npy", p / "o.qrnl"], "huge.npy: holds 1e+300, beyond the float32"),
    (lambda p: ["compress", p / "huge.raw", p / "o.qrnl", "--dtype", "float64"], "holds -1e+39, beyond"),
    # float64 samples are measured as they are: float32 steps near 1000 are 6.1e-5.
    (lambda p: ["compress", p / "fine.npy", p / "o.qrnl", "--max-error", "1e-5"], "fine.npy: Can't meet max error"),
    (lambda p: ["compress", p / "fine.npy", p / "o.zarr", "--max-error", "1e-5"], "Can't meet max error 1e-05"),
    # A write spans a chunk per thread: the refusal names the chunk.
    (
        lambda p: ["compress", p / "late.npy", p / "o.zarr", "--max-error", "1e-5", "--chunk", "500", "--threads", "4"],
        "late.npy: channel 0, samples 1500..1999: Can't meet",
    ),
    (lambda p: ["decompress", damaged_stream(p), p / "o.npy"], "bad.qrnl: "),
    (lambda p: ["info", damaged_stream(p)], "bad.qrnl: "),
    (lambda p: ["decompress", damaged_store(p), p / "o.npy"], "bad.zarr: channel 0, samples"),
    (lambda p: ["decompress", missing_chunk(p), p / "o.npy"], "1 of 3 chunks are missing"),
    (lambda p: ["decompress", p / "mono.npy", p / "o.wav"], "not a compressed file"),
    (lambda p: ["decompress", damaged_stream(p), p / "o.wav"], "bad.qrnl: "),
    (lambda p: ["decompress", fast_stream(p), p / "o.wav"], "o.wav: the input records a sample rate of 3000000000"),
    (lambda p: ["decompress", fast_stream(p), p / "o.flac", "--rate", 2**31], "o.flac: --rate gives a sample rate"),
    (lambda p: ["compress", make_input(p, "pcm16.wav"), p / "o.qrnl", "--dtype", "float32"], "pcm16.wav: --dtype"),
    (lambda p: ["decompress", damaged_stream(p), p / "o.npy", "--dtype", "float32"], "o.npy: --dtype is for raw"),
    (lambda p: ["bench", make_input(p, "mono.npy"), "--plot", p / "rd.png"], "rd.png: already exists"),
    (lambda p: ["bench", make_input(p, "mono.npy"), "--no-plot", "--plot", p / "x.png"], "not allowed with"),
    (lambda p: ["compress", make_input(p, "mono.npy"), group_store(p) / "no" / "x"], "no Zarr group at"),
    (lambda p: ["compress", make_input(p, "mono.npy"), group_store(p), "-f"], "set.zarr: is a Zarr group; name an"),
    (lambda p: ["decompress", group_store(p), p / "o.npy"], "set.zarr: is a Zarr group; name one of its arrays"),
    (lambda p: ["info", group_store(p) / "none"], "set.zarr/none: no such file"),
]


@pytest.mark.parametrize("argv, words", BAD)
def test_bad_input_fails_in_one_line_and_leaves_nothing(tmp_path, capsys, argv, words):
    (tmp_path / "notwav.wav").write_bytes(b"RIFF....WAVEjunk")
    (tmp_path / "rd.png").write_bytes(b"an older plot")
    np.save(tmp_path / "cube.npy", np.zeros((2, 2, 2)))
    (tmp_path / "odd.raw").write_bytes(bytes(12))
    (tmp_path / "empty.npy").write_bytes(b"")
    np.save(tmp_path / "huge.npy", np.array([0.5, np.inf, 1e300, 2.0]))
    np.array([0.5, np.nan, -1e39], "<f8").tofile(tmp_path / "huge.raw")
    np.save(tmp_path / "fine.npy", 1000.0 + 1e-3 * np.sin(0.01 * np.arange(5000)))
    np.save(tmp_path / "late.npy", np.where(np.arange(3000) < 1500, 0.0, np.load(tmp_path / "fine.npy")[:3000]))
    args = argv(tmp_path)
    before = sorted(os.listdir(tmp_path))
    status, out, err = run(capsys, *args)
    assert status == 2 and out == ""
    assert err.count("\n") == 1 and err.startswith("quarnel: ") and words in err
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.parametrize("out_name", ["o.qrnl", "o.zarr"])
def test_existing_output_is_kept_unless_forced(tmp_path, capsys, out_name):
    src = make_input(tmp_path, "mono.npy")
    out = tmp_path / out_name
    assert run(capsys, "compress", src, out)[0] == 0
    first = sorted(p.name for p in tmp_path.rglob("*"))
    status, _, err = run(capsys, "compress", src, out, "--scale", 8)
    assert status == 2 and "already exists" in err
    assert sorted(p.name for p in tmp_path.rglob("*")) == first
    assert run(capsys, "compress", src, out, "--scale", 8, "--force")[0] == 0
    assert sorted(os.listdir(tmp_path)) == ["mono.npy", out_name]
    assert zarr.open_array(out).metadata.codecs[0].settings.scale == 8 if out_name == "o.zarr" else True


@pytest.mark.parametrize("out_name", ["o.qrnl", "o.zarr"])
def test_ctrl_c_leaves_nothing(tmp_path, capsys, monkeypatch, out_name):
    calls = []
    compress = cli.Settings.compress

    def interrupted(self, samples, threads=None, **store):
        calls.append(1)
        if len(calls) == 2 or out_name == "o.qrnl":
            os.kill(os.getpid(), signal.SIGINT)  # arrives while a chunk is being written
            time.sleep(0.2)
        return compress(self, samples, threads)

    monkeypatch.setattr(cli.Settings, "compress", interrupted)
    src = make_input(tmp_path, "mono.npy")
    status, _, err = run(capsys, "compress", src, tmp_path / out_name, "--chunk", 500, "--threads", 1)
    time.sleep(0.3)
    assert status == 130 and err == "quarnel: interrupted\n"
    assert os.listdir(tmp_path) == ["mono.npy"]


def entry_point(command):
    return [sys.executable, *command] if command else [os.path.join(os.path.dirname(sys.executable), "quarnel")]


@pytest.mark.parametrize("command", [["-m", "quarnel_tools"], None])
@pytest.mark.parametrize(
    "argv, status, out, err",
    [
        (["info", "missing.qrnl"], 2, "", "quarnel: missing.qrnl: no such file\n"),
        (["--version"], 0, f"quarnel {metadata.version('quarnel')}\n", ""),
    ],
)
def test_entry_points_run_the_command_line(tmp_path, command, argv, status, out, err):
    done = subprocess.run([*entry_point(command), *argv], cwd=tmp_path, capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (status, out, err)


def stream_file(tmp_path):
    path = tmp_path / "s.qrnl"
    path.write_bytes(quarnel.compress_signal(make_signal(500)))
    return path


@pytest.mark.parametrize(
    "argv",
    [
        lambda p: ["info", stream_file(p)],
        lambda p: ["bench", make_input(p, "mono.npy", 500), "--no-plot"],
        lambda p: ["compress", make_input(p, "mono.npy", 500), "-"],
        lambda p: ["decompress", stream_file(p), "-", "--to", "wav", "--rate", 8000],
    ],
    ids=["info", "bench", "compress", "decompress"],
)
def test_a_closed_pipe_ends_quietly(tmp_path, argv):
    # The reading end is closed before the command starts: its first write fails.
    read, write = os.pipe()
    os.close(read)
    command = [*entry_point(None), *map(str, argv(tmp_path))]
    with subprocess.Popen(command, stdout=write, stderr=subprocess.PIPE, cwd=tmp_path) as child:
        os.close(write)
        err = child.stderr.read()
    assert (child.returncode, err) == (141, b"")


def test_a_reader_leaving_mid_stream_ends_quietly(tmp_path):
    # `quarnel decompress --to wav x.qrnl - | head -c 100000`: the pipe takes
    # part of the output, then its reader goes.
    stream = tmp_path / "long.qrnl"
    stream.write_bytes(quarnel.compress_signal(make_signal(400_000)))
    command = [*entry_point(None), "decompress", str(stream), "-", "--to", "wav", "--rate", "8000"]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as child:
        assert len(child.stdout.read(100_000)) == 100_000
        child.stdout.close()
        err = child.stderr.read()
    assert (child.returncode, err) == (141, b"")


class Writes(io.RawIOBase):
    def __init__(self):
        self.calls = []

    def writable(self):
        return True

    def write(self, data):
        self.calls.append(bytes(data))
        return len(data)


def test_info_writes_at_once_when_unbuffered(tmp_path, monkeypatch):
    # With PYTHONUNBUFFERED, a write a line would let `info | head -1` close
    # the pipe between them, a status 141 that `set -o pipefail` sees.
    raw = Writes()
    monkeypatch.setattr(sys, "stdout", io.TextIOWrapper(raw, write_through=True))
    assert cli.main(["info", str(stream_file(tmp_path))]) == 0
    assert len(raw.calls) == 1 and raw.calls[0].startswith(b"file ") and raw.calls[0].endswith(b"(no checksum)\n")


def piped(argv, data, cwd):
    """The installed command with ``data`` on its standard input."""
    return subprocess.run([*entry_point(None), *map(str, argv)], input=data, capture_output=True, cwd=cwd)


@pytest.mark.parametrize(
    "name, into, out_of, suffix",
    [
        ("pcm16.wav", ["--from", "wav"], ["--to", "wav"], ".wav"),
        ("pcm16.flac", ["--from", "flac"], ["--to", "flac"], ".flac"),
        ("mono.npy", ["--from", "npy"], ["--to", "npy"], ".npy"),
        ("raw.f64", ["--dtype", "float64"], ["--dtype", "float32"], ".f32"),
    ],
    ids=["wav", "flac", "npy", "raw"],
)
def test_pipes_carry_what_files_do(tmp_path, capsys, name, into, out_of, suffix):
    src = make_input(tmp_path, name)
    raw = name == "raw.f64"
    # /dev/stdin, a pipe by name, reads as "-" does.
    source = "/dev/stdin" if raw else "-"
    done = piped(["compress", *into, "--rel-error", "1e-3", source, "-"], src.read_bytes(), tmp_path)
    assert done.returncode == 0
    assert done.stderr.decode().startswith(f"{'<stdin>' if source == '-' else source} -> <stdout>: 3000 samples, ")
    assert run(capsys, "compress", *(into if raw else []), "--rel-error", "1e-3", src, tmp_path / "s.qrnl")[0] == 0
    assert done.stdout == (tmp_path / "s.qrnl").read_bytes()  # the rate and sample format recorded alike

    back = piped(["decompress", *out_of, "-", "-"], done.stdout, tmp_path)
    assert run(capsys, "decompress", *(out_of if raw else []), tmp_path / "s.qrnl", tmp_path / f"back{suffix}")[0] == 0
    assert (back.returncode, back.stderr) == (0, b"")
    assert back.stdout == (tmp_path / f"back{suffix}").read_bytes()


def test_named_pipes_and_devices_are_written_in_place(tmp_path, capsys):
    src = make_input(tmp_path, "mono.npy")
    assert run(capsys, "compress", src, tmp_path / "s.qrnl", "-q")[0] == 0
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with ThreadPoolExecutor(1) as pool:
        read = pool.submit(fifo.read_bytes)
        status = run(capsys, "compress", src, fifo, "--to", "qrnl", "-q")[0]
        if status:
            fifo.open("wb").close()  # lets the reader go
        assert status == 0 and read.result() == (tmp_path / "s.qrnl").read_bytes()
    assert run(capsys, "decompress", tmp_path / "s.qrnl", os.devnull, "--to", "npy")[0] == 0


def test_a_recording_piped_through_both_commands_keeps_its_bound(tmp_path):
    src = make_input(tmp_path, "pcm16.wav", 20000)
    command = shlex.quote(entry_point(None)[0])
    pipeline = (
        f"cat pcm16.wav | {command} compress --from wav --psnr 60 - - | tee s.qrnl "
        f"| {command} decompress --to wav - - > back.wav"
    )
    done = subprocess.run(["bash", "-o", "pipefail", "-c", pipeline], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0 and done.stderr.count("\n") == 1
    assert done.stderr.startswith("<stdin> -> <stdout>: 20000 samples, ")
    x = read_rows(src)[0].astype(np.float64)
    decoded = quarnel.decompress_signal((tmp_path / "s.qrnl").read_bytes())
    assert 20 * np.log10((x.max() - x.min()) / np.sqrt(np.mean((decoded - x) ** 2))) >= 60
    back = tmp_path / "back.wav"
    assert (sf.info(back).samplerate, sf.info(back).subtype) == (RATE, "PCM_16")
    assert np.abs(read_rows(back)[0] - decoded).max() <= 2.0**-16  # half a 16-bit step


SUMMARY = re.compile(
    r"(\S+) -> (\S+): (?:2 channels of )?3000 samples, ratio (\S+) against the input, (\S+) against float32, "
    r"max error (\S+), PSNR (\S+) dB(?: \((\S+) dB written back as PCM_16\))?, \S+ s\n"
)


@pytest.mark.parametrize("name, out_name", [("pcm16.wav", "o.qrnl"), ("raw.f64", "o.qrnl"), ("rows.npy", "o.zarr")])
def test_the_summary_line_gives_what_a_decode_measures(tmp_path, capsys, name, out_name):
    src = make_input(tmp_path, name)
    out = tmp_path / out_name
    raw = ["--dtype", "float64"] if name == "raw.f64" else []
    summary = SUMMARY.fullmatch(run(capsys, "compress", src, out, "--rel-error", "2e-3", *raw)[2])
    assert summary is not None and summary.group(1, 2) == (str(src), str(out))
    # Measured against the values given, in float64, on the trailer's decode
    # of each stream (a store's chunks are whole channels here).
    if raw:
        given = np.fromfile(src, "<f8")[None]
    elif name == "rows.npy":
        given = np.load(src)
    else:
        given = sf.read(src, dtype="float64", always_2d=True)[0].T
    if out.is_dir():
        decoded = np.stack([quarnel_tools.decompress((out / "c" / str(c) / "0").read_bytes()) for c in range(2)])
        size = sum(f.stat().st_size for f in out.rglob("*") if f.is_file())
    else:
        decoded = quarnel_tools.decompress(out.read_bytes())[None]
        size = out.stat().st_size
    error = np.abs(decoded - given)
    psnr = 20 * np.log10((given.max() - given.min()) / np.sqrt(np.mean(error**2)))
    want = [src.stat().st_size / size, given.size * 4 / size, error.max(), psnr]
    assert [float(v) for v in summary.groups()[2:6]] == pytest.approx(want, rel=1e-3)
    # A PSNR target is the stream's; PCM written back adds its rounding, which the line gives.
    if name == "pcm16.wav":
        assert run(capsys, "decompress", out, tmp_path / "back.wav")[0] == 0
        back = sf.read(tmp_path / "back.wav", dtype="float64")[0]
        pcm = 20 * np.log10((given.max() - given.min()) / np.sqrt(np.mean((back - given) ** 2)))
        assert float(summary.group(7)) == pytest.approx(pcm, abs=0.006)
    else:
        assert summary.group(7) is None
    assert run(capsys, "compress", src, tmp_path / f"quiet{out.suffix}", "-q", *raw)[1:] == ("", "")


def test_info_shows_the_signals_range_and_inspects_ratio(tmp_path, capsys):
    src = make_input(tmp_path, "pcm16.wav")
    x = sf.read(src, dtype="float64")[0]
    assert run(capsys, "compress", src, tmp_path / "s.qrnl", "--psnr", "40", "-q")[0] == 0
    stream = (tmp_path / "s.qrnl").read_bytes()
    header = quarnel_tools.inspect(stream)
    # The bounded encoder stores a range of its own: the signal's is the trailer's.
    assert (header.min, header.max) != (x.min(), x.max())
    fields = dict(line.split(None, 1) for line in run(capsys, "info", tmp_path / "s.qrnl")[1].splitlines())
    assert fields["range"] == f"{x.min():.7g} to {x.max():.7g}" and "mean" not in fields
    assert fields["ratio"] == f"{header.ratio / 2:.4g} against PCM_16 samples ({header.ratio:.4g} against float32)"
    assert fields["target"].startswith("psnr 40, met with max error ")


def test_info_says_what_readers_of_the_bare_format_miss(tmp_path, capsys):
    src = make_input(tmp_path, "pcm16.wav")
    given = sf.read(src, dtype="float64")[0]
    bound = 1e-3 * (given.max() - given.min())
    for flags in ([], ["--no-corrections"]):
        out = tmp_path / f"s{len(flags)}.qrnl"
        assert run(capsys, "compress", src, out, "--rel-error", "1e-3", *flags)[0] == 0
        fields = dict(line.split(None, 1) for line in run(capsys, "info", out)[1].splitlines())
        bare = quarnel.decompress_signal(out.read_bytes())
        moved = np.count_nonzero(bare != quarnel_tools.decompress(out.read_bytes()))
        if flags:
            assert "corrected" not in fields and moved == 0
            assert np.abs(bare - given).max() <= bound
        else:
            worst = np.abs(bare - given).max()
            said = f"{moved} samples; readers that ignore the trailer see errors up to {worst:.4g}"
            assert fields["corrected"] == said
            assert moved > 0 and worst > bound


@pytest.mark.parametrize("zarr_format", [2, 3])
def test_arrays_in_a_group_by_path(tmp_path, capsys, zarr_format):
    store = group_store(tmp_path, zarr_format)
    src = make_input(tmp_path, "pcm16.wav")
    assert run(capsys, "compress", src, store / "voice", "--max-error", 1e-3, "-q")[0] == 0
    # In the group's format, and in sight of readers of the consolidated metadata.
    group = zarr.open_group(store, mode="r")
    assert sorted(group.array_keys()) == ["ecg", "voice"] and group["voice"].metadata.zarr_format == zarr_format
    assert np.abs(group["voice"][:] - read_rows(src).astype(np.float64)).max() <= 1e-3

    status, out, _ = run(capsys, "info", store)
    rows = dict(line.split(None, 1) for line in out.splitlines())
    assert status == 0 and rows["format"] == f"Zarr v{zarr_format} group"
    assert rows["voice"].startswith("[1, 3000] float32, codecs") and "quarnel" in rows["voice"]
    assert rows["ecg"].startswith("[2000] float64, codecs") and "quarnel" not in rows["ecg"]
    assert run(capsys, "decompress", store / "ecg", tmp_path / "ecg.npy")[0] == 0
    np.testing.assert_array_equal(np.load(tmp_path / "ecg.npy"), make_signal(2000))
    assert "against float64 samples" in run(capsys, "info", store / "ecg")[1]


def stdin_of(data):
    return io.TextIOWrapper(io.BytesIO(data))


def npy_bytes(x):
    buffer = io.BytesIO()
    np.save(buffer, x)
    return buffer.getvalue()


BARE = quarnel.compress_signal(make_signal(500))
PIPE_BAD = [
    (["compress", "-", "o.qrnl"], b"", "<stdin>: name its format with --from"),
    (["compress", "--from", "wav", "-", "o.qrnl"], b"RIFF", "<stdin>: not a readable WAV"),
    (["compress", "--from", "npy", "-", "-"], npy_bytes(audio(500, 2)), "<stdin>: has 2 channels"),
    (["compress", "--dtype", "float64", "-", "-"], bytes(12), "<stdin>: size 12 is not a whole number"),
    (["compress", "--to", "zarr", "--from", "npy", "-", "-"], b"", "<stdout>: a Zarr store is a directory"),
    (["decompress", "-", "o.npy"], BARE[:-7], "<stdin>: "),
    (["decompress", "-", "-"], BARE, "<stdout>: name its format with --to"),
    (["decompress", "--to", "wav", "-", "-"], BARE, "<stdout>: needs a sample rate"),
    (["info", "-"], BARE[:40], "<stdin>: "),
]


@pytest.mark.parametrize("argv, data, words", PIPE_BAD, ids=[" ".join(argv) for argv, *_ in PIPE_BAD])
def test_bad_pipes_fail_in_one_line_and_write_nothing(tmp_path, capsys, monkeypatch, argv, data, words):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "stdin", stdin_of(data))
    status, out, err = run(capsys, *argv)
    assert (status, out, os.listdir(tmp_path)) == (2, "", [])
    assert err.count("\n") == 1 and err.startswith(f"quarnel: {words}")


class Terminal(io.TextIOWrapper):
    def isatty(self):
        return True


@pytest.mark.parametrize(
    "argv, head",
    [(["compress", "mono.npy", "-"], b"QRNL"), (["decompress", "s.qrnl", "-", "--to", "npy"], b"\x93NUMPY")],
)
def test_binary_output_to_a_terminal_needs_force(tmp_path, capsys, monkeypatch, argv, head):
    monkeypatch.chdir(tmp_path)
    make_input(tmp_path, "mono.npy")
    stream_file(tmp_path)
    terminal = Terminal(io.BytesIO())
    monkeypatch.setattr(sys, "stdout", terminal)
    status, _, err = run(capsys, *argv)
    assert (status, terminal.buffer.getvalue()) == (2, b"")
    assert err == "quarnel: <stdout>: is a terminal; binary output refused (redirect it, or use --force)\n"
    assert run(capsys, *argv, "--force", "-q")[0] == 0 and terminal.buffer.getvalue().startswith(head)


@pytest.mark.parametrize(
    "argv, head",
    [(["completion", "bash"], "# "), (["completion", "zsh"], "#compdef quarnel"), (["manpage"], ".TH QUARNEL")],
)
def test_manual_page_and_completion_come_from_the_parser(capsys, argv, head):
    pytest.importorskip("shtab")
    pytest.importorskip("argparse_manpage")
    status, out, _ = run(capsys, *argv)
    assert status == 0 and out.startswith(head)
    assert all(command in out for command in ("compress", "decompress", "info", "bench", "completion", "manpage"))


def test_bash_completes_commands_formats_and_paths(tmp_path, capsys):
    pytest.importorskip("shtab")
    (tmp_path / "completion.sh").write_text(run(capsys, "completion", "bash")[1])
    (tmp_path / "rec.wav").touch()
    probe = "COMP_WORDS=({}); COMP_CWORD=$((${{#COMP_WORDS[@]}} - 1)); _shtab_quarnel; echo ${{COMPREPLY[@]}}"
    words = ("quarnel decomp", "quarnel decompress --to ''", "quarnel compress re")
    script = "; ".join(["source completion.sh", *map(probe.format, words)])
    done = subprocess.run(["bash", "-c", script], cwd=tmp_path, capture_output=True, text=True)
    assert done.stdout.splitlines() == ["decompress", "wav flac npy", "rec.wav"]


def test_info_names_the_grid_a_signal_of_counts_comes_back_on(tmp_path, capsys):
    counts = np.cumsum(np.random.default_rng(3).integers(-3, 4, 20000))
    src, out = tmp_path / "ecg.npy", tmp_path / "ecg.qrnl"
    np.save(src, -3.1 + 0.005 * counts)
    given = read_rows(src)[0]
    assert run(capsys, "compress", src, out, "--rel-error", "1e-4", "-q")[0] == 0
    stream = out.read_bytes()
    # A bound far under a count's step: the values come back, though the
    # stream itself misses by many bounds.
    bound = 1e-4 * np.ptp(given)
    assert np.abs(quarnel_tools.decompress(stream) - given).max() <= bound < 0.0005
    trailer = quarnel_tools.read_trailer(stream)
    assert trailer.grid == pytest.approx((given.min(), 0.005))
    assert trailer.uncorrected_error > 10 * bound
    fields = dict(line.split(None, 1) for line in run(capsys, "info", out)[1].splitlines())
    assert fields["corrected"] == (
        f"{trailer.corrected} samples; every sample rounded to a grid of 0.005 from {given.min():.6g}; "
        f"readers that ignore the trailer see errors up to {trailer.uncorrected_error:.4g}"
    )
