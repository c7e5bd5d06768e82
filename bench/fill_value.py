#!/usr/bin/env python3
"""What a declared fill value costs: the ratio of signals that take the fill
value themselves, compressed with fill 0.0 (as the Zarr and HDF5 stores and
the command line's .zarr/.h5 output declare by default) against a NaN fill,
which masks nothing a finite signal holds.

Signals, 65,536 float32 samples each (one chunk of 2^16), from a fixed seed:
  quiet_audio  16-bit audio at a low level: an AR(1) noise of 3.3 LSB, as
               int16 values / 32768; about 12 % of the samples are 0.
  rain         hourly rain in steps of 0.1 mm: dry spells (mean 40 h) between
               wet ones (mean 10 h) of gamma-distributed intensity; most
               samples are 0.
  stepped      a sensor resting on levels 0.5 apart between -5 and 5, each
               held for a geometric time (mean 30 samples).

Configurations: the fixed default options, a largest error (10^-3 of the
range) and a PSNR of 60 dB, through quarnel_tools.compress with the
trailer, as the stores write each chunk. The last column is the ratio with
fill 0 against the NaN fill; the goal is at least 0.98.

    python bench/fill_value.py
"""

from __future__ import annotations

import numpy as np

import quarnel_tools

N = 1 << 16


def quiet_audio(rng: np.random.Generator) -> np.ndarray:
    e = rng.standard_normal(N)
    x = np.empty(N)
    x[0] = 0.0
    for i in range(1, N):
        x[i] = 0.9 * x[i - 1] + e[i]
    x *= 3.3 / x.std()
    return (np.round(x) / 32768).astype(np.float32)


def rain(rng: np.random.Generator) -> np.ndarray:
    out = np.zeros(N)
    i = 0
    while i < N:
        i += int(rng.geometric(1 / 40))
        wet = int(rng.geometric(1 / 10))
        out[i : i + wet] = rng.gamma(0.8, 1.5, size=len(out[i : i + wet]))
        i += wet
    return (np.round(out * 10) / 10).astype(np.float32)


def stepped(rng: np.random.Generator) -> np.ndarray:
    out = np.empty(N)
    i, level = 0, 0.0
    while i < N:
        n = int(rng.geometric(1 / 30))
        out[i : i + n] = level
        level = float(np.clip(level + 0.5 * rng.choice([-2, -1, 1, 2]), -5, 5))
        i += n
    return out.astype(np.float32)


def configs(x: np.ndarray) -> dict:
    span = float(x.max() - x.min())
    return {"default": {}, "max_error": {"max_error": 1e-3 * span}, "psnr 60": {"psnr": 60.0}}


def main() -> None:
    rng = np.random.default_rng(7)
    print(f"{'signal':<12} {'zeros':>6} {'config':<10} {'fill 0':>8} {'fill NaN':>8} {'0 / NaN':>8}")
    for name, make in (("quiet_audio", quiet_audio), ("rain", rain), ("stepped", stepped)):
        x = make(rng)
        zeros = float(np.mean(x == 0))
        for label, config in configs(x).items():
            ratios = [x.nbytes / len(quarnel_tools.compress(x, fill_value=fill, **config)) for fill in (0.0, np.nan)]
            share = ratios[0] / ratios[1]
            print(f"{name:<12} {zeros:>6.1%} {label:<10} {ratios[0]:>8.2f} {ratios[1]:>8.2f} {share:>8.3f}")


if __name__ == "__main__":
    main()
