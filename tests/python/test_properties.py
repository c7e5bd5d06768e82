"""Properties of the numcodecs and Zarr codecs over generated chunks,
configurations and damage, and of the command line on damaged files."""

import json
import math
import os
import shutil
import tempfile
from pathlib import Path

import numpy as np
import pytest

numcodecs = pytest.importorskip("numcodecs")
zarr = pytest.importorskip("zarr")
sf = pytest.importorskip("soundfile")
from hypothesis import HealthCheck, example, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from test_bounded import check, signal_of  # noqa: E402

import quarnel  # noqa: E402
import quarnel_tools  # noqa: E402
from quarnel_tools import cli  # noqa: E402
from quarnel_tools.numcodecs import Quarnel  # noqa: E402
from quarnel_tools.zarr import QuarnelCodec  # noqa: E402

from conftest import make_signal, stored  # noqa: E402

SMALL = settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
METHODS = ["cdf97", "cdf53", "db4", "sym4"]
CODERS = ["auto", "deflate", "arans"]
CUTOFFS = ["low", "medium", "high"]

shapes = st.one_of(st.just(()), st.lists(st.integers(1, 40), min_size=1, max_size=3).map(tuple))
kinds = st.sampled_from(["walk", "steps", "noise", "constant", "sine"])
fixed = st.fixed_dictionaries(
    {}, optional={"method": st.sampled_from(METHODS), "scale": st.integers(6, 12),
                  "cutoff": st.sampled_from(CUTOFFS), "coder": st.sampled_from(CODERS)}
)
targets = st.builds(
    lambda target, pins: {**target, **pins},
    st.sampled_from([{"max_error": 1e-3}, {"max_error": 0.5}, {"rel_error": 1e-4}, {"rel_error": 2e-3},
                     {"psnr": 40.0}, {"psnr": 70.0}]),
    st.fixed_dictionaries({}, optional={"method": st.sampled_from(METHODS), "coder": st.sampled_from(CODERS)}),
)


@SMALL
@given(shape=shapes, kind=kinds, seed=st.integers(0, 2**16), dtype=st.sampled_from(["float32", "float64"]),
       config=st.one_of(fixed, targets), out=st.sampled_from([None, "same", "flat64", "transposed32"]),
       aligned=st.booleans())
def test_numcodecs_round_trip(shape, kind, seed, dtype, config, out, aligned):
    """A chunk of any shape and either type, aligned in memory or not, is the
    module's signal in C order: fixed options give the module's bytes and
    samples, a target holds on the decoded chunk, and ``out`` is filled
    whatever its shape and float type."""
    n = math.prod(shape)
    flat = signal_of(kind, n, seed).astype(dtype)
    x = flat.reshape(shape) if aligned else misaligned(flat.reshape(shape))
    target = {k: v for k, v in config.items() if k in ("max_error", "rel_error", "psnr")}
    # A relative target needs a fill value: NaN, which non-finite samples are anyway.
    fill = {"fill_value": np.nan} if "max_error" not in target else {}
    codec = Quarnel(dtype=dtype, **config, **fill)
    try:
        if target:
            want_stream = quarnel_tools.compress(flat, **config, **fill)
        else:
            want_stream = quarnel_tools.compress(flat, quarnel.QrnlCompressionOptions(**config))
            if np.isfinite(flat).all():  # nothing masked: the module's bytes, then the trailer
                module_stream = quarnel.compress_signal(flat, quarnel.QrnlCompressionOptions(**config))
                assert want_stream[: len(module_stream)] == module_stream
    except ValueError as e:
        # A signal the format cannot hold at these settings: the codec says so
        # with the module's own words.
        with pytest.raises(ValueError) as failure:
            codec.encode(x)
        assert str(failure.value) == str(e)
        return
    stream = codec.encode(x)
    assert stream == want_stream
    want = quarnel_tools.decompress(stream, dtype=dtype)
    if out is None:
        y = codec.decode(stream)
        assert y.dtype == np.dtype(dtype) and y.shape == (n,)
    else:
        buffer = {"same": np.empty(shape, dtype), "flat64": np.empty(n, np.float64),
                  "transposed32": np.empty(shape[::-1], np.float32)}[out]
        y = codec.decode(stream, out=buffer)
        assert np.shares_memory(y, buffer)
        y = buffer.reshape(-1)
    np.testing.assert_array_equal(y, want.astype(y.dtype))
    if target:
        check(flat, stream, **target)


