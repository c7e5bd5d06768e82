#!/usr/bin/env bash
# The installed library as its users see it: `meson install` into a temporary
# prefix, which is then moved, and from outside the tree, against the moved
# prefix: the C example built with pkg-config against the shared and the
# static library, the C example again as a C-only CMake project on the static
# library, the C++ example (quarnel/quarnel.hpp) with CMake's find_package and
# with pkg-config in libstdc++'s debug mode, a C++17 project on the C interface
# with find_package (the package imposes no standard; quarnel.hpp refuses
# C++17 in one error), and a C program on the version query, the bound, the bounded encoder and
# the header and trailer readers. The examples run on a generated signal with
# their largest error checked against a bound; the shared library's exports
# are checked to be the public API alone. Builds in build-matrix/install. The
# last line counts the checks: "install: N passed, M failed"; the exit status
# is non-zero when one failed.
# shellcheck source=checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

build="$here/build-matrix/install"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
# Installed into one prefix, used from another: nothing may name the first.
installed="$tmp/installed"
prefix="$tmp/prefix"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"

install_library() {
  if [[ ! -f "$build/build.ninja" ]]; then
    meson setup "$build" --buildtype=release -Ddefault_library=both -Dpython=false \
      -Dtests=false -Dbenchmarks=false --libdir=lib --prefix="$installed" >/dev/null || return 1
  else
    meson configure "$build" --prefix="$installed" >/dev/null 2>&1 || return 1
  fi
  ninja -C "$build" -j "${QUARNEL_JOBS:-2}" >/dev/null &&
    meson install -C "$build" --quiet >/dev/null &&
    mv "$installed" "$prefix" &&
    ! grep -rl "$installed" "$prefix/lib/pkgconfig" "$prefix/lib/cmake"
}

# Exactly the public headers, the libraries and the package files.
installed_files() {
  local want got
  want="include/quarnel/error.h
include/quarnel/export.h
include/quarnel/quarnel.h
include/quarnel/quarnel.hpp
include/quarnel/quarnel_c.h
include/quarnel/store.h
include/quarnel/trailer.h
include/quarnel/version.h
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
  # The dependencies stay private and need no .pc files of their own: the
  # static link names them as flags. The include path is quarnel's alone.
  [[ -z "$(pkg-config --print-requires quarnel)$(pkg-config --print-requires-private quarnel)" ]] &&
    [[ "$(pkg-config --cflags quarnel)" =~ ^-I([^ ]*)\ *$ ]] &&
    [[ "$(cd "${BASH_REMATCH[1]}" && pwd)" == "$prefix/include" ]] &&
    pkg-config --static --libs quarnel | grep -q -- "-lhwy -ldeflate -lz -lstdc++ -lm"
}

# Only quarnel_* C functions and the public quarnel:: C++ functions.
exports_public_api_only() {
  local symbols
  symbols="$(nm -D --defined-only "$prefix/lib/libquarnel.so" | awk '{print $3}' | c++filt)"
  echo "$symbols" | grep -qx "quarnel_compress" || return 1
  local others
  others="$(echo "$symbols" | grep -Ev '^(quarnel_[a-z0-9_]+|quarnel::stdlib::(compress|compress_bounded|decompress|check_compressible|read_header|check_error_target|check_deflate_level|check_float32_range|compress_bound|trailer_bound|(method|cutoff|coder)_(name|from_name)|read_trailer|append_trailer|apply_mask|apply_corrections|mask_of|masked_count|compress_stored|compress_bounded_stored|decompress_with_trailer(_into)?|QuarnelError::[a-z_]+(\[abi:cxx11\])?)\(.*)$')"
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
    make -s -C "$tmp/c" CFLAGS="-O2 -std=c99 -Wall -Wextra -pedantic -Werror" roundtrip &&
    out="$(LD_LIBRARY_PATH="$prefix/lib" "$tmp/c/roundtrip" "$tmp/signal.f32")" &&
    within_bound "$out"
}

# True when the program needs no libquarnel.so: the static library is in it.
static_binary() {
  ! ldd "$1" | grep -q libquarnel || { echo "     $1 needs libquarnel.so"; return 1; }
}

