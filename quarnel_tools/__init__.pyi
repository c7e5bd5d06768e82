"""Tools around the quarnel codec: the same streams on every core, an
error-bounded encoder for the same format, and a header reader."""

from typing import Literal, NamedTuple, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from quarnel import QrnlCompressionOptions

__all__ = ["BoundedResult", "StreamInfo", "compress", "compress_bounded", "decompress", "inspect"]

_Method = Literal["cdf97", "cdf53", "db4", "sym4"]
_Coder = Literal["deflate", "arans", "auto"]
_Signal = Union[npt.NDArray[np.float32], npt.NDArray[np.float64]]
_Stream = Union[bytes, bytearray, memoryview]

class StreamInfo(NamedTuple):
    """The header of a stream, read without decoding it."""

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
    """What a stream of the bounded encoder achieves on its decoded samples."""

    max_error: float
    psnr: float
    method: str
    scale: int
    levels: int
    coder: str
    size: int

def compress(
    data: _Signal,
    options: Optional[QrnlCompressionOptions] = None,
    *,
    threads: Optional[int] = None,
    max_error: Optional[float] = None,
    rel_error: Optional[float] = None,
    psnr: Optional[float] = None,
    method: Optional[_Method] = None,
    coder: Optional[_Coder] = None,
) -> bytes:
    """Compress a 1-D float32 or float64 NumPy array into a quarnel stream;
    with an error target, the smallest stream found that meets it, measured
    against the float64 values of float64 input. Without one, a finite
    float64 sample beyond the float32 range is refused."""

def compress_bounded(
    data: _Signal,
    *,
    max_error: Optional[float] = None,
    rel_error: Optional[float] = None,
    psnr: Optional[float] = None,
    method: Optional[_Method] = None,
    coder: Optional[_Coder] = None,
    threads: Optional[int] = None,
) -> Tuple[bytes, BoundedResult]:
    """Compress to the smallest stream found that meets an error target, and
    report what it achieves; the error of float64 input is measured against
    its float64 values."""

def decompress(stream: _Stream, *, threads: Optional[int] = None) -> npt.NDArray[np.float32]:
    """Decompress a quarnel stream into a 1-D float32 NumPy array."""

def inspect(stream: _Stream) -> StreamInfo:
    """Read a stream's header without decoding the stream."""
