#!/usr/bin/env python3
"""The wheel's native parts as a user gets them: sizes, symbols, import time,
and the HDF5 plugin beside another package's HDF5 filters in one process.

    python bench/wheel.py [WHEEL ...]    (default: build-py/wheel/quarnel-*.whl)

Each wheel is unpacked into a temporary folder put first on the path of fresh
interpreters of this venv, so that two wheels compare in one run (a codec in
each module against one shared libquarnel, say; the system's Highway and
libdeflate serve a wheel that auditwheel has not repaired). Per wheel:

  size       the wheel file, and each shared object in it: bytes, the symbols
             it exports (nm -D --defined-only) and its codec symbols (defined
             symbols of its symbol table in the namespaces quarnel::, lumvet::
             and Highway's (the kernels), or C functions quarnel_*).
  import     `import quarnel` and `import quarnel_tools`, each in a fresh
             interpreter with NumPy already imported (so NumPy's own import
             is not counted), the wheels taking turns: median and fastest of
             --runs, in ms.
  hdf5plugin h5py writes and reads one file with hdf5plugin's Blosc (zstd)
             and Zstd filters and quarnel's filter, in one process, importing
             hdf5plugin first and then last; checks that every dataset reads
             back (losslessly, or within quarnel's bound), counts the
             libquarnel files mapped into the process and prints its
             resident memory at the end. Needs hdf5plugin
             (pip install hdf5plugin); without it the line says so.
"""

from __future__ import annotations

import argparse
import contextlib
import glob
import os
import re
import statistics
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# A codec symbol names the codec's own function or object (the kernels sit in
# Highway's target namespaces); the bindings' quarnel_py:: and instances that
# only take a codec type as an argument do not count.
CODEC = re.compile(
    r"^(?:(?:typeinfo name|typeinfo|vtable|construction vtable|guard variable|non-virtual thunk|virtual thunk)"
    r" (?:for|to) )?(?:[\w:<>*& ]+ )?(?:(?:quarnel|lumvet|hwy)::|quarnel_(?!py))"
)

# One process, both filters of hdf5plugin and quarnel's: prints the libquarnel
# files the process has mapped, or raises.
HDF5_BOTH = """
import os, sys, tempfile
import numpy as np
first = sys.argv[1]
if first == "hdf5plugin":
    import hdf5plugin
import h5py
import quarnel_tools.hdf5 as qh
if first != "hdf5plugin":
    import hdf5plugin
x = np.cumsum(np.random.default_rng(3).standard_normal((4, 20000)), axis=1).astype(np.float32)
filters = {
    "blosc": hdf5plugin.Blosc(cname="zstd", clevel=5),
    "zstd": hdf5plugin.Zstd(),
    "quarnel": qh.Quarnel(max_error=1e-2),
}
with tempfile.TemporaryDirectory() as d:
    path = os.path.join(d, "both.h5")
    with h5py.File(path, "w") as f:
        for name, kw in filters.items():
            f.create_dataset(name, data=x, chunks=(2, 20000), **kw)
    with h5py.File(path, "r") as f:
        for name in ("blosc", "zstd"):
            assert np.array_equal(f[name][...], x), name
        # Stored smaller than the samples: the filter ran, not the raw
        # chunk HDF5 keeps when an optional filter declines.
        assert f["quarnel"].id.get_storage_size() < x.nbytes
        err = float(np.max(np.abs(f["quarnel"][...] - x)))
        assert err <= 1e-2, err
maps = {line.split()[-1] for line in open("/proc/self/maps") if "libquarnel" in line}
rss = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmRSS"))
print(len(maps), ",".join(sorted(os.path.basename(m) for m in maps)) or "-", f"{err:.2e}", rss)
"""


def shared_objects(tree: Path) -> list[Path]:
    return sorted(p for p in tree.rglob("*.so*") if p.is_file())


def symbol_counts(path: Path) -> tuple[int, int]:
    exported = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True)
    table = subprocess.run(["nm", "-C", "--defined-only", path], capture_output=True, text=True)
    names = [line.split(" ", 2)[2] for line in table.stdout.splitlines() if line.count(" ") >= 2]
    return len(exported.stdout.splitlines()), sum(bool(CODEC.search(n)) for n in names)


def python(tree: Path, *args: str) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHONPATH=str(tree))
    env.pop("HDF5_PLUGIN_PATH", None)
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env, cwd=tree)


def import_ms(trees: list[Path], module: str, runs: int) -> list[list[float]]:
    """Import times of each tree's module, the trees taking turns so that a
    busy machine slows them alike."""
    code = f"import time, numpy; t = time.perf_counter(); import {module}; print(time.perf_counter() - t)"
    times: list[list[float]] = [[] for _ in trees]
    for _ in range(runs):
        for tree, out in zip(trees, times):
            run = python(tree, "-c", code)
            if run.returncode:
                raise SystemExit(f"import {module} failed:\n{run.stderr}")
            out.append(1e3 * float(run.stdout))
    return times


def contents(wheel: Path, tree: Path) -> None:
    print(f"{wheel.name}  ({os.path.relpath(wheel)})")
    print(f"  wheel        {wheel.stat().st_size:>10,} bytes")
    for path in shared_objects(tree):
        exported, codec = symbol_counts(path)
        print(
            f"  {path.stat().st_size:>10,} bytes  {exported:>4} exported  {codec:>5} codec symbols"
            f"  {path.relative_to(tree)}"
        )


def beside_hdf5plugin(tree: Path) -> None:
    for first in ("hdf5plugin", "quarnel_tools"):
        run = python(tree, "-c", HDF5_BOTH, first)
        if "No module named 'hdf5plugin'" in run.stderr:
            print("    hdf5plugin not installed")
            return
        if run.returncode:
            last = run.stderr.strip().splitlines()[-1:] or ["(no message)"]
            print(f"    {first} first: FAILED: {last[0]}")
            continue
        count, names, err, rss = run.stdout.split()
        print(
            f"    {first} first: Blosc, Zstd and quarnel read back (quarnel max error {err});"
            f" libquarnel files mapped: {count} {names}; resident {int(rss) / 1024:.1f} MiB"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("wheels", nargs="*", type=Path)
    parser.add_argument("--runs", type=int, default=21, help="fresh interpreters per import (default 21)")
    args = parser.parse_args()
    wheels = args.wheels or [Path(p) for p in glob.glob(str(ROOT / "build-py/wheel/quarnel-*.whl"))]
    if not wheels:
        raise SystemExit("no wheel: build one (scripts/test.sh) or name it")
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs")
    with contextlib.ExitStack() as stack:
        trees = [Path(stack.enter_context(tempfile.TemporaryDirectory())) for _ in wheels]
        for wheel, tree in zip(wheels, trees):
            with zipfile.ZipFile(wheel) as z:
                z.extractall(tree)
            contents(wheel, tree)
        for module in ("quarnel", "quarnel_tools"):
            print(f"import {module}, ms ({args.runs} runs each, the wheels taking turns): median, fastest")
            for wheel, times in zip(wheels, import_ms(trees, module, args.runs)):
                print(f"  {statistics.median(times):6.1f} {min(times):6.1f}  {os.path.relpath(wheel)}")
        print("beside hdf5plugin's filters, in one process")
        for wheel, tree in zip(wheels, trees):
            print(f"  {os.path.relpath(wheel)}")
            beside_hdf5plugin(tree)


if __name__ == "__main__":
    main()
