"""quarnel_tools: the module's bytes and samples, with threads and without the
interpreter lock."""

import threading

import numpy as np
import pytest

import quarnel
import quarnel_tools
from quarnel import QrnlCompressionOptions

from conftest import make_signal

OPTIONS = [
    None,
    QrnlCompressionOptions(),
    QrnlCompressionOptions("db4", 9, "medium", "deflate"),
    QrnlCompressionOptions("cdf53", 12, "high", "arans"),
    QrnlCompressionOptions("sym4", 6),
]


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("n", [1, 7, 1000, 40_001])
@pytest.mark.parametrize("threads", [None, 1, 2, 3])
def test_streams_and_samples_are_the_modules(options, n, threads):
    x = make_signal(n, seed=n)
    stream = quarnel.compress_signal(x, options)
    assert quarnel_tools.compress(x, options, threads=threads, trailer=False) == stream
    assert quarnel_tools.compress(x.astype(np.float64), options, threads=threads, trailer=False) == stream
    # The trailer follows the module's bytes, and decoders of the format read past it.
    stored = quarnel_tools.compress(x, options, threads=threads)
    assert stored[: len(stream)] == stream and quarnel_tools.read_trailer(stored).masked == 0
    np.testing.assert_array_equal(quarnel.decompress_signal(stored), quarnel.decompress_signal(stream))
    y = quarnel_tools.decompress(stored, threads=threads)
    assert y.dtype == np.float32 and y.flags.writeable
    np.testing.assert_array_equal(y.view(np.uint32), quarnel.decompress_signal(stream).view(np.uint32))


@pytest.mark.parametrize("target", [{}, {"max_error": 0.05}])
def test_deflate_level_changes_bytes_not_samples(target):
    """The level is the writer's: any level decodes alike everywhere, and the
    default is the module's."""
    x = make_signal(30_000, seed=5)
    options = None if target else QrnlCompressionOptions(coder="deflate")
    coder = {"coder": "deflate"} if target else {}
    streams = {
        level: quarnel_tools.compress(x, options, trailer=False, deflate_level=level, **coder, **target)
        for level in (None, 1, 6, 12)
    }
    assert streams[None] == streams[6]
    if not target:
        assert streams[6] == quarnel.compress_signal(x, options)
    assert len({streams[1], streams[6], streams[12]}) == 3
    decoded = {level: quarnel.decompress_signal(s) for level, s in streams.items()}
    for y in decoded.values():
        np.testing.assert_array_equal(y, decoded[6])
    with pytest.raises(ValueError, match="DEFLATE level must be 1 to 12, but it was 13"):
        quarnel_tools.compress(x, options, deflate_level=13, **coder, **target)


def test_any_bytes_like_stream_decodes():
    stream = quarnel.compress_signal(make_signal(500))
    want = quarnel.decompress_signal(stream)
    for view in (bytearray(stream), memoryview(stream), np.frombuffer(stream, np.uint8)):
        np.testing.assert_array_equal(quarnel_tools.decompress(view), want)


STREAM = quarnel.compress_signal(make_signal(100))


@pytest.mark.parametrize(
    "args, direction",
    [
        ((np.zeros(0, np.float32),), "compress"),
        ((np.zeros(0, np.float64),), "compress"),
        ((np.zeros((2, 2), np.float32),), "compress"),
        ((np.zeros(8, np.float32)[::2],), "compress"),
        ((np.zeros(8, np.float32), "cdf97"), "compress"),
        ((b"QRNL" + bytes(60),), "decompress"),
        ((STREAM[:-1],), "decompress"),
    ],
)
def test_failures_are_the_modules(args, direction):
    module_call = quarnel.compress_signal if direction == "compress" else quarnel.decompress_signal
    with pytest.raises((TypeError, ValueError)) as expected:
        module_call(*args)
    with pytest.raises(expected.type) as got:
        getattr(quarnel_tools, direction)(*args)
    if expected.type is ValueError:
        assert str(got.value) == str(expected.value)


@pytest.mark.parametrize(
    "samples, message",
    [
        ([0.5, 1e300, 2.0], "sample 1 holds 1e+300, beyond the float32 range"),
        ([np.inf, np.nan, 0.0, -1e39], "sample 3 holds -1e+39, beyond the float32 range"),
        ([3.40282357e38, 0.0], "sample 0 holds 3.40282e+38, beyond the float32 range"),
        ([3.40282356e38, -np.inf, 1.0], None),  # rounds to the largest float32
    ],
)
def test_float64_samples_beyond_float32_are_refused_not_stored_as_infinities(samples, message):
    x = np.array(samples, np.float64)
    module_stream = quarnel.compress_signal(x)  # the module keeps storing an infinity
    if message is None:
        assert quarnel_tools.compress(x, trailer=False) == module_stream
        return
    with pytest.raises(ValueError) as refused:
        quarnel_tools.compress(x)
    assert str(refused.value) == f"Unsupported compression configuration '{message}'"


@pytest.mark.parametrize("threads, error", [(0, ValueError), (-1, ValueError), ("2", TypeError), (1.0, TypeError)])
def test_bad_thread_counts_are_refused(threads, error):
    with pytest.raises(error):
        quarnel_tools.compress(make_signal(10), threads=threads)
    with pytest.raises(error):
        quarnel_tools.decompress(quarnel.compress_signal(make_signal(10)), threads=threads)


@pytest.mark.parametrize("direction", ["compress", "decompress", "bounded"])
def test_other_python_threads_run_during_a_call(direction):
    x = make_signal(1 << 23)
    stream = quarnel.compress_signal(x)
    inside = threading.Event()
    done = threading.Event()

    def work():
        inside.set()
        if direction == "compress":
            quarnel_tools.compress(x, threads=1)
        elif direction == "bounded":
            quarnel_tools.compress(x, psnr=50.0, threads=1)
        else:
            quarnel_tools.decompress(stream, threads=1)
        done.set()

    worker = threading.Thread(target=work)
    worker.start()
    inside.wait()
    # While the call holds the lock nothing here runs; with it released this
    # loop turns many times before the call ends.
    turns = 0
    while not done.wait(0.001):
        turns += 1
    worker.join()
    assert turns >= 5


def test_samples_changed_during_a_call_are_memory_safe():
    x = make_signal(1 << 22)
    stop = threading.Event()

    def scribble():
        rng = np.random.default_rng(0)
        while not stop.is_set():
            x[rng.integers(0, x.size, 4096)] = rng.standard_normal(4096).astype(np.float32)

    writer = threading.Thread(target=scribble)
    writer.start()
    try:
        for threads in (1, 2):
            stream = quarnel_tools.compress(x, threads=threads)
            assert quarnel_tools.decompress(stream).shape == x.shape
    finally:
        stop.set()
        writer.join()
