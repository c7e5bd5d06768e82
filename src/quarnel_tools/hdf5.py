"""quarnel as an HDF5 filter, for h5py and the libraries on it (h5netcdf).

Importing this module points h5py's HDF5 library at the filter plugin that
comes with the package and loads it, so no HDF5_PLUGIN_PATH is needed, and a
process whose first use of the filter is a write compresses too::

    import quarnel_tools.hdf5
    f.create_dataset("x", data=x, chunks=(1, 1 << 16), **quarnel_tools.hdf5.Quarnel(max_error=1e-4))

Chunks are compressed row by row along their last dimension, one stream per
row: chunks should run along time. Non-finite samples are masked and read
back exactly, as are the dataset's fill value where it stands for what was
not written (runs of it, and any sample of a fill outside the data's range).
float32 and float64 datasets only; float64 samples are stored as float32
values (a target is measured against the float64 samples), and the float64
fill value reads back as itself.

The filter must come first in a dataset's pipeline: creating a dataset with
another filter before it (h5py's ``shuffle=True`` puts shuffle first) fails.
h5py adds the filter as optional, and HDF5 stores a chunk that an optional
filter fails on (a target the encoder cannot reach in it) as it is,
uncompressed, with that filter's bit set in the chunk's filter mask, and
reports nothing. ``raw_chunks`` lists such chunks of a dataset.
"""

from __future__ import annotations

import os
import struct
import warnings
from typing import TYPE_CHECKING, Any, Iterator, List, Mapping, Sequence, Tuple

import h5py

import quarnel_tools._native as _native
from quarnel_tools._arguments import TARGETS
from quarnel_tools._settings import CODERS, CUTOFFS, METHODS, Configured, Settings

if TYPE_CHECKING:
    pass

__all__ = ["FILTER_ID", "PLUGIN_DIR", "Quarnel", "raw_chunks", "settings_of"]

FILTER_ID: int = _native.HDF5_FILTER_ID
# The plugin, where the wheel installs it.
PLUGIN_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "hdf5_plugin")
# The cd_values words Quarnel writes, by name, from the filter's header.
_WORDS = _native.HDF5_WORDS


def _register_plugin() -> None:
    if not os.path.isdir(PLUGIN_DIR):
        warnings.warn(
            f"quarnel_tools.hdf5: no HDF5 filter plugin in {PLUGIN_DIR}: this quarnel was built without "
            "HDF5's headers (Debian: libhdf5-dev), so h5py cannot use the quarnel filter",
            RuntimeWarning,
            stacklevel=3,
        )
        return
    path = os.fsencode(PLUGIN_DIR)
    if path not in (h5py.h5pl.get(i) for i in range(h5py.h5pl.size())):
        h5py.h5pl.prepend(path)
    # HDF5 loads a plugin when it first reads through it, not when it writes:
    # a chunk written before that would be stored raw, the optional filter
    # missing. Asking for the filter loads it now.
    if not h5py.h5z.filter_avail(FILTER_ID):
        warnings.warn(
            f"quarnel_tools.hdf5: h5py's HDF5 library could not load the quarnel filter from {PLUGIN_DIR}",
            RuntimeWarning,
            stacklevel=3,
        )


_register_plugin()


def _words(value: float) -> Tuple[int, int]:
    """A double as two 32-bit words, low word first."""
    low, high = struct.unpack("<II", struct.pack("<d", value))
    return low, high


