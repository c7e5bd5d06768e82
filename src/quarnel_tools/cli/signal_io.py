"""Signals in and out of files: WAV/FLAC, .npy and raw samples, .qrnl streams
and .zarr stores, as float32 samples with channels as rows."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from tokenize import TokenError
from typing import TYPE_CHECKING, Any, Dict, Optional

import numpy as np

import quarnel_tools
from quarnel_tools._settings import Settings
from quarnel_tools.cli.failure import Failure, one_line
from quarnel_tools.cli.progress import progress
from quarnel_tools.cli.staging import staged, uninterrupted

if TYPE_CHECKING:
    from zarr.core.common import JSON

AUDIO = {".wav": "WAV", ".flac": "FLAC"}
# What a decompressed signal becomes when the store records no subtype (or one
# the output format cannot hold): the float32 samples as they are, or the
# finest PCM that FLAC has.
DEFAULT_SUBTYPE = {"WAV": "FLOAT", "FLAC": "PCM_24"}
# Linear PCM subtypes and their bits per sample.
PCM_BITS = {"PCM_S8": 8, "PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}
MAX_STREAM_SAMPLES = (1 << 31) - 1


@dataclass
class Signal:
    samples: np.ndarray  # float32, channels as rows, C order
    rate: Optional[int] = None
    source: Dict[str, Any] = field(default_factory=dict)


def kind(path: Path, raw_dtype: Optional[str], role: str) -> str:
    """What ``path`` holds by its name: "audio", "npy", "qrnl", "zarr", or
    "raw" samples when ``raw_dtype`` is given."""
    suffix = path.suffix.lower()
    known = suffix in AUDIO or suffix in (".npy", ".qrnl", ".zarr")
    if raw_dtype is not None:
        # A container read as samples would be its header and all.
        if known:
            raise Failure(path, f"--dtype is for raw samples, not {suffix} files")
        return "raw"
    if suffix in AUDIO:
        return "audio"
    if known:
        return suffix[1:]
    raise Failure(path, f"unsupported {role} format '{suffix or path.name}' "
                        "(expected .wav, .flac, .npy, .qrnl, .zarr, or raw samples with --dtype)")


def read_signal(path: Path, raw_dtype: Optional[str]) -> Signal:
    """A WAV/FLAC, .npy or raw file as float32 samples with channels as rows."""
    form = kind(path, raw_dtype, "input")
    if form in ("qrnl", "zarr"):
        raise Failure(path, "is already compressed (decompress it first)")
    if not path.exists():
        raise Failure(path, "no such file")
    if path.is_dir():
        raise Failure(path, "is a directory")
    try:
        if form == "audio":
            read = _read_audio(path)
        elif form == "npy":
            read = _read_npy(path)
        else:
            assert raw_dtype is not None  # kind() gives "raw" only with a dtype
            read = _read_raw(path, raw_dtype)
    except OSError as e:
        raise Failure(path, e.strerror or str(e)) from None
    if read.samples.shape[1] == 0:
        raise Failure(path, "holds no samples")
    return read


def _read_audio(path: Path) -> Signal:
    import soundfile

    try:
        info = soundfile.info(str(path))
        frames, rate = soundfile.read(str(path), dtype="float32", always_2d=True)
    except (soundfile.SoundFileError, RuntimeError) as e:
        raise Failure(path, f"not a readable {AUDIO[path.suffix.lower()]} file ({one_line(e)})") from None
    source = {"format": info.format, "subtype": info.subtype}
    return Signal(np.ascontiguousarray(frames.T), int(rate), source)


def _as_float32(data: np.ndarray, path: Path) -> np.ndarray:
    """The samples as a C-contiguous float32 array. A finite float64 value
    beyond float32's range would silently become an infinity, which the codec
    stores as a non-finite sample, so it is refused instead."""
    with np.errstate(over="ignore"):
        samples = data.astype(np.float32, order="C")
    if data.dtype.kind == "f" and data.dtype.itemsize > 4:
        lost = np.isfinite(data) & ~np.isfinite(samples)
        if lost.any():
            value = data[lost].flat[0]
            raise Failure(path, f"holds {value:g}, beyond the float32 range")
    return samples


def _read_npy(path: Path) -> Signal:
    try:
        data = np.load(path, allow_pickle=False)
    # NumPy parses an old-version header with Python's tokenizer, whose errors
    # are not ValueErrors.
    except (ValueError, EOFError, SyntaxError, TokenError) as e:
        raise Failure(path, f"not a readable .npy file ({one_line(e)})") from None
    if not isinstance(data, np.ndarray) or data.dtype.kind not in "fiu" or data.ndim not in (1, 2):
        what = f"{data.ndim}-D {data.dtype}" if isinstance(data, np.ndarray) else type(data).__name__
        raise Failure(path, f"holds a {what} array; expected 1-D or 2-D real numbers")
    if data.ndim == 1:
        return Signal(_as_float32(data, path)[np.newaxis, :], None, {"format": "NPY", "layout": "1d"})
    # Channels along the shorter axis: recordings have far more samples than
    # channels.
    channels_last = data.shape[0] > data.shape[1]
    rows = data.T if channels_last else data
    layout = "channels_last" if channels_last else "channels_first"
    return Signal(_as_float32(rows, path), None, {"format": "NPY", "layout": layout})


def _read_raw(path: Path, dtype: str) -> Signal:
    item = np.dtype(dtype).newbyteorder("<")
    size = path.stat().st_size
    if size % item.itemsize:
        raise Failure(path, f"size {size} is not a whole number of {dtype} samples")
    data = _as_float32(np.fromfile(path, dtype=item), path)
    return Signal(data[np.newaxis, :], None, {"format": "RAW", "dtype": dtype})


def open_zarr(path: Path) -> Any:
    import zarr

    if not path.exists():
        raise Failure(path, "no such file or directory")
    try:
        array = zarr.open_array(store=str(path), mode="r")
    except Exception as e:  # zarr reports a foreign directory in many ways
        raise Failure(path, f"not a Zarr array ({one_line(e)})") from None
    if array.ndim not in (1, 2) or np.dtype(array.dtype).kind != "f":
        raise Failure(path, f"holds a {array.ndim}-D {array.dtype} array; expected 1-D or 2-D float samples")
    return array


def read_store(path: Path, quiet: bool) -> Signal:
    array = open_zarr(path)
    attrs = dict(array.attrs)
    if attrs.get("all_chunks_written") and array.nchunks_initialized < array.nchunks:
        missing = array.nchunks - array.nchunks_initialized
        raise Failure(path, f"{missing} of {array.nchunks} chunks are missing")
    channels, n = array.shape if array.ndim == 2 else (1, array.shape[0])
    out = np.empty((channels, n), np.float32)
    step = array.chunks[-1] * 4
    with progress(channels * n, quiet, "decompress") as bar:
        for c in range(channels):
            for start in range(0, n, step):
                stop = min(start + step, n)
                try:
                    out[c, start:stop] = array[c, start:stop] if array.ndim == 2 else array[start:stop]
                except ValueError as e:
                    raise Failure(path, f"channel {c}, samples {start}..{stop - 1}: {one_line(e)}") from None
                bar.update(stop - start)
    rate = attrs.get("sample_rate")
    return Signal(out, int(rate) if isinstance(rate, (int, float)) else None, dict(attrs.get("source") or {}))


def stream_bytes(path: Path) -> bytes:
    """The whole of a .qrnl file."""
    if not path.is_file():
        raise Failure(path, "no such file" if not path.exists() else "is not a file")
    try:
        return path.read_bytes()
    except OSError as e:
        raise Failure(path, e.strerror or str(e)) from None


def read_stream(path: Path, threads: Optional[int]) -> Signal:
    stream = stream_bytes(path)
    try:
        trailer = quarnel_tools.read_trailer(stream)
        samples = quarnel_tools.decompress(stream, threads=threads)
    except ValueError as e:
        raise Failure(path, one_line(e)) from None
    if trailer is None:
        return Signal(samples[np.newaxis, :])
    rate = trailer.sample_rate
    return Signal(samples[np.newaxis, :], None if rate is None else int(rate), _source_of(trailer.source_format))


# The trailer's source format is a soundfile subtype ("PCM_16", upper case)
# for audio, a NumPy dtype name ("float64", lower case) for raw samples.
def _source_format(source: Dict[str, Any]) -> str:
    return str(source.get("subtype") or source.get("dtype") or "")


def _source_of(source_format: str) -> Dict[str, Any]:
    if not source_format:
        return {}
    return {"subtype": source_format} if source_format.isupper() else {"dtype": source_format}


def write_stream(out: Path, signal: Signal, source: Path, settings: Settings, threads: Optional[int]) -> None:
    channels, n = signal.samples.shape
    if channels != 1:
        raise Failure(source, f"has {channels} channels; a .qrnl stream holds one (write a .zarr store)")
    if n > MAX_STREAM_SAMPLES:
        raise Failure(source, f"has {n} samples; a .qrnl stream holds fewer than 2^31 (write a .zarr store)")
    try:
        meta = quarnel_tools.Metadata(signal.rate, 1, _source_format(signal.source))
        stream = settings.compress(signal.samples[0], threads, metadata=meta)
    except ValueError as e:
        raise Failure(source, one_line(e)) from None
    with staged(out, directory=False) as tmp:
        tmp.write_bytes(stream)


def write_store(
    out: Path, signal: Signal, source: Path, settings: Settings, chunk: int, threads: int, quiet: bool
) -> None:
    import zarr

    from quarnel_tools.zarr import QuarnelCodec

    channels, n = signal.samples.shape
    if settings.target == "rel_error":
        assert settings.bound is not None  # a target comes with its bound
        # Chunks are compressed one by one, each against its own range: give
        # them all the absolute bound the whole signal's range allows.
        finite = signal.samples[np.isfinite(signal.samples)]
        span = float(finite.max() - finite.min()) if finite.size else 0.0
        bound = settings.bound * span if span > 0 else settings.bound
        settings = Settings.parse(method=settings.method, coder=settings.coder, max_error=bound)
    attributes: Dict[str, JSON] = {
        "sample_rate": signal.rate,
        "source": {"name": source.name, **signal.source},
        "all_chunks_written": True,
    }
    with staged(out, directory=True) as tmp:
        array = zarr.create_array(
            store=str(tmp), shape=(channels, n), chunks=(1, min(chunk, n)), dtype="float32",
            serializer=QuarnelCodec(**settings.config()), compressors=None, filters=None, fill_value=0.0,
            attributes=attributes, zarr_format=3, config={"write_empty_chunks": True},
        )
        # `threads` chunks per write: zarr compresses the chunks of one write
        # side by side.
        step = min(chunk, n) * max(1, threads)
        with progress(channels * n, quiet, "compress") as bar, ThreadPoolExecutor(1) as pool:
            for c in range(channels):
                for start in range(0, n, step):
                    stop = min(start + step, n)
                    try:
                        uninterrupted(pool, array.__setitem__, (c, slice(start, stop)), signal.samples[c, start:stop])
                    except ValueError as e:
                        raise Failure(source, f"channel {c}, samples {start}..{stop - 1}: {one_line(e)}") from None
                    bar.update(stop - start)


def write_signal(out: Path, signal: Signal, raw_dtype: Optional[str], rate: Optional[int]) -> None:
    """WAV/FLAC (at ``rate`` or the recorded one), .npy in the source's layout,
    or raw little-endian samples of ``raw_dtype``."""
    form = kind(out, raw_dtype, "output")
    samples = signal.samples
    channels = samples.shape[0]
    with staged(out, directory=False) as tmp:
        if form == "audio":
            _write_audio(tmp, out, signal, rate)
        elif form == "npy":
            layout = signal.source.get("layout")
            data = samples[0] if channels == 1 and layout in (None, "1d") else samples
            if layout == "channels_last":
                data = samples.T
            with open(tmp, "wb") as fh:
                np.save(fh, data)
        else:
            if channels != 1:
                raise Failure(out, f"raw output holds one channel, the signal has {channels} (write .npy or .wav)")
            samples[0].astype(np.dtype(raw_dtype).newbyteorder("<")).tofile(tmp)


def _write_audio(tmp: Path, out: Path, signal: Signal, rate_option: Optional[int]) -> None:
    import soundfile

    container = AUDIO[out.suffix.lower()]
    rate = rate_option or signal.rate
    if rate is None:
        raise Failure(out, "needs a sample rate and the input records none; give --rate")
    subtype = signal.source.get("subtype")
    if not subtype or not soundfile.check_format(container, subtype):
        subtype = DEFAULT_SUBTYPE[container]
    frames = signal.samples.T
    bits = PCM_BITS.get(subtype)
    if bits is not None:
        frames = _pcm_frames(frames, bits)
    elif subtype.startswith("ULAW") or subtype.startswith("ALAW"):
        # A reconstruction may overshoot full scale a little; integers would
        # wrap around instead of clipping.
        frames = np.clip(frames, -1.0, 1.0)
    try:
        soundfile.write(str(tmp), frames, rate, subtype=subtype, format=container)
    except (soundfile.SoundFileError, RuntimeError, ValueError) as e:
        raise Failure(out, one_line(e)) from None


def _pcm_frames(frames: np.ndarray, bits: int) -> np.ndarray:
    """Samples in [-1, 1) as the nearest ``bits``-bit PCM values, clipped to
    the format's range, in the top bits of int32s: libsndfile floors floats
    to PCM, up to a whole step low, but stores the top bits of integers as
    they are."""
    full = 2.0 ** (bits - 1)
    # Scaling by a power of two is exact, and float32 holds every 24-bit value.
    values: np.ndarray = np.multiply(frames, full, dtype=np.float64 if bits > 24 else np.float32)
    np.rint(values, out=values)
    np.clip(values, -full, full - 1, out=values)
    pcm = values.astype(np.int32)
    np.multiply(pcm, 1 << (32 - bits), out=pcm)
    return pcm
