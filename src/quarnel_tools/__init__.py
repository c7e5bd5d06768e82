"""Tools around the quarnel codec: the same streams, on every core.

``compress`` writes the bytes of ``quarnel.compress_signal`` followed by a
trailer, which any decoder of the format ignores: a CRC-32 over the whole
stream, so that a damaged stream is refused rather than decoded to other
samples, and a mask of the samples the payload does not represent (NaN, the
infinities, and samples equal to a declared fill value), which ``decompress``
restores bit for bit. ``trailer=False`` writes the bare stream. Both release
the interpreter lock while the codec runs, so calls from several Python
threads run in parallel, and one call may use several threads of its own.

Given an error target (``max_error``, ``rel_error`` or ``psnr``), ``compress``
runs a second encoder instead, which returns the smallest stream it finds whose
decoded samples meet the target; ``compress_bounded`` also reports what the
stream achieves. Both encoders write the same format, which
``quarnel.decompress_signal`` reads. ``inspect`` reads a stream's header
without decoding it, ``read_trailer`` what its trailer holds.

Speed: where a payload is coded with DEFLATE (``coder="deflate"``),
``deflate_level`` trades ratio for writing speed, 1 the fastest and 12 the
smallest; the level is not part of the format, so every decoder reads every
level. A stream with the trailer decodes a DEFLATE payload about twice as
fast as a bare one, the checksum having vouched for its bytes.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, NamedTuple, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from quarnel import QrnlCompressionOptions

from . import _native
from ._arguments import TARGETS, bounded_choices
from ._arguments import deflate_level as _deflate_level
from ._arguments import target as _target

if TYPE_CHECKING:
    from typing_extensions import Buffer

    from ._arguments import Coder, Method

    # Any object with the buffer protocol, which NumPy's arrays declare only
    # from Python 3.12 on.
    _BytesLike = Union[Buffer, npt.NDArray[Any]]
    # What the extension module's calls return, which it does not declare:
    # the fields of BoundedResult but the size, and of StreamInfo but the ratio.
    _Achieved = Tuple[float, float, str, int, int, str]
    _Header = Tuple[str, int, int, str, int, float, float, float, int]

__all__ = [
    "BoundedResult",
    "Metadata",
    "StreamInfo",
    "Trailer",
    "compress",
    "compress_bounded",
    "decompress",
    "inspect",
    "read_trailer",
]

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
        bounded encoder may store a range wider than the signal's, or
        narrower for a step finer than 2**-12 of it; its trailer records the
        signal's own (``read_trailer``), and any corrections that readers of
        the bare format miss.
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


class Metadata(NamedTuple):
    """What a file needs back besides its samples, kept in the trailer.

    Attributes
    ----------
    sample_rate : float, optional
        Samples per second.
    channels : int, optional
        Interleaved channels: sample i belongs to channel i % channels.
    source_format : str
        The source's sample format ("PCM_16", "float64", ...), or "".
    """

    sample_rate: Optional[float] = None
    channels: Optional[int] = None
    source_format: str = ""


class Trailer(NamedTuple):
    """What a stream's trailer holds, verified by its checksum.

    Attributes
    ----------
    masked : int
        Samples the payload does not represent, restored exactly on decoding.
    sample_rate, channels, source_format
        As in ``Metadata``; ``None`` (or "") where not recorded.
    target : (str, float, float, float), optional
        For a stream of the bounded encoder: the target's kind ("max_error",
        "rel_error" or "psnr") and value, and the max error and PSNR reached.
    signal_range : (float, float), optional
        min and max of the unmasked samples, where the header's stored range
        may be wider or, for a step finer than 2^-12 of the range, narrower.
    corrected : int
        Samples the trailer moves back within a largest-error target.
    uncorrected_error : float, optional
        With corrections: the largest error of a reader that ignores the
        trailer, such as ``quarnel.decompress_signal``.
    grid : (float, float), optional
        With corrections, for a signal whose values lie on a grid (scaled
        integers, as a converter gives): its origin and step. Readers of the
        trailer round every decoded sample to the nearest grid point, so a
        bound under half a step gives back the grid's values.
    """

    masked: int
    sample_rate: Optional[float]
    channels: Optional[int]
    source_format: str
    target: Optional[Tuple[str, float, float, float]]
    signal_range: Optional[Tuple[float, float]]
    corrected: int
    uncorrected_error: Optional[float]
    grid: Optional[Tuple[float, float]]


def _store(
    trailer: bool, fill_value: Optional[float], metadata: Optional[Metadata], corrections: bool = True
) -> Optional[Tuple[Optional[float], Optional[float], Optional[int], str, bool]]:
    """The trailer's settings as the native calls take them."""
    if not trailer:
        if fill_value is not None or metadata is not None:
            raise TypeError("fill_value and metadata are kept in the trailer; they need trailer=True")
        return None
    meta = Metadata() if metadata is None else Metadata(*metadata)
    fill = None if fill_value is None else float(fill_value)
    return fill, meta.sample_rate, meta.channels, meta.source_format, bool(corrections)


