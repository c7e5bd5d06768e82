"""The commands compress, decompress and info."""

from __future__ import annotations

import json
import sys
import time
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

import quarnel_tools
from quarnel_tools._native import HEADER_SIZE
from quarnel_tools._settings import Settings
from quarnel_tools.cli import hdf5_io
from quarnel_tools.cli.bench import measure
from quarnel_tools.cli.failure import STDIN, STDOUT, Failure, one_line, shown
from quarnel_tools.cli.signal_io import (
    PCM_BITS,
    Signal,
    kind,
    open_zarr,
    pcm_frames,
    read_signal,
    read_store,
    read_stream,
    sample_format,
    source_of,
    store_target,
    stream_bytes,
    write_signal,
    write_store,
    write_stream,
)
from quarnel_tools.cli.staging import check_out


def _no_store_in_pipe(path: Path, form: str) -> None:
    if form == "zarr" and (path is STDIN or path is STDOUT):
        raise Failure(path, "a Zarr store is a directory, not a stream")


def compress(
    source: Path, out: Path, settings: Settings, *, raw_dtype: Optional[str], chunk: int, force: bool,
    threads: Optional[int], quiet: bool, named_in: Optional[str] = None, named_out: Optional[str] = None,
) -> None:
    """Compress ``source`` into ``out`` and, unless ``quiet``, say on stderr
    what the output achieves, measured on its decoded samples."""
    start = time.perf_counter()
    # Standard output takes the one compressed format that is a stream.
    form = kind(out, None, "output", named_out or ("qrnl" if out is STDOUT else None))
    _no_store_in_pipe(out, form)
    if form not in ("qrnl", "zarr", "hdf5"):
        raise Failure(out, "compressed output must end in .qrnl or .zarr, or name a dataset as FILE.h5:/NAME")
    if chunk < 1:
        raise Failure(None, f"--chunk must be at least 1, not {chunk}")
    if form == "zarr":
        target = store_target(out, force)
    elif form == "hdf5":
        dataset = hdf5_io.dataset_target(out, force, settings)
    else:
        check_out(out, force)
    signal = read_signal(source, raw_dtype, named_in)
    if form == "qrnl":
        stream = write_stream(out, signal, source, settings, threads)
        elapsed = time.perf_counter() - start
        if not quiet:
            restored = quarnel_tools.decompress(stream, threads=threads, dtype=np.float64)
            _summary(source, out, signal, len(stream), restored[np.newaxis, :], elapsed)
    elif form == "hdf5":
        hdf5_io.write_dataset(dataset, signal, source, settings, chunk, quiet)
        elapsed = time.perf_counter() - start
        if not quiet:
            written = hdf5_io.read_dataset(out, quiet=True)
            _summary(source, out, signal, written.size, written.samples, elapsed)
    else:
        write_store(target, signal, source, settings, chunk, threads or 2, quiet)
        elapsed = time.perf_counter() - start
        if not quiet:
            array = open_zarr(out)
            _summary(source, out, signal, array.nbytes_stored(), array[...], elapsed)


def _summary(source: Path, out: Path, signal: Signal, size: int, restored: np.ndarray, elapsed: float) -> None:
    """One line on stderr: what was compressed, the ratios against the input's
    own bytes and against float32 samples, and the error of ``restored``
    against the samples as read."""
    channels, n = signal.samples.shape
    count = f"{n} samples" if channels == 1 else f"{channels} channels of {n} samples"
    restored = restored.reshape(signal.samples.shape)
    max_error, psnr = measure(signal.samples, restored)
    # A target is the stream's. decompress writes PCM back as the source's
    # subtype, rounded to its step: say what that output measures too.
    subtype = signal.source.get("subtype")
    as_pcm = ""
    if subtype in PCM_BITS:
        pcm = pcm_frames(restored.T, PCM_BITS[subtype]).T / 2.0**31
        as_pcm = f" ({measure(signal.samples, pcm)[1]:.2f} dB written back as {subtype})"
    print(
        f"{shown(source)} -> {shown(out)}: {count}, ratio {signal.size / size:.4g} against the input, "
        f"{signal.samples.size * 4 / size:.4g} against float32, max error {max_error:.4g}, "
        f"PSNR {psnr:.2f} dB{as_pcm}, {elapsed:.3g} s",
        file=sys.stderr,
    )


