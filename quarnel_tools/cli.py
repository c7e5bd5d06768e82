"""The ``quarnel`` command line: compress, decompress, info and bench.

Status 0 on success, 2 on bad input or usage with one line on stderr,
``quarnel: FILE: reason``. Output goes to a temporary name beside OUT and is
renamed when complete, so a failure or an interrupt leaves nothing behind.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import shutil
import sys
import tempfile
import time
from importlib import metadata
from concurrent.futures import ThreadPoolExecutor, wait
from dataclasses import dataclass, field
from pathlib import Path
from signal import SIGTERM
from signal import signal as on_signal
from tokenize import TokenError
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

import quarnel_tools
from quarnel_tools._settings import CODERS, METHODS, TARGETS, Settings

AUDIO = {".wav": "WAV", ".flac": "FLAC"}
# What a decompressed signal becomes when the store records no subtype (or one
# the output format cannot hold): the float32 samples as they are, or the
# finest PCM that FLAC has.
DEFAULT_SUBTYPE = {"WAV": "FLOAT", "FLAC": "PCM_24"}
# Linear PCM subtypes and their bits per sample.
PCM_BITS = {"PCM_S8": 8, "PCM_U8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}
MAX_STREAM_SAMPLES = (1 << 31) - 1
DEFAULT_CHUNK = 1 << 20


class Failure(Exception):
    """Bad input or usage: one line on stderr and status 2."""

    def __init__(self, path: Any, reason: str) -> None:
        super().__init__(f"{path}: {reason}" if path is not None else reason)


@dataclass
class Signal:
    samples: np.ndarray  # float32, channels as rows, C order
    rate: Optional[int] = None
    source: Dict[str, Any] = field(default_factory=dict)


def _progress(total: int, quiet: bool, what: str) -> Any:
    from tqdm import tqdm

    # Only on a terminal, and only for work that lasts more than a moment.
    return tqdm(
        total=total, desc=what, unit="sample", unit_scale=True, delay=0.5, leave=False,
        disable=quiet or not sys.stderr.isatty(), file=sys.stderr,
    )


def _kind(path: Path, raw_dtype: Optional[str], role: str) -> str:
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


# ---------------------------------------------------------------- reading


def read_signal(path: Path, raw_dtype: Optional[str]) -> Signal:
    """A WAV/FLAC, .npy or raw file as float32 samples with channels as rows."""
    kind = _kind(path, raw_dtype, "input")
    if kind in ("qrnl", "zarr"):
        raise Failure(path, "is already compressed (decompress it first)")
    if not path.exists():
        raise Failure(path, "no such file")
    if path.is_dir():
        raise Failure(path, "is a directory")
    try:
        if kind == "audio":
            read = _read_audio(path)
        elif kind == "npy":
            read = _read_npy(path)
        else:
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
        raise Failure(path, f"not a readable {AUDIO[path.suffix.lower()]} file ({_one_line(e)})") from None
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
        raise Failure(path, f"not a readable .npy file ({_one_line(e)})") from None
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


def _one_line(e: BaseException) -> str:
    text = " ".join(str(e).split())
    return text or type(e).__name__


def _open_zarr(path: Path) -> Any:
    import zarr

    if not path.exists():
        raise Failure(path, "no such file or directory")
    try:
        array = zarr.open_array(store=str(path), mode="r")
    except Exception as e:  # zarr reports a foreign directory in many ways
        raise Failure(path, f"not a Zarr array ({_one_line(e)})") from None
    if array.ndim not in (1, 2) or np.dtype(array.dtype).kind != "f":
        raise Failure(path, f"holds a {array.ndim}-D {array.dtype} array; expected 1-D or 2-D float samples")
    return array


def read_store(path: Path, quiet: bool) -> Signal:
    array = _open_zarr(path)
    attrs = dict(array.attrs)
    if attrs.get("all_chunks_written") and array.nchunks_initialized < array.nchunks:
        missing = array.nchunks - array.nchunks_initialized
        raise Failure(path, f"{missing} of {array.nchunks} chunks are missing")
    channels, n = array.shape if array.ndim == 2 else (1, array.shape[0])
    out = np.empty((channels, n), np.float32)
    step = array.chunks[-1] * 4
    with _progress(channels * n, quiet, "decompress") as bar:
        for c in range(channels):
            for start in range(0, n, step):
                stop = min(start + step, n)
                try:
                    out[c, start:stop] = array[c, start:stop] if array.ndim == 2 else array[start:stop]
                except ValueError as e:
                    raise Failure(path, f"channel {c}, samples {start}..{stop - 1}: {_one_line(e)}") from None
                bar.update(stop - start)
    rate = attrs.get("sample_rate")
    return Signal(out, int(rate) if isinstance(rate, (int, float)) else None, dict(attrs.get("source") or {}))


def read_stream(path: Path, threads: Optional[int]) -> Signal:
    if not path.is_file():
        raise Failure(path, "no such file" if not path.exists() else "is not a file")
    try:
        samples = quarnel_tools.decompress(path.read_bytes(), threads=threads)
    except ValueError as e:
        raise Failure(path, _one_line(e)) from None
    except OSError as e:
        raise Failure(path, e.strerror or str(e)) from None
    return Signal(samples[np.newaxis, :])


# ---------------------------------------------------------------- writing


def _uninterrupted(pool: ThreadPoolExecutor, call: Any, *args: Any) -> Any:
    """``call`` on a worker thread. An interrupt waits for it to finish before
    it goes on, so that nothing writes into the output after its removal."""
    future = pool.submit(call, *args)
    try:
        return future.result()
    except KeyboardInterrupt:
        while not future.done():
            with contextlib.suppress(KeyboardInterrupt):
                wait([future])
        raise


def _check_out(path: Path, force: bool) -> None:
    if (path.exists() or path.is_symlink()) and not force:
        raise Failure(path, "already exists (use --force to overwrite)")
    if not path.parent.is_dir():
        raise Failure(path, f"directory {path.parent} does not exist")


def _remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(FileNotFoundError):
            path.unlink()


@contextlib.contextmanager
def staged(out: Path, directory: bool) -> Iterator[Path]:
    """A temporary file or directory beside ``out`` that replaces it once the
    block completes; removed on any failure or interrupt."""
    mask = os.umask(0)
    os.umask(mask)
    try:
        if directory:
            tmp = Path(tempfile.mkdtemp(prefix=f".{out.name}.", suffix=".part", dir=out.parent))
            os.chmod(tmp, 0o777 & ~mask)
        else:
            fd, name = tempfile.mkstemp(prefix=f".{out.name}.", suffix=".part", dir=out.parent)
            os.close(fd)
            tmp = Path(name)
            os.chmod(tmp, 0o666 & ~mask)
    except OSError as e:
        raise Failure(out, e.strerror or str(e)) from None
    try:
        yield tmp
        if out.exists() and (directory or out.is_dir()):
            # A directory cannot be renamed over a non-empty one: move the
            # old one aside first and drop it once the new one is in place.
            aside = tmp.with_name(tmp.name + ".old")
            os.rename(out, aside)
            os.rename(tmp, out)
            _remove(aside)
        else:
            os.replace(tmp, out)
    except BaseException:
        _remove(tmp)
        raise


def write_stream(out: Path, signal: Signal, source: Path, settings: Settings, threads: Optional[int]) -> None:
    channels, n = signal.samples.shape
    if channels != 1:
        raise Failure(source, f"has {channels} channels; a .qrnl stream holds one (write a .zarr store)")
    if n > MAX_STREAM_SAMPLES:
        raise Failure(source, f"has {n} samples; a .qrnl stream holds fewer than 2^31 (write a .zarr store)")
    try:
        stream = settings.compress(signal.samples[0], threads)
    except ValueError as e:
        raise Failure(source, _one_line(e)) from None
    with staged(out, directory=False) as tmp:
        tmp.write_bytes(stream)


def write_store(
    out: Path, signal: Signal, source: Path, settings: Settings, chunk: int, threads: int, quiet: bool
) -> None:
    import zarr

    from quarnel_tools.zarr import QuarnelCodec

    channels, n = signal.samples.shape
    if settings.target == "rel_error":
        # Chunks are compressed one by one, each against its own range: give
        # them all the absolute bound the whole signal's range allows.
        finite = signal.samples[np.isfinite(signal.samples)]
        span = float(finite.max() - finite.min()) if finite.size else 0.0
        settings = Settings.parse(
            method=settings.method, coder=settings.coder, max_error=settings.bound * span if span > 0 else settings.bound
        )
    attributes = {
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
        with _progress(channels * n, quiet, "compress") as bar, ThreadPoolExecutor(1) as pool:
            for c in range(channels):
                for start in range(0, n, step):
                    stop = min(start + step, n)
                    try:
                        _uninterrupted(pool, array.__setitem__, (c, slice(start, stop)), signal.samples[c, start:stop])
                    except ValueError as e:
                        raise Failure(source, f"channel {c}, samples {start}..{stop - 1}: {_one_line(e)}") from None
                    bar.update(stop - start)


def write_signal(out: Path, signal: Signal, args: argparse.Namespace) -> None:
    kind = _kind(out, args.dtype, "output")
    samples = signal.samples
    channels = samples.shape[0]
    with staged(out, directory=False) as tmp:
        if kind == "audio":
            _write_audio(tmp, out, signal, args.rate)
        elif kind == "npy":
            layout = signal.source.get("layout")
            data = samples[0] if channels == 1 and layout in (None, "1d") else samples
            if layout == "channels_last":
                data = samples.T
            with open(tmp, "wb") as fh:
                np.save(fh, data)
        else:
            if channels != 1:
                raise Failure(out, f"raw output holds one channel, the signal has {channels} (write .npy or .wav)")
            samples[0].astype(np.dtype(args.dtype).newbyteorder("<")).tofile(tmp)


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
        raise Failure(out, _one_line(e)) from None


def _pcm_frames(frames: np.ndarray, bits: int) -> np.ndarray:
    """Samples in [-1, 1) as the nearest ``bits``-bit PCM values, clipped to
    the format's range, in the top bits of int32s: libsndfile floors floats
    to PCM, up to a whole step low, but stores the top bits of integers as
    they are."""
    full = 2.0 ** (bits - 1)
    # Scaling by a power of two is exact, and float32 holds every 24-bit value.
    values = frames.astype(np.float64 if bits > 24 else np.float32)
    values *= full
    np.rint(values, out=values)
    np.clip(values, -full, full - 1, out=values)
    pcm = values.astype(np.int32)
    pcm *= 1 << (32 - bits)
    return pcm


# ---------------------------------------------------------------- commands


def _settings(args: argparse.Namespace) -> Settings:
    try:
        return Settings.parse(
            method=args.method, scale=args.scale, cutoff=args.cutoff, coder=args.coder,
            max_error=args.max_error, rel_error=args.rel_error, psnr=args.psnr,
        )
    except (TypeError, ValueError, OverflowError) as e:
        raise Failure(None, _one_line(e)) from None


def cmd_compress(args: argparse.Namespace) -> None:
    settings = _settings(args)
    kind = _kind(args.output, None, "output")
    if kind not in ("qrnl", "zarr"):
        raise Failure(args.output, "compressed output must end in .qrnl or .zarr")
    if args.chunk < 1:
        raise Failure(None, f"--chunk must be at least 1, not {args.chunk}")
    _check_out(args.output, args.force)
    signal = read_signal(args.input, args.dtype)
    if kind == "qrnl":
        write_stream(args.output, signal, args.input, settings, args.threads)
    else:
        write_store(args.output, signal, args.input, settings, args.chunk, args.threads or 2, args.quiet)


def cmd_decompress(args: argparse.Namespace) -> None:
    kind = _kind(args.input, None, "input")
    if _kind(args.output, args.dtype, "output") not in ("audio", "npy", "raw"):
        raise Failure(args.output, "decompressed output must be .wav, .flac, .npy, or raw samples with --dtype")
    _check_out(args.output, args.force)
    if kind == "qrnl":
        signal = read_stream(args.input, args.threads)
    elif kind == "zarr":
        signal = read_store(args.input, args.quiet)
    else:
        raise Failure(args.input, "not a compressed file (expected .qrnl or .zarr)")
    write_signal(args.output, signal, args)


def cmd_info(args: argparse.Namespace) -> None:
    kind = _kind(args.input, None, "input")
    if kind == "qrnl":
        if not args.input.is_file():
            raise Failure(args.input, "no such file" if not args.input.exists() else "is not a file")
        stream = args.input.read_bytes()
        try:
            info = quarnel_tools.inspect(stream)
        except ValueError as e:
            raise Failure(args.input, _one_line(e)) from None
        if len(stream) != 52 + info.payload_length:
            raise Failure(args.input, f"is {len(stream)} bytes, its header says {52 + info.payload_length}")
        rows = [("file", str(args.input))] + [(name, getattr(info, name)) for name in info._fields]
    elif kind == "zarr":
        array = _open_zarr(args.input)
        codecs = [c.to_dict() for c in array.metadata.codecs] if array.metadata.zarr_format == 3 else None
        if codecs is None:
            codecs = [array.metadata.compressor.get_config()] if array.metadata.compressor else []
        stored = array.nbytes_stored()
        rows = [
            ("file", str(args.input)),
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
    else:
        raise Failure(args.input, "info reads .qrnl streams and .zarr stores")
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        print(f"{name:<{width}}  {value:.7g}" if isinstance(value, float) else f"{name:<{width}}  {value}")


# ---------------------------------------------------------------- bench

SCALES = range(6, 13)
PSNRS = (30.0, 40.0, 50.0, 60.0, 70.0, 80.0)


def _timed(call: Any, budget: float = 0.2, most: int = 5) -> Tuple[Any, float]:
    """The result and the best time of up to ``most`` calls within ``budget`` seconds."""
    times: List[float] = []
    while not times or (sum(times) < budget and len(times) < most):
        t0 = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - t0)
    return result, min(times)


def bench_rows(samples: np.ndarray, sweep: str, threads: Optional[int], quiet: bool) -> List[Dict[str, Any]]:
    finite = samples[np.isfinite(samples)]
    span = float(finite.max() - finite.min()) if finite.size else 0.0
    settings = []
    for method in METHODS:
        for coder in ("deflate", "arans"):
            if sweep == "scale":
                settings += [(method, coder, f"scale {s}", dict(scale=s)) for s in SCALES]
            else:
                settings += [(method, coder, f"psnr {p:g}", dict(psnr=p)) for p in PSNRS]
    rows = []
    mb = samples.size * 4 / 1e6
    with _progress(len(settings), quiet, "bench") as bar:
        for method, coder, label, extra in settings:
            row: Dict[str, Any] = {"method": method, "coder": coder, "setting": label}
            try:
                chosen = Settings.parse(method=method, coder=coder, **extra)
                stream, t_c = _timed(lambda: chosen.compress(samples, threads))
            except ValueError as e:
                row["refused"] = _one_line(e)
                rows.append(row)
                bar.update(1)
                continue
            restored, t_d = _timed(lambda: quarnel_tools.decompress(stream, threads=threads))
            error = np.abs(restored.astype(np.float64) - samples)[np.isfinite(samples)]
            rmse = float(np.sqrt(np.mean(error**2))) if error.size else 0.0
            row.update(
                ratio=samples.size * 4 / len(stream),
                psnr=math.inf if rmse == 0 or span == 0 else 20 * math.log10(span / rmse),
                max_error=float(error.max()) if error.size else 0.0,
                compress_mbs=mb / t_c,
                decompress_mbs=mb / t_d,
            )
            rows.append(row)
            bar.update(1)
    return rows


def print_bench(rows: Sequence[Dict[str, Any]]) -> None:
    head = f"{'method':<6} {'coder':<7} {'setting':<9} {'ratio':>8} {'PSNR dB':>8} {'max error':>10} {'comp MB/s':>10} {'dec MB/s':>9}"
    print(head)
    print("-" * len(head))
    for r in rows:
        start = f"{r['method']:<6} {r['coder']:<7} {r['setting']:<9}"
        if "refused" in r:
            print(f"{start} refused: {r['refused']}")
        else:
            print(
                f"{start} {r['ratio']:>8.2f} {r['psnr']:>8.2f} {r['max_error']:>10.3g} "
                f"{r['compress_mbs']:>10.1f} {r['decompress_mbs']:>9.1f}"
            )


def plot_bench(path: Path, rows: Sequence[Dict[str, Any]], title: str) -> None:
    try:
        import matplotlib
    except ImportError:
        raise Failure(path, "the plot needs matplotlib (pip install matplotlib), or pass --no-plot") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5.5), constrained_layout=True)
    for colour, method in enumerate(METHODS):
        for coder, style in (("arans", "-"), ("deflate", ":")):
            points = [(32 / r["ratio"], r["psnr"]) for r in rows
                      if r["method"] == method and r["coder"] == coder and "ratio" in r and math.isfinite(r["psnr"])]
            if points:
                x, y = zip(*sorted(points))
                ax.plot(x, y, style, color=f"C{colour}", marker="o", ms=3, label=f"{method} {coder}")
    ax.set_xlabel("bits per sample (float32 input: 32)")
    ax.set_ylabel("PSNR (dB, over the signal's range)")
    ax.set_title(title)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(ncol=2, fontsize=8)
    with staged(path, directory=False) as tmp:
        fig.savefig(tmp, dpi=110, format="png")
    plt.close(fig)


def cmd_bench(args: argparse.Namespace) -> None:
    plot = None
    if not args.no_plot:
        plot = args.plot or Path.cwd() / f"{args.input.stem}-rd.png"
        _check_out(plot, args.force)
    signal = read_signal(args.input, args.dtype)
    channels, n = signal.samples.shape
    note = f", first of {channels} channels" if channels > 1 else ""
    rate = f" at {signal.rate} Hz" if signal.rate else ""
    # Out before the long run, so that a reader that has gone stops it.
    print(f"{args.input}: {n} samples{rate}{note}; {args.sweep} sweep, every method and coder", flush=True)
    rows = bench_rows(signal.samples[0], args.sweep, args.threads, args.quiet)
    print_bench(rows)
    if plot is not None:
        plot_bench(plot, rows, f"{args.input.name}: rate and distortion")
        print(f"plot: {plot}")


# ---------------------------------------------------------------- parsing


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        raise Failure(None, message)


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(text)
    return value


_positive_int.__name__ = "positive integer"


def _version() -> str:
    try:
        return metadata.version("quarnel")
    except metadata.PackageNotFoundError:  # run from a source tree
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="quarnel", description="Lossy wavelet compression of 1-D signals.")
    parser.add_argument("--version", action="version", version=f"quarnel {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    def common(p: argparse.ArgumentParser) -> None:
        p.add_argument("--threads", type=_positive_int, help="threads to use (default 2)")
        p.add_argument("-q", "--quiet", action="store_true", help="no progress bar")

    c = sub.add_parser("compress", help="compress a WAV/FLAC, .npy or raw file into .qrnl or .zarr")
    c.add_argument("input", type=Path, metavar="IN")
    c.add_argument("output", type=Path, metavar="OUT")
    options = c.add_argument_group("fixed options (default cdf97, scale 11, cutoff low, coder auto)")
    options.add_argument("--method", choices=METHODS)
    options.add_argument("--scale", type=int, help="6..12")
    options.add_argument("--cutoff", choices=("low", "medium", "high"))
    options.add_argument("--coder", choices=CODERS)
    targets = c.add_argument_group("or one error target (with --method/--coder if wanted)")
    for name in TARGETS:
        targets.add_argument(f"--{name.replace('_', '-')}", type=float, dest=name)
    c.add_argument("--dtype", choices=("float32", "float64"), help="IN is raw little-endian samples of this type")
    c.add_argument("--chunk", type=int, default=DEFAULT_CHUNK, help=f"samples per .zarr chunk (default {DEFAULT_CHUNK})")
    c.add_argument("-f", "--force", action="store_true", help="overwrite OUT")
    common(c)
    c.set_defaults(run=cmd_compress)

    d = sub.add_parser("decompress", help="decompress a .qrnl or .zarr into WAV/FLAC, .npy or raw")
    d.add_argument("input", type=Path, metavar="IN")
    d.add_argument("output", type=Path, metavar="OUT")
    d.add_argument("--rate", type=_positive_int, help="sample rate of WAV/FLAC output (default: the recorded one)")
    d.add_argument("--dtype", choices=("float32", "float64"), help="write raw little-endian samples of this type")
    d.add_argument("-f", "--force", action="store_true", help="overwrite OUT")
    common(d)
    d.set_defaults(run=cmd_decompress)

    i = sub.add_parser("info", help="header fields of a .qrnl, codec and layout of a .zarr")
    i.add_argument("input", type=Path, metavar="IN")
    i.set_defaults(run=cmd_info)

    b = sub.add_parser("bench", help="every method and coder on IN: table and rate-distortion plot")
    b.add_argument("input", type=Path, metavar="IN")
    b.add_argument("--sweep", choices=("scale", "psnr"), default="scale", help="sweep scales 6..12 or PSNR targets")
    plotting = b.add_mutually_exclusive_group()
    plotting.add_argument("--plot", type=Path, help="PNG to write (default IN's name + -rd.png here)")
    plotting.add_argument("--no-plot", action="store_true")
    b.add_argument("--dtype", choices=("float32", "float64"), help="IN is raw little-endian samples of this type")
    b.add_argument("-f", "--force", action="store_true", help="overwrite the plot")
    common(b)
    b.set_defaults(run=cmd_bench)
    return parser


def _terminate(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


def main(argv: Optional[Sequence[str]] = None) -> int:
    with contextlib.suppress(ValueError):  # not in the main thread
        on_signal(SIGTERM, _terminate)
    try:
        args = build_parser().parse_args(argv)
        args.run(args)
        sys.stdout.flush()  # a closed pipe shows here, not at exit
    except BrokenPipeError:
        # The reader has gone (`quarnel info x.qrnl | head -1`): stop quietly,
        # as tools killed by SIGPIPE do, with the status a shell reports for
        # them (128 + SIGPIPE), so that `set -o pipefail` sees the same. Python
        # would flush stdout again at exit and fail once more.
        with contextlib.suppress(OSError, ValueError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except Failure as e:
        print(f"quarnel: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("quarnel: interrupted", file=sys.stderr)
        return 130
    except MemoryError:
        print("quarnel: out of memory", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
