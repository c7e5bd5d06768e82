import inspect
import struct
import subprocess
import sys

import numpy as np
import pytest

import quarnel
from quarnel import QrnlCompressionOptions, compress_signal, decompress_signal

from conftest import make_signal

NOT_AN_ARRAY = "expected a 1-D float32 or float64 NumPy array"
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
EMPTY = "Unsupported compression configuration 'Can't compress empty data'"

METHODS = ["cdf53", "cdf97", "db4", "sym4"]
CODERS = ["deflate", "arans"]


def test_module_holds_exactly_its_three_names_in_order():
    names = ["QrnlCompressionOptions", "compress_signal", "decompress_signal"]
    assert [name for name in vars(quarnel) if not name.startswith("__")] == names
    assert quarnel.__all__ == names
    assert quarnel.__doc__ == ""


def test_docstrings_and_text_signatures():
    assert compress_signal.__text_signature__ == "(data, options=None)"
    assert compress_signal.__doc__ == (
        "Compress a 1-D float32 **or** float64 NumPy array into Quarnel `bytes`.\n\n"
        "float64 input is downcast to float32 before compression (the codec works in\n"
        "f32 internally and always reconstructs f32 on decompress)."
    )
    assert decompress_signal.__text_signature__ == "(data)"
    assert decompress_signal.__doc__ == "Decompress a Quarnel bytes object into a 1-D float32 NumPy array."
    assert list(inspect.signature(compress_signal).parameters) == ["data", "options"]


def test_importing_the_module_does_not_import_numpy():
    # The NumPy C API is loaded on the first call that needs it.
    code = "import sys, quarnel; assert 'numpy' not in sys.modules; import numpy as np; " \
           "assert len(quarnel.decompress_signal(quarnel.compress_signal(np.ones(3, np.float32)))) == 3"
    subprocess.run([sys.executable, "-c", code], check=True)


def test_default_options_three_ways(signal):
    expected = compress_signal(signal)
    assert compress_signal(signal, None) == expected
    assert compress_signal(signal, options=QrnlCompressionOptions()) == expected
    assert compress_signal(data=signal, options=None) == expected


def test_header_of_a_default_stream(signal):
    stream = compress_signal(signal)
    assert stream[:20] == bytes.fromhex("51524E4C0101663363663937060B0100E8030000")
    assert stream[36:52] == bytes(16)
    assert len(stream) == 52 + struct.unpack_from("<I", stream, 32)[0]


@pytest.mark.parametrize(
    "data",
    [
        pytest.param(np.zeros((4, 4), np.float32), id="2-D"),
        pytest.param(np.zeros((1, 8), np.float64), id="2-D float64"),
        pytest.param(np.float32(1.0), id="numpy scalar"),
        pytest.param(np.array(1.0, np.float32), id="0-D"),
        pytest.param(np.zeros(8, np.float16), id="float16"),
        pytest.param(np.zeros(8, np.int32), id="int32"),
        pytest.param(np.zeros(8, np.complex64), id="complex64"),
        pytest.param(np.zeros(8, np.longdouble), id="longdouble"),
        pytest.param(np.zeros(8, np.dtype(np.float32).newbyteorder()), id="byte-swapped float32"),
        pytest.param([1.0, 2.0, 3.0], id="list"),
        pytest.param(b"\0" * 16, id="bytes"),
        pytest.param(None, id="None"),
    ],
)
def test_inputs_other_than_1d_float_arrays_are_value_errors(data):
    with pytest.raises(ValueError) as caught:
        compress_signal(data)
    assert str(caught.value) == NOT_AN_ARRAY


def misaligned(dtype):
    raw = np.zeros(8 * np.dtype(dtype).itemsize + 1, np.uint8)
    return np.frombuffer(raw.data, dtype=dtype, count=8, offset=1)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize(
    "view",
    [
        pytest.param(lambda x: x[::2], id="every second"),
        pytest.param(lambda x: x[::-1], id="reversed"),
        pytest.param(lambda x: x.reshape(4, 4)[:, 0], id="column"),
    ],
)
def test_strided_views_are_type_errors(dtype, view):
    with pytest.raises(TypeError) as caught:
        compress_signal(view(np.arange(16, dtype=dtype)))
    assert str(caught.value) == NOT_CONTIGUOUS


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_misaligned_arrays_are_type_errors(dtype):
    data = misaligned(dtype)
    assert not data.flags.aligned
    with pytest.raises(TypeError) as caught:
        compress_signal(data)
    assert str(caught.value) == NOT_CONTIGUOUS


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize(
    "empty",
    [
        pytest.param(lambda dtype: np.zeros(0, dtype), id="empty"),
        pytest.param(lambda dtype: np.zeros(8, dtype)[::2][:0], id="empty strided view"),
    ],
)
def test_empty_arrays_reach_the_compressor(dtype, empty):
    with pytest.raises(ValueError) as caught:
        compress_signal(empty(dtype))
    assert str(caught.value) == EMPTY


