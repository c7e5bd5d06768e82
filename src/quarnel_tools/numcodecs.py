"""quarnel as a numcodecs codec.

``numcodecs.get_codec({"id": "quarnel", ...})`` finds this class through the
``numcodecs.codecs`` entry point, without importing quarnel_tools first. A
chunk is compressed as one signal in C order, so chunks should run along time
with one channel per chunk: a chunk that mixes channels makes the wavelet see
jumps between them.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, Optional

import numpy as np
from numcodecs.abc import Codec
from numcodecs.compat import ensure_contiguous_ndarray, ensure_ndarray_like, ndarray_copy

import quarnel_tools
from quarnel_tools import _recent
from quarnel_tools._settings import Configured

if TYPE_CHECKING:
    from quarnel_tools._arguments import Coder, Cutoff, Method

__all__ = ["Quarnel"]

_DTYPES = ("float32", "float64")
# Targets measured over a chunk's range.
_RELATIVE = ("rel_error", "psnr")
# NumPy refuses arrays of more bytes than an index can count.
_LARGEST_ARRAY_BYTES = np.iinfo(np.intp).max


class Quarnel(Configured, Codec):  # type: ignore[misc]  # numcodecs declares no types: Codec is Any
    """Lossy wavelet codec for float samples.

    Parameters
    ----------
    method, scale, cutoff, coder
        The fixed options of ``quarnel.QrnlCompressionOptions`` (its defaults
        when none is given).
    max_error, rel_error, psnr : float, optional
        At most one error target instead of ``scale`` and ``cutoff``:
        the largest absolute error, the largest error relative to the chunk's
        range (max − min), or the PSNR in dB over that range. ``method`` and
        ``coder`` may pin the bounded encoder's choice. A target holds for
        each chunk on its own.
    dtype : {"float32", "float64"}
        The samples' type. ``encode`` takes only this type (float64 samples
        are stored as float32, and a target is measured against the float64
        values) and ``decode`` returns it, so that Zarr v2 arrays of either
        type read back with their own type.
    fill_value : float, optional
        Samples equal to it (any NaN for a NaN) are masked, like non-finite
        samples: outside the range and the target, and restored exactly (a
        fill inside the range of the other samples only in runs at either
        end or of 256 or more; its other samples are data). Give the
        array's fill value, so that padding and unwritten regions cost
        nothing. Required by ``encode`` with ``rel_error`` or ``psnr``: Zarr
        v2 pads a partial chunk with the array's fill value, which would
        otherwise widen the chunk's range and so the bound. NaN where nothing
        is padded.
    trailer : bool
        True (the default) appends the trailer: a checksum, refused on
        decoding when it fails, and the mask; a chunk without the trailer
        (cut at its payload's end) is then refused too. False writes bare
        streams of the format, without either.
    corrections : bool
        With the trailer and a ``max_error`` or ``rel_error`` target, True
        (the default) codes a coarser stream and lists its few samples beyond
        the bound in the trailer: this codec, ``quarnel_tools.decompress``
        and the C library keep the bound, readers that ignore the trailer do
        not. False keeps it for every reader.
    deflate_level : int, optional
        DEFLATE level, 1 (fastest) to 12 (smallest), where a chunk's payload
        is coded with DEFLATE: ``coder="deflate", deflate_level=1`` writes
        fastest. By default 6, the level of ``quarnel.compress_signal``.

    A target holds for a chunk written whole, and a chunk decoded and encoded
    again unchanged in the same process keeps its bytes; each rewrite of a
    changed chunk (partial writes, appends) can add up to the bound again.

    ``encode`` takes a chunk of any shape and compresses its samples in
    memory order (C order for a C-contiguous chunk); a strided view is copied
    into C order first. ``decode`` returns a 1-D array, or fills ``out`` (any
    float type and shape with as many elements as the chunk, filled in its
    memory order; a byte buffer is filled as samples of ``dtype``).

    ``decode`` reads the stream's header first and refuses a sample count
    that does not fit ``out``, or that an array of ``dtype`` cannot hold on
    this platform, before it decodes anything. Without ``out`` a chunk whose
    header claims n samples (``quarnel_tools.inspect(buf).sample_count``)
    takes up to 6 n bytes while it decodes with "cdf97" (the float32 samples
    and 2 n of quantised coefficients) and 10 n with the other wavelets, or
    12 n for ``dtype="float64"`` (the float32 samples and their float64
    copy); the stream itself can be far shorter than that.
    """

    codec_id = "quarnel"

    def __init__(
        self,
        method: Optional[Method] = None,
        scale: Optional[int] = None,
        cutoff: Optional[Cutoff] = None,
        coder: Optional[Coder] = None,
        *,
        max_error: Optional[float] = None,
        rel_error: Optional[float] = None,
        psnr: Optional[float] = None,
        dtype: str = "float32",
        fill_value: Optional[float] = None,
        trailer: bool = True,
        corrections: bool = True,
        deflate_level: Optional[int] = None,
    ) -> None:
        super().__init__(
            method, scale, cutoff, coder, max_error=max_error, rel_error=rel_error, psnr=psnr, trailer=trailer,
            corrections=corrections, deflate_level=deflate_level,
        )
        if dtype not in _DTYPES:
            raise ValueError(f"dtype must be 'float32' or 'float64', not {dtype!r}")
        self._dtype = np.dtype(dtype)
        if fill_value is not None:
            if not trailer:
                raise ValueError("fill_value is kept in the trailer; it needs trailer=True")
            fill_value = float(np.asarray(fill_value, self._dtype))
        self._fill_value = fill_value

    def encode(self, buf: Any) -> bytes:
        target = self.settings.target
        if target in _RELATIVE and self._fill_value is None:
            # Zarr v2 hands over a partial chunk padded with the array's
            # fill value, which the codec cannot tell from samples: the
            # padding would widen the range and loosen the bound silently.
            raise ValueError(
                f"quarnel codec: {target} is measured over each chunk's range, which the padding of a partial "
                "Zarr v2 chunk would widen; configure fill_value, the array's (NaN where nothing is padded)"
            )
        samples = ensure_ndarray_like(buf)
        if not isinstance(samples, np.ndarray):
            samples = np.asarray(samples)
        if samples.dtype.kind != "f" or samples.dtype.itemsize != self._dtype.itemsize:
            hint = f" (configure dtype={samples.dtype.name!r})" if samples.dtype.name in _DTYPES else ""
            raise TypeError(f"quarnel codec for {self._dtype} samples got {samples.dtype}{hint}")
        # Memory order, as numcodecs' codecs flatten, so that Zarr v2 arrays
        # in F order read back; a strided view is copied into C order.
        if not (samples.flags.c_contiguous or samples.flags.f_contiguous):
            samples = np.ascontiguousarray(samples)
        # Chunks that Dask ships between processes can arrive misaligned,
        # which the codec refuses: copy those.
        samples = np.require(samples.reshape(-1, order="A"), self._dtype.newbyteorder("="), ["A"])
        return _recent.encode(self.settings, samples, self._fill_value)

    def decode(self, buf: Any, out: Optional[Any] = None) -> np.ndarray:
        stream = ensure_contiguous_ndarray(buf)
        # The header alone says how large the result is: check it before a
        # short stream makes a large array.
        count = quarnel_tools.inspect(stream).sample_count
        if out is None:
            if count * self._dtype.itemsize > _LARGEST_ARRAY_BYTES:
                raise ValueError(
                    f"quarnel codec: the stream holds {count} samples, more than a {self._dtype} array "
                    "can hold on this platform"
                )
            decoded: np.ndarray = quarnel_tools.decompress(
                stream, dtype=self._dtype, require_trailer=self.settings.trailer
            )
            _recent.remember(self.settings, decoded, self._fill_value, stream)
            return decoded
        target = self._samples_of(out)
        if target.size != count:
            raise ValueError(f"quarnel codec: the stream holds {count} samples, but out has room for {target.size}")
        samples = quarnel_tools.decompress(
            stream, dtype=np.float64 if target.itemsize == 8 else np.float32, require_trailer=self.settings.trailer
        )
        if samples.dtype == self._dtype:
            _recent.remember(self.settings, samples, self._fill_value, stream)
        filled: np.ndarray = ndarray_copy(samples.astype(target.dtype, copy=False), target)
        return filled

    def _samples_of(self, out: Any) -> np.ndarray:
        """``out`` as an array of float samples to fill. numcodecs' helpers
        pass a byte buffer, which holds samples of ``dtype``."""
        target: np.ndarray = ensure_ndarray_like(out)
        if target.dtype.itemsize == 1 and target.dtype.kind in "uiV":
            target = ensure_contiguous_ndarray(target)
            if target.nbytes % self._dtype.itemsize:
                raise ValueError(
                    f"quarnel codec: out holds {target.nbytes} bytes, not a whole number of {self._dtype} samples"
                )
            return target.view(self._dtype)
        if target.dtype.kind != "f":
            raise TypeError(f"quarnel codec decodes float samples, not into a {target.dtype} buffer")
        return target

    def get_config(self) -> Dict[str, Any]:
        config: Dict[str, Any] = {"id": self.codec_id, **self.settings.config()}
        config["dtype"] = self._dtype.name
        if self._fill_value is not None:
            # JSON has no NaN or infinity: the strings NumPy reads back.
            fill: Any = self._fill_value
            if np.isnan(fill):
                fill = "NaN"
            elif np.isinf(fill):
                fill = "Infinity" if fill > 0 else "-Infinity"
            config["fill_value"] = fill
        return config

    @classmethod
    def from_config(cls, config: Dict[str, Any]) -> "Quarnel":
        config = dict(config)
        config.pop("id", None)
        return cls(**config)

    def __repr__(self) -> str:
        config = self.get_config()
        del config["id"]
        return f"Quarnel({', '.join(f'{k}={v!r}' for k, v in config.items())})"
