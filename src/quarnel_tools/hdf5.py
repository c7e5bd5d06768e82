"""quarnel as an HDF5 filter, for h5py and the libraries on it (h5netcdf).

Importing this module points h5py's HDF5 library at the filter plugin that
comes with the package, so no HDF5_PLUGIN_PATH is needed::

    import quarnel_tools.hdf5
    f.create_dataset("x", data=x, chunks=(1, 1 << 16), **quarnel_tools.hdf5.Quarnel(max_error=1e-4))

Chunks are compressed row by row along their last dimension, one stream per
row: chunks should run along time. Samples equal to the dataset's fill value
and non-finite samples are masked and read back exactly. float32 and float64
datasets only; float64 samples are stored as float32 values (a target is
measured against the float64 samples), and masked float64 samples come back
as their float32 form.
"""

from __future__ import annotations

import os
import struct
from typing import Any, Iterator, Mapping, Sequence, Tuple

import h5py

import quarnel_tools._native as _native
from quarnel_tools._arguments import TARGETS
from quarnel_tools._settings import CODERS, CUTOFFS, METHODS, Settings

__all__ = ["FILTER_ID", "PLUGIN_DIR", "Quarnel", "settings_of"]

FILTER_ID: int = _native.HDF5_FILTER_ID
# The plugin, where the wheel installs it.
PLUGIN_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "hdf5_plugin")


def _register_plugin() -> None:
    if not os.path.isdir(PLUGIN_DIR):
        return
    path = os.fsencode(PLUGIN_DIR)
    if path not in (h5py.h5pl.get(i) for i in range(h5py.h5pl.size())):
        h5py.h5pl.prepend(path)


_register_plugin()


def _words(value: float) -> Tuple[int, int]:
    """A double as two 32-bit words, low word first."""
    low, high = struct.unpack("<II", struct.pack("<d", value))
    return low, high


def settings_of(cd_values: Sequence[int]) -> Settings:
    """The settings ``Quarnel`` wrote into a dataset's cd_values; the words
    the filter adds after them do not matter here."""
    if len(cd_values) < 8 or cd_values[0] != _native.HDF5_LAYOUT_VERSION:
        raise ValueError(f"not the cd_values of quarnel's layout version {_native.HDF5_LAYOUT_VERSION}")
    mode, method, scale, cutoff, coder = cd_values[1:6]
    try:
        if mode == 0:
            return Settings.parse(method=METHODS[method], scale=scale, cutoff=CUTOFFS[cutoff], coder=CODERS[coder])
        (bound,) = struct.unpack("<d", struct.pack("<II", *cd_values[6:8]))
        # Quarnel writes the encoder's choices as "any" method and coder auto.
        chosen = None if method == _native.HDF5_METHOD_ANY else METHODS[method]
        return Settings.parse(
            method=chosen, coder=None if CODERS[coder] == "auto" else CODERS[coder], **{TARGETS[mode - 1]: bound}
        )
    except IndexError:
        raise ValueError(f"cd_values {tuple(cd_values[:8])} name no setting of quarnel's") from None


class Quarnel(Mapping[str, Any]):
    """The keyword arguments of h5py's ``create_dataset`` for the filter:
    ``compression`` (the filter id) and ``compression_opts`` (its cd_values).

    The configuration is that of the Zarr codec: the fixed options
    ``method``, ``scale``, ``cutoff``, ``coder``, or one target ``max_error``,
    ``rel_error`` or ``psnr`` (per row of a chunk) with an optional
    ``method`` and ``coder``. Every stream carries the trailer.
    """

    def __init__(self, **config: Any) -> None:
        # The settings of Settings.parse, checked there; streams always carry
        # the trailer, which masks the fill value.
        self.settings = Settings.parse(**config)
        if not self.settings.trailer:
            raise ValueError("the HDF5 filter always writes the trailer")
        s = self.settings
        if s.target is None:
            assert s.method is not None and s.scale is not None and s.cutoff is not None and s.coder is not None
            values = (0, METHODS.index(s.method), s.scale, CUTOFFS.index(s.cutoff), CODERS.index(s.coder), 0, 0)
        else:
            assert s.bound is not None
            method_value = _native.HDF5_METHOD_ANY if s.method is None else METHODS.index(s.method)
            coder_value = CODERS.index("auto" if s.coder is None else s.coder)
            values = (TARGETS.index(s.target) + 1, method_value, 0, 0, coder_value, *_words(s.bound))
        self._kwargs = {"compression": FILTER_ID, "compression_opts": (_native.HDF5_LAYOUT_VERSION, *values)}

    def __getitem__(self, key: str) -> Any:
        return self._kwargs[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._kwargs)

    def __len__(self) -> int:
        return len(self._kwargs)

    def __repr__(self) -> str:
        return f"Quarnel({self.settings.describe()})"
