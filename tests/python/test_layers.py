"""Every binding reaches the codec through the headers it installs: the
design's module, quarnel_tools' extension, the C interface and the HDF5
filter include no header of the codec's own insides."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BINDINGS = ["quarnel_py", "src/quarnel_tools", "hdf5_filter", "quarnel/capi", "examples"]


def installed_headers():
    build = (ROOT / "quarnel" / "meson.build").read_text()
    listed = re.search(r"install_headers\(([^)]*)\)", build)
    assert listed, "no install_headers() in quarnel/meson.build"
    names = set(re.findall(r"'([\w.]+)'", listed.group(1)))
    return names | ({"version.h"} if "version_h" in listed.group(1) else set())


def includes(path):
    return re.findall(r'#include "quarnel/([\w.]+)"', path.read_text())


def sources(where):
    path = ROOT / where
    return [path] if path.is_file() else sorted(p for p in path.rglob("*") if p.suffix in {".c", ".cc", ".h", ".hpp"})


@pytest.mark.parametrize("where", BINDINGS + ["installed headers"])
def test_bindings_include_only_installed_headers(where):
    public = installed_headers()
    if where == "installed headers":
        files = [ROOT / "quarnel" / h for h in public if (ROOT / "quarnel" / h).exists()]
    else:
        files = sources(where)
    assert files
    inside = {f"{f.relative_to(ROOT)}: quarnel/{h}" for f in files for h in includes(f) if h not in public}
    assert not inside


# quarnel/ by layer, lowest first: the designed codec at the top of the
# folder, then the error-bounded encoder, the trailer and the storage
# encoders, the C interface. A public header at the top belongs to the layer
# that implements it.
LAYERS = ["", "bounded", "store", "capi"]
PUBLIC_ABOVE = {"trailer.h": "store", "store.h": "store", "quarnel_c.h": "capi", "quarnel.hpp": "capi"}


def layer(name):
    folder, _, rest = name.rpartition("/")
    return LAYERS.index(folder if folder else PUBLIC_ABOVE.get(rest, ""))


def test_no_include_in_quarnel_runs_up_a_layer():
    files = sorted(p for p in (ROOT / "quarnel").rglob("*") if p.suffix in {".cc", ".h", ".hpp"})
    assert {p.parent.name for p in files} >= {"quarnel", *LAYERS[1:]}
    upward = {
        f"{p.relative_to(ROOT)}: quarnel/{h}"
        for p in files
        for h in re.findall(r'#include "quarnel/([\w./]+)"', p.read_text())
        if layer(h) > layer(str(p.relative_to(ROOT / "quarnel")))
    }
    assert not upward


def first_comment_line(path):
    return re.sub(r"^(//|/\*)\s*", "", path.read_text().lstrip().splitlines()[0])


# At the top of quarnel/, beside the installed headers, an internal header
# says so in its first line; in the folders below, the folder says it.
@pytest.mark.parametrize("name", sorted(p.name for p in (ROOT / "quarnel").glob("*.h*") if p.suffix in {".h", ".hpp"}))
def test_top_level_headers_say_whether_they_are_internal(name):
    internal = first_comment_line(ROOT / "quarnel" / name).startswith("Internal:")
    assert internal == (name not in installed_headers())
