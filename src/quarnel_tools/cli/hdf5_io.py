"""HDF5 datasets on the command line: FILE.h5:/NAME (or .hdf5; .nc for the
variables of NetCDF-4 files, which are HDF5 files, to read) names a dataset.
compress writes one through the quarnel filter; decompress and info read
one through whatever filter it has, as HDF5 decodes it."""

from __future__ import annotations

import contextlib
import json
import posixpath
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Iterator, List, Tuple

import numpy as np

from quarnel_tools._settings import Settings
from quarnel_tools.cli.failure import STDIN, Failure, one_line
from quarnel_tools.cli.signal_io import Signal, chunk_settings, hdf5_node, read_rows, write_rows
from quarnel_tools.cli.staging import check_out, staged


def h5py_module(path: Path) -> Any:
    """h5py, with the filter plugin of the package in its search path."""
    try:
        import h5py

        import quarnel_tools.hdf5  # noqa: F401  (points h5py at the plugin)
    except ImportError:
        raise Failure(path, "HDF5 files need h5py (pip install h5py)") from None
    return h5py


def _split(path: Path) -> Tuple[Path, str]:
    node = hdf5_node(path)
    assert node is not None  # kind() calls only such names "hdf5"
    return node


def datasets(group: Any) -> List[Tuple[str, Any]]:
    """Every dataset below ``group``, at every depth, by its path."""
    import h5py

    found: List[Tuple[str, Any]] = []

    def visit(name: str, node: Any) -> None:
        if isinstance(node, h5py.Dataset):
            found.append((posixpath.join(group.name, name), node))

    group.visititems(visit)
    return found


@contextlib.contextmanager
def opened(path: Path, group: bool = False) -> Iterator[Any]:
    """The dataset ``path`` names, in its file open for reading; with
    ``group``, a group there too (the file's root when no dataset is named)."""
    h5py = h5py_module(path)
    file, name = _split(path)
    if not file.is_file():
        raise Failure(path, "no such file" if not file.exists() else "is not a file")
    try:
        f = h5py.File(file, "r")
    except OSError as e:
        raise Failure(path, f"not an HDF5 file ({one_line(e)})") from None
    with f:
        node = f.get(name or "/")
        if not isinstance(node, (h5py.Group, h5py.Dataset)):
            raise Failure(path, f"no dataset /{name} in {file}")
        if isinstance(node, h5py.Group) and not group:
            names = ", ".join(n for n, _ in datasets(node)) or "none"
            raise Failure(path, f"is an HDF5 group; name one of its datasets as {file}:/PATH (datasets: {names})")
        yield node


def attributes(dataset: Any) -> Dict[str, Any]:
    """The dataset's attributes as JSON values, those of no JSON type (object
    references of NetCDF's dimensions) as text; the source that compress
    records, a JSON text, as what it holds."""
    out: Dict[str, Any] = {}
    for key, value in dataset.attrs.items():
        if isinstance(value, bytes):
            value = value.decode(errors="replace")
        if key == "source" and isinstance(value, str):
            with contextlib.suppress(ValueError):
                value = json.loads(value)
        if isinstance(value, (np.ndarray, np.generic)):
            value = value.tolist()
        try:
            json.dumps(value)
        except (TypeError, ValueError):
            value = str(value)
        out[key] = value
    return out


def filters(dataset: Any) -> str:
    """The dataset's filters in order, quarnel's with its settings."""
    from quarnel_tools.hdf5 import FILTER_ID, settings_of

    plist = dataset.id.get_create_plist()
    shown = []
    for i in range(plist.get_nfilters()):
        code, _, values, name = plist.get_filter(i)
        text = f"{name.decode(errors='replace') or code} {list(values)}"
        if code == FILTER_ID:
            with contextlib.suppress(ValueError):
                text = f"quarnel ({settings_of(values).describe()})"
        shown.append(text)
    return ", ".join(shown) or "none"


def read_dataset(path: Path, quiet: bool) -> Signal:
    """A 1-D or 2-D float dataset, rows as channels, with the sample rate and
    the source that compress records; ``size`` is its stored bytes."""
    with opened(path) as dataset:
        if dataset.ndim not in (1, 2) or dataset.dtype.kind != "f":
            raise Failure(
                path, f"holds a {dataset.ndim}-D {dataset.dtype} dataset; expected 1-D or 2-D float samples"
            )
        shape = dataset.shape if dataset.ndim == 2 else (1, dataset.shape[0])
        step = (dataset.chunks[-1] if dataset.chunks else 1 << 20) * 4
        dtype = np.float64 if dataset.dtype.itemsize > 4 else np.float32
        samples = read_rows(path, dataset, shape, dtype, step, quiet)
        attrs = attributes(dataset)
        stored = dataset.id.get_storage_size()
    rate, source = attrs.get("sample_rate"), attrs.get("source")
    return Signal(
        samples, int(rate) if isinstance(rate, (int, float)) else None, source if isinstance(source, dict) else {},
        stored,
    )


