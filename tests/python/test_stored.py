"""What is stored comes back: masks for fill values and non-finite samples,
the bound on edge chunks and unwritten regions, and damaged streams refused."""

import zlib

import numpy as np
import pytest

import quarnel
import quarnel_tools

from conftest import make_signal

zarr = pytest.importorskip("zarr")
from quarnel_tools.numcodecs import Quarnel  # noqa: E402
from quarnel_tools.zarr import QuarnelCodec  # noqa: E402


def same(a, b):
    """Equal values, NaN equal to NaN."""
    return np.array_equal(a, b, equal_nan=True)


@pytest.mark.parametrize("fill", [-9999.0, np.nan, 0.0])
@pytest.mark.parametrize("n, chunk", [(70_000, 65_536), (3_000, 1_024)])
@pytest.mark.parametrize("target", [{"rel_error": 1e-3}, {"max_error": 5e-3}, {"psnr": 50.0}])
def test_edge_chunk_padding_neither_widens_nor_costs_the_bound(fill, n, chunk, target):
    x = make_signal(n, seed=n)
    a = zarr.create_array(zarr.storage.MemoryStore(), shape=(n,), chunks=(chunk,), dtype="float32",
                          fill_value=fill, serializer=QuarnelCodec(**target), compressors=None)
    a[:] = x
    err = a[:].astype(np.float64) - x
    span = float(x.max() - x.min())
    for start in range(0, n, chunk):
        part = err[start : start + chunk]
        if "psnr" in target:
            assert 20 * np.log10(span / np.sqrt(np.mean(part**2))) >= target["psnr"] - 0.5
        else:
            piece = x[start : start + chunk]
            bound = target.get("max_error") or 1e-3 * float(piece.max() - piece.min())
            assert np.abs(part).max() <= bound


@pytest.mark.parametrize("target", [{"rel_error": 1e-3}, {"psnr": 60.0}])
def test_zarr_v2_relative_targets_need_the_arrays_fill_value(target):
    # Zarr v2 pads the edge chunk with the array's fill value before the
    # codec sees it: untold, the padding would widen the chunk's range.
    x = (290 + 5 * make_signal(5000) / np.abs(make_signal(5000)).max()).astype(np.float32)
    for told in (False, True):
        codec = Quarnel(**target, **({"fill_value": -9999.0} if told else {}))
        a = zarr.create_array(zarr.storage.MemoryStore(), shape=x.shape, chunks=(2048,), dtype="float32",
                              fill_value=-9999.0, zarr_format=2, compressors=codec)
        if not told:
            with pytest.raises(ValueError, match="configure fill_value, the array's"):
                a[:] = x
            continue
        a[:] = x
        edge, err = x[4096:], a[4096:].astype(np.float64) - x[4096:]
        span = float(edge.max()) - float(edge.min())
        if "rel_error" in target:
            assert np.abs(err).max() <= 1e-3 * span
        else:
            assert 20 * np.log10(span / np.sqrt(np.mean(err**2))) >= 60


@pytest.mark.parametrize("fill", [np.nan, -9999.0, 0.0])
@pytest.mark.parametrize("zarr_format", [2, 3])
def test_unwritten_samples_read_back_as_the_fill_value(fill, zarr_format):
    codec = {"serializer": QuarnelCodec(max_error=5e-3), "compressors": None} if zarr_format == 3 else {
        "compressors": Quarnel(max_error=5e-3, fill_value=fill)}
    x = make_signal(5000)
    a = zarr.create_array(zarr.storage.MemoryStore(), shape=(5000,), chunks=(4096,), dtype="float32",
                          fill_value=fill, zarr_format=zarr_format, **codec)
    a[:1000] = x[:1000]
    y = a[:]
    assert same(y[1000:], np.full(4000, fill, np.float32))
    assert np.abs(y[:1000] - x[:1000]).max() <= 5e-3


