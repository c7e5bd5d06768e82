#!/usr/bin/env bash
# The wheel as a user without the build's -dev packages gets it: the wheel of
# scripts/test.sh (built here if absent or older than the sources) repaired
# by auditwheel, which copies the shared libraries it needs but the system
# does not promise (Highway, libdeflate) into the wheel, then installed with
# pip into a fresh venv and used there: the README's snippets and the HDF5
# filter's tests, with h5py and its HDF5 from PyPI.
#
# Everything after the repair runs with LD_LIBRARY_PATH unset and, as root,
# in a mount namespace of its own in which every Highway and libdeflate
# library the loader knows of (ldconfig -p) reads as an empty file, so that
# loading one of them fails: what passes there does not touch them. ldd then
# shows where the installed extension modules and the plugin find them.
# Without root the libraries stay visible and only ldd speaks to that.
#
# Works in build-matrix/wheel. The last line counts the checks:
# "wheel: N passed, M failed"; the exit status is non-zero when one failed.
# shellcheck source=checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

work="$here/build-matrix/wheel"
fresh="$work/venv"
dist="$work/dist"
mkdir -p "$work"

# The libraries to hide: each file the names of the loader's cache lead to.
hidden_libraries=()
while IFS= read -r path; do
  hidden_libraries+=("$path")
done < <(ldconfig -p | awk '$1 ~ /^lib(hwy|deflate)/ {print $NF}' | xargs -r readlink -f | sort -u)

hiding=0
if ((EUID == 0)) && unshare --mount --propagation private true 2>/dev/null; then
  hiding=1
fi

# Runs a command without LD_LIBRARY_PATH and, where possible, with the
# libraries hidden.
hidden() {
  local clean=(env -u LD_LIBRARY_PATH)
  if ((hiding)); then
    unshare --mount --propagation private bash -c '
      for lib in "${@:2:$1}"; do mount --bind /dev/null "$lib" || exit 1; done
      shift $(($1 + 1))
      exec "$@"' bash "${#hidden_libraries[@]}" "${hidden_libraries[@]}" "${clean[@]}" "$@"
  else
    "${clean[@]}" "$@"
  fi
}

# The wheel of scripts/test.sh, built the same way unless it is newer than
# every tracked file.
built_wheel() {
  local wheels=("$here"/build-py/wheel/quarnel-*.whl)
  if [[ -f "${wheels[0]}" ]] &&
    (($(stat -c %Y "${wheels[0]}") >= $(git ls-files -z | xargs -0 stat -c %Y 2>/dev/null | sort -n | tail -1))); then
    echo "   reusing ${wheels[0]#"$here"/}"
    return 0
  fi
  rm -rf "$here/build-py/wheel"
  python -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
    -Cbuild-dir="$here/build-py/meson" -w "$here/build-py/wheel" .
}

repair() {
  rm -rf "$dist"
  auditwheel repair -w "$dist" "$here"/build-py/wheel/quarnel-*.whl 2>&1 | grep -v '^INFO:' ||
    [[ -f "$(echo "$dist"/quarnel-*.whl)" ]]
}

# The two extension modules and the plugin, the one libquarnel they share
# (where meson-python puts a project's own libraries), and the two libraries
# auditwheel copied, renamed by their hash.
repaired_contents() {
  local names
  names="$(python -m zipfile -l "$dist"/quarnel-*.whl | awk '$1 ~ /\.so/ {print $1}' | LC_ALL=C sort)"
  echo "$names" | sed 's/^/     /'
  local want
  for want in '^quarnel\.cpython-[^/]*\.so$' '^quarnel_tools/_native\.cpython-[^/]*\.so$' \
    '^quarnel_tools/hdf5_plugin/libh5quarnel\.so$' '^\.quarnel\.mesonpy\.libs/libquarnel\.so$' \
    '^quarnel\.libs/libhwy-[0-9a-f]*\.so' \
    '^quarnel\.libs/libdeflate-[0-9a-f]*\.so'; do
    echo "$names" | grep -q "$want" || { echo "     missing: $want"; return 1; }
  done
}

