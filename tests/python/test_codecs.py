"""The numcodecs and Zarr v3 codecs: the module's streams chunk by chunk,
configurations that round-trip, registration in a fresh process, and damaged
chunks refused."""

import json
import subprocess
import sys
import textwrap

import numpy as np
import pytest

numcodecs = pytest.importorskip("numcodecs")
zarr = pytest.importorskip("zarr")

import quarnel  # noqa: E402
import quarnel_tools  # noqa: E402
from quarnel_tools.numcodecs import Quarnel  # noqa: E402
from quarnel_tools.zarr import QuarnelCodec  # noqa: E402

from conftest import make_signal, stored  # noqa: E402


def module_round_trip(samples, options=None):
    return quarnel.decompress_signal(quarnel.compress_signal(np.asarray(samples, np.float32), options))


@pytest.mark.parametrize("shape", [(1000,), (20, 50), (2, 3, 70)])
@pytest.mark.parametrize("dtype", ["float32", "float64"])
@pytest.mark.parametrize("layout", ["C", "F", "strided"])
def test_numcodecs_chunk_is_one_signal_in_memory_order(shape, dtype, layout):
    codec = Quarnel(method="db4", scale=10, dtype=dtype)
    x = make_signal(2 * int(np.prod(shape)), dtype=dtype)
    if layout == "strided":
        x = x[::2].reshape(shape)
        flat = x.ravel(order="C")
    else:
        x = np.asarray(x[: int(np.prod(shape))].reshape(shape), order=layout)
        flat = x.ravel(order="K")
    options = quarnel.QrnlCompressionOptions("db4", 10)
    stream = codec.encode(x)
    module_stream = quarnel.compress_signal(flat, options)
    assert stream[: len(module_stream)] == module_stream  # then the trailer
    y = codec.decode(stream)
    assert y.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(y, module_round_trip(flat, options).astype(dtype))


@pytest.mark.parametrize(
    "target, met",
    [
        ({"max_error": 2e-3}, lambda err, span: np.abs(err).max() <= 2e-3),
        ({"rel_error": 1e-3, "method": "sym4"}, lambda err, span: np.abs(err).max() <= 1e-3 * span),
        ({"psnr": 50.0, "coder": "deflate"}, lambda err, span: 20 * np.log10(span / np.sqrt(np.mean(err**2))) >= 50),
    ],
)
def test_targets_hold_for_each_chunk(target, met):
    x = make_signal(6000).reshape(2, 3000)
    codec = Quarnel(**target, fill_value=np.nan)
    stream = codec.encode(x)
    assert stream == quarnel_tools.compress(x.ravel(), **target, fill_value=np.nan)
    err = codec.decode(stream).astype(np.float64) - x.ravel()
    assert met(err, float(x.max() - x.min()))


@pytest.mark.parametrize(
    "dtype, out",
    [
        ("float32", np.empty(600, np.float32)),
        ("float32", np.empty((20, 30), np.float64)),
        ("float32", np.empty((30, 20), np.float16)),
        # numcodecs' helpers pass byte buffers: samples of the codec's type.
        ("float32", bytearray(600 * 4)),
        ("float64", np.empty(600 * 8, np.uint8)),
    ],
)
def test_numcodecs_decode_fills_out(dtype, out):
    x = make_signal(600)
    codec = Quarnel(dtype=dtype)
    assert codec.decode(codec.encode(x.astype(dtype)), out=out) is not None
    filled = out.ravel() if isinstance(out, np.ndarray) and out.dtype.kind == "f" else np.frombuffer(out, dtype)
    np.testing.assert_array_equal(filled, module_round_trip(x).astype(filled.dtype))


def refuse_to_decode(monkeypatch):
    def decompress(*args, **kwargs):
        raise AssertionError("decoded a stream whose header was enough to refuse it")

    monkeypatch.setattr(quarnel_tools, "decompress", decompress)


def read_v3_chunk(tmp_path, stream):
    a = zarr.create_array(tmp_path / "s.zarr", shape=(1000,), serializer=QuarnelCodec(), compressors=None, dtype="f4")
    a[:] = make_signal(1000)
    (tmp_path / "s.zarr" / "c" / "0").write_bytes(stream)
    return a[:]