def compress_bounded(
    data: Union[npt.NDArray[np.float32], npt.NDArray[np.float64]],
    *,
    max_error: Optional[float] = None,
    rel_error: Optional[float] = None,
    psnr: Optional[float] = None,
    method: Optional[Method] = None,
    coder: Optional[Coder] = None,
    threads: Optional[int] = None,
    trailer: bool = True,
    fill_value: Optional[float] = None,
    metadata: Optional[Metadata] = None,
    corrections: bool = True,
    deflate_level: Optional[int] = None,
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
    trailer : bool
        Append the trailer (default), which also records the target and what
        the stream reaches; ``False`` writes the bare stream.
    fill_value : float, optional
        With the trailer: samples equal to it (any NaN for a NaN) are masked
        like non-finite ones: outside the target and the range, restored
        exactly. A fill inside the range of the other samples, a value the
        signal takes, is masked only in runs at either end or of 256 or more
        (unwritten samples); its other samples are coded as data.
    metadata : Metadata, optional
        Sample rate, channels and source format for the trailer.
    corrections : bool
        With the trailer and a ``max_error`` or ``rel_error`` target: let
        the encoder code a coarser stream and list the few samples it leaves
        beyond the bound in the trailer (the default; the stream is smaller
        by a tenth to a third on recordings). For a signal on a grid (scaled
        counts) under a bound of less than half a step, the trailer names the
        grid and its readers round onto it (``read_trailer(stream).grid``):
        the stream may miss by nearly half a step. The bound then holds for
        readers of the trailer (``decompress``, the codecs, the C library
        and the HDF5 filter); readers that ignore it, such as
        ``quarnel.decompress_signal``, see those samples off by up to
        ``read_trailer(stream).uncorrected_error``. ``False`` keeps the
        bound for every reader.
    deflate_level : int, optional
        DEFLATE level, 1 (fastest) to 12 (smallest), where the payload is
        coded with DEFLATE; by default 6, ``quarnel.compress_signal``'s.
        With the coder left to the encoder, a sparse payload (under about a
        bit per sample) is tried with DEFLATE at level 10 at least, 12 up to
        2^18 samples, which beats the rANS coder there by up to a fifth.

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
        reasons ``quarnel.compress_signal`` gives, and a ``deflate_level``
        out of range.
    TypeError
        For no target or more than one, and arguments of the wrong type.

    Notes
    -----
    Non-finite samples are outside every target: each is coded as the finite
    sample before it (the first finite sample for those at the start, 0 when
    none is finite). With the trailer they come back exactly; in a bare
    stream, near that value.
    """
    target = _target(max_error, rel_error, psnr)
    if target is None:
        raise TypeError("compress_bounded() needs one of max_error, rel_error and psnr")
    store = _store(trailer, fill_value, metadata, corrections)
    level = _deflate_level(deflate_level)
    stream: bytes
    achieved: _Achieved
    stream, achieved = _native.compress_bounded(
        data,
        bounded_choices(method, coder),
        method is not None,
        target[0],
        target[1],
        _thread_count(threads),
        store,
        level,
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
    method: Optional[Method] = None,
    coder: Optional[Coder] = None,
    trailer: bool = True,
    fill_value: Optional[float] = None,
    metadata: Optional[Metadata] = None,
    corrections: bool = True,
    deflate_level: Optional[int] = None,
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
    trailer, fill_value, metadata, corrections
        As for ``compress_bounded``. Masked samples are coded as the unmasked
        sample before them.
    deflate_level : int, optional
        DEFLATE level, 1 (fastest) to 12 (smallest), where the payload is
        coded with DEFLATE (``options.coder == "deflate"``, or with a target);
        by default 6, which gives ``quarnel.compress_signal``'s bytes.
        ``coder="deflate"`` at level 1 is the fastest writer.

    Returns
    -------
    bytes
        Without a target, the bytes ``quarnel.compress_signal(data,
        options)`` returns when nothing is masked, then the trailer; with one,
        a stream of the same format whose decoded samples meet it.

    Raises
    ------
    ValueError
        For the reasons ``quarnel.compress_signal`` gives, a finite float64
        sample beyond the float32 range, ``threads < 1``, a ``deflate_level``
        out of range, and those of ``compress_bounded``.
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
        stream: bytes = _native.compress(
            data,
            options,
            _thread_count(threads),
            _store(trailer, fill_value, metadata),
            _deflate_level(deflate_level),
        )
        return stream
    if options is not None:
        raise TypeError(
            "options and an error target exclude each other: the bounded encoder picks what "
            "options fix; pin method or coder instead"
        )
    return compress_bounded(
        data,
        max_error=max_error,
        rel_error=rel_error,
        psnr=psnr,
        method=method,
        coder=coder,
        threads=threads,
        trailer=trailer,
        fill_value=fill_value,
        metadata=metadata,
        corrections=corrections,
        deflate_level=deflate_level,
    )[0]


def decompress(
    stream: _BytesLike,
    *,
    threads: Optional[int] = None,
    dtype: npt.DTypeLike = np.float32,
    require_trailer: bool = False,
) -> npt.NDArray[np.floating]:
    """Decompress a quarnel stream into a 1-D NumPy array.

    Parameters
    ----------
    stream : bytes-like
        A whole stream, as ``compress`` or ``quarnel.compress_signal`` made
        it; any object with the buffer protocol (bytes, bytearray, memoryview,
        a NumPy uint8 array).
    threads : int, optional
        Threads this call may use (default: up to 2).
    dtype : {numpy.float32, numpy.float64}
        The result's type. A float64 result restores masked samples from
        their own float64 bits.
    require_trailer : bool
        Refuse a stream without the trailer. A stream cut at the end of its
        payload reads as a bare stream; a reader of streams whose writer
        always adds the trailer (``compress``'s default) sets this to refuse
        it.

    Returns
    -------
    numpy.ndarray
        The samples ``quarnel.decompress_signal`` returns, bit for bit, with
        the trailer's masked samples restored.

    Raises
    ------
    ValueError
        For a damaged or foreign stream, with the codec's message: bytes
        after the payload that are not a whole trailer, or a trailer whose
        checksum fails ("stream damaged: ..."), are refused before anything
        is decoded, and so is a trailer no writer makes, a stream ending in a
        trailer its header does not point to, and, with
        ``require_trailer``, a stream without one; and for ``threads < 1``.
    """
    wide = np.dtype(dtype)
    if wide not in (np.float32, np.float64):
        raise ValueError(f"dtype must be float32 or float64, not {wide}")
    samples: npt.NDArray[np.floating] = _native.decompress(
        stream, _thread_count(threads), wide == np.float64, require_trailer
    )
    return samples


def read_trailer(stream: _BytesLike) -> Optional[Trailer]:
    """What a stream's trailer holds, or ``None`` for a bare stream.

    Raises
    ------
    ValueError
        For a header the decoder refuses, and for bytes after the payload
        that are not a whole trailer or whose checksum fails.
    """
    fields = _native.read_trailer(stream)
    if fields is None:
        return None
    if fields["target"] is not None:
        kind, *figures = fields["target"]
        fields["target"] = (TARGETS[kind], *figures)
    return Trailer(**fields)


def inspect(stream: _BytesLike) -> StreamInfo:
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
    fields: _Header = _native.inspect(stream)
    count, payload = fields[4], fields[8]
    return StreamInfo(*fields, 4.0 * count / (_native.HEADER_SIZE + payload))
