"""The recordings the peer benchmarks compress, all from Debian packages, and
the loader they share: a recording whose package is missing is skipped with
a line naming the package."""

from __future__ import annotations

import wave
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np


def load_ecg(path: Path) -> np.ndarray:
    # ecg.dat is an .npz archive of raw uint16 ADC values; SciPy's
    # electrocardiogram() returns (adc - 1024) / 200.
    with np.load(path) as archive:
        adc = archive["ecg"].astype(np.int64)
    return ((adc - 1024) / 200.0).astype(np.float32)


def load_wav(path: Path) -> np.ndarray:
    """A 16-bit mono WAV file as its int16 values."""
    with wave.open(str(path)) as w:
        if w.getsampwidth() != 2 or w.getnchannels() != 1:
            raise ValueError(f"{path}: expected 16-bit mono")
        frames = w.readframes(w.getnframes())
    return np.frombuffer(frames, dtype="<i2").astype(np.float32)


@dataclass(frozen=True)
class Recording:
    path: Path
    package: str  # the Debian package that ships it
    load: Callable[[Path], np.ndarray]


# The electrocardiogram of python3-scipy (108,000 samples at 360 Hz).
ECG = Recording(Path("/usr/lib/python3/dist-packages/scipy/misc/ecg.dat"), "python3-scipy", load_ecg)
# Speech at 48 kHz from alsa-utils (68,545 samples).
FRONT_CENTER = Recording(Path("/usr/share/sounds/alsa/Front_Center.wav"), "alsa-utils", load_wav)
# 73 s of telephone speech at 8 kHz from asterisk-core-sounds-en-wav.
DEMO_INSTRUCT = Recording(
    Path("/usr/share/asterisk/sounds/en/demo-instruct.wav"), "asterisk-core-sounds-en-wav", load_wav
)


def load_signals(
    names: list[str],
    recordings: dict[str, Recording],
    generated: dict[str, Callable[[], np.ndarray]],
) -> dict[str, np.ndarray]:
    """The named signals, in order: recordings read from disk, the others made."""
    signals = {}
    for name in names:
        if name in generated:
            signals[name] = generated[name]()
            continue
        r = recordings[name]
        if not r.path.exists():
            print(f"skipping {name}: {r.path} is missing (Debian package {r.package})")
            continue
        signals[name] = r.load(r.path)
    return signals
