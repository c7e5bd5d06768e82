import os

import numpy as np
import pytest

import quarnel

try:
    from hypothesis import settings as _hypothesis_settings
except ImportError:  # the property tests skip themselves
    pass
else:
    # CI replays the same examples on every run, so a failure there is never
    # a matter of luck; a developer's run keeps exploring new ones.
    _hypothesis_settings.register_profile("ci", derandomize=True, deadline=None, print_blob=True)
    if os.environ.get("CI"):
        _hypothesis_settings.load_profile("ci")


def make_signal(n, seed=0, dtype=np.float32):
    """A smooth two-tone signal with a little noise, like a sensor trace."""
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=np.float64)
    x = 3.0 * np.sin(2 * np.pi * t / 97.0) + 0.5 * np.sin(2 * np.pi * t / 13.0) + 0.05 * rng.standard_normal(n)
    return x.astype(dtype)


@pytest.fixture
def signal():
    return make_signal(1000)


def stored(x, chunks, options=None, order="C"):
    """What a chunked store of quarnel chunks reads back: each chunk of the 2-D
    array x (padded with 0 past the end) through the module as one signal in
    `order`."""
    out = np.empty_like(x)
    rows, cols = chunks
    for r in range(0, x.shape[0], rows):
        for c in range(0, x.shape[1], cols):
            part = x[r : r + rows, c : c + cols]
            block = np.zeros(chunks, np.float32)
            block[: part.shape[0], : part.shape[1]] = part
            flat = quarnel.decompress_signal(quarnel.compress_signal(block.ravel(order=order), options))
            out[r : r + rows, c : c + cols] = flat.reshape(chunks, order=order)[: part.shape[0], : part.shape[1]]
    return out
