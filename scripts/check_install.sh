#!/usr/bin/env bash
# The installed library as its users see it: `meson install` into a temporary
# prefix, then from outside the tree the C example built with pkg-config and
# the C++ example built with CMake's find_package, both run on a generated
# signal with their largest error checked against a bound, and the shared
# library's exports checked to be the public API alone. Builds in
# build-matrix/install. The last line counts the checks:
# "install: N passed, M failed"; the exit status is non-zero when one failed.
# shellcheck source=checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

build="$here/build-matrix/install"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix"

install_library() {
  if [[ ! -f "$build/build.ninja" ]]; then
    meson setup "$build" --buildtype=release -Ddefault_library=both -Dpython=false \
      -Dtests=false -Dbenchmarks=false --libdir=lib --prefix="$prefix" >/dev/null || return 1
  else
    meson configure "$build" --prefix="$prefix" >/dev/null || return 1
  fi
  ninja -C "$build" -j "${QUARNEL_JOBS:-2}" >/dev/null && meson install -C "$build" --quiet >/dev/null
}

# Exactly the public headers, the libraries and the package files.
installed_files() {
  local want got
  want="include/quarnel/error.h
include/quarnel/export.h
include/quarnel/quarnel.h
include/quarnel/quarnel_c.h
include/quarnel/trailer.h
lib/cmake/quarnel/quarnelConfig.cmake
lib/cmake/quarnel/quarnelConfigVersion.cmake
lib/libquarnel.a
lib/libquarnel.so
lib/libquarnel.so.0
lib/libquarnel.so.0.1.0
lib/pkgconfig/quarnel.pc"
  # The HDF5 filter comes with the build where HDF5 is found; it exports
  # nothing but the plugin's two entry points.
  local plugin="lib/hdf5/plugins/libh5quarnel.so"
  if [[ -f "$prefix/$plugin" ]]; then
    [[ "$(nm -D --defined-only "$prefix/$plugin" | awk '{print $3}' | LC_ALL=C sort | tr '\n' ' ')" == \
      "H5PLget_plugin_info H5PLget_plugin_type " ]] || { echo "the plugin exports more"; return 1; }
  fi
  got="$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | grep -vx "$plugin" | LC_ALL=C sort)"
  [[ "$got" == "$want" ]] || { diff <(echo "$want") <(echo "$got"); return 1; }
  # The dependencies stay private.
  [[ "$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --print-requires quarnel)" == "" ]] &&
    PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --print-requires-private quarnel |
    sort | tr '\n' ' ' | grep -qx "libdeflate libhwy zlib "
}

# Only quarnel_* C functions and the public quarnel:: C++ functions.
exports_public_api_only() {
  local symbols
  symbols="$(nm -D --defined-only "$prefix/lib/libquarnel.so" | awk '{print $3}' | c++filt)"
  echo "$symbols" | grep -qx "quarnel_compress" || return 1
  local others
  others="$(echo "$symbols" | grep -Ev '^(quarnel_[a-z0-9_]+|quarnel::(compress|compress_bounded|decompress|check_compressible|read_header|check_error_target|check_float32_range|(method|cutoff|coder)_(name|from_name)|read_trailer|append_trailer|apply_mask|apply_corrections|mask_of|masked_count|compress_stored|compress_bounded_stored|decompress_with_trailer|QuarnelError::[a-z_]+(\[abi:cxx11\])?)\(.*)$')"
  [[ -z "$others" ]] || { echo "$others" | head; return 1; }
}

# "max error E, range R" from an example's output, within R / 256: the
# default scale 11 quantises in steps of R / 2048.
within_bound() {
  echo "     $1"
  echo "$1" | python3 -c '
import re, sys
m = re.search(r"max error ([0-9.e+-]+), range ([0-9.e+-]+)", sys.stdin.read())
sys.exit(0 if m and float(m[2]) > 0 and float(m[1]) <= float(m[2]) / 256 else 1)'
}

c_example() {
  local out
  mkdir -p "$tmp/c" && cp examples/c/roundtrip.c examples/c/Makefile "$tmp/c/" &&
    PKG_CONFIG_PATH="$prefix/lib/pkgconfig" make -s -C "$tmp/c" CFLAGS="-O2 -std=c99 -Wall -Wextra -pedantic -Werror" &&
    out="$(LD_LIBRARY_PATH="$prefix/lib" "$tmp/c/roundtrip" "$tmp/signal.f32")" &&
    within_bound "$out"
}

cpp_example() {
  local out
  cp -r examples/cpp "$tmp/cpp" &&
    cmake -S "$tmp/cpp" -B "$tmp/cpp/build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build "$tmp/cpp/build" >/dev/null &&
    out="$("$tmp/cpp/build/roundtrip" "$tmp/signal.f32")" &&
    within_bound "$out"
}

# A second of a two-tone signal at 48 kHz, little-endian float32.
python3 -c '
import array, math, sys
x = array.array("f", (3 * math.sin(i * 0.013) + 0.4 * math.sin(i * 0.71) for i in range(48000)))
if sys.byteorder != "little": x.byteswap()
x.tofile(open(sys.argv[1], "wb"))' "$tmp/signal.f32"

echo "== install: into a temporary prefix"
check "meson install" install_library
check "installed files" installed_files
check "exported symbols" exports_public_api_only
check "C example (pkg-config)" c_example
check "C++ example (CMake)" cpp_example
echo "install: $passed passed, $failed failed"
((failed == 0))