def decompress(
    source: Path, out: Path, *, raw_dtype: Optional[str], rate: Optional[int], force: bool,
    threads: Optional[int], quiet: bool, named_in: Optional[str] = None, named_out: Optional[str] = None,
) -> None:
    # Standard input holds the one compressed format that is a stream.
    form = kind(source, None, "input", named_in or ("qrnl" if source is STDIN else None))
    _no_store_in_pipe(source, form)
    if kind(out, raw_dtype, "output", named_out) not in ("wav", "flac", "npy", "raw"):
        raise Failure(out, "decompressed output must be .wav, .flac, .npy, or raw samples with --dtype")
    check_out(out, force)
    if form == "qrnl":
        signal = read_stream(source, threads)
    elif form == "zarr":
        signal = read_store(source, quiet)
    elif form == "hdf5":
        signal = hdf5_io.read_dataset(source, quiet)
    else:
        raise Failure(source, "not a compressed file (expected .qrnl, .zarr or FILE.h5:/DATASET)")
    write_signal(out, signal, raw_dtype, rate, named_out)


def info(source: Path, named: Optional[str] = None) -> None:
    form = kind(source, None, "input", named or ("qrnl" if source is STDIN else None))
    _no_store_in_pipe(source, form)
    if form == "qrnl":
        rows = _stream_rows(source)
    elif form == "zarr":
        import zarr

        found = open_zarr(source, group=True)
        rows = _group_rows(source, found) if isinstance(found, zarr.Group) else _store_rows(source, found)
    elif form == "hdf5":
        with hdf5_io.opened(source, group=True) as node:
            rows = _dataset_rows(source, node) if hasattr(node, "dtype") else _hdf5_group_rows(source, node)
    else:
        raise Failure(source, "info reads .qrnl streams, Zarr arrays and groups, and HDF5 datasets and files")
    width = max(len(name) for name, _ in rows)
    lines = [f"{name:<{width}}  {value:.7g}" if isinstance(value, float) else f"{name:<{width}}  {value}"
             for name, value in rows]
    # One write, even unbuffered: `info | head -1` then reads it whole
    # before it closes the pipe.
    sys.stdout.write("".join(line + "\n" for line in lines))


def _ratio(count: int, size: int, source: Dict[str, Any]) -> str:
    """``count`` samples in ``size`` bytes, against the source's own sample
    format where it is known and against float32."""
    name, width = sample_format(source)
    if not size:
        return "nan (nothing stored)"
    ratio = f"{count * width / size:.4g} against {name} samples"
    return ratio if name == "float32" else f"{ratio} ({count * 4 / size:.4g} against float32)"


def _stream_rows(source: Path) -> List[Tuple[str, Any]]:
    stream = stream_bytes(source)
    try:
        header = quarnel_tools.inspect(stream)
        # Verifies the checksum, and refuses bytes after the payload that
        # are not a trailer.
        trailer = quarnel_tools.read_trailer(stream)
    except ValueError as e:
        raise Failure(source, one_line(e)) from None
    # The header's range and mean are the decoder's (the normalisation),
    # not the signal's: the range shown is the trailer's record of the
    # signal's own where it differs, else the stored one, which is the
    # signal's for every encoder but the bounded one.
    shown_header = ("method", "levels", "scale", "coder", "sample_count", "payload_length")
    rows = [("file", shown(source))] + [(name, getattr(header, name)) for name in shown_header]
    if trailer is not None and trailer.signal_range is not None:
        low, high = trailer.signal_range
        rows.append(("range", f"{low:.7g} to {high:.7g}"))
    elif trailer is not None:
        rows.append(("range", f"{header.min:.7g} to {header.max:.7g}"))
    else:
        rows.append(("range", f"{header.min:.7g} to {header.max:.7g} as stored (without a trailer, the bounded "
                              "encoder's may be wider than the signal's)"))
    recorded = {} if trailer is None else source_of(trailer.source_format)
    # inspect()'s ratio: the header and payload, without the trailer.
    rows.append(("ratio", _ratio(header.sample_count, HEADER_SIZE + header.payload_length, recorded)))
    if trailer is None:
        return rows + [("trailer", "none (no checksum)")]
    rows.append(("trailer", f"{len(stream) - HEADER_SIZE - header.payload_length} bytes, checksum ok"))
    skipped = ("target", "signal_range", "corrected", "uncorrected_error", "grid")
    shown_fields = [name for name in trailer._fields if name not in skipped]
    rows += [(name, getattr(trailer, name)) for name in shown_fields if getattr(trailer, name) not in (None, "")]
    if trailer.target is not None:
        kind, value, max_error, psnr = trailer.target
        rows.append(("target", f"{kind} {value:.7g}, met with max error {max_error:.4g}, PSNR {psnr:.2f} dB"))
    if trailer.corrected or trailer.grid:
        grid = ""
        if trailer.grid is not None:
            origin, step = trailer.grid
            grid = f"; every sample rounded to a grid of {step:.6g} from {origin:.6g}"
        rows.append((
            "corrected",
            f"{trailer.corrected} samples{grid}; readers that ignore the trailer see errors up to "
            f"{trailer.uncorrected_error:.4g}",
        ))
    return rows


