"""Reference counts and memory over many calls: nothing the module touches may
leak, on success or on failure."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from quarnel import QrnlCompressionOptions, compress_signal, decompress_signal

from conftest import make_signal

CALLS = 300


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def raises(call):
    try:
        call()
    except (TypeError, ValueError):
        return
    raise AssertionError("expected an exception")


@pytest.mark.parametrize(
    "make_call",
    [
        pytest.param(lambda x, o, s: lambda: compress_signal(x), id="compress float32"),
        pytest.param(lambda x, o, s: lambda: compress_signal(x.astype(np.float64)), id="compress float64"),
        pytest.param(lambda x, o, s: lambda: compress_signal(x, o), id="compress with options"),
        pytest.param(lambda x, o, s: lambda: compress_signal(data=x, options=o), id="compress by keyword"),
        pytest.param(lambda x, o, s: lambda: decompress_signal(s), id="decompress"),
        pytest.param(lambda x, o, s: lambda: raises(lambda: compress_signal(x[::2], o)), id="strided input"),
        pytest.param(lambda x, o, s: lambda: raises(lambda: compress_signal(x[:0], o)), id="empty input"),
        pytest.param(lambda x, o, s: lambda: raises(lambda: compress_signal(x, "o")), id="bad options"),
        pytest.param(lambda x, o, s: lambda: raises(lambda: compress_signal(x.reshape(2, -1), o)), id="2-D input"),
        pytest.param(lambda x, o, s: lambda: raises(lambda: decompress_signal(s[:-1])), id="truncated stream"),
        pytest.param(lambda x, o, s: lambda: raises(lambda: decompress_signal(bytearray(s))), id="bytearray"),
    ],
)
def test_arguments_keep_their_reference_counts(make_call):
    data = make_signal(1000)
    options = QrnlCompressionOptions("sym4", 10)
    stream = compress_signal(data, options)
    call = make_call(data, options, stream)
    call()  # first-use caches settle before counting
    before = [sys.getrefcount(obj) for obj in (data, options, stream)]
    for _ in range(CALLS):
        call()
    assert [sys.getrefcount(obj) for obj in (data, options, stream)] == before


def test_failed_option_construction_keeps_reference_counts():
    method, cutoff, coder = "bogus-method", "bogus-cutoff", "bogus-coder"
    scale = 2**70
    objects = (method, cutoff, coder, scale)
    cases = [{"method": method}, {"cutoff": cutoff}, {"coder": coder}, {"scale": scale}]
    before = [sys.getrefcount(obj) for obj in objects]
    for _ in range(CALLS):
        for kwargs in cases:
            with pytest.raises((ValueError, OverflowError)):
                QrnlCompressionOptions(**kwargs)
    assert [sys.getrefcount(obj) for obj in objects] == before


def test_decompressed_buffers_are_released_with_their_arrays():
    # 1 MiB per array: 100 leaked buffers would be 100 MiB.
    stream = compress_signal(make_signal(1 << 18))
    for _ in range(5):
        decompress_signal(stream)
    start = rss_bytes()
    for _ in range(100):
        array = decompress_signal(stream)
        array[0] = 1.0
        del array
    assert rss_bytes() - start < 32 << 20


def test_conversion_and_stream_buffers_are_released():
    # 1 MiB of float32 conversion per call, and the codec's own buffers.
    wide = make_signal(1 << 18, dtype=np.float64)
    for _ in range(5):
        compress_signal(wide)
    start = rss_bytes()
    for _ in range(100):
        compress_signal(wide)
    assert rss_bytes() - start < 32 << 20


def test_running_out_of_memory_is_a_memory_error():
    # In a child process with a capped address space: the float64 input fits,
    # its float32 conversion does not.
    code = textwrap.dedent(
        """
        import resource
        import numpy as np
        import quarnel
        wide = np.ones(1 << 25, np.float64)  # 256 MiB
        quarnel.compress_signal(np.ones(4, np.float32))
        with open("/proc/self/statm") as statm:
            mapped = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + (32 << 20), resource.RLIM_INFINITY))
        try:
            quarnel.compress_signal(wide)
        except MemoryError:
            print("MemoryError")
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.stdout.strip() == "MemoryError", result.stderr
