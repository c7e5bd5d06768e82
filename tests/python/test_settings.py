"""One list of configurations through every writer: each door either writes
what quarnel_tools.compress writes with the same settings, or refuses the
configuration. A door that drops a field (a DEFLATE level, corrections, the
trailer, a fixed option) writes other payload bytes or another trailer, and
fails here. The C options are reached through ctypes, in the library the
package carries."""

import ctypes
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quarnel
import quarnel_tools
import quarnel_tools._native as _native

from conftest import make_signal

N = 3000
# Each differs from the defaults where a door could lose it; the signal is
# one for which every such field changes the stream.
CONFIGS = [
    {"method": "db4", "scale": 9, "cutoff": "high", "coder": "deflate", "deflate_level": 1},
    {"method": "cdf53", "scale": 8, "cutoff": "medium", "coder": "deflate"},
    {"method": "sym4", "scale": 10, "cutoff": "medium", "coder": "deflate", "trailer": False},
    {"max_error": 2e-2},
    {"max_error": 2e-2, "corrections": False},
    {"max_error": 2e-2, "method": "cdf53", "coder": "deflate", "deflate_level": 12},
    {"rel_error": 1e-2, "trailer": False},
    {"psnr": 50.0, "method": "sym4", "coder": "deflate"},
]
FLAGS = {"max_error": "--max-error", "rel_error": "--rel-error", "psnr": "--psnr"}


@pytest.fixture(scope="module")
def signal():
    x = make_signal(N, seed=7)
    return x / np.abs(x).max()  # a range of about 2, so that rel_error and max_error meet


def reference(x, config):
    """What quarnel_tools.compress writes with `config`."""
    config = dict(config)
    if "scale" in config:
        options = quarnel.QrnlCompressionOptions(*(config.pop(k) for k in ("method", "scale", "cutoff", "coder")))
        return quarnel_tools.compress(x, options, **config)
    return quarnel_tools.compress(x, **config)


def bare_part(stream):
    return bytes(stream[: _native.HEADER_SIZE + quarnel_tools.inspect(stream).payload_length])


def assert_written_with(stream, x, config):
    want = reference(x, config)
    assert bare_part(stream) == bare_part(want)
    assert (len(stream) > len(bare_part(stream))) == (len(want) > len(bare_part(want)))
    if len(want) > len(bare_part(want)):
        got, expected = quarnel_tools.read_trailer(stream), quarnel_tools.read_trailer(want)
        assert (got.target, got.corrected, got.grid) == (expected.target, expected.corrected, expected.grid)


def numcodecs_door(tmp_path, x, config):
    pytest.importorskip("numcodecs")
    from quarnel_tools.numcodecs import Quarnel

    # A relative target needs the array's fill value; there is none to mask.
    fill = {} if config.get("trailer") is False else {"fill_value": float("nan")}
    return Quarnel(**config, **fill).encode(x)


def zarr_door(tmp_path, x, config):
    zarr = pytest.importorskip("zarr")
    from quarnel_tools.zarr import QuarnelCodec

    a = zarr.create_array(
        str(tmp_path / "a.zarr"),
        shape=(N,),
        chunks=(N,),
        dtype="f4",
        fill_value=np.nan,
        serializer=QuarnelCodec(**config),
        compressors=None,
    )
    a[:] = x
    return (tmp_path / "a.zarr" / "c" / "0").read_bytes()


def hdf5_door(tmp_path, x, config):
    h5py = pytest.importorskip("h5py")
    import quarnel_tools.hdf5 as qh5

    kwargs = qh5.Quarnel(**config)
    with h5py.File(tmp_path / "a.h5", "w") as f:
        d = f.create_dataset("x", data=x, chunks=(N,), fillvalue=np.nan, **kwargs)
        assert qh5.settings_of(d.id.get_create_plist().get_filter(0)[2]) == qh5.Quarnel(**config).settings
        _, chunk = d.id.read_direct_chunk((0,))
    assert int.from_bytes(chunk[:4], "little") == 1  # one row: its length, then its stream
    return chunk[8:]


def command_line(tmp_path, x, config, out):
    np.save(tmp_path / "in.npy", x)
    args = []
    for key, value in config.items():
        if key in FLAGS:
            args += [FLAGS[key], repr(value)]
        elif key in ("trailer", "corrections"):
            args += [] if value else [f"--no-{key}"]
        else:
            args += [f"--{key.replace('_', '-')}", str(value)]
    run = subprocess.run(
        [sys.executable, "-m", "quarnel_tools", "compress", "-q", *args, str(tmp_path / "in.npy"), str(out)],
        capture_output=True,
        text=True,
    )
    if run.returncode:
        raise ValueError(run.stderr)


def cli_qrnl_door(tmp_path, x, config):
    command_line(tmp_path, x, config, tmp_path / "a.qrnl")
    return (tmp_path / "a.qrnl").read_bytes()