def misaligned(x):
    """``x`` copied to an address that is not a multiple of its item size, as
    chunks that Dask ships between processes can arrive."""
    moved = np.zeros(x.nbytes + 1, np.uint8)[1:].view(x.dtype).reshape(x.shape)
    moved[...] = x
    assert not moved.flags.aligned
    return moved


@pytest.mark.parametrize("zarr_format", [2, 3])
def test_zarr_writes_misaligned_chunks(tmp_path, zarr_format):
    x = make_signal(3000)
    codecs = {"serializer": QuarnelCodec(), "compressors": None} if zarr_format == 3 else {"compressors": Quarnel()}
    array = zarr.create_array(tmp_path / "s.zarr", shape=(3000,), chunks=(1000,), dtype="float32",
                              zarr_format=zarr_format, **codecs)
    for start in range(0, 3000, 1000):  # a whole chunk at a time reaches the codec as it is, as from Dask
        array[start : start + 1000] = misaligned(x[start : start + 1000])
    np.testing.assert_array_equal(array[:], stored(x[None], (1, 1000))[0])


# Values each key may take: the valid ones and a few of every wrong kind.
VALUES = {
    "method": st.sampled_from([*METHODS, "CDF97", "", 3]),
    "scale": st.sampled_from([6, 9, 12, 5, 13, -1, "9", 9.5]),
    "cutoff": st.sampled_from([*CUTOFFS, "lowest", 1]),
    "coder": st.sampled_from([*CODERS, "zip", None]),
    "max_error": st.sampled_from([1e-3, 2, 0.0, -1.0, float("inf"), float("nan"), "0.1", True]),
    "rel_error": st.sampled_from([1e-4, 0.5, 0, float("-inf")]),
    "psnr": st.sampled_from([60.0, 1, -3.0, float("nan"), None]),
    "dtype": st.sampled_from(["float32", "float64", "int16", "f4"]),
    "level": st.just(3),
}
TARGETS = ("max_error", "rel_error", "psnr")


def problems(config):
    """Every key of ``config`` that makes it invalid, worked out from what the
    codecs document: at most one target, each value of its own kind."""
    bad = set()
    given_targets = [k for k in TARGETS if config.get(k) is not None]
    if len(given_targets) > 1:
        bad.update(given_targets)
    for k in given_targets:
        v = config[k]
        # An error at least 0, any PSNR: each a finite number.
        if isinstance(v, (bool, str)) or not math.isfinite(v) or (k != "psnr" and v < 0):
            bad.add(k)
    if given_targets:
        bad.update(k for k in ("scale", "cutoff") if k in config)
    elif not isinstance(config.get("scale", 6), int) or not 6 <= config.get("scale", 6) <= 12:
        bad.add("scale")
    for key, choices in (("method", METHODS), ("coder", [*CODERS, None]), ("cutoff", CUTOFFS)):
        if key in config and config[key] not in choices:
            bad.add(key)
    if config.get("dtype", "float32") not in ("float32", "float64"):
        bad.add("dtype")
    if "level" in config:
        bad.add("level")
    return bad


@settings(max_examples=40, deadline=None)
@given(config=st.fixed_dictionaries({}, optional=VALUES))
@example(config={"scale": -1})  # once an OverflowError
def test_configurations_round_trip_or_fail_at_construction(config):
    """Valid configurations survive JSON through both codecs and keep every
    value given; an invalid one raises TypeError or ValueError when the codec
    is built, and the message names a key (or the value) at fault."""
    bad = problems(config)
    for make, cfg in ((Quarnel, config), (QuarnelCodec, {k: v for k, v in config.items() if k != "dtype"})):
        cfg_bad = bad - ({"dtype"} if make is QuarnelCodec else set())
        if cfg_bad:
            with pytest.raises((TypeError, ValueError)) as failure:
                make(**cfg)
            message = str(failure.value)
            assert any(k in message or repr(cfg.get(k)) in message for k in cfg_bad), (message, cfg_bad)
            continue
        codec = make(**cfg)
        if make is Quarnel:
            again = json.loads(json.dumps(codec.get_config()))
            assert numcodecs.get_codec(again) == codec and again == Quarnel.from_config(again).get_config()
            kept = again
        else:
            again = json.loads(json.dumps(codec.to_dict()))
            assert QuarnelCodec.from_dict(again) == codec
            kept = again["configuration"]
        for k, v in cfg.items():
            if v is not None:
                assert kept[k] == v, (k, kept)