@pytest.mark.parametrize(
    "read, words",
    [
        (lambda p, s: Quarnel().decode(s, out=np.empty(599, np.float32)), "600 samples, but out has room for 599"),
        (lambda p, s: Quarnel().decode(s, out=bytearray(4 * 601)), "600 samples, but out has room for 601"),
        (lambda p, s: Quarnel(dtype="float64").decode(s), "600 samples, more than a float64 array can hold"),
        (lambda p, s: read_v3_chunk(p, s), "holds 600 samples, expected 1000"),
    ],
)
def test_sample_count_is_refused_from_the_header(tmp_path, monkeypatch, read, words):
    stream = quarnel.compress_signal(make_signal(600))
    # As if the platform's arrays held 599 float64 samples at most.
    monkeypatch.setattr(quarnel_tools.numcodecs, "_LARGEST_ARRAY_BYTES", 599 * 8, raising=False)
    refuse_to_decode(monkeypatch)
    with pytest.raises(ValueError, match=words):
        read(tmp_path, stream)


@pytest.mark.parametrize(
    "call, error, words",
    [
        (lambda c, s: c.decode(s, out=bytearray(4 * 600 + 2)), ValueError, "not a whole number of float32"),
        (lambda c, s: c.decode(s, out=np.empty(600, np.int32)), TypeError, "int32"),
        (lambda c, s: c.encode(np.zeros(10, np.float64)), TypeError, "dtype='float64'"),
        (lambda c, s: c.encode(np.zeros(10, np.int16)), TypeError, "int16"),
        (lambda c, s: c.decode(s[:-3]), ValueError, None),
        (lambda c, s: c.decode(b"QRNL" + s[4:20]), ValueError, "Header"),
    ],
)
def test_numcodecs_misuse_and_damage_raise(call, error, words):
    codec = Quarnel()
    with pytest.raises(error, match=words):
        call(codec, codec.encode(make_signal(600)))


CONFIGS = [
    {},
    {"method": "sym4", "scale": 7, "cutoff": "high", "coder": "deflate"},
    {"max_error": 0.001},
    {"rel_error": 1e-4, "method": "cdf53"},
    {"psnr": 60.0, "coder": "arans"},
    {"coder": "deflate", "deflate_level": 1, "scale": 9, "method": "cdf97", "cutoff": "low"},
    {"max_error": 0.01, "coder": "deflate", "deflate_level": 12},
    {"rel_error": 1e-3, "corrections": False},
]


@pytest.mark.parametrize("config", CONFIGS)
def test_configurations_round_trip(config):
    codec = numcodecs.get_codec({"id": "quarnel", **config})
    assert isinstance(codec, Quarnel)
    again = json.loads(json.dumps(codec.get_config()))
    assert numcodecs.get_codec(again) == codec and repr(Quarnel.from_config(again)) == repr(codec)
    assert {k: again[k] for k in config} == config
    v3 = QuarnelCodec(**config)
    assert QuarnelCodec.from_dict(json.loads(json.dumps(v3.to_dict()))) == v3
    assert v3.to_dict()["configuration"] == {k: v for k, v in again.items() if k not in ("id", "dtype")}


@pytest.mark.parametrize("make", [Quarnel, QuarnelCodec])
@pytest.mark.parametrize(
    "config, error, words",
    [
        ({"max_error": 1e-3, "psnr": 40}, TypeError, "at most one error target"),
        ({"psnr": 40, "scale": 9}, ValueError, "scale cannot be combined"),
        ({"scale": 13}, ValueError, "Only scaled 6..12"),
        ({"method": "CDF97"}, ValueError, "Unknown method"),
        ({"cutoff": "lowest"}, ValueError, "Unknown cutoff"),
        ({"coder": "zip", "max_error": 1.0}, ValueError, "Unknown coder"),
        ({"max_error": -1.0}, ValueError, "finite number >= 0"),
        ({"psnr": float("nan")}, ValueError, "finite number of dB"),
        ({"psnr": "60"}, TypeError, "number"),
        ({"level": 3}, TypeError, r"Quarnel(Codec)?\.__init__\(\) got an unexpected keyword argument 'level'"),
        ({"deflate_level": 0}, ValueError, "DEFLATE level must be 1 to 12, but it was 0"),
        ({"deflate_level": 2**70}, ValueError, "DEFLATE level must be 1 to 12"),
        ({"deflate_level": True}, TypeError, "deflate_level must be an int"),
        ({"max_error": 1.0, "corrections": 0}, TypeError, "corrections must be a bool"),
    ],
)
def test_bad_configurations_raise_at_construction(make, config, error, words):
    with pytest.raises(error, match=words):
        make(**config)


