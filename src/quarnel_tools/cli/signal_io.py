"""Signals in and out of files and pipes: WAV/FLAC, .npy and raw samples,
.qrnl streams and Zarr arrays, as float samples with channels as rows (HDF5
datasets: ``hdf5_io``)."""

from __future__ import annotations

import io
import re
import sys
import warnings
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from tokenize import TokenError
from typing import IO, TYPE_CHECKING, Any, Dict, Literal, Optional, Tuple, Union

import numpy as np

import quarnel_tools
from quarnel_tools._native import MAX_SAMPLE_COUNT
from quarnel_tools._settings import Settings
from quarnel_tools.cli.failure import STDIN, STDOUT, Failure, one_line
from quarnel_tools.cli.progress import progress
from quarnel_tools.cli.staging import check_out, staged, uninterrupted, written

if TYPE_CHECKING:
    from zarr.core.common import JSON

AUDIO = {".wav": "WAV", ".flac": "FLAC"}
# Subtypes whose samples float32 would round: they are read as float64, so
# that errors are measured against the values the file holds.
WIDE_SUBTYPES = ("PCM_32", "DOUBLE")
# What a decompressed signal becomes when the store records no subtype (or one
# the output format cannot hold): the float32 samples as they are, or the
# finest PCM that FLAC has.
DEFAULT_SUBTYPE = {"WAV": "FLOAT", "FLAC": "PCM_24"}
# Linear PCM subtypes and their bits per sample.
PCM_BITS = {"PCM_S8": 8, "PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}
# Bytes per sample of the other subtypes a ratio can be taken against.
SUBTYPE_BYTES = {"FLOAT": 4, "DOUBLE": 8, "ULAW": 1, "ALAW": 1, **{k: v // 8 for k, v in PCM_BITS.items()}}
# The largest sample rate libsndfile writes (a C int).
MAX_AUDIO_RATE = (1 << 31) - 1


@dataclass
class Signal:
    # float32, or float64 where float32 would round the source's values;
    # channels as rows, C order.
    samples: np.ndarray
    rate: Optional[int] = None
    source: Dict[str, Any] = field(default_factory=dict)
    size: int = 0  # bytes of the file or stream it was read from


def zarr_node(path: Path) -> Tuple[Path, str]:
    """The store and the node in it of ``path``: the store is the first
    directory whose name ends in .zarr, and the node the path below it, so
    that ``store.zarr/ecg`` names the array ecg in the store's root group."""
    parts = path.parts
    for i, part in enumerate(parts):
        if part.lower().endswith(".zarr"):
            return Path(*parts[: i + 1]), "/".join(parts[i + 1 :])
    return path, ""


# FILE.h5:/DATASET, FILE.h5:DATASET or FILE.h5 alone; NetCDF-4 files are
# HDF5 files.
_HDF5_NAME = re.compile(r"(.*?\.(?:h5|hdf5|nc))(?::(.*))?", re.IGNORECASE | re.DOTALL)


def hdf5_node(path: Path) -> Optional[Tuple[Path, str]]:
    """The HDF5 file and the dataset path in it (without the leading /,
    empty for the root group) that ``path`` names, or None for a name of
    another kind."""
    if path is STDIN or path is STDOUT:
        return None
    found = _HDF5_NAME.fullmatch(str(path))
    if found is None:
        return None
    return Path(found[1]), (found[2] or "").strip("/")


def kind(path: Path, raw_dtype: Optional[str], role: str, named: Optional[str] = None) -> str:
    """What ``path`` holds: the format ``named`` by --from or --to, "raw"
    samples when ``raw_dtype`` is given, else by its name: "wav", "flac",
    "npy", "qrnl", "zarr" for a store and the nodes inside it, or "hdf5"
    for an HDF5 file and the nodes inside it."""
    flag = "--from" if role == "input" else "--to"
    pipe = path is STDIN or path is STDOUT
    suffix = "" if pipe else path.suffix.lower()
    in_store = not pipe and zarr_node(path)[1] != ""
    in_hdf5 = hdf5_node(path) is not None
    known = suffix in AUDIO or suffix in (".npy", ".qrnl", ".zarr") or in_store or in_hdf5
    if raw_dtype is not None:
        # A container read as samples would be its header and all.
        if named is not None:
            raise Failure(path, f"--dtype is for raw samples, not {named}")
        if known:
            container = "HDF5" if in_hdf5 else suffix or "Zarr"
            raise Failure(path, f"--dtype is for raw samples, not {container} files")
        return "raw"
    if named is not None:
        return named
    if pipe:
        raise Failure(path, f"name its format with {flag}, or give --dtype for raw samples")
    if in_hdf5:
        return "hdf5"
    if in_store:
        return "zarr"
    if known:
        return suffix[1:]
    raise Failure(path, f"unsupported {role} format '{suffix or path.name}' (expected .wav, .flac, .npy, .qrnl, "
                        f".zarr, FILE.h5:/DATASET, or raw samples with --dtype; or give {flag})")


def read_all(path: Path) -> bytes:
    """The whole of standard input, a pipe or a file."""
    try:
        if path is STDIN:
            if sys.stdin is None:
                raise Failure(path, "is closed")
            if sys.stdin.isatty():  # nobody types samples: a pipe was meant
                raise Failure(path, "is a terminal; pipe a stream in")
            return sys.stdin.buffer.read()
        return path.read_bytes()
    except OSError as e:
        raise Failure(path, e.strerror or str(e)) from None


def read_signal(path: Path, raw_dtype: Optional[str], named: Optional[str] = None) -> Signal:
    """A WAV/FLAC, .npy or raw file or stream as samples with channels as rows."""
    form = kind(path, raw_dtype, "input", named)
    if form in ("qrnl", "zarr"):
        raise Failure(path, "is already compressed (decompress it first)")
    if form == "hdf5":
        raise Failure(path, "an HDF5 dataset is read by decompress, into .npy, WAV/FLAC or raw samples")
    if path is not STDIN and not path.exists():
        raise Failure(path, "no such file")
    if path is not STDIN and path.is_dir():
        raise Failure(path, "is a directory")
    source: Union[Path, io.BytesIO]
    if path is STDIN or not path.is_file():
        # Pipes cannot seek, and the readers of each format do: read the
        # stream whole first.
        source = io.BytesIO(read_all(path))
        size = len(source.getbuffer())
    else:
        source = path
        size = path.stat().st_size
    try:
        if form in ("wav", "flac"):
            read = _read_audio(source, path, form)
        elif form == "npy":
            read = _read_npy(source, path)
        else:
            assert raw_dtype is not None  # kind() gives "raw" only with a dtype
            read = _read_raw(source, path, raw_dtype)
    except OSError as e:
        raise Failure(path, e.strerror or str(e)) from None
    if read.samples.shape[1] == 0:
        raise Failure(path, "holds no samples")
    read.size = size
    return read


def _read_audio(source: Union[Path, io.BytesIO], path: Path, form: str) -> Signal:
    import soundfile

    try:
        with soundfile.SoundFile(str(source) if isinstance(source, Path) else source) as f:
            dtype = "float64" if f.subtype in WIDE_SUBTYPES else "float32"
            frames = f.read(dtype=dtype, always_2d=True)
            rate, info = f.samplerate, {"format": f.format, "subtype": f.subtype}
    except (soundfile.SoundFileError, RuntimeError) as e:
        raise Failure(path, f"not a readable {form.upper()} file ({one_line(e)})") from None
    return Signal(np.ascontiguousarray(frames.T), int(rate), info)


def _as_samples(data: np.ndarray, path: Path) -> np.ndarray:
    """The samples as a C-contiguous array: float32, or float64 where float32
    would round the values (float64, integers of more than 16 bits), so that
    errors are measured against the values given. A finite value beyond
    float32's range would silently become an infinity, which the codec stores
    as a non-finite sample, so it is refused instead."""
    with np.errstate(over="ignore"):
        samples = data.astype(np.float32, order="C")
    if data.dtype.kind == "f" and data.dtype.itemsize > 4:
        lost = np.isfinite(data) & ~np.isfinite(samples)
        if lost.any():
            value = data[lost].flat[0]
            raise Failure(path, f"holds {value:g}, beyond the float32 range")
    if data.dtype.itemsize > (4 if data.dtype.kind == "f" else 2):
        return np.ascontiguousarray(data, np.float64)
    return samples


def _read_npy(source: Union[Path, io.BytesIO], path: Path) -> Signal:
    try:
        data = np.load(source, allow_pickle=False)
    # NumPy parses an old-version header with Python's tokenizer, whose errors
    # are not ValueErrors.
    except (ValueError, EOFError, SyntaxError, TokenError) as e:
        raise Failure(path, f"not a readable .npy file ({one_line(e)})") from None
    if not isinstance(data, np.ndarray) or data.dtype.kind not in "fiu" or data.ndim not in (1, 2):
        what = f"{data.ndim}-D {data.dtype}" if isinstance(data, np.ndarray) else type(data).__name__
        raise Failure(path, f"holds a {what} array; expected 1-D or 2-D real numbers")
    dtype = data.dtype.name
    if data.ndim == 1:
        return Signal(_as_samples(data, path)[np.newaxis, :], None, {"format": "NPY", "layout": "1d", "dtype": dtype})
    # Channels along the shorter axis: recordings have far more samples than
    # channels.
    channels_last = data.shape[0] > data.shape[1]
    rows = data.T if channels_last else data
    layout = "channels_last" if channels_last else "channels_first"
    return Signal(_as_samples(rows, path), None, {"format": "NPY", "layout": layout, "dtype": dtype})


def _read_raw(source: Union[Path, io.BytesIO], path: Path, dtype: str) -> Signal:
    item = np.dtype(dtype).newbyteorder("<")
    size = source.stat().st_size if isinstance(source, Path) else len(source.getbuffer())
    if size % item.itemsize:
        raise Failure(path, f"size {size} is not a whole number of {dtype} samples")
    if isinstance(source, Path):
        data = np.fromfile(source, dtype=item)
    else:
        data = np.frombuffer(source.getbuffer(), dtype=item)
    return Signal(_as_samples(data, path)[np.newaxis, :], None, {"format": "RAW", "dtype": dtype})


def open_zarr(path: Path, group: bool = False) -> Any:
    """The Zarr array at ``path`` (a store, or store.zarr/ecg for an array in
    one of its groups); with ``group``, a group there too."""
    import zarr

    root, node = zarr_node(path)
    if not (root / node).exists():
        raise Failure(path, "no such file or directory")
    try:
        found = zarr.open(store=str(root), path=node, mode="r")
    except Exception as e:  # zarr reports a foreign directory in many ways
        raise Failure(path, f"not a Zarr array or group ({one_line(e)})") from None
    if isinstance(found, zarr.Group) and not group:
        names = ", ".join(name for name, _ in found.arrays()) or "none at its top"
        raise Failure(path, f"is a Zarr group; name one of its arrays as {path}/NAME (arrays: {names})")
    return found


def read_store(path: Path, quiet: bool) -> Signal:
    array = open_zarr(path)
    if array.ndim not in (1, 2) or np.dtype(array.dtype).kind != "f":
        raise Failure(path, f"holds a {array.ndim}-D {array.dtype} array; expected 1-D or 2-D float samples")
    attrs = dict(array.attrs)
    if attrs.get("all_chunks_written") and array.nchunks_initialized < array.nchunks:
        missing = array.nchunks - array.nchunks_initialized
        raise Failure(path, f"{missing} of {array.nchunks} chunks are missing")
    shape = array.shape if array.ndim == 2 else (1, array.shape[0])
    out = read_rows(path, array, shape, np.float32, array.chunks[-1] * 4, quiet)
    rate = attrs.get("sample_rate")
    return Signal(out, int(rate) if isinstance(rate, (int, float)) else None, dict(attrs.get("source") or {}))


def _row(array: Any, c: int, start: int, stop: int) -> Any:
    """The index of samples ``start`` to ``stop`` of channel ``c`` in a 2-D
    array of channels as rows, or in a 1-D array of one channel."""
    return (c, slice(start, stop)) if array.ndim == 2 else slice(start, stop)


def read_rows(path: Path, array: Any, shape: Tuple[int, int], dtype: Any, step: int, quiet: bool) -> np.ndarray:
    """The samples of a chunked array (Zarr or HDF5), ``step`` samples of a
    channel at a time; a chunk that does not decode names its place."""
    channels, n = shape
    out = np.empty(shape, dtype)
    with progress(channels * n, quiet, "decompress") as bar:
        for c in range(channels):
            for start in range(0, n, step):
                stop = min(start + step, n)
                try:
                    out[c, start:stop] = array[_row(array, c, start, stop)]
                except (ValueError, OSError) as e:
                    raise Failure(path, f"channel {c}, samples {start}..{stop - 1}: {one_line(e)}") from None
                bar.update(stop - start)
    return out


def write_rows(source: Path, array: Any, samples: np.ndarray, step: int, quiet: bool) -> None:
    """``samples`` (channels as rows) into a chunked array, ``step`` samples
    of a channel at a time, each write on a worker thread that an interrupt
    waits for; a chunk that does not compress names its place."""
    channels, n = samples.shape
    with progress(channels * n, quiet, "compress") as bar, ThreadPoolExecutor(1) as pool:
        for c in range(channels):
            for start in range(0, n, step):
                stop = min(start + step, n)
                try:
                    uninterrupted(pool, array.__setitem__, _row(array, c, start, stop), samples[c, start:stop])
                except (ValueError, OSError) as e:
                    at, end, reason = _failing_chunk(array, samples, c, start, stop, e)
                    raise Failure(source, f"channel {c}, samples {at}..{end - 1}: {one_line(reason)}") from None
                bar.update(stop - start)


def _failing_chunk(
    array: Any, samples: np.ndarray, c: int, start: int, stop: int, error: Exception
) -> Tuple[int, int, Exception]:
    """The first chunk of a failed write that fails on its own, and why: a
    write spans several chunks. The write's own when none does."""
    chunk = array.chunks[-1]
    for at in range(start, stop, chunk):
        end = min(at + chunk, stop)
        try:
            array[_row(array, c, at, end)] = samples[c, at:end]
        except (ValueError, OSError) as e:
            return at, end, e
    return start, stop, error


def stream_bytes(path: Path) -> bytes:
    """The whole of a .qrnl file or stream: read in order, never sought."""
    if path is not STDIN and (not path.exists() or path.is_dir()):
        raise Failure(path, "no such file" if not path.exists() else "is not a file")
    return read_all(path)


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
    return Signal(samples[np.newaxis, :], None if rate is None else int(rate), source_of(trailer.source_format))


# The trailer's source format is a soundfile subtype ("PCM_16", upper case)
# for audio, a NumPy dtype name ("float64", lower case) for raw samples.
def _source_format(source: Dict[str, Any]) -> str:
    return str(source.get("subtype") or source.get("dtype") or "")


def sample_format(source: Dict[str, Any]) -> Tuple[str, int]:
    """The sample format a source records and its bytes per sample; float32
    where it records none, or one of no fixed width (a compressed subtype)."""
    name = _source_format(source)
    if name in SUBTYPE_BYTES:
        return name, SUBTYPE_BYTES[name]
    if name.islower():
        try:
            dtype = np.dtype(name)
        except TypeError:
            pass
        else:
            if dtype.kind in "fiu":
                return name, dtype.itemsize
    return "float32", 4


def source_of(source_format: str) -> Dict[str, Any]:
    if not source_format:
        return {}
    return {"subtype": source_format} if source_format.isupper() else {"dtype": source_format}


def write_stream(out: Path, signal: Signal, source: Path, settings: Settings, threads: Optional[int]) -> bytes:
    channels, n = signal.samples.shape
    if channels != 1:
        raise Failure(source, f"has {channels} channels; a .qrnl stream holds one (write a .zarr store)")
    if n > MAX_SAMPLE_COUNT:
        raise Failure(source, f"has {n} samples; a .qrnl stream holds at most {MAX_SAMPLE_COUNT} (write a .zarr store)")
    try:
        meta = quarnel_tools.Metadata(signal.rate, 1, _source_format(signal.source))
        stream = settings.compress(signal.samples[0], threads, metadata=meta)
    except ValueError as e:
        raise Failure(source, one_line(e)) from None
    with written(out) as fh:
        fh.write(stream)
    return stream


@dataclass
class StoreTarget:
    """Where compress writes a Zarr array: a store of its own, or a new array
    in an existing group of the group's Zarr format."""

    directory: Path  # the array's own directory
    zarr_format: Literal[2, 3] = 3
    name: str = ""  # the array's name in its group
    consolidated: Optional[Path] = None  # the store whose consolidated metadata to renew


def store_target(out: Path, force: bool) -> StoreTarget:
    """Where ``out`` puts an array, refusing an OUT that is a group (whose
    other arrays --force would remove), one in no group, and those
    ``check_out`` refuses."""
    import zarr

    root, node = zarr_node(out)
    directory = root / node
    if directory.is_dir():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                existing = zarr.open(store=str(root), path=node, mode="r")
            except Exception:  # not Zarr: --force replaces it, as any file
                existing = None
        if isinstance(existing, zarr.Group):
            raise Failure(out, f"is a Zarr group; name an array in it as {out}/NAME")
    if not node:
        check_out(directory, force)
        return StoreTarget(directory)
    parent = node.rpartition("/")[0]
    try:
        group = zarr.open_group(store=str(root), path=parent, mode="r")
    except Exception:
        raise Failure(out, f"no Zarr group at {root / parent if parent else root} to write it in") from None
    check_out(directory, force)
    top = group if not parent else zarr.open_group(store=str(root), mode="r")
    consolidated = root if top.metadata.consolidated_metadata is not None else None
    return StoreTarget(directory, group.metadata.zarr_format, node.rpartition("/")[2], consolidated)


def chunk_settings(settings: Settings, samples: np.ndarray) -> Settings:
    """``settings`` for the chunks of ``samples``, compressed one by one and
    each against its own range: a relative bound becomes the absolute bound
    the whole signal's range allows, every other setting kept. The span is
    taken in float64, as the codec takes it for a .qrnl stream. Without one
    (a constant signal), each chunk is as constant as the whole and gets the
    same verdict under the relative bound itself."""
    if settings.target != "rel_error":
        return settings
    assert settings.bound is not None  # a target comes with its bound
    finite = samples[np.isfinite(samples)]
    span = float(finite.max()) - float(finite.min()) if finite.size else 0.0
    if not span > 0:
        return settings
    config = settings.config()
    del config["rel_error"]
    return Settings.parse(**config, max_error=settings.bound * span)


def write_store(
    target: StoreTarget, signal: Signal, source: Path, settings: Settings, chunk: int, threads: int, quiet: bool
) -> None:
    import zarr

    from quarnel_tools.numcodecs import Quarnel
    from quarnel_tools.zarr import QuarnelCodec

    channels, n = signal.samples.shape
    settings = chunk_settings(settings, signal.samples)
    attributes: Dict[str, JSON] = {
        "sample_rate": signal.rate,
        "source": {**({"name": source.name} if source is not STDIN else {}), **signal.source},
        "all_chunks_written": True,
    }
    # Readers of datasets (xarray) need dimension names, and take dimensions
    # of one name to be one: names of the array's own cannot clash.
    dimensions = [f"{target.name}_channel", f"{target.name}_sample"] if target.name else None
    dtype = signal.samples.dtype.name
    layout: Dict[str, Any]
    if target.zarr_format == 3:
        layout = dict(serializer=QuarnelCodec(**settings.config()), compressors=None, dimension_names=dimensions)
    else:
        # A Zarr v2 group takes arrays of its own format, compressed by
        # the numcodecs codec, which masks the fill value as Zarr v3 does.
        layout = dict(compressors=Quarnel(**settings.config(), dtype=dtype, fill_value=0.0))
        if dimensions:
            attributes["_ARRAY_DIMENSIONS"] = dimensions
    with staged(target.directory, directory=True) as tmp:
        array = zarr.create_array(
            store=str(tmp), shape=(channels, n), chunks=(1, min(chunk, n)), dtype=dtype, filters=None,
            fill_value=0.0, attributes=attributes, zarr_format=target.zarr_format,
            config={"write_empty_chunks": True}, **layout,
        )
        # `threads` chunks per write: zarr compresses the chunks of one write
        # side by side.
        write_rows(source, array, signal.samples, min(chunk, n) * max(1, threads), quiet)
    if target.consolidated is not None:
        # The group's readers list its arrays from the consolidated metadata:
        # renew it, or the new array stays out of sight. (zarr warns that
        # consolidated metadata is not yet part of Zarr v3's format.)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            zarr.consolidate_metadata(str(target.consolidated))


def write_signal(
    out: Path, signal: Signal, raw_dtype: Optional[str], rate: Optional[int], named: Optional[str] = None
) -> None:
    """WAV/FLAC (at ``rate`` or the recorded one), .npy in the source's layout,
    or raw little-endian samples of ``raw_dtype``."""
    form = kind(out, raw_dtype, "output", named)
    samples = signal.samples
    channels = samples.shape[0]
    with written(out) as fh:
        if form in ("wav", "flac"):
            _write_audio(fh, out, form.upper(), signal, rate)
        elif form == "npy":
            layout = signal.source.get("layout")
            data = samples[0] if channels == 1 and layout in (None, "1d") else samples
            if layout == "channels_last":
                data = samples.T
            np.save(fh, data)
        else:
            if channels != 1:
                raise Failure(out, f"raw output holds one channel, the signal has {channels} (write .npy or .wav)")
            fh.write(samples[0].astype(np.dtype(raw_dtype).newbyteorder("<")).data)


def _write_audio(fh: IO[bytes], out: Path, container: str, signal: Signal, rate_option: Optional[int]) -> None:
    import soundfile

    rate = rate_option or signal.rate
    if rate is None:
        raise Failure(out, "needs a sample rate and the input records none; give --rate")
    if rate > MAX_AUDIO_RATE:
        # A trailer holds any rate; these files hold a 32-bit one.
        given = "--rate gives" if rate_option else "the input records"
        raise Failure(out, f"{given} a sample rate of {rate} Hz, beyond the {MAX_AUDIO_RATE} Hz that {container} holds")
    subtype = signal.source.get("subtype")
    if not subtype or not soundfile.check_format(container, subtype):
        subtype = DEFAULT_SUBTYPE[container]
    frames = signal.samples.T
    bits = PCM_BITS.get(subtype)
    if bits is not None:
        frames = pcm_frames(frames, bits)
    elif subtype.startswith("ULAW") or subtype.startswith("ALAW"):
        # A reconstruction may overshoot full scale a little; integers would
        # wrap around instead of clipping.
        frames = np.clip(frames, -1.0, 1.0)
    try:
        soundfile.write(fh, frames, rate, subtype=subtype, format=container)
    except (soundfile.SoundFileError, RuntimeError, ValueError) as e:
        raise Failure(out, one_line(e)) from None


def pcm_frames(frames: np.ndarray, bits: int) -> np.ndarray:
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
