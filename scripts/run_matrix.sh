#!/usr/bin/env bash
# The variant matrix of the C++ test suite: release (native), ASan+UBSan, the
# AArch64 cross build under user-mode emulation, and bounded fuzz runs. Each
# variant has its own build directory under build-matrix/.
#
# Usage: run_matrix.sh [variant...] with variants release, sanitize, tsan
# (ThreadSanitizer, thread tests only), aarch64, fuzz, install (the installed
# library and its examples, scripts/check_install.sh), wheel (the repaired
# wheel in a fresh venv without the system's Highway and libdeflate,
# scripts/check_wheel.sh) (default: release sanitize aarch64). QUARNEL_FUZZ_SECONDS sets the run
# time of each fuzz target (default 60). The last line counts every test
# binary and fuzz target run: "matrix: N passed, N failed"; the exit status is
# non-zero when anything failed.
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${QUARNEL_VENV:-$here/.venv}"
export PATH="$venv/bin:$PATH"
cd "$here"

variants=("$@")
((${#variants[@]})) || variants=(release sanitize aarch64)

passed=0
failed=0

# Adds the results of the last `meson test` in $1 to the totals.
count_results() {
  local counts
  counts=$(python3 - "$1/meson-logs/testlog.json" <<'PY'
import json, sys
ok = bad = 0
try:
    for line in open(sys.argv[1]):
        r = json.loads(line)["result"]
        if r in ("OK", "SKIP", "EXPECTEDFAIL"):
            ok += 1
        else:
            bad += 1
except OSError:
    bad += 1
print(ok, bad)
PY
)
  passed=$((passed + ${counts% *}))
  failed=$((failed + ${counts#* }))
}

# Sets up (once) and builds the variant's directory.
build_variant() {
  local name="$1"
  shift
  local dir="$here/build-matrix/$name"
  if [[ ! -f "$dir/build.ninja" ]]; then
    meson setup "$dir" -Dpython=false -Dbenchmarks=false "$@" >/dev/null || return 1
  fi
  echo "== $name: building"
  ninja -C "$dir" -j "${QUARNEL_JOBS:-2}" >/dev/null
}

# Runs the variant's tests (all, or the names given) and counts them; a label
# tells passes over the same build apart.
test_variant() {
  local name="$1" label="$2"
  shift 2
  local dir="$here/build-matrix/$name"
  echo "== $label: testing"
  rm -f "$dir/meson-logs/testlog.json"
  meson test -C "$dir" --print-errorlogs --num-processes 2 --timeout-multiplier 4 "$@" \
    | grep -E "^ *[0-9]+/[0-9]+ |^(Ok|Fail|Unexpected Pass|Expected Fail|Skipped|Timeout): "
  count_results "$dir"
}

# The tests that start threads (all in one binary).
thread_tests=(test_concurrency)
# The tests that run every kernel on every vector target.
target_tests=(test_conv_kernels test_cdf53 test_cdf97 test_codec_roundtrip test_golden_streams)

for v in "${variants[@]}"; do
  case "$v" in
    release)
      if build_variant release --buildtype=release; then
        test_variant release release
      else
        failed=$((failed + 1))
      fi
      ;;
    sanitize)
      # Leak, address and undefined-behaviour checks; any report fails the test.
      # Tests provoke failing allocations on purpose: malloc must return null then.
      export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1"
      export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
      if build_variant sanitize --buildtype=debugoptimized -Db_sanitize=address,undefined \
        -Db_lundef=false -Dcpp_args=-fno-sanitize-recover=all; then
        test_variant sanitize sanitize
      else
        failed=$((failed + 1))
      fi
      unset ASAN_OPTIONS UBSAN_OPTIONS
      ;;
    tsan)
      # ThreadSanitizer over the tests that run threads.
      dir="$here/build-matrix/tsan"
      if [[ ! -f "$dir/build.ninja" ]]; then
        meson setup "$dir" -Dpython=false -Dbenchmarks=false --buildtype=debugoptimized \
          -Db_sanitize=thread >/dev/null
      fi
      echo "== tsan: building"
      if ninja -C "$dir" -j "${QUARNEL_JOBS:-2}" $(printf 'tests/cpp/%s ' "${thread_tests[@]}") \
        >/dev/null; then
        TSAN_OPTIONS="halt_on_error=1" test_variant tsan tsan --no-rebuild "${thread_tests[@]}"
      else
        failed=$((failed + 1))
      fi
      ;;
    aarch64)
      if build_variant aarch64 --buildtype=release \
        --cross-file "$here/cross/aarch64-linux-gnu.ini"; then
        # The emulated CPU has NEON, SVE and SVE2 with 512-bit vectors; the
        # Highway targets for 128-bit SVE2 and 256-bit SVE are chosen only at
        # those vector lengths, so the per-target tests run again at each.
        test_variant aarch64 "aarch64 (SVE 512-bit)"
        QEMU_CPU=max,sve-default-vector-length=16 \
          test_variant aarch64 "aarch64 (SVE 128-bit)" "${target_tests[@]}"
        QEMU_CPU=max,sve-default-vector-length=32 \
          test_variant aarch64 "aarch64 (SVE 256-bit)" "${target_tests[@]}"
      else
        failed=$((failed + 1))
      fi
      ;;
    fuzz)
      log="$(mktemp)"
      "$here/scripts/fuzz.sh" "${QUARNEL_FUZZ_SECONDS:-60}" | tee "$log"
      counts=$(sed -n 's/^fuzz: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$log")
      rm -f "$log"
      if [[ -n "$counts" ]]; then
        passed=$((passed + ${counts% *}))
        failed=$((failed + ${counts#* }))
      else
        failed=$((failed + 1))  # the fuzz build itself failed
      fi
      ;;
    install | wheel)
      log="$(mktemp)"
      "$here/scripts/check_$v.sh" | tee "$log"
      counts=$(sed -n "s/^$v: \\([0-9]*\\) passed, \\([0-9]*\\) failed\$/\\1 \\2/p" "$log")
      rm -f "$log"
      if [[ -n "$counts" ]]; then
        passed=$((passed + ${counts% *}))
        failed=$((failed + ${counts#* }))
      else
        failed=$((failed + 1))  # the script stopped before counting
      fi
      ;;
    *)
      echo "unknown variant $v" >&2
      exit 2
      ;;
  esac
done

echo "matrix: $passed passed, $failed failed"
((failed == 0))
