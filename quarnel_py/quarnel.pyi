"""Lossy wavelet compression of 1-D float signals."""

from typing import Literal, Optional, Union, final

import numpy as np
import numpy.typing as npt

__all__ = ["QrnlCompressionOptions", "compress_signal", "decompress_signal"]

@final
class QrnlCompressionOptions:
    """How compress_signal compresses: wavelet, quantisation scale (6..12),
    detail cut-off and entropy coder (None means "auto", the rANS coder)."""

    def __init__(
        self,
        method: Literal["cdf97", "cdf53", "db4", "sym4"] = "cdf97",
        scale: int = 11,
        cutoff: Literal["low", "medium", "high"] = "low",
        coder: Optional[Literal["auto", "deflate", "arans"]] = None,
    ) -> None: ...

def compress_signal(
    data: Union[npt.NDArray[np.float32], npt.NDArray[np.float64]],
    options: Optional[QrnlCompressionOptions] = None,
) -> bytes:
    """Compress a 1-D float32 **or** float64 NumPy array into Quarnel `bytes`.

    float64 input is downcast to float32 before compression (the codec works in
    f32 internally and always reconstructs f32 on decompress)."""

def decompress_signal(data: bytes) -> npt.NDArray[np.float32]:
    """Decompress a Quarnel bytes object into a 1-D float32 NumPy array."""