@pytest.mark.parametrize(
    "target",
    [{"max_error": -1e-9}, {"max_error": 0.0}, {"rel_error": float("inf")}, {"rel_error": 0},
     {"psnr": -5.0}, {"psnr": float("-inf")}, {"psnr": 40}],
)
def test_codecs_take_a_target_as_compress_does(target):
    """One rule for a target: the codecs refuse at construction exactly the
    targets compress refuses before it codes, with its message."""
    try:
        quarnel_tools.compress(make_signal(500), **target)
        refused = None
    except ValueError as e:
        refused = str(e) if "Unsupported compression configuration" in str(e) else None
    for make in (Quarnel, QuarnelCodec):
        if refused is None:
            assert make(**target) == make(**target)
        else:
            with pytest.raises(ValueError) as failure:
                make(**target)
            assert str(failure.value) == refused


def numcodecs_round_trip(tmp_path, x, config):
    codec = Quarnel(dtype="float64", **config)
    return codec.decode(codec.encode(x))


def zarr_round_trip(tmp_path, x, config):
    a = zarr.create_array(tmp_path / "f.zarr", shape=x.shape, dtype="float64", serializer=QuarnelCodec(**config),
                          compressors=None, overwrite=True)
    a[:] = x
    return a[:]


def tools_round_trip(tmp_path, x, config):
    return quarnel_tools.decompress(quarnel_tools.compress(x, **config), dtype=np.float64)


FLOAT64_WRITERS = [numcodecs_round_trip, zarr_round_trip, tools_round_trip]


# compress without a target is checked in test_tools.py.
@pytest.mark.parametrize(
    "write, config",
    [
        (numcodecs_round_trip, {}),
        (numcodecs_round_trip, {"max_error": 1e-3}),
        (zarr_round_trip, {}),
        (zarr_round_trip, {"max_error": 1e-3}),
        (tools_round_trip, {"max_error": 1e-3}),
    ],
    ids=["numcodecs", "numcodecs-target", "zarr", "zarr-target", "compress-target"],
)
def test_float64_beyond_float32_is_refused_by_every_writer(tmp_path, write, config):
    x = np.array([0.0, 1.0, 1e300, 2.0] * 10)
    with pytest.raises(ValueError, match=r"sample 2 holds 1e\+300, beyond the float32 range"):
        write(tmp_path, x, config)


@pytest.mark.parametrize("write", FLOAT64_WRITERS, ids=["numcodecs", "zarr", "compress"])
def test_float64_targets_are_measured_against_the_float64_values(tmp_path, write):
    # Detail below float32's step near 1000 (6.1e-5): 1e-5 is out of reach.
    x = 1000.0 + 1e-3 * np.sin(0.01 * np.arange(5000))
    prefix = "Can't meet max error 1e-05: the tightest this signal allows is "
    with pytest.raises(ValueError, match=prefix) as refused:
        write(tmp_path, x, {"max_error": 1e-5})
    tightest = float(str(refused.value)[len(prefix):])
    assert np.abs(write(tmp_path, x, {"max_error": tightest}) - x).max() <= tightest


def test_codecs_name_their_settings():
    import inspect

    from quarnel_tools._settings import Configured

    def parameters(call):
        return {(p.name, p.default) for p in inspect.signature(call).parameters.values()}

    assert parameters(QuarnelCodec) == parameters(Configured)
    assert parameters(Quarnel) == parameters(Configured) | {("dtype", "float32"), ("fill_value", None)}


@pytest.mark.parametrize("dtype", [">f4", ">f8"])
def test_zarr_big_endian_arrays_are_written_and_read(dtype):
    x = make_signal(3000).astype(dtype)
    a = zarr.create_array(zarr.storage.MemoryStore(), shape=x.shape, chunks=(1000,), dtype=dtype,
                          serializer=QuarnelCodec(max_error=1e-3), compressors=None)
    a[:] = x
    assert a[:].dtype == np.dtype(dtype)
    assert np.abs(a[:].astype(np.float64) - x).max() <= 1e-3


def test_zarr_refuses_integer_arrays(tmp_path):
    with pytest.raises(ValueError, match="float32 or float64"):
        zarr.create_array(tmp_path / "a.zarr", shape=(10,), dtype="int16", serializer=QuarnelCodec(), compressors=None)


@pytest.mark.parametrize("config", [{"scale": 10}, {"psnr": 50.0}])
def test_zarr_chunks_run_one_thread_each(tmp_path, monkeypatch, config):
    """zarr's pool runs chunks side by side; codec threads on top of it only
    oversubscribe the cores."""
    import quarnel_tools._native as native

    threads = []
    for name, at in (("compress", 2), ("compress_bounded", 5), ("decompress", 1)):
        call = getattr(native, name)

        def counted(*args, _call=call, _at=at):
            threads.append(args[_at])
            return _call(*args)

        monkeypatch.setattr(native, name, counted)
    x = make_signal(8000)
    array = zarr.create_array(
        tmp_path / "a.zarr", shape=x.shape, chunks=(2000,), dtype="float32",
        serializer=QuarnelCodec(**config), compressors=None,
    )
    array[:] = x
    array[:]
    assert threads and set(threads) == {1}