c_example_static() {
  local out
  make -s -C "$tmp/c" CFLAGS="-O2 -std=c99 -Wall -Wextra -pedantic -Werror" roundtrip-static &&
    static_binary "$tmp/c/roundtrip-static" &&
    out="$("$tmp/c/roundtrip-static" "$tmp/signal.f32")" &&
    within_bound "$out"
}

c_cmake_static() {
  local out
  cmake -S tests/install/c_static -B "$tmp/c_static" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build "$tmp/c_static" >/dev/null &&
    static_binary "$tmp/c_static/roundtrip_static" &&
    out="$("$tmp/c_static/roundtrip_static" "$tmp/signal.f32")" &&
    within_bound "$out"
}

# C++17 through find_package: the imported target keeps the project's
# standard, and quarnel.hpp says in one error that it needs C++23.
cxx17_consumer() {
  local out errors
  cmake -S tests/install/cxx17 -B "$tmp/cxx17" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build "$tmp/cxx17" >/dev/null &&
    out="$(LD_LIBRARY_PATH="$prefix/lib" "$tmp/cxx17/cxx17")" && echo "     $out" || return 1
  # shellcheck disable=SC2046
  errors="$(echo '#include <quarnel/quarnel.hpp>' |
    c++ -std=c++17 -fsyntax-only -x c++ $(pkg-config --cflags quarnel) - 2>&1 | grep -c 'error:')"
  [[ "$errors" == 1 ]] || { echo "     quarnel.hpp in C++17: $errors errors"; return 1; }
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

# The C++ example in libstdc++'s debug mode, whose containers differ from the
# library's: quarnel.hpp keeps them on the program's side. The library's own
# C++ header must refuse to link there rather than crash.
cpp_debug_mode() {
  local out
  # shellcheck disable=SC2046
  c++ -std=c++23 -D_GLIBCXX_DEBUG -O1 -Wall -Wextra -Werror $(pkg-config --cflags quarnel) \
    -o "$tmp/roundtrip-debug" examples/cpp/roundtrip.cc $(pkg-config --libs quarnel) &&
    out="$(LD_LIBRARY_PATH="$prefix/lib" "$tmp/roundtrip-debug" "$tmp/signal.f32")" &&
    within_bound "$out" || return 1
  # shellcheck disable=SC2046
  ! c++ -std=c++23 -D_GLIBCXX_DEBUG $(pkg-config --cflags quarnel) -o "$tmp/mismatch" \
    tests/install/debug_mismatch.cc $(pkg-config --libs quarnel) 2>"$tmp/mismatch.log" &&
    grep -q "undefined reference to .quarnel::glibcxx_debug::compress" "$tmp/mismatch.log"
}

c_interface() {
  # shellcheck disable=SC2046
  cc -O2 -std=c99 -Wall -Wextra -pedantic -Werror $(pkg-config --cflags quarnel) \
    -o "$tmp/c_api" tests/install/c_api.c $(pkg-config --libs quarnel) -lm &&
    LD_LIBRARY_PATH="$prefix/lib" "$tmp/c_api" | sed 's/^/     /'
}

# A second of a two-tone signal at 48 kHz, little-endian float32.
python3 -c '
import array, math, sys
x = array.array("f", (3 * math.sin(i * 0.013) + 0.4 * math.sin(i * 0.71) for i in range(48000)))
if sys.byteorder != "little": x.byteswap()
x.tofile(open(sys.argv[1], "wb"))' "$tmp/signal.f32"

echo "== install: into a temporary prefix, then moved"
check "meson install" install_library
check "installed files" installed_files
check "exported symbols" exports_public_api_only
check "C example (pkg-config)" c_example
check "C example (pkg-config --static)" c_example_static
check "C example (C-only CMake, static library)" c_cmake_static
check "C++ example (CMake)" cpp_example
check "C++17 project (CMake, C interface; quarnel.hpp refused in one error)" cxx17_consumer
check "C++ example (pkg-config, -D_GLIBCXX_DEBUG)" cpp_debug_mode
check "C interface (version, bound, bounded encoder, readers)" c_interface
echo "install: $passed passed, $failed failed"
((failed == 0))