def chunk_bytes(a):
    store = a.store._store_dict
    return {k: bytes(v.to_bytes()) for k, v in store.items() if not k.endswith((".json", ".zarray", ".zattrs"))}


@pytest.mark.parametrize("zarr_format", [2, 3])
@pytest.mark.parametrize("dtype", ["float32", "float64"])
@pytest.mark.parametrize("fill", [np.nan, 0.0])
def test_chunks_written_back_unchanged_keep_their_bytes(zarr_format, dtype, fill):
    x = make_signal(10_000, seed=3, dtype=dtype)
    x[2000:2100] = np.nan
    bound = 1e-3 * float(np.nanmax(x) - np.nanmin(x))
    codec = {"serializer": QuarnelCodec(max_error=bound), "compressors": None} if zarr_format == 3 else {
        "compressors": Quarnel(max_error=bound, dtype=dtype, fill_value=fill)}
    a = zarr.create_array(zarr.storage.MemoryStore(), shape=x.shape, chunks=(4096,), dtype=dtype,
                          fill_value=fill, zarr_format=zarr_format, **codec)
    a[:] = x
    first, y = chunk_bytes(a), a[:]
    for _ in range(3):
        a[:] = a[:]
        a[5000:6000] = a[5000:6000]
    assert chunk_bytes(a) == first
    assert same(a[:], y)
    assert np.nanmax(np.abs(y - x)) <= bound


def test_a_checksum_collision_never_writes_another_chunk(monkeypatch):
    codec = Quarnel(rel_error=1e-3, fill_value=np.nan)
    x = make_signal(5000)
    stream = codec.encode(x)
    decoded = codec.decode(stream)
    assert codec.encode(decoded) == stream
    # Every checksum the same: the remembered stream is a mere candidate.
    monkeypatch.setattr(quarnel_tools._native, "crc32", lambda data: 0)
    codec.decode(stream)
    other = decoded.copy()
    other[100] += 0.5
    assert np.abs(codec.decode(codec.encode(other)) - other).max() <= 1e-3 * float(other.max() - other.min())


@pytest.mark.parametrize(
    "config",
    [{"max_error": 1e-3, "trailer": False}, {"max_error": 1e-3, "corrections": False}, {"scale": 9},
     {"max_error": 2e-3}, {"psnr": 60.0}],
)
def test_a_remembered_stream_is_written_only_by_settings_that_could_write_it(config):
    # A default stream, read by a codec of other settings, is no stream of theirs.
    x = make_signal(5000)
    x[[50, 60]] = np.nan
    stream = Quarnel(max_error=1e-3).encode(x)
    assert quarnel_tools.read_trailer(stream).corrected > 0
    other = Quarnel(**config, **({"fill_value": np.nan} if "psnr" in config else {}))
    decoded = other.decode(stream)
    assert other.encode(decoded) == other.settings.compress(decoded, fill_value=other._fill_value)


def test_the_memory_of_streams_holds_no_more_than_its_budget(monkeypatch):
    import tracemalloc

    from quarnel_tools import _recent

    budget = 2 << 20
    monkeypatch.setattr(_recent, "_streams", _recent._Streams(budget))
    codec = Quarnel()
    rng = np.random.default_rng(0)
    streams = [codec.encode(rng.standard_normal(16).astype(np.float32)) for _ in range(20_000)]
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for stream in streams:
            codec.decode(stream)
        held = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert held <= budget


