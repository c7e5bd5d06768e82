#!/usr/bin/env bash
# The variant matrix of the C++ test suite: release (native), ASan+UBSan, and
# the AArch64 cross build under user-mode emulation. Each variant has its own
# build directory under build-matrix/. Usage: run_matrix.sh [variant...]
# with variants release, sanitize, aarch64 (default: all three).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${QUARNEL_VENV:-$here/.venv}"
export PATH="$venv/bin:$PATH"
cd "$here"

variants=("$@")
((${#variants[@]})) || variants=(release sanitize aarch64)

run_variant() {
  local name="$1"
  shift
  local dir="$here/build-matrix/$name"
  if [[ ! -f "$dir/build.ninja" ]]; then
    meson setup "$dir" -Dpython=false -Dbenchmarks=false "$@" >/dev/null
  fi
  echo "== $name: building"
  ninja -C "$dir" >/dev/null
  echo "== $name: testing"
  meson test -C "$dir" --print-errorlogs --num-processes 2 --timeout-multiplier 4 \
    | grep -E "^ *[0-9]+/[0-9]+ |^(Ok|Fail|Unexpected Pass|Expected Fail|Skipped|Timeout): "
}

for v in "${variants[@]}"; do
  case "$v" in
    release) run_variant release --buildtype=release ;;
    sanitize)
      # Leak, address and undefined-behaviour checks; any report fails the test.
      # Tests provoke failing allocations on purpose: malloc must return null then.
      export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1"
      export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
      run_variant sanitize --buildtype=debugoptimized -Db_sanitize=address,undefined \
        -Db_lundef=false -Dcpp_args=-fno-sanitize-recover=all
      ;;
    aarch64) run_variant aarch64 --buildtype=release --cross-file "$here/cross/aarch64-linux-gnu.ini" ;;
    *)
      echo "unknown variant $v" >&2
      exit 2
      ;;
  esac
done
