import os

import numpy as np
import pytest

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


def stored(x, chunks, options=None, order="C", fill=0.0):
    """What a chunked store of quarnel chunks reads back: each chunk of the 2-D
    array x (padded with the fill value past the end) as one signal in
    `order`, the samples equal to the fill value masked."""
    import quarnel_tools

    out = np.empty_like(x)
    rows, cols = chunks
    for r in range(0, x.shape[0], rows):
        for c in range(0, x.shape[1], cols):
            part = x[r : r + rows, c : c + cols]
            block = np.full(chunks, fill or 0.0, np.float32)
            block[: part.shape[0], : part.shape[1]] = part
            stream = quarnel_tools.compress(block.ravel(order=order), options, fill_value=fill)
            flat = quarnel_tools.decompress(stream)
            out[r : r + rows, c : c + cols] = flat.reshape(chunks, order=order)[: part.shape[0], : part.shape[1]]
    return out
