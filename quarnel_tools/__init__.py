"""Tools around the quarnel codec: the same streams, on every core.

``compress`` and ``decompress`` write and read exactly the bytes of
``quarnel.compress_signal`` and ``quarnel.decompress_signal``. They release the
interpreter lock while the codec runs, so calls from several Python threads run
in parallel, and one call may use several threads of its own.

Given an error target (``max_error``, ``rel_error`` or ``psnr``), ``compress``
runs a second encoder instead, which returns the smallest stream it finds whose
decoded samples meet the target; ``compress_bounded`` also reports what the
stream achieves. Both encoders write the same format, which
``quarnel.decompress_signal`` reads. ``inspect`` reads a stream's header
without decoding it.
"""

from __future__ import annotations

import os
from typing import NamedTuple, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from quarnel import QrnlCompressionOptions

from . import _native
from ._arguments import bounded_choices
from ._arguments import target as _target

__all__ = ["BoundedResult", "StreamInfo", "compress", "compress_bounded", "decompress", "inspect"]

# The rANS coder codes a stream's two byte planes side by side: more threads
# than that find no more work in one call.
_USEFUL_THREADS = 2


def _thread_count(threads: Optional[int]) -> int:
    if threads is None:
        return max(1, min(_USEFUL_THREADS, os.cpu_count() or 1))
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    return threads


class StreamInfo(NamedTuple):
    """The header of a stream, read without decoding it.

    Attributes
    ----------
    method : str
        Wavelet: "cdf53", "cdf97", "db4" or "sym4".
    levels : int
        Transform levels.
    scale : int
        Quantisation scale (6..12): coefficients are multiples of 2**-scale
        of the stored range.
    coder : str
        Entropy coder of the payload: "deflate" or "arans".
    sample_count : int
        Samples the stream decodes to.
    min, max : float
        Stored range; the decoded samples are built from it. A stream of the
        bounded encoder may store a range wider than the signal's.
    mean : float
        Stored mean of the normalised signal.
    payload_length : int
        Bytes after the 52-byte header.
    ratio : float
        4 * sample_count / (52 + payload_length): float32 bytes per stream
        byte.
    """

    method: str
    levels: int
    scale: int
    coder: str
    sample_count: int
    min: float
    max: float
    mean: float
    payload_length: int
    ratio: float


class BoundedResult(NamedTuple):
    """What a stream of the bounded encoder achieves, measured on its decoded
    samples against the finite input samples.

    Attributes
    ----------
    max_error : float
        Largest absolute error.
    psnr : float
        20 * log10(range / RMSE) in dB, range being max - min of the finite
        input samples; ``inf`` when every finite sample comes back exactly.
    method : str
        Wavelet used.
    scale : int
        Quantisation scale written to the header.
    levels : int
        Transform levels.
    coder : str
        Entropy coder used: "deflate" or "arans".
    size : int
        Stream length in bytes.
    """

    max_error: float
    psnr: float
    method: str
    scale: int
    levels: int
    coder: str
    size: int


def compress_bounded(
    data: Union[npt.NDArray[np.float32], npt.NDArray[np.float64]],
    *,
    max_error: Optional[float] = None,
    rel_error: Optional[float] = None,
    psnr: Optional[float] = None,
    method: Optional[str] = None,
    coder: Optional[str] = None,
    threads: Optional[int] = None,
) -> Tuple[bytes, BoundedResult]:
    """Compress to the smallest stream found that meets an error target.

    Exactly one target must be given. The encoder rounds coefficients, zeroes
    small ones band by band where they cost more bits than the error they
    save, and picks the wavelet, level count and quantisation step; it checks
    the target by decoding its candidate exactly as every decoder does.

    Parameters
    ----------
    data : numpy.ndarray
        A contiguous 1-D float32 or float64 array. The stream holds float32
        samples, but the error of float64 input is measured against its
        float64 values; a finite float64 sample beyond the float32 range is
        refused.
    max_error : float, optional
        Largest absolute error allowed, in the signal's units.
    rel_error : float, optional
        Largest absolute error allowed, as a fraction of the signal's range
        (max - min of its finite samples).
    psnr : float, optional
        Smallest PSNR allowed, in dB: 20 * log10(range / RMSE).
    method : {"cdf97", "cdf53", "db4", "sym4"}, optional
        Pins the wavelet; by default the encoder picks it.
    coder : {"deflate", "arans", "auto"}, optional
        Pins the entropy coder; "auto" or ``None`` lets the encoder pick.
    threads : int, optional
        Threads this call may use (default: up to 2).

    Returns
    -------
    stream : bytes
        A stream ``quarnel.decompress_signal`` reads.
    result : BoundedResult
        What the stream achieves.

    Raises
    ------
    ValueError
        When no stream of the format meets the target (the message names the
        tightest error the signal allows), for a target that is not a finite
        number (or a negative ``max_error`` or ``rel_error``; any finite
        ``psnr`` is a target), for an unknown method or coder, and for the
        reasons ``quarnel.compress_signal`` gives.
    TypeError
        For no target or more than one, and arguments of the wrong type.

    Notes
    -----
    Non-finite samples are outside every target: each is coded as the finite
    sample before it (the first finite sample for those at the start, 0 when
    none is finite) and comes back near that value.
    """
    target = _target(max_error, rel_error, psnr)
    if target is None:
        raise TypeError("compress_bounded() needs one of max_error, rel_error and psnr")
    stream, achieved = _native.compress_bounded(
        data, bounded_choices(method, coder), method is not None, target[0], target[1], _thread_count(threads)
    )
    return stream, BoundedResult(*achieved, len(stream))


