"""Tools around the quarnel codec: the same streams, on every core.

``compress`` and ``decompress`` write and read exactly the bytes of
``quarnel.compress_signal`` and ``quarnel.decompress_signal``. They release the
interpreter lock while the codec runs, so calls from several Python threads run
in parallel, and one call may use several threads of its own.
"""

from __future__ import annotations

import os
from typing import Optional, Union

import numpy as np
import numpy.typing as npt

from quarnel import QrnlCompressionOptions

from . import _native

__all__ = ["compress", "decompress"]

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


def compress(
    data: Union[npt.NDArray[np.float32], npt.NDArray[np.float64]],
    options: Optional[QrnlCompressionOptions] = None,
    *,
    threads: Optional[int] = None,
) -> bytes:
    """Compress a 1-D float32 or float64 NumPy array into a quarnel stream.

    Parameters
    ----------
    data : numpy.ndarray
        A contiguous 1-D float32 or float64 array. float64 samples are rounded
        to float32 first, as ``quarnel.compress_signal`` does.
    options : quarnel.QrnlCompressionOptions, optional
        Wavelet, scale, cut-off and coder; the defaults when omitted.
    threads : int, optional
        Threads this call may use (default: up to 2, the work one stream
        offers). The stream is the same for every count.

    Returns
    -------
    bytes
        Exactly the bytes ``quarnel.compress_signal(data, options)`` returns.

    Raises
    ------
    ValueError
        For the reasons ``quarnel.compress_signal`` gives, and ``threads < 1``.
    TypeError
        For arguments of the wrong type.
    """
    return _native.compress(data, options, _thread_count(threads))


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