hiding_works() {
  ((hiding)) || return 0
  local lib
  for lib in libhwy.so.1 libdeflate.so.0; do
    if hidden python -c "import ctypes; ctypes.CDLL('$lib')" 2>/dev/null; then
      echo "     $lib still loads"
      return 1
    fi
  done
}

fresh_venv() {
  local wheel=("$dist"/quarnel-*.whl)
  rm -rf "$fresh"
  # The extras and test tools the README's snippets and the HDF5 tests use.
  local log
  # pip's warnings, only when it fails.
  hidden python -m venv "$fresh" &&
    log="$(hidden "$fresh/bin/python" -m pip install -q --disable-pip-version-check \
      "${wheel[0]}[hdf5,plot,dask]" h5netcdf pytest 2>&1)" || { echo "$log" | tail -n 20; return 1; }
}

# Every library the installed modules and the plugin need is found: the
# codec is the wheel's one libquarnel, and Highway and libdeflate are the
# wheel's own copies.
installed_links() {
  local site module out status=0
  site="$("$fresh/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
  for module in "$site"/quarnel.cpython-*.so "$site"/quarnel_tools/_native.cpython-*.so \
    "$site"/quarnel_tools/hdf5_plugin/libh5quarnel.so "$site"/.quarnel.mesonpy.libs/libquarnel.so; do
    out="$(hidden ldd "$module")" || { echo "     ldd ${module#"$site"/} failed"; status=1; continue; }
    echo "$out" | grep -E 'lib(quarnel|hwy|deflate)' | sed "s|$site/||; s/^\t*/     ${module##*/}: /"
    if echo "$out" | grep -q 'not found' ||
      { [[ "$module" != */libquarnel.so ]] &&
        ! echo "$out" | grep -qE "libquarnel\.so => $site/([^ ]*/)?\.quarnel\.mesonpy\.libs/libquarnel\.so"; } ||
      [[ "$(echo "$out" | grep -cE "lib(hwy|deflate)-[0-9a-f]+\.so.* => $site/[^ ]*quarnel\.libs/")" != 2 ]] ||
      echo "$out" | grep -E 'lib(hwy|deflate)' | grep -qv "=> $site/"; then
      status=1
    fi
  done
  return $status
}

# The README's snippets and the HDF5 tests (the filter's and the command
# line's), by the installed pytest from this tree; nothing may skip (a skip
# is a missing dependency).
installed_tests() {
  local log
  log="$(hidden "$fresh/bin/pytest" -q -p no:cacheprovider -rs \
    tests/python/test_readme.py tests/python/test_hdf5.py tests/python/test_cli_hdf5.py 2>&1)"
  local status=$?
  echo "$log" | tail -n 3 | sed 's/^/     /'
  ((status == 0)) && ! echo "$log" | grep -q ' skipped'
}

echo "== wheel: build, repair, install into a fresh venv"
if ((hiding)); then
  echo "   hidden from the installed wheel: ${hidden_libraries[*]}"
else
  echo "   not root or no unshare: the system's libraries stay visible; only ldd tells"
fi
check "wheel built" built_wheel
check "auditwheel repair" repair
python - "$dist"/quarnel-*.whl <<'PY'
import os, sys
print(f"   {os.path.basename(sys.argv[1])}: {os.path.getsize(sys.argv[1])} bytes")
PY
auditwheel show "$dist"/quarnel-*.whl 2>&1 | sed 's/^/     /'
check "repaired wheel contents" repaired_contents
check "libraries hidden" hiding_works
check "pip install into a fresh venv" fresh_venv
check "installed modules link the wheel's libraries" installed_links
check "README snippets and HDF5 tests" installed_tests
echo "wheel: $passed passed, $failed failed"
((failed == 0))
