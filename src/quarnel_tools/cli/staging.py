"""Output that appears whole or not at all: a temporary name beside OUT,
renamed over it once complete and removed on any failure or interrupt."""

from __future__ import annotations

import contextlib
import io
import os
import shutil
import stat
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor, wait
from pathlib import Path
from typing import IO, Any, Iterator

from quarnel_tools.cli.failure import STDOUT, Failure


def is_stream(path: Path) -> bool:
    """Whether ``path`` is standard output, or a named pipe or a device
    (``/dev/null``, ``>(...)``): written as it is, never replaced."""
    if path is STDOUT:
        return True
    try:
        mode = path.stat().st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISCHR(mode)


def check_out(path: Path, force: bool) -> None:
    """Refuse an OUT that exists (unless ``force``) or has no directory, and
    binary output to a terminal (unless ``force``), as compressors do."""
    if path is STDOUT:
        if sys.stdout is None:
            raise Failure(path, "is closed")
        if sys.stdout.isatty() and not force:
            raise Failure(path, "is a terminal; binary output refused (redirect it, or use --force)")
        return
    if is_stream(path):
        return
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


def _write_all(fh: IO[bytes], data: memoryview) -> None:
    """All of ``data`` into ``fh``. A buffered write into a pipe whose reader
    leaves mid-way returns the bytes that went before the failure, and the
    failure shows only at the next write: write again until it does."""
    while data:
        done = fh.write(data)
        if not done:
            raise BrokenPipeError("nothing more could be written")
        data = data[done:]


@contextlib.contextmanager
def written(out: Path) -> Iterator[IO[bytes]]:
    """A binary file to write ``out`` into: a staged file, or for standard
    output, a pipe or a device a buffer written out once the block completes,
    so that a failure writes nothing there either."""
    if is_stream(out):
        buffer = io.BytesIO()
        yield buffer
        if out is STDOUT:
            sys.stdout.flush()
            _write_all(sys.stdout.buffer, buffer.getbuffer())
            sys.stdout.buffer.flush()
            return
        try:
            with open(out, "wb") as fh:
                _write_all(fh, buffer.getbuffer())
        except OSError as e:
            raise Failure(out, e.strerror or str(e)) from None
        return
    with staged(out, directory=False) as tmp:
        try:
            with open(tmp, "wb") as fh:
                yield fh
        except OSError as e:  # a full disk, say
            raise Failure(out, e.strerror or str(e)) from None


def uninterrupted(pool: ThreadPoolExecutor, call: Any, *args: Any) -> Any:
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
