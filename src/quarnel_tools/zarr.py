"""quarnel as a Zarr v3 array-to-bytes codec.

Registered through the ``zarr.codecs`` entry point as "quarnel", so a store
written with it opens in any process where quarnel is installed. Pass it as
the array's serializer, with no bytes-to-bytes compressors after it (the
stream is already entropy coded)::

    zarr.create_array(store, shape=(channels, n), chunks=(1, 1 << 20), dtype="float32",
                      serializer=QuarnelCodec(max_error=1e-4), compressors=None)

Each chunk is compressed as one signal in C order: chunks should run along
time, one channel per chunk. Samples equal to the array's fill value (the
padding of a partial chunk at the end, and regions never written) and
non-finite samples are masked: they take no part in the chunk's range or
error target, cost almost nothing, and read back exactly. A fill value
inside the range of the chunk's other samples is masked only in runs at
either end or of 256 or more; its other samples are data, within the target.

A target holds for a chunk written whole. A chunk read and written back
unchanged in the same process keeps its bytes. A chunk written in pieces or
appended to is decoded, merged and coded again, and each such rewrite can add
up to the bound again to the samples already in it (about 1.5 times the bound
after one rewrite, 3 after ten): write whole chunks where every sample must
keep the bound.
"""

from __future__ import annotations

import asyncio
import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, Optional

import numpy as np
from zarr.abc.codec import ArrayBytesCodec
from zarr.core.common import JSON, parse_named_configuration

import quarnel_tools
from quarnel_tools import _recent
from quarnel_tools._settings import Configured, Settings

if TYPE_CHECKING:
    from typing import Self

    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer
    from zarr.core.dtype.wrapper import TBaseDType, TBaseScalar, ZDType


__all__ = ["QuarnelCodec"]

_NAME = "quarnel"


def _sample_dtype(dtype: ZDType[TBaseDType, TBaseScalar]) -> np.dtype:
    """The array's float type in this machine's byte order, which the codec
    takes: big-endian arrays are converted on the way in and out."""
    given = np.dtype(dtype.to_native_dtype())
    if given.kind != "f" or given.itemsize not in (4, 8):
        raise ValueError(f"the quarnel codec compresses float32 or float64 arrays, not {given}")
    return given.newbyteorder("=")


def _fill_value(chunk_spec: ArraySpec, dtype: np.dtype) -> Optional[float]:
    fill = chunk_spec.fill_value
    return None if fill is None else float(np.asarray(fill, dtype))


@dataclass(frozen=True, init=False)
class QuarnelCodec(Configured, ArrayBytesCodec):
    """Lossy wavelet codec for float32 and float64 arrays.

    The configuration is that of ``quarnel_tools.numcodecs.Quarnel`` without
    ``dtype`` (the array has one, either byte order): the fixed options ``method``, ``scale``,
    ``cutoff``, ``coder``, or one target ``max_error``, ``rel_error`` or
    ``psnr`` (per chunk) with an optional ``method`` and ``coder``,
    ``trailer`` (default true; false writes bare streams, without the checksum
    or the mask), ``corrections`` (default true; see the numcodecs codec) and
    ``deflate_level``. Decoded float32 samples are cast to the array's type;
    masked samples come back with the array's own bits.
    """

    is_fixed_size = False

    settings: Settings

    @classmethod
    def from_dict(cls, data: Dict[str, JSON]) -> Self:
        _, configuration = parse_named_configuration(data, _NAME, require_configuration=False)
        # JSON values: the settings' checks take them as they come.
        config: Dict[str, Any] = dict(configuration or {})
        return cls(**config)

    def to_dict(self) -> Dict[str, JSON]:
        return {"name": _NAME, "configuration": self.settings.config()}

    def __repr__(self) -> str:
        return f"QuarnelCodec({', '.join(f'{k}={v!r}' for k, v in self.settings.config().items())})"

    def validate(self, *, shape: Any, dtype: Any, chunk_grid: Any) -> None:
        _sample_dtype(dtype)

    def _encode_sync(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer:
        samples = np.asarray(chunk_array.as_numpy_array())
        # Aligned too: chunks that Dask ships between processes can arrive
        # misaligned, which the codec refuses.
        dtype = _sample_dtype(chunk_spec.dtype)
        samples = np.require(samples, dtype, ["C", "A"]).reshape(-1)
        stream = _recent.encode(self.settings, samples, _fill_value(chunk_spec, dtype), threads=1)
        return chunk_spec.prototype.buffer.from_bytes(stream)

    def _decode_sync(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        stream = chunk_bytes.as_numpy_array()
        # The header says how many samples the chunk holds: a wrong count is
        # refused before a short stream makes a large array.
        count = quarnel_tools.inspect(stream).sample_count
        expected = math.prod(chunk_spec.shape)
        if count != expected:
            raise ValueError(f"quarnel chunk holds {count} samples, expected {expected}")
        dtype = _sample_dtype(chunk_spec.dtype)
        # A codec that writes the trailer refuses a chunk without one (cut short).
        samples = quarnel_tools.decompress(
            stream, threads=1, dtype=np.float64 if dtype.itemsize == 8 else np.float32,
            require_trailer=self.settings.trailer,
        )
        samples = samples.astype(dtype, copy=False)
        _recent.remember(self.settings, samples, _fill_value(chunk_spec, dtype), stream)
        samples = samples.reshape(chunk_spec.shape).astype(chunk_spec.dtype.to_native_dtype(), copy=False)
        return chunk_spec.prototype.nd_buffer.from_numpy_array(samples)

    # The codec runs without the interpreter lock: off the event loop, chunks
    # compress side by side, each on one thread (threads=1 above), as zarr's
    # pool already keeps every core busy; threads of the codec's own on top
    # would only compete with it.
    async def _encode_single(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer:
        return await asyncio.to_thread(self._encode_sync, chunk_array, chunk_spec)

    async def _decode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        return await asyncio.to_thread(self._decode_sync, chunk_bytes, chunk_spec)

    def compute_encoded_size(self, _input_byte_length: int, _chunk_spec: ArraySpec) -> int:
        raise NotImplementedError