def scattered(dtype, seed):
    """A signal with NaN (one with a payload), infinities, and samples equal
    to a fill value of 0 (-0.0 among them) at random places, a fill outside
    the signal's range, which is masked wherever it is."""
    rng = np.random.default_rng(seed)
    x = make_signal(3000, seed=seed, dtype=dtype) + dtype(10)
    special = np.array([np.nan, np.inf, -np.inf, -0.0, 0.0], dtype)
    at = rng.choice(x.size, 300, replace=False)
    x[at] = special[rng.integers(0, special.size, at.size)]
    payload_nan = np.array([0x7FC00123], np.uint32).view(np.float32)[0]
    x[at[0]] = payload_nan.astype(dtype) if dtype == np.float32 else np.float64(payload_nan)
    return x, at


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("how", ["fixed", "bounded", "numcodecs", "zarr"])
def test_masked_samples_come_back_bit_for_bit(dtype, seed, how):
    x, at = scattered(dtype, seed)
    if how == "fixed":
        y = quarnel_tools.decompress(quarnel_tools.compress(x, fill_value=0.0), dtype=dtype)
    elif how == "bounded":
        y = quarnel_tools.decompress(quarnel_tools.compress(x, max_error=5e-3, fill_value=0.0), dtype=dtype)
    elif how == "numcodecs":
        codec = Quarnel(max_error=5e-3, fill_value=0.0, dtype=np.dtype(dtype).name)
        y = codec.decode(codec.encode(x))
    else:
        a = zarr.create_array(zarr.storage.MemoryStore(), shape=x.shape, chunks=(1024,), dtype=dtype,
                              fill_value=0.0, serializer=QuarnelCodec(max_error=5e-3), compressors=None)
        a[:] = x
        y = a[:]
    assert y.dtype == dtype
    np.testing.assert_array_equal(y[at].view(np.uint8), x[at].view(np.uint8))  # bits, NaN payloads included
    rest = np.ones(x.size, bool)
    rest[at] = False
    if how != "fixed":
        assert np.abs(y[rest].astype(np.float64) - x[rest]).max() <= 5e-3


@pytest.mark.parametrize("coder", ["deflate", "arans"])
def test_every_single_bit_flip_is_refused(coder):
    x = make_signal(200)
    x[50] = np.nan
    stream = quarnel_tools.compress(x, max_error=1e-2, coder=coder)
    for bit in range(8 * len(stream)):
        damaged = bytearray(stream)
        damaged[bit // 8] ^= 1 << (bit % 8)
        with pytest.raises(ValueError):
            quarnel_tools.decompress(bytes(damaged))
    # A decoder of the format reads the stream as the bare one.
    bare = quarnel_tools.compress(x, max_error=1e-2, coder=coder, trailer=False)
    assert stream.startswith(bare)
    assert same(quarnel.decompress_signal(stream), quarnel.decompress_signal(bare))


def test_a_source_format_that_is_not_utf8_is_refused_by_every_reader():
    meta = quarnel_tools.Metadata(source_format="PCM_24")
    stream = bytearray(quarnel_tools.compress(make_signal(100), metadata=meta))
    at = bytes(stream).index(b"PCM_24")
    stream[at + 5] = 0xFF
    stream[-4:] = zlib.crc32(bytes(stream[:-4])).to_bytes(4, "little")
    for read in (quarnel_tools.read_trailer, quarnel_tools.decompress):
        with pytest.raises(ValueError, match="source format that is not UTF-8"):
            read(bytes(stream))


def test_a_trailer_records_what_a_file_needs():
    x = make_signal(1000)
    meta = quarnel_tools.Metadata(sample_rate=48000.0, channels=1, source_format="PCM_24")
    stream, result = quarnel_tools.compress_bounded(x, psnr=60.0, metadata=meta)
    trailer = quarnel_tools.read_trailer(stream)
    assert (trailer.sample_rate, trailer.channels, trailer.source_format) == (48000.0, 1, "PCM_24")
    assert trailer.target == ("psnr", 60.0, result.max_error, result.psnr)
    assert trailer.signal_range == (float(x.min()), float(x.max()))
    assert quarnel_tools.read_trailer(quarnel_tools.compress(x, trailer=False)) is None
    with pytest.raises(TypeError, match="trailer=True"):
        quarnel_tools.compress(x, trailer=False, fill_value=0.0)