def settings_of(cd_values: Sequence[int]) -> Settings:
    """The settings ``Quarnel`` wrote into a dataset's cd_values; the words
    the filter adds after them do not matter here."""
    if len(cd_values) < _native.HDF5_USER_VALUES or cd_values[0] != _native.HDF5_LAYOUT_VERSION:
        raise ValueError(f"not the cd_values of quarnel's layout version {_native.HDF5_LAYOUT_VERSION}")
    word = {name: cd_values[at] for name, at in _WORDS.items()}
    corrections, level = bool(word["corrections"]), word["deflate_level"] or None
    modes = _native.HDF5_MODES
    try:
        if word["mode"] == modes[0]:
            return Settings.parse(
                method=METHODS[word["method"]],
                scale=word["scale"],
                cutoff=CUTOFFS[word["cutoff"]],
                coder=CODERS[word["coder"]],
                corrections=corrections,
                deflate_level=level,
            )
        at = _WORDS["target"]
        (bound,) = struct.unpack("<d", struct.pack("<II", *cd_values[at : at + 2]))
        # Quarnel writes the encoder's choices as "any" method and coder auto.
        chosen = None if word["method"] == _native.HDF5_METHOD_ANY else METHODS[word["method"]]
        coder = CODERS[word["coder"]]
        return Settings.parse(
            method=chosen,
            coder=None if coder == "auto" else coder,
            corrections=corrections,
            deflate_level=level,
            **{TARGETS[modes.index(word["mode"]) - 1]: bound},
        )
    except (IndexError, ValueError):
        raise ValueError(f"cd_values {tuple(cd_values)} name no setting of quarnel's") from None


def raw_chunks(dataset: h5py.Dataset) -> List[Tuple[int, ...]]:
    """The offsets of the dataset's chunks that HDF5 stored without one of
    its filters (a filter mask other than 0): with the quarnel filter, those
    it failed on, which HDF5 keeps uncompressed. Pending writes are flushed
    first."""
    if dataset.file.mode != "r":
        dataset.file.flush()
    out = []
    for i in range(dataset.id.get_num_chunks()):
        info = dataset.id.get_chunk_info(i)
        if info.filter_mask:
            out.append(tuple(info.chunk_offset))
    return out


class Quarnel(Configured, Mapping[str, Any]):
    """The keyword arguments of h5py's ``create_dataset`` for the filter:
    ``compression`` (the filter id) and ``compression_opts`` (its cd_values).

    The configuration is that of the Zarr codec: the fixed options
    ``method``, ``scale``, ``cutoff``, ``coder``, or one target ``max_error``,
    ``rel_error`` or ``psnr`` (per row of a chunk) with an optional
    ``method`` and ``coder``; ``corrections`` and ``deflate_level`` as there.
    Every stream carries the trailer: ``trailer=False`` is refused.
    """

    def _configured(self) -> None:
        s = self.settings
        # The one setting cd_values have no word for: the trailer masks the
        # fill value, which the filter always needs.
        if not s.trailer:
            raise ValueError("the HDF5 filter always writes the trailer")
        word = dict.fromkeys(_WORDS, 0)
        word["version"] = _native.HDF5_LAYOUT_VERSION
        if s.target is None:
            assert s.method is not None and s.scale is not None and s.cutoff is not None and s.coder is not None
            word.update(
                mode=_native.HDF5_MODES[0],
                method=METHODS.index(s.method),
                scale=s.scale,
                cutoff=CUTOFFS.index(s.cutoff),
                coder=CODERS.index(s.coder),
            )
        else:
            assert s.bound is not None
            word.update(
                mode=_native.HDF5_MODES[1 + TARGETS.index(s.target)],
                method=_native.HDF5_METHOD_ANY if s.method is None else METHODS.index(s.method),
                coder=CODERS.index("auto" if s.coder is None else s.coder),
            )
        word.update(corrections=int(s.corrections), deflate_level=s.deflate_level or 0)
        values = [0] * _native.HDF5_USER_VALUES
        for name, at in _WORDS.items():
            values[at] = word[name]
        if s.bound is not None:  # the target's low word, then its high word
            values[_WORDS["target"] : _WORDS["target"] + 2] = _words(s.bound)
        self._kwargs = {"compression": FILTER_ID, "compression_opts": tuple(values)}

    def __getitem__(self, key: str) -> Any:
        return self._kwargs[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._kwargs)

    def __len__(self) -> int:
        return len(self._kwargs)

    def __repr__(self) -> str:
        return f"Quarnel({self.settings.describe()})"
