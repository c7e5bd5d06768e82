"""Chunks written back as they were read keep their bytes.

Coding decoded samples again can add up to the bound again: a chunk read and
written back unchanged would drift from what was first written. So the
codecs remember the streams they decode, under a checksum of the decoded
samples, and when the same samples come back to be encoded they write the
stream those samples came from. The checksum only finds a candidate: its
stream is written only after it decodes to exactly the samples given, so a
collision costs a decode, never data.

One memory for the process, bounded in bytes, least recently used first out.
A chunk changed in part is coded again as a whole; see the codecs' notes.
"""

from __future__ import annotations

import threading
from collections import OrderedDict
from typing import Hashable, Optional, Tuple, Union

import numpy as np

import quarnel_tools
import quarnel_tools._native as _native
from quarnel_tools._settings import Settings

__all__ = ["encode", "remember"]

# Streams of a few dozen chunks of a million samples.
_BUDGET_BYTES = 64 << 20

_Key = Tuple[Hashable, ...]


class _Streams:
    def __init__(self, budget: int) -> None:
        self._lock = threading.Lock()
        self._streams: OrderedDict[_Key, bytes] = OrderedDict()
        self._bytes = 0
        self._budget = budget

    def get(self, key: _Key) -> Optional[bytes]:
        with self._lock:
            stream = self._streams.get(key)
            if stream is not None:
                self._streams.move_to_end(key)
            return stream

    def put(self, key: _Key, stream: bytes) -> None:
        if len(stream) > self._budget:
            return
        with self._lock:
            old = self._streams.pop(key, None)
            if old is not None:
                self._bytes -= len(old)
            self._streams[key] = stream
            self._bytes += len(stream)
            while self._bytes > self._budget:
                _, dropped = self._streams.popitem(last=False)
                self._bytes -= len(dropped)


_streams = _Streams(_BUDGET_BYTES)


def _key(settings: Settings, samples: np.ndarray, fill_value: Optional[float]) -> _Key:
    # The settings and the fill value are part of the key: a stream is
    # reused only where these settings would have written one like it.
    fill = None if fill_value is None else np.float64(fill_value).tobytes()
    return (settings, fill, samples.dtype.str, samples.size, _native.crc32(samples))


def remember(
    settings: Settings, samples: np.ndarray, fill_value: Optional[float], stream: Union[bytes, np.ndarray]
) -> None:
    """Remember that `stream` decoded to `samples` (contiguous, 1-D)."""
    _streams.put(_key(settings, samples, fill_value), bytes(stream))


def encode(
    settings: Settings, samples: np.ndarray, fill_value: Optional[float], threads: Optional[int] = None
) -> bytes:
    """The stream of `samples` (contiguous, 1-D): the one they were decoded
    from when they come back unchanged, else a new one with up to `threads`
    threads."""
    key = _key(settings, samples, fill_value)
    stream = _streams.get(key)
    if stream is not None:
        decoded = quarnel_tools.decompress(stream, threads=threads, dtype=samples.dtype)
        unsigned = f"u{samples.dtype.itemsize}"
        if np.array_equal(decoded.view(unsigned), samples.view(unsigned)):
            return stream
    return settings.compress(samples, threads=threads, fill_value=fill_value)