def cli_zarr_door(tmp_path, x, config):
    pytest.importorskip("zarr")
    command_line(tmp_path, x, config, tmp_path / "a.zarr")
    (chunk,) = [p for p in (tmp_path / "a.zarr").rglob("*") if p.is_file() and p.parent.name == "0"]
    return chunk.read_bytes()


def cli_hdf5_door(tmp_path, x, config):
    h5py = pytest.importorskip("h5py")
    command_line(tmp_path, x, config, f"{tmp_path / 'a.h5'}:/x")
    with h5py.File(tmp_path / "a.h5") as f:
        _, chunk = f["x"].id.read_direct_chunk((0,))
    return chunk[8:]


class COptions(ctypes.Structure):
    _fields_ = [
        ("struct_size", ctypes.c_uint32),
        *((k, ctypes.c_uint8) for k in ("method", "scale", "cutoff", "coder")),
        *((k, ctypes.c_uint32) for k in ("threads", "trailer", "has_fill_value")),
        ("fill_value", ctypes.c_double),
        ("corrections", ctypes.c_uint32),
        ("deflate_level", ctypes.c_int32),
    ]


class CTarget(ctypes.Structure):
    _fields_ = [
        ("struct_size", ctypes.c_uint32),
        *((k, ctypes.c_uint8) for k in ("kind", "method", "coder")),
        ("value", ctypes.c_double),
    ]


def c_door(tmp_path, x, config):
    from quarnel_tools._settings import CODERS, CUTOFFS, METHODS, TARGETS

    found = list((Path(quarnel.__file__).parent / ".quarnel.mesonpy.libs").glob("libquarnel.so*"))
    if not found:
        pytest.skip("the package carries no shared libquarnel")
    lib = ctypes.CDLL(str(found[0]))
    options, target = COptions(), CTarget()
    lib.quarnel_options_init(ctypes.byref(options))
    lib.quarnel_target_init(ctypes.byref(target))
    for key, value in config.items():
        if key in TARGETS:
            target.kind, target.value = TARGETS.index(key), value
        elif key in ("method", "coder") and "scale" not in config:
            setattr(target, key, (METHODS if key == "method" else CODERS).index(value))
        elif key in ("method", "cutoff", "coder"):
            setattr(options, key, {"method": METHODS, "cutoff": CUTOFFS, "coder": CODERS}[key].index(value))
        else:
            setattr(options, key, value)
    stream, size, message = ctypes.POINTER(ctypes.c_uint8)(), ctypes.c_size_t(), ctypes.create_string_buffer(256)
    samples = np.ascontiguousarray(x, np.float32).ctypes.data_as(ctypes.POINTER(ctypes.c_float))
    by_target = (ctypes.byref(target),) if "scale" not in config else ()
    call = lib.quarnel_compress_bounded_alloc if by_target else lib.quarnel_compress_alloc
    if call(
        samples,
        ctypes.c_size_t(x.size),
        *by_target,
        ctypes.byref(options),
        ctypes.byref(stream),
        ctypes.byref(size),
        message,
        ctypes.c_size_t(256),
    ):
        raise ValueError(message.value.decode())
    try:
        return ctypes.string_at(stream, size.value)
    finally:
        lib.quarnel_free(stream)


DOORS = [c_door, numcodecs_door, zarr_door, hdf5_door, cli_qrnl_door, cli_zarr_door, cli_hdf5_door]


@pytest.mark.parametrize("config", CONFIGS, ids=lambda c: ",".join(f"{k}={v}" for k, v in c.items()))
@pytest.mark.parametrize("door", DOORS, ids=lambda d: d.__name__.removesuffix("_door"))
def test_every_door_carries_every_setting_or_refuses_it(tmp_path, signal, door, config):
    if "rel_error" in config and door in (cli_zarr_door, cli_hdf5_door):
        # Stores take a relative bound over the whole signal as each chunk's
        # absolute one.
        span = float(signal.max()) - float(signal.min())
        config = {**{k: v for k, v in config.items() if k != "rel_error"}, "max_error": config["rel_error"] * span}
    try:
        stream = door(tmp_path, signal, config)
    except ValueError as e:  # what the door cannot carry, and only that
        assert config.get("trailer") is False and (
            door in (hdf5_door, cli_hdf5_door) or (door is numcodecs_door and "rel_error" in config)
        ), e
        return
    assert_written_with(stream, signal, config)


@pytest.mark.parametrize("config", CONFIGS, ids=lambda c: ",".join(f"{k}={v}" for k, v in c.items()))
def test_each_field_changes_the_stream(signal, config):
    """Without this the test above could not tell a dropped field."""
    defaults = {"method": "cdf97", "scale": 11, "cutoff": "low", "coder": None}
    want = reference(signal, config)
    for key in config.keys() - FLAGS.keys():
        lost = (
            {**config, key: defaults[key]}
            if "scale" in config and key in defaults
            else {k: v for k, v in config.items() if k != key}
        )
        assert reference(signal, lost) != want, key