# ---------------------------------------------------------------- damaged chunks
#
# Byte ranges of a stream's 52-byte header by what the decoder does with them.
# A stream carries no checksum: only the fields it checks can reveal damage.
CHECKED = [*range(0, 5), 6, 7]  # magic, version, format tag: any change is refused
IGNORED = [5, 15, *range(36, 52)]  # second version byte, reserved bytes
# Method, levels, scale, coder, sample count, range, mean, payload length and
# the payload itself: a change may be refused or may decode to other samples.
UNCHECKED = [*range(8, 15), *range(16, 36)]

damages = st.one_of(
    st.tuples(st.just("truncate"), st.floats(0, 1, exclude_max=True), st.just(0)),
    st.tuples(st.just("empty"), st.just(0.0), st.just(0)),
    st.tuples(st.just("checked"), st.sampled_from(CHECKED), st.integers(1, 255)),
    st.tuples(st.just("ignored"), st.sampled_from(IGNORED), st.integers(1, 255)),
    st.tuples(st.just("append"), st.just(0.0), st.integers(1, 255)),
    st.tuples(st.just("unchecked"), st.sampled_from(UNCHECKED), st.integers(1, 255)),
    st.tuples(st.just("payload"), st.floats(0, 1, exclude_max=True), st.integers(1, 255)),
)


def damage(data, how):
    kind, where, mask = how
    data = bytearray(data)
    if kind == "truncate":
        return bytes(data[: int(where * len(data))])
    if kind == "empty":
        return b""
    if kind == "append":
        return bytes(data) + bytes([mask]) * 5
    at = 52 + int(where * (len(data) - 52)) if kind == "payload" else where
    data[at] ^= mask
    return bytes(data)


CHUNKS = (1, 700)
SIGNAL = np.stack([make_signal(2100, seed=c) for c in range(2)])


@pytest.fixture(scope="module")
def stores(tmp_path_factory):
    made = {}
    for zarr_format in (2, 3):
        path = tmp_path_factory.mktemp("damage") / f"v{zarr_format}.zarr"
        codecs = {"serializer": QuarnelCodec(), "compressors": None} if zarr_format == 3 else {"compressors": Quarnel()}
        array = zarr.create_array(
            path, shape=SIGNAL.shape, chunks=CHUNKS, dtype="float32", zarr_format=zarr_format, **codecs
        )
        array[:] = SIGNAL
        made[zarr_format] = path
    return made, stored(SIGNAL, CHUNKS)


@SMALL
@given(zarr_format=st.sampled_from([2, 3]), row=st.integers(0, 1), col=st.integers(0, 2), how=damages)
def test_damaged_chunk_reads_cleanly_through_zarr(stores, zarr_format, row, col, how):
    """One damaged chunk, every other chunk intact. The trailer's checksum
    covers every byte, the header's ignored ones included, and nothing may
    follow it: whatever the damage, the chunk raises ValueError with the
    codec's message (a header the decoder refuses, or "stream damaged"),
    never other samples. No other exception type ever escapes, and the other
    chunks read back exactly."""
    paths, want = stores
    path = paths[zarr_format]
    chunk = path / "c" / str(row) / str(col) if zarr_format == 3 else path / f"{row}.{col}"
    original = chunk.read_bytes()
    chunk.write_bytes(damage(original, how))
    try:
        array = zarr.open_array(path, mode="r")
        cols = slice(col * CHUNKS[1], (col + 1) * CHUNKS[1])
        with pytest.raises(ValueError) as refused:
            array[row, cols]
        assert str(refused.value).startswith(
            ("stream damaged: ", "Header is invalid", "Magic should be", "Invalid header version",
             "Invalid compression method", "Can't decompress data, reason: ", "Only scaled",
             "Unknown entropy coder", "quarnel")
        ), str(refused.value)
        others = np.ones(SIGNAL.shape, bool)
        others[row, cols] = False
        np.testing.assert_array_equal(_read_others(array, row, col), want[others])
    finally:
        chunk.write_bytes(original)