def rows(channels=2, n=5000):
    return np.stack([make_signal(n, seed=c) for c in range(channels)])


@pytest.mark.parametrize(
    "kwargs",
    [
        {"zarr_format": 3, "serializer": QuarnelCodec(method="cdf53", scale=10), "compressors": None},
        {"zarr_format": 2, "compressors": Quarnel(method="cdf53", scale=10, dtype="float32")},
        {"zarr_format": 2, "compressors": Quarnel(method="cdf53", scale=10, dtype="float64"), "dtype": "float64"},
        {"zarr_format": 2, "compressors": Quarnel(method="cdf53", scale=10), "order": "F", "chunks": (2, 1500)},
    ],
    ids=["v3", "v2", "v2-float64", "v2-F"],
)
def test_zarr_arrays_read_back_in_a_new_process(tmp_path, kwargs):
    kwargs = {"dtype": "float32", "chunks": (1, 1500), **kwargs}
    x = rows().astype(kwargs["dtype"])
    store = tmp_path / "s.zarr"
    zarr.create_array(store, shape=x.shape, **kwargs)[:] = x
    # Neither quarnel_tools nor the codec is imported by the reader: zarr finds
    # them through the entry points.
    script = f"import sys, numpy, zarr; numpy.save(sys.argv[1], zarr.open_array({str(store)!r})[:])"
    subprocess.run([sys.executable, "-c", script, str(tmp_path / "y.npy")], check=True, cwd=tmp_path)
    y = np.load(tmp_path / "y.npy")
    assert y.dtype == x.dtype
    order = kwargs.get("order", "C")
    # Zarr v3 hands the codec the fill value; the v2 codec masks none unless configured.
    fill = 0.0 if kwargs["zarr_format"] == 3 else None
    want = stored(x, kwargs["chunks"], quarnel.QrnlCompressionOptions("cdf53", 10), order, fill)
    np.testing.assert_array_equal(y, want.astype(x.dtype))


def test_zarr_codec_by_name_in_a_new_process(tmp_path):
    store = tmp_path / "s.zarr"
    script = textwrap.dedent(
        f"""
        import numpy, zarr
        a = zarr.create_array({str(store)!r}, shape=(3000,), chunks=(1000,), dtype="float32", compressors=None,
                              serializer={{"name": "quarnel", "configuration": {{"scale": 9, "coder": "deflate"}}}})
        a[:] = numpy.load({str(tmp_path / "x.npy")!r})
        """
    )
    x = make_signal(3000)
    np.save(tmp_path / "x.npy", x)
    subprocess.run([sys.executable, "-c", script], check=True, cwd=tmp_path)
    a = zarr.open_array(store)
    assert a.metadata.codecs == (QuarnelCodec(scale=9, coder="deflate"),)
    options = quarnel.QrnlCompressionOptions(scale=9, coder="deflate")
    np.testing.assert_array_equal(a[:], stored(x[None], (1, 1000), options)[0])


@pytest.mark.parametrize("damage", ["truncate", "magic", "length", "empty", "cut at the payload"])
@pytest.mark.parametrize("zarr_format", [2, 3])
def test_damaged_zarr_chunks_raise(tmp_path, damage, zarr_format):
    store = tmp_path / "s.zarr"
    codecs = {"serializer": QuarnelCodec(), "compressors": None} if zarr_format == 3 else {"compressors": Quarnel()}
    a = zarr.create_array(store, shape=(2, 3000), chunks=(1, 1000), dtype="float32", zarr_format=zarr_format, **codecs)
    a[:] = rows(2, 3000)
    chunk = store / "c" / "1" / "2" if zarr_format == 3 else store / "1.2"
    data = chunk.read_bytes()
    chunk.write_bytes(
        {
            "truncate": data[: len(data) // 2],
            "magic": b"XXXX" + data[4:],
            "length": quarnel.compress_signal(make_signal(999)),
            "empty": b"",
            # The trailer gone whole: a codec that writes one refuses the bare stream.
            "cut at the payload": data[: 52 + quarnel_tools.inspect(data).payload_length],
        }[damage]
    )
    np.testing.assert_array_equal(a[0, :], stored(rows(2, 3000)[:1], (1, 1000))[0])
    with pytest.raises(ValueError) as failure:
        a[1, :]
    if damage == "length" and zarr_format == 3:
        assert "holds 999 samples, expected 1000" in str(failure.value)
