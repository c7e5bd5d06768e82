"""The commands compress, decompress and info."""

from __future__ import annotations

import json
import math
from pathlib import Path
from typing import Any, List, Optional, Tuple

import quarnel_tools
from quarnel_tools._native import HEADER_SIZE
from quarnel_tools._settings import Settings
from quarnel_tools.cli.failure import Failure, one_line
from quarnel_tools.cli.signal_io import (
    kind,
    open_zarr,
    read_signal,
    read_store,
    read_stream,
    stream_bytes,
    write_signal,
    write_store,
    write_stream,
)
from quarnel_tools.cli.staging import check_out


def compress(
    source: Path, out: Path, settings: Settings, *, raw_dtype: Optional[str], chunk: int, force: bool,
    threads: Optional[int], quiet: bool,
) -> None:
    form = kind(out, None, "output")
    if form not in ("qrnl", "zarr"):
        raise Failure(out, "compressed output must end in .qrnl or .zarr")
    if chunk < 1:
        raise Failure(None, f"--chunk must be at least 1, not {chunk}")
    check_out(out, force)
    signal = read_signal(source, raw_dtype)
    if form == "qrnl":
        write_stream(out, signal, source, settings, threads)
    else:
        write_store(out, signal, source, settings, chunk, threads or 2, quiet)


def decompress(
    source: Path, out: Path, *, raw_dtype: Optional[str], rate: Optional[int], force: bool,
    threads: Optional[int], quiet: bool,
) -> None:
    form = kind(source, None, "input")
    if kind(out, raw_dtype, "output") not in ("audio", "npy", "raw"):
        raise Failure(out, "decompressed output must be .wav, .flac, .npy, or raw samples with --dtype")
    check_out(out, force)
    if form == "qrnl":
        signal = read_stream(source, threads)
    elif form == "zarr":
        signal = read_store(source, quiet)
    else:
        raise Failure(source, "not a compressed file (expected .qrnl or .zarr)")
    write_signal(out, signal, raw_dtype, rate)


def info(source: Path) -> None:
    form = kind(source, None, "input")
    if form == "qrnl":
        rows = _stream_rows(source)
    elif form == "zarr":
        rows = _store_rows(source)
    else:
        raise Failure(source, "info reads .qrnl streams and .zarr stores")
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        print(f"{name:<{width}}  {value:.7g}" if isinstance(value, float) else f"{name:<{width}}  {value}")


def _stream_rows(source: Path) -> List[Tuple[str, Any]]:
    stream = stream_bytes(source)
    try:
        header = quarnel_tools.inspect(stream)
        # Verifies the checksum, and refuses bytes after the payload that
        # are not a trailer.
        trailer = quarnel_tools.read_trailer(stream)
    except ValueError as e:
        raise Failure(source, one_line(e)) from None
    rows = [("file", str(source))] + [(name, getattr(header, name)) for name in header._fields]
    if trailer is None:
        return rows + [("trailer", "none (no checksum)")]
    rows.append(("trailer", f"{len(stream) - HEADER_SIZE - header.payload_length} bytes, checksum ok"))
    rows += [(name, getattr(trailer, name)) for name in trailer._fields if getattr(trailer, name) not in (None, "")]
    return rows


def _store_rows(source: Path) -> List[Tuple[str, Any]]:
    array = open_zarr(source)
    codecs = [c.to_dict() for c in array.metadata.codecs] if array.metadata.zarr_format == 3 else None
    if codecs is None:
        codecs = [array.metadata.compressor.get_config()] if array.metadata.compressor else []
    stored = array.nbytes_stored()
    return [
        ("file", str(source)),
        ("format", f"Zarr v{array.metadata.zarr_format}"),
        ("shape", list(array.shape)),
        ("chunks", list(array.chunks)),
        ("dtype", str(array.dtype)),
        ("codecs", json.dumps(codecs)),
        ("chunks written", f"{array.nchunks_initialized} of {array.nchunks}"),
        ("attributes", json.dumps(dict(array.attrs))),
        ("stored bytes", stored),
        ("ratio", round(array.nbytes / stored, 3) if stored else math.nan),
    ]
