"""The ``quarnel`` command line: compress, decompress, info and bench.

Status 0 on success, 2 on bad input or usage with one line on stderr,
``quarnel: FILE: reason``. Output goes to a temporary name beside OUT and is
renamed when complete, so a failure or an interrupt leaves nothing behind;
output to standard output is written once complete.

This module parses the command line and hands each command what it needs;
``commands`` and ``bench`` run them, ``signal_io`` reads and writes the
files and pipes (``hdf5_io`` the HDF5 datasets), ``staging`` makes output
appear whole or not at all (a dataset added to an HDF5 file that is there
appears under its name once complete), and
``shell`` makes the manual page and the completion from the parser.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from importlib import metadata
from pathlib import Path
from signal import SIGTERM
from signal import signal as on_signal
from typing import Any, Optional, Sequence

from quarnel_tools._settings import (
    CODERS,
    CUTOFFS,
    DEFAULT_CODER,
    DEFAULT_CUTOFF,
    DEFAULT_DEFLATE_LEVEL,
    DEFAULT_METHOD,
    DEFAULT_SCALE,
    DEFLATE_LEVELS,
    METHODS,
    SCALES,
    TARGETS,
    Settings,
)
from quarnel_tools.cli import bench, commands, shell
from quarnel_tools.cli.failure import STDIN, STDOUT, Failure, one_line

__all__ = ["build_parser", "main"]

DEFAULT_CHUNK = 1 << 20


def _settings(args: argparse.Namespace) -> Settings:
    try:
        return Settings.parse(
            method=args.method, scale=args.scale, cutoff=args.cutoff, coder=args.coder,
            max_error=args.max_error, rel_error=args.rel_error, psnr=args.psnr, trailer=args.trailer,
            corrections=args.corrections,
            deflate_level=args.deflate_level,
        )
    except (TypeError, ValueError, OverflowError) as e:
        raise Failure(None, one_line(e)) from None


def _compress(args: argparse.Namespace) -> None:
    commands.compress(
        args.input, args.output, _settings(args), raw_dtype=args.dtype, chunk=args.chunk, force=args.force,
        threads=args.threads, quiet=args.quiet, named_in=args.source_format, named_out=args.out_format,
    )


def _decompress(args: argparse.Namespace) -> None:
    commands.decompress(
        args.input, args.output, raw_dtype=args.dtype, rate=args.rate, force=args.force, threads=args.threads,
        quiet=args.quiet, named_in=args.source_format, named_out=args.out_format,
    )


def _info(args: argparse.Namespace) -> None:
    commands.info(args.input, args.source_format)


def _bench(args: argparse.Namespace) -> None:
    plot = None if args.no_plot else args.plot or bench.default_plot(args.input)
    bench.bench(
        args.input, plot, sweep=args.sweep, force=args.force, raw_dtype=args.dtype, threads=args.threads,
        quiet=args.quiet, named=args.source_format,
    )


def _completion(args: argparse.Namespace) -> None:
    print(shell.completion(build_parser(), args.shell), end="")


def _manpage(args: argparse.Namespace) -> None:
    print(shell.manpage(build_parser(), _version()), end="")


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        raise Failure(None, message)


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(text)
    return value


_positive_int.__name__ = "positive integer"


# "-" is standard input or output; "./-" is a file of that name.
def _input(text: str) -> Path:
    return STDIN if text == "-" else Path(text)


def _output(text: str) -> Path:
    return STDOUT if text == "-" else Path(text)


SIGNAL_IN, SIGNAL_OUT = "file, or - for standard input", "file, or - for standard output"
STORED_IN = (
    "file, - for standard input, store.zarr/ARRAY for an array in a Zarr group, or FILE.h5:/DATASET for an HDF5 "
    "dataset (.hdf5, .nc too)"
)
STORED_OUT = (
    "file, - for standard output, store.zarr/ARRAY for an array in an existing Zarr group, or FILE.h5:/DATASET "
    "for a dataset in a new or existing HDF5 file"
)


def _version() -> str:
    try:
        return metadata.version("quarnel")
    except metadata.PackageNotFoundError:  # run from a source tree
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="quarnel", description="Lossy wavelet compression of 1-D signals.",
        epilog="IN and OUT may be - for standard input and output, with the format given by --from or --to "
        "(a compressed stream in a pipe is .qrnl), store.zarr/ARRAY for an array in a Zarr group, and "
        "FILE.h5:/DATASET for a dataset in an HDF5 file (with h5py installed).",
    )
    parser.add_argument("--version", action="version", version=f"quarnel {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    def common(p: argparse.ArgumentParser, quiet: str = "no progress bar") -> None:
        p.add_argument("--threads", type=_positive_int, help="threads to use (default 2)")
        p.add_argument("-q", "--quiet", action="store_true", help=quiet)

    def source(p: argparse.ArgumentParser, formats: Sequence[str], what: str) -> None:
        p.add_argument("--from", dest="source_format", choices=formats, help=f"IN's format, {what}")

    signals = ("wav", "flac", "npy")
    scales = f"{SCALES[0]}..{SCALES[-1]}"
    # The signal formats are named for a pipe; a pipe of compressed data is .qrnl.
    for_signals = "for - or a name that does not say it (raw samples: --dtype)"
    for_streams = "for a name that does not say it (- is .qrnl)"
    c = sub.add_parser("compress", help="compress a WAV/FLAC, .npy or raw file into .qrnl, .zarr or HDF5")
    c.add_argument("input", type=_input, metavar="IN", help=SIGNAL_IN)
    c.add_argument("output", type=_output, metavar="OUT", help=STORED_OUT)
    source(c, signals, for_signals)
    c.add_argument("--to", dest="out_format", choices=("qrnl", "zarr"), help=f"OUT's format, {for_streams}")
    defaults = f"{DEFAULT_METHOD}, scale {DEFAULT_SCALE}, cutoff {DEFAULT_CUTOFF}, coder {DEFAULT_CODER}"
    options = c.add_argument_group(f"fixed options (default {defaults})")
    options.add_argument("--method", choices=METHODS)
    options.add_argument("--scale", type=int, help=scales)
    options.add_argument("--cutoff", choices=CUTOFFS)
    options.add_argument("--coder", choices=CODERS)
    targets = c.add_argument_group("or one error target (with --method/--coder if wanted)")
    for name in TARGETS:
        targets.add_argument(f"--{name.replace('_', '-')}", type=float, dest=name)
    c.add_argument(
        "--deflate-level", type=int, metavar="N",
        help=f"DEFLATE level {DEFLATE_LEVELS[0]} (fastest) to {DEFLATE_LEVELS[-1]} (smallest) where a payload is "
        f"coded with DEFLATE (default {DEFAULT_DEFLATE_LEVEL}); --coder deflate --deflate-level {DEFLATE_LEVELS[0]} "
        "writes fastest",
    )
    c.add_argument("--dtype", choices=("float32", "float64"), help="IN is raw little-endian samples of this type")
    c.add_argument(
        "--no-trailer", dest="trailer", action="store_false",
        help="write bare streams: no checksum, no mask of NaN and infinities, no sample rate",
    )
    c.add_argument(
        "--no-corrections", dest="corrections", action="store_false",
        help="with --max-error/--rel-error: keep the bound for readers that ignore the trailer too, "
        "instead of a smaller stream whose few samples beyond it the trailer corrects",
    )
    c.add_argument(
        "--chunk", type=int, default=DEFAULT_CHUNK, help=f"samples per .zarr or HDF5 chunk (default {DEFAULT_CHUNK})"
    )
    c.add_argument("-f", "--force", action="store_true", help="overwrite OUT, or write to a terminal")
    common(c, "no progress bar, and no summary line")
    c.set_defaults(run=_compress)

    d = sub.add_parser("decompress", help="decompress a .qrnl, .zarr or HDF5 dataset into WAV/FLAC, .npy or raw")
    d.add_argument("input", type=_input, metavar="IN", help=STORED_IN)
    d.add_argument("output", type=_output, metavar="OUT", help=SIGNAL_OUT)
    source(d, ("qrnl", "zarr"), for_streams)
    d.add_argument("--to", dest="out_format", choices=signals, help=f"OUT's format, {for_signals}")
    d.add_argument("--rate", type=_positive_int, help="sample rate of WAV/FLAC output (default: the recorded one)")
    d.add_argument("--dtype", choices=("float32", "float64"), help="write raw little-endian samples of this type")
    d.add_argument("-f", "--force", action="store_true", help="overwrite OUT, or write to a terminal")
    common(d)
    d.set_defaults(run=_decompress)

    i = sub.add_parser(
        "info", help="header and trailer of a .qrnl; layout and codecs of a Zarr array or group, or an HDF5 dataset"
    )
    i.add_argument("input", type=_input, metavar="IN", help=STORED_IN)
    source(i, ("qrnl", "zarr"), for_streams)
    i.set_defaults(run=_info)

    b = sub.add_parser("bench", help="every method and coder on IN: table and rate-distortion plot")
    b.add_argument("input", type=_input, metavar="IN", help=SIGNAL_IN)
    source(b, signals, for_signals)
    b.add_argument("--sweep", choices=("scale", "psnr"), default="scale", help=f"sweep scales {scales} or PSNR targets")
    plotting = b.add_mutually_exclusive_group()
    plotting.add_argument("--plot", type=Path, help="PNG to write (default IN's name + -rd.png here)")
    plotting.add_argument("--no-plot", action="store_true")
    b.add_argument("--dtype", choices=("float32", "float64"), help="IN is raw little-endian samples of this type")
    b.add_argument("-f", "--force", action="store_true", help="overwrite the plot")
    common(b)
    b.set_defaults(run=_bench)

    s = sub.add_parser("completion", help="completion script for bash or zsh, on standard output")
    s.add_argument("shell", choices=("bash", "zsh"), metavar="SHELL", help="bash or zsh")
    s.set_defaults(run=_completion)

    m = sub.add_parser("manpage", help="the manual page, in roff, on standard output")
    m.set_defaults(run=_manpage)
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