def compress(
    data: Union[npt.NDArray[np.float32], npt.NDArray[np.float64]],
    options: Optional[QrnlCompressionOptions] = None,
    *,
    threads: Optional[int] = None,
    max_error: Optional[float] = None,
    rel_error: Optional[float] = None,
    psnr: Optional[float] = None,
    method: Optional[str] = None,
    coder: Optional[str] = None,
) -> bytes:
    """Compress a 1-D float32 or float64 NumPy array into a quarnel stream.

    Without a target this is ``quarnel.compress_signal`` with a thread count.
    With one of ``max_error``, ``rel_error`` or ``psnr`` it is the bounded
    encoder of ``compress_bounded``, which picks everything ``options`` would
    fix; ``method`` and ``coder`` may pin two of those choices.

    Parameters
    ----------
    data : numpy.ndarray
        A contiguous 1-D float32 or float64 array. Without a target, float64
        samples are rounded to float32 first, as ``quarnel.compress_signal``
        does, except that a finite sample beyond the float32 range is refused
        rather than stored as an infinity; with one, the error is measured
        against the float64 values.
    options : quarnel.QrnlCompressionOptions, optional
        Wavelet, scale, cut-off and coder; the defaults when omitted. Not
        together with a target.
    threads : int, optional
        Threads this call may use (default: up to 2, the work one stream
        offers). The stream is the same for every count.
    max_error, rel_error, psnr : float, optional
        At most one error target, as for ``compress_bounded``.
    method : {"cdf97", "cdf53", "db4", "sym4"}, optional
        With a target only: pins the wavelet.
    coder : {"deflate", "arans", "auto"}, optional
        With a target only: pins the entropy coder.

    Returns
    -------
    bytes
        Without a target, exactly the bytes ``quarnel.compress_signal(data,
        options)`` returns; with one, a stream of the same format whose
        decoded samples meet it.

    Raises
    ------
    ValueError
        For the reasons ``quarnel.compress_signal`` gives, a finite float64
        sample beyond the float32 range, ``threads < 1``, and those of
        ``compress_bounded``.
    TypeError
        For arguments of the wrong type, more than one target, ``options``
        together with a target, or ``method``/``coder`` without one.
    """
    target = _target(max_error, rel_error, psnr)
    if target is None:
        if method is not None or coder is not None:
            raise TypeError(
                "method and coder go with an error target (max_error, rel_error or psnr); "
                "without one, pass options"
            )
        return _native.compress(data, options, _thread_count(threads))
    if options is not None:
        raise TypeError(
            "options and an error target exclude each other: the bounded encoder picks what "
            "options fix; pin method or coder instead"
        )
    return compress_bounded(
        data, max_error=max_error, rel_error=rel_error, psnr=psnr, method=method, coder=coder, threads=threads
    )[0]


def decompress(
    stream: Union[bytes, bytearray, memoryview],
    *,
    threads: Optional[int] = None,
) -> npt.NDArray[np.float32]:
    """Decompress a quarnel stream into a 1-D float32 NumPy array.

    Parameters
    ----------
    stream : bytes-like
        A whole stream, as ``compress`` or ``quarnel.compress_signal`` made
        it; any object with the buffer protocol (bytes, bytearray, memoryview,
        a NumPy uint8 array).
    threads : int, optional
        Threads this call may use (default: up to 2).

    Returns
    -------
    numpy.ndarray
        The samples ``quarnel.decompress_signal`` returns, bit for bit.

    Raises
    ------
    ValueError
        For a damaged or foreign stream, with the codec's message, and
        ``threads < 1``.
    """
    return _native.decompress(stream, _thread_count(threads))


def inspect(stream: Union[bytes, bytearray, memoryview]) -> StreamInfo:
    """Read a stream's header without decoding the stream.

    Lets a caller refuse a stream that would decode to too many samples
    before decoding it. The header, the first 52 bytes, is read and checked
    exactly as the decoder checks it, and nothing after it: a stream cut
    short or a damaged payload shows only when the stream is decoded.

    Parameters
    ----------
    stream : bytes-like
        A stream, or at least its first 52 bytes; any object with the buffer
        protocol.

    Returns
    -------
    StreamInfo
        The header's fields and the stream's ratio.

    Raises
    ------
    ValueError
        For a header the decoder refuses, with the codec's message.
    """
    fields = _native.inspect(stream)
    count, payload = fields[4], fields[8]
    return StreamInfo(*fields, 4.0 * count / (_native.HEADER_SIZE + payload))