def test_options_of_the_wrong_type_are_type_errors(signal):
    for options in ["cdf97", {"method": "cdf97"}, 11, QrnlCompressionOptions]:
        with pytest.raises(TypeError, match="'options'"):
            compress_signal(signal, options)


def test_options_are_checked_before_the_data():
    with pytest.raises(TypeError, match="'options'"):
        compress_signal([1.0], "cdf97")


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda: compress_signal(), id="compress no data"),
        pytest.param(lambda: compress_signal(np.ones(4, np.float32), None, None), id="compress surplus"),
        pytest.param(lambda: compress_signal(np.ones(4, np.float32), level=3), id="compress unknown keyword"),
        pytest.param(lambda: decompress_signal(), id="decompress no data"),
        pytest.param(lambda: decompress_signal(b"", b""), id="decompress surplus"),
        pytest.param(lambda: decompress_signal(stream=b""), id="decompress unknown keyword"),
    ],
)
def test_argument_binding_errors(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("data", [bytearray(60), memoryview(bytes(60)), "QRNL", None, np.zeros(60, np.uint8)])
def test_decompress_wants_bytes(data):
    with pytest.raises(TypeError, match="'data'"):
        decompress_signal(data)


def test_float64_input_equals_its_float32_conversion():
    rng = np.random.default_rng(3)
    wide = np.concatenate(
        [
            rng.standard_normal(3000) * 1e3,
            # Values that round differently when the low mantissa bits count,
            # ones beyond float32 and non-finite ones.
            1.0 + rng.integers(1, 2**29, 500) * 2.0**-52,
            [1e39, -1e39, np.nan, np.inf, -np.inf, 3.4028235677973366e38],
        ]
    )
    with np.errstate(over="ignore"):
        narrow = wide.astype(np.float32)
    for options in [None, QrnlCompressionOptions("db4", 9, "medium", "deflate")]:
        assert compress_signal(wide, options) == compress_signal(narrow, options)


def test_array_subclasses_and_read_only_arrays_are_accepted(signal):
    expected = compress_signal(signal)
    read_only = signal.copy()
    read_only.flags.writeable = False
    assert compress_signal(read_only) == expected
    assert compress_signal(np.ma.masked_array(signal)) == expected
    class Trace(np.ndarray):
        pass

    assert compress_signal(signal.view(Trace)) == expected


def test_input_is_not_modified():
    data = make_signal(500)
    data[7] = np.nan
    before = data.copy()
    compress_signal(data)
    np.testing.assert_array_equal(data, before)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("coder", CODERS)
@pytest.mark.parametrize("n", [1, 2, 5, 9, 19, 20, 79, 80, 1000, 4097])
def test_round_trip(method, coder, n):
    data = make_signal(n, seed=n)
    stream = compress_signal(data, QrnlCompressionOptions(method=method, coder=coder))
    assert isinstance(stream, bytes)
    restored = decompress_signal(stream)
    assert restored.dtype == np.float32
    assert restored.shape == (n,)
    span = float(data.max() - data.min())
    # Scale 11 quantises to steps of 2^-11 of the range; a few steps at most.
    assert np.max(np.abs(restored - data)) <= 0.005 * max(span, 1e-30)


def test_higher_scale_is_more_accurate():
    data = make_signal(5000)
    errors = [
        np.max(np.abs(decompress_signal(compress_signal(data, QrnlCompressionOptions(scale=s))) - data))
        for s in (6, 9, 12)
    ]
    assert errors[0] > errors[1] > errors[2]


def test_flat_and_non_finite_signals():
    np.testing.assert_array_equal(decompress_signal(compress_signal(np.full(50, 2.5, np.float32))), 2.5)
    special = np.array([np.nan, np.inf, -np.inf, 2.0], np.float32)
    np.testing.assert_allclose(decompress_signal(compress_signal(special)), [0.0, 1.0, 0.0, 2.0], atol=0.02)


def test_output_array_is_a_fresh_writeable_float32_vector(signal):
    stream = compress_signal(signal)
    first = decompress_signal(stream)
    second = decompress_signal(data=stream)
    for array in (first, second):
        assert type(array) is np.ndarray
        assert array.dtype == np.float32 and array.ndim == 1 and array.strides == (4,)
        assert array.flags.writeable and array.flags.c_contiguous and array.flags.aligned
    np.testing.assert_array_equal(first, second)
    first[:] = 0.0
    assert not np.shares_memory(first, second)
    assert np.any(second != 0.0)


def test_output_array_is_the_decoder_buffer_without_a_copy(signal):
    array = decompress_signal(compress_signal(signal))
    # The memory belongs to the base object, which nothing else refers to.
    assert not array.flags.owndata
    assert array.base is not None and not isinstance(array.base, np.ndarray)
    owner = array.base
    held = sys.getrefcount(owner)
    del array
    # The array held the only other reference: `owner` is now the last one.
    assert sys.getrefcount(owner) == held - 1
    assert sys.getrefcount(owner) == sys.getrefcount(object())


def test_bytes_subclasses_are_accepted(signal):
    class Stream(bytes):
        pass

    stream = compress_signal(signal)
    np.testing.assert_array_equal(decompress_signal(Stream(stream)), decompress_signal(stream))


def test_a_stream_of_zero_samples_gives_an_empty_array():
    stream = bytearray(compress_signal(np.ones(1, np.float32)))
    stream[16:20] = bytes(4)
    empty = decompress_signal(bytes(stream))
    assert empty.dtype == np.float32 and empty.shape == (0,)


def test_trailing_bytes_are_ignored(signal):
    stream = compress_signal(signal)
    np.testing.assert_array_equal(decompress_signal(stream + b"\xff" * 9), decompress_signal(stream))


def damaged(edit):
    stream = bytearray(compress_signal(make_signal(1000), QrnlCompressionOptions(coder="deflate")))
    edit(stream)
    return bytes(stream)


def set_byte(offset, value):
    def edit(stream):
        stream[offset] = value

    return edit


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "Header is invalid"),
        (b"QRNL" + bytes(47), "Header is invalid"),
        (damaged(set_byte(3, ord("M"))), "Magic should be 'QRNL' but it was 'QRNM'"),
        (b"\xff" * 60, "Magic should be 'QRNL' but it was '????'"),
        (damaged(set_byte(4, 2)), "Invalid header version '\x02\x01'"),
        (damaged(set_byte(7, ord("4"))), "Invalid compression method 'f4'"),
        (damaged(set_byte(13, 13)), "Only scaled 6..12 is supported, but it was 13"),
        (damaged(set_byte(14, 2)), "Unknown entropy coder 2"),
        (damaged(set_byte(12, 11)), "Can't decompress data, reason: Max supported level is 10 but it was 11"),
        (damaged(set_byte(12, 0)), "Can't decompress data, reason: Min supported level is 1 but it was 0"),
        (damaged(set_byte(52, 0xFF)), "Can't decompress data, reason: corrupt deflate stream"),
    ],
)
def test_codec_failures_are_value_errors_with_the_codec_message(data, message):
    with pytest.raises(ValueError) as caught:
        decompress_signal(data)
    assert str(caught.value) == message


def test_truncated_stream_message(signal):
    stream = compress_signal(signal)
    with pytest.raises(ValueError) as caught:
        decompress_signal(stream[:-1])
    needed = len(stream)
    assert str(caught.value) == (
        f"Can't decompress data, reason: Minimum data size is {needed}, but it was {needed - 1}"
    )


@pytest.mark.parametrize("method", ["cdf53", "cdf97", "db4", "sym4"])
@pytest.mark.parametrize("coder", ["deflate", "arans"])
def test_a_signal_near_the_float_limit_comes_back_finite(method, coder):
    top = np.finfo(np.float32).max
    x = ((np.sin(np.arange(16) / 5) * 0.5 + 0.5) * top).astype(np.float32)
    y = decompress_signal(compress_signal(x, QrnlCompressionOptions(method=method, coder=coder)))
    assert np.isfinite(y).all()
    assert np.isfinite(decompress_signal(compress_signal(-x, QrnlCompressionOptions(method=method)))).all()