def _codecs(array: Any) -> List[Any]:
    if array.metadata.zarr_format == 3:
        return [c.to_dict() for c in array.metadata.codecs]
    filters = [f.get_config() for f in array.metadata.filters or ()]
    return filters + ([array.metadata.compressor.get_config()] if array.metadata.compressor else [])


def _store_rows(source: Path, array: Any) -> List[Tuple[str, Any]]:
    stored = array.nbytes_stored()
    attributes = dict(array.attrs)
    # A store that records no source is taken at its own sample type.
    recorded = attributes.get("source") or {"dtype": str(array.dtype)}
    return [
        ("file", str(source)),
        ("format", f"Zarr v{array.metadata.zarr_format}"),
        ("shape", list(array.shape)),
        ("chunks", list(array.chunks)),
        ("dtype", str(array.dtype)),
        ("codecs", json.dumps(_codecs(array))),
        ("chunks written", f"{array.nchunks_initialized} of {array.nchunks}"),
        ("attributes", json.dumps(attributes)),
        ("stored bytes", stored),
        ("ratio", _ratio(array.size, stored, recorded)),
    ]


def _group_rows(source: Path, group: Any) -> List[Tuple[str, Any]]:
    """The group's arrays, at every depth, with their shapes, types and codecs."""
    import zarr

    members = group.members(max_depth=None)
    arrays = sorted(((name, node) for name, node in members if isinstance(node, zarr.Array)), key=lambda m: m[0])
    rows: List[Tuple[str, Any]] = [("file", str(source)), ("format", f"Zarr v{group.metadata.zarr_format} group")]
    rows += [(name, f"{list(a.shape)} {a.dtype}, codecs {json.dumps(_codecs(a))}") for name, a in arrays]
    return rows if arrays else rows + [("arrays", "none")]


def _dataset_rows(source: Path, dataset: Any) -> List[Tuple[str, Any]]:
    stored = dataset.id.get_storage_size()
    attributes = hdf5_io.attributes(dataset)
    # A dataset that records no source is taken at its own sample type.
    recorded = attributes.get("source")
    if not isinstance(recorded, dict) or not recorded:
        recorded = {"dtype": str(dataset.dtype)}
    return [
        ("file", str(source)),
        ("format", "HDF5 dataset"),
        ("shape", list(dataset.shape)),
        ("chunks", list(dataset.chunks) if dataset.chunks else "none (contiguous)"),
        ("dtype", str(dataset.dtype)),
        ("filters", hdf5_io.filters(dataset)),
        ("attributes", json.dumps(attributes)),
        ("stored bytes", stored),
        ("ratio", _ratio(dataset.size, stored, recorded)),
    ]


def _hdf5_group_rows(source: Path, group: Any) -> List[Tuple[str, Any]]:
    """The group's datasets, at every depth, with their shapes, types and filters."""
    rows: List[Tuple[str, Any]] = [("file", str(source)), ("format", "HDF5 group")]
    found = hdf5_io.datasets(group)
    rows += [(name, f"{list(d.shape)} {d.dtype}, filters {hdf5_io.filters(d)}") for name, d in found]
    return rows if found else rows + [("datasets", "none")]