def _filter(path: Path, settings: Settings) -> Any:
    """The filter's keywords for h5py with every setting: the filter takes
    each one or refuses it."""
    from quarnel_tools.hdf5 import Quarnel

    try:
        return Quarnel(**settings.config())
    except (TypeError, ValueError) as e:
        raise Failure(path, one_line(e)) from None


@dataclass
class DatasetTarget:
    """Where compress writes a dataset: a new file, or an HDF5 file that is
    there, beside its other datasets."""

    file: Path
    name: str  # the dataset's path in the file, without the leading /
    exists: bool = False  # the file is there
    replace: bool = False  # and holds a dataset of that name (--force)


def dataset_target(out: Path, force: bool, settings: Settings) -> DatasetTarget:
    """Where ``out`` puts a dataset, refusing a group (whose datasets
    --force would remove), a dataset there unless ``force``, and those
    ``check_out`` refuses of a new file."""
    file, name = _split(out)
    if file.suffix.lower() == ".nc":
        raise Failure(out, "NetCDF variables need dimensions: write .h5, or a variable with h5netcdf (see README)")
    if not name:
        raise Failure(out, f"name the dataset to write as {file}:/NAME")
    h5py = h5py_module(out)
    _filter(out, settings)  # the filter refuses what it cannot carry before anything is read
    if not (file.is_file() and h5py.is_hdf5(file)):
        check_out(file, force)  # another kind of file: --force replaces it, as any file
        return DatasetTarget(file, name)
    with opened(Path(f"{file}:"), group=True) as root:
        node = root.get(name)
        if isinstance(node, h5py.Group):
            raise Failure(out, f"is an HDF5 group; name a dataset in it as {out}/NAME")
        parent = root.get(posixpath.dirname(name) or "/")
        if parent is not None and not isinstance(parent, h5py.Group):
            raise Failure(out, f"/{posixpath.dirname(name)} in {file} is a dataset, not a group")
    if node is not None and not force:
        raise Failure(out, "already exists (use --force to overwrite)")
    return DatasetTarget(file, name, True, node is not None)


def write_dataset(
    target: DatasetTarget, signal: Signal, source: Path, settings: Settings, chunk: int, quiet: bool
) -> None:
    """One channel as a 1-D dataset, more as rows of a 2-D one, chunked along
    time and written a whole chunk at a time: a chunk written in pieces
    would be decoded and coded again. A file that is there gets the dataset
    under a temporary name, renamed when complete."""
    h5py = h5py_module(source)
    from quarnel_tools.hdf5 import raw_chunks

    samples = signal.samples
    channels, n = samples.shape
    per_chunk = min(chunk, n)
    shape, chunks = ((n,), (per_chunk,)) if channels == 1 else ((channels, n), (1, per_chunk))
    settings = chunk_settings(settings, samples)
    kwargs = _filter(target.file, settings)
    recorded = {**({"name": source.name} if source is not STDIN else {}), **signal.source}

    def create(f: Any, name: str) -> None:
        try:
            dataset = f.create_dataset(name, shape=shape, dtype=samples.dtype, chunks=chunks, **kwargs)
        except (ValueError, OSError) as e:
            raise Failure(target.file, one_line(e)) from None
        if signal.rate is not None:
            dataset.attrs["sample_rate"] = signal.rate
        dataset.attrs["source"] = json.dumps(recorded)
        write_rows(source, dataset, samples, per_chunk * 4, quiet)
        for offset in raw_chunks(dataset):
            c, start = (0, offset[0]) if dataset.ndim == 1 else offset
            stop = min(start + per_chunk, n)
            reason = "the filter refused it"
            try:  # the filter's encoder, for its reason
                settings.compress(samples[c, start:stop], fill_value=dataset.fillvalue)
            except ValueError as e:
                reason = one_line(e)
            raise Failure(source, f"channel {c}, samples {start}..{stop - 1}: {reason}")

    if not target.exists:
        with staged(target.file, directory=False) as tmp, h5py.File(tmp, "w") as f:
            create(f, target.name)
        return
    try:
        f = h5py.File(target.file, "r+")
    except OSError as e:
        raise Failure(target.file, f"cannot be written ({one_line(e)})") from None
    with f:
        parent, base = posixpath.split(target.name)
        # The first group on the way that is not there yet goes again with a
        # failed dataset.
        parts = parent.split("/") if parent else []
        new_group = next((p for p in ("/".join(parts[: i + 1]) for i in range(len(parts))) if p not in f), None)
        temporary = posixpath.join(parent, f".{base}.part")
        if temporary in f:  # left by a process that was killed
            del f[temporary]
        try:
            create(f, temporary)
            if target.replace:
                del f[target.name]
            f.move(temporary, target.name)
        except BaseException:
            with contextlib.suppress(KeyError, OSError):
                del f[new_group or temporary]
            raise