def _read_others(array, row, col):
    parts = []
    for r in range(SIGNAL.shape[0]):
        for c in range(SIGNAL.shape[1] // CHUNKS[1]):
            if (r, c) != (row, col):
                parts.append(array[r, c * CHUNKS[1] : (c + 1) * CHUNKS[1]])
    return np.concatenate(parts)


# ---------------------------------------------------------------- the command line on damaged files

N = 2000


@pytest.fixture(scope="module")
def originals(tmp_path_factory):
    """One small file of every kind the command line reads."""
    where = tmp_path_factory.mktemp("originals")
    x = make_signal(N)
    sf.write(where / "in.wav", 0.2 * x, 8000, subtype="PCM_16", format="WAV")
    np.save(where / "in.npy", x)
    x.astype("<f8").tofile(where / "in.f64")
    (where / "in.qrnl").write_bytes(quarnel.compress_signal(x))
    assert cli.main(["compress", str(where / "in.npy"), str(where / "in.zarr"), "--chunk", "700", "-q"]) == 0
    return where


def damage_file(path, how):
    kind, where, mask = how
    if kind == "empty":
        path.write_bytes(b"")
    elif kind == "truncate":
        path.write_bytes(path.read_bytes()[: int(where * path.stat().st_size)])
    else:
        data = bytearray(path.read_bytes())
        data[int(where * len(data))] ^= mask
        path.write_bytes(bytes(data))


file_damages = st.one_of(
    st.tuples(st.just("truncate"), st.floats(0, 1, exclude_max=True), st.just(0)),
    st.tuples(st.just("empty"), st.just(0.0), st.just(0)),
    # Most flips land in the headers, where a reader can tell.
    st.tuples(st.just("flip"), st.one_of(st.floats(0, 0.05), st.floats(0, 1, exclude_max=True)), st.integers(1, 255)),
)


@SMALL
@given(
    name=st.sampled_from(["in.wav", "in.npy", "in.f64", "in.qrnl", "in.zarr"]),
    part=st.sampled_from(["zarr.json", "c/0/0", "c/0/2"]),
    out=st.sampled_from(["out.qrnl", "out.zarr"]),
    info=st.booleans(),
    how=file_damages,
)
@example(name="in.npy", part="c/0/0", out="out.qrnl", info=False, how=("flip", 0.001, 64))  # a tokenizer error
def test_command_line_on_damaged_files(originals, capsys, name, part, out, info, how):
    """compress (WAV, NPY, raw), decompress or info (.qrnl, .zarr) on a
    damaged file: status 0 with OUT complete, or status 2 with one line
    ``quarnel: ...`` on stderr and nothing left behind; never a traceback.
    An empty or truncated file always fails, except a WAV or raw file cut
    into fewer whole samples, and a store's chunk under ``info``, which does
    not decode chunks."""
    work = Path(tempfile.mkdtemp())
    try:
        src = work / name
        (shutil.copytree if name == "in.zarr" else shutil.copyfile)(originals / name, src)
        damage_file(src / part if name == "in.zarr" else src, how)
        info = info and name in ("in.qrnl", "in.zarr")
        if info:
            argv, out = ["info", src], None
        elif name in ("in.qrnl", "in.zarr"):
            argv, out = ["decompress", src, work / "out.npy", "-q"], work / "out.npy"
        else:
            argv, out = ["compress", src, work / out, "-q"], work / out
            argv += ["--dtype", "float64"] if name == "in.f64" else []
        before = sorted(os.listdir(work))
        status = cli.main([str(a) for a in argv])
        stdout, stderr = capsys.readouterr()
        assert status in (0, 2) and (stdout == "" or info and status == 0), (status, stderr)
        cut = how[0] == "empty" or how[0] == "truncate" and name not in ("in.wav", "in.f64")
        must_fail = cut and not (info and name == "in.zarr" and part != "zarr.json")
        if status == 2:
            assert stderr.count("\n") == 1 and stderr.startswith("quarnel: ") and "Traceback" not in stderr
            assert sorted(os.listdir(work)) == before
        else:
            assert not must_fail, "damage went unnoticed"
            assert stderr == "" and sorted(os.listdir(work)) == sorted(before + ([out.name] if out else []))
    finally:
        shutil.rmtree(work)
