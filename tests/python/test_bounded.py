"""quarnel_tools with an error target, and inspect: the bound holds on what
the trailer's readers decode, and readers of the bare stream see what the
trailer says they do."""

import math
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quarnel
import quarnel_tools
from quarnel import QrnlCompressionOptions

from conftest import make_signal

ECG_FILE = Path("/usr/lib/python3/dist-packages/scipy/misc/ecg.dat")


def signal_of(kind, n, seed):
    rng = np.random.default_rng(seed)
    if kind == "walk":
        x = np.cumsum(rng.standard_normal(n))
    elif kind == "steps":
        x = np.repeat(rng.integers(-5, 5, n // 50 + 1), 50)[:n] + 0.01 * rng.standard_normal(n)
    elif kind == "noise":
        x = rng.standard_normal(n) * 10
    elif kind == "constant":
        x = np.full(n, 7.25)
    else:  # "sine", "nan-laced"
        x = make_signal(n, seed).astype(np.float64)
        if kind == "nan-laced":
            x[:: max(1, n // 7)] = np.nan
            x[1::11] = np.inf
    return x.astype(np.float32)


def check(x, stream, **target):
    y = quarnel_tools.decompress(stream).astype(np.float64)
    bare = quarnel.decompress_signal(stream).astype(np.float64)
    assert y.shape == bare.shape == x.shape
    assert np.isfinite(bare).all()
    finite = np.isfinite(x)
    if not finite.any():
        return
    e = np.abs(y[finite] - x[finite].astype(np.float64))
    # Only the corrections move samples (and the grid, when there is one),
    # and a bare reader sees the error the trailer gives for it.
    trailer = quarnel_tools.read_trailer(stream)
    corrected = 0 if trailer is None else trailer.corrected
    if trailer is None or trailer.grid is None:
        assert np.count_nonzero(bare[finite] != y[finite]) == corrected
    if corrected or (trailer is not None and trailer.grid is not None):
        assert np.abs(bare[finite] - x[finite]).max() == trailer.uncorrected_error
    value_range = float(x[finite].max()) - float(x[finite].min())
    if "max_error" in target:
        assert e.max() <= target["max_error"]
    elif "rel_error" in target:
        assert e.max() <= target["rel_error"] * value_range
    else:
        rmse = math.sqrt(float(np.mean(e * e)))
        assert rmse == 0 or 20 * math.log10(value_range / rmse) >= target["psnr"]


@settings(max_examples=30, deadline=None)
@given(
    kind=st.sampled_from(["walk", "steps", "noise", "constant", "sine", "nan-laced"]),
    n=st.integers(1, 3000),
    seed=st.integers(0, 2**32 - 1),
    target=st.sampled_from([("max_error", 0.2), ("rel_error", 2e-3), ("psnr", 45.0), ("psnr", 70.0)]),
    dtype=st.sampled_from([np.float32, np.float64]),
)
def test_bound_holds_on_every_signal_kind(kind, n, seed, target, dtype):
    x = signal_of(kind, n, seed)
    target = dict([target])
    check(x, quarnel_tools.compress(x.astype(dtype), **target), **target)


@pytest.mark.skipif(not ECG_FILE.exists(), reason="Debian's python3-scipy is not installed")
@pytest.mark.parametrize("target", [{"psnr": 40.0}, {"psnr": 60.0}, {"max_error": 0.01}])
def test_bound_holds_on_a_recording(target):
    with np.load(ECG_FILE) as archive:
        x = ((archive["ecg"].astype(np.int64) - 1024) / 200.0).astype(np.float32)
    check(x, quarnel_tools.compress(x, **target), **target)


@pytest.mark.parametrize("method", ["cdf97", "cdf53", "db4", "sym4", None])
@pytest.mark.parametrize("coder", ["deflate", "arans", "auto", None])
def test_results_report_the_stream(method, coder):
    x = make_signal(5000, seed=3)
    stream, result = quarnel_tools.compress_bounded(x, rel_error=1e-3, method=method, coder=coder, threads=1)
    check(x, stream, rel_error=1e-3)
    info = quarnel_tools.inspect(stream)
    assert (info.method, info.levels, info.scale, info.coder) == (
        result.method, result.levels, result.scale, result.coder)
    assert result.size == len(stream) > 52 + info.payload_length
    assert quarnel_tools.read_trailer(stream).target == ("rel_error", 1e-3, result.max_error, result.psnr)
    bare, _ = quarnel_tools.compress_bounded(x, rel_error=1e-3, method=method, coder=coder, trailer=False)
    strict, _ = quarnel_tools.compress_bounded(x, rel_error=1e-3, method=method, coder=coder, corrections=False)
    assert bare == strict[: len(bare)] and len(bare) == 52 + quarnel_tools.inspect(strict).payload_length
    assert result.method == (method or result.method)
    assert result.coder == (coder if coder in ("deflate", "arans") else result.coder)
    y = quarnel_tools.decompress(stream)
    assert result.max_error == float(np.max(np.abs(y.astype(np.float64) - x)))
    assert quarnel_tools.compress(x, rel_error=1e-3, method=method, coder=coder) == stream


@pytest.mark.parametrize(
    "target, message",
    [
        ({"max_error": 1e-9}, "Can't meet max error 1e-09: the tightest this signal allows is "),
        ({"rel_error": 1e-8}, "Can't meet relative error 1e-08: the tightest this signal allows is "),
        ({"psnr": 150}, "Can't meet PSNR 150 dB: the highest this signal allows is "),
    ],
)
def test_unreachable_target_names_the_tightest(target, message):
    x = make_signal(2000)
    with pytest.raises(ValueError) as refused:
        quarnel_tools.compress(x, **target)
    text = str(refused.value)
    assert text.startswith(message)
    tightest = float(text[len(message):].split()[0])
    (key,) = target
    check(x, quarnel_tools.compress(x, **{key: tightest}), **{key: tightest})


X = make_signal(100)


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        ({"max_error": 1.0, "psnr": 40.0}, TypeError, "at most one error target"),
        ({"options": QrnlCompressionOptions(), "psnr": 40.0}, TypeError, "options and an error target"),
        ({"method": "db4"}, TypeError, "go with an error target"),
        ({"coder": "arans"}, TypeError, "go with an error target"),
        ({"psnr": "40"}, TypeError, "psnr must be a number"),
        ({"max_error": True}, TypeError, "max_error must be a number"),
        ({"psnr": 40.0, "method": "CDF97"}, ValueError, "Unknown method"),
        ({"psnr": 40.0, "coder": "zstd"}, ValueError, "Unknown coder"),
        ({"max_error": -1.0}, ValueError, "finite number >= 0"),
        ({"psnr": float("nan")}, ValueError, "finite number of dB"),
    ],
)
def test_argument_errors(kwargs, error, match):
    with pytest.raises(error, match=match):
        quarnel_tools.compress(X, **kwargs)


def test_compress_bounded_needs_a_target_and_refuses_what_compress_signal_refuses():
    with pytest.raises(TypeError):
        quarnel_tools.compress_bounded(X)
    for bad in (np.zeros(0, np.float32), np.zeros((2, 2), np.float32), X[::2]):
        with pytest.raises((TypeError, ValueError)) as expected:
            quarnel.compress_signal(bad)
        with pytest.raises(expected.type, match=str(expected.value)):
            quarnel_tools.compress(bad, psnr=40.0)


@pytest.mark.parametrize("target", [{"max_error": 2e-3}, {"rel_error": 5e-4}, {"psnr": 70.0}])
def test_float64_input_is_measured_against_its_float64_values(target):
    # Detail float32 cannot hold: its step near 1000 is 6e-5.
    x = 1000.0 + make_signal(3000, seed=5).astype(np.float64) * 1.0001
    stream, result = quarnel_tools.compress_bounded(x, **target)
    check(x, stream, **target)
    y = quarnel_tools.decompress(stream).astype(np.float64)
    assert result.max_error == np.abs(y - x).max()


def test_inspect_reads_the_header():
    x = make_signal(1000)
    stream = quarnel.compress_signal(x, QrnlCompressionOptions("db4", 9, "medium", "deflate"))
    info = quarnel_tools.inspect(stream)
    assert info == (
        "db4", 6, 9, "deflate", 1000, float(x.min()), float(x.max()), info.mean, len(stream) - 52,
        4000 / len(stream))
    assert -1.0 < info.mean < 1.0
    # Only the header is read: a stream cut after it still inspects.
    assert quarnel_tools.inspect(memoryview(stream)[:52]) == info
    with pytest.raises(AttributeError):
        info.levels = 3


def put(offset, value):
    return lambda s: s[:offset] + value + s[offset + len(value):]


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda s: s[:51], "Header is invalid"),
        (put(0, b"QRNM"), "Magic should be 'QRNL' but it was 'QRNM'"),
        (put(13, bytes([13])), "Only scaled 6..12 is supported, but it was 13"),
        (put(14, bytes([2])), "Unknown entropy coder 2"),
        (put(12, bytes([0])), "Can't decompress data, reason: Min supported level is 1 but it was 0"),
        (put(12, bytes([11])), "Can't decompress data, reason: Max supported level is 10 but it was 11"),
        (put(12, bytes([255])), "Can't decompress data, reason: Max supported level is 10 but it was 255"),
        (put(16, (2**31).to_bytes(4, "little")),
         "Can't decompress data, reason: Can't decompress data bigger than 2147483647, but data was 2147483648"),
    ],
)
def test_inspect_refuses_what_the_decoder_refuses(damage, message):
    stream = damage(quarnel.compress_signal(make_signal(300)))
    for read in (quarnel_tools.inspect, quarnel.decompress_signal):
        with pytest.raises(ValueError) as refused:
            read(stream)
        assert str(refused.value) == message


@pytest.mark.parametrize("rel_error", [1e-2, 1e-3])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_corrections_shrink_the_stream_and_can_be_declined(rel_error, dtype):
    x = make_signal(1 << 17, seed=9, dtype=dtype)
    stream = quarnel_tools.compress(x, rel_error=rel_error)
    strict = quarnel_tools.compress(x, rel_error=rel_error, corrections=False)
    check(x, stream, rel_error=rel_error)
    assert quarnel_tools.read_trailer(stream).corrected > 0
    assert len(stream) < len(strict)
    # Declined, the bound holds for every reader.
    assert quarnel_tools.read_trailer(strict).corrected == 0
    bare = quarnel.decompress_signal(strict).astype(np.float64)
    assert np.abs(bare - x).max() <= rel_error * (float(x.max()) - float(x.min()))
