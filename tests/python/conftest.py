import numpy as np
import pytest


def make_signal(n, seed=0, dtype=np.float32):
    """A smooth two-tone signal with a little noise, like a sensor trace."""
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=np.float64)
    x = 3.0 * np.sin(2 * np.pi * t / 97.0) + 0.5 * np.sin(2 * np.pi * t / 13.0) + 0.05 * rng.standard_normal(n)
    return x.astype(dtype)


@pytest.fixture
def signal():
    return make_signal(1000)
