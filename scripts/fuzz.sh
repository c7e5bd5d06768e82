#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-19 under AddressSanitizer and
# UndefinedBehaviorSanitizer in build-matrix/fuzz and runs each target for a
# while, one after another. Usage: fuzz.sh [seconds per target] [target...]
# (default 60 seconds, every target: decompress decode_stream header
# roundtrip threads bounded inflate trailer). New inputs go to
# build-matrix/fuzz/corpus/<target>; the seeds in fuzz/corpus/<target> are
# read, never written. An input that breaks a check or trips a sanitizer is
# saved as build-matrix/fuzz/artifacts/<target>-*; copy it into
# fuzz/corpus/<target>/ once fixed, so it replays as a test.
#
# Long campaigns: QUARNEL_FUZZ_RUNS=N runs each target N times instead of for
# a time (seconds 0), and QUARNEL_FUZZ_ASAN=0 builds without AddressSanitizer
# (UndefinedBehaviorSanitizer only, in build-matrix/fuzz-fast), several times
# faster; a finding is then replayed under the default build. QUARNEL_FUZZ_CMP=0
# (with QUARNEL_FUZZ_ASAN=0, in build-matrix/fuzz-nocmp) also leaves out the
# comparison tracing, whose hooks take two thirds of the time in the coder's
# loops; the edge counters still guide the search. QUARNEL_FUZZ_ARGS passes
# more libFuzzer flags, such as -max_len=1024. For both cores, build once, then
# start two runs with different targets:
#   QUARNEL_FUZZ_ASAN=0 QUARNEL_FUZZ_RUNS=100000000 scripts/fuzz.sh 0 decompress
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${QUARNEL_VENV:-$here/.venv}"
export PATH="$venv/bin:$PATH"
cd "$here"

seconds="${1:-60}"
shift || true
targets=("$@")
((${#targets[@]})) || targets=(decompress decode_stream header roundtrip threads bounded inflate trailer)

dir="$here/build-matrix/fuzz"
sanitize=address,undefined
cpp_args=-fno-sanitize-recover=all
if [[ "${QUARNEL_FUZZ_ASAN:-1}" == 0 ]]; then
  dir="$here/build-matrix/fuzz-fast"
  sanitize=undefined
  if [[ "${QUARNEL_FUZZ_CMP:-1}" == 0 ]]; then
    dir="$here/build-matrix/fuzz-nocmp"
    cpp_args+=" -fno-sanitize-coverage=trace-cmp"
  fi
fi
if [[ ! -f "$dir/build.ninja" ]]; then
  CC=clang-19 CXX=clang++-19 meson setup "$dir" --buildtype=debugoptimized -Dfuzz=true \
    -Dtests=false -Dbenchmarks=false -Dpython=false -Db_sanitize="$sanitize" \
    -Db_lundef=false -Dcpp_args="$cpp_args" >/dev/null
fi
limit=(-max_total_time="$seconds")
what="for ${seconds}s"
if [[ -n "${QUARNEL_FUZZ_RUNS:-}" ]]; then
  limit=(-runs="$QUARNEL_FUZZ_RUNS")
  what="for $QUARNEL_FUZZ_RUNS runs"
fi
echo "== fuzz: building"
ninja -C "$dir" $(printf 'fuzz/fuzz_%s ' "${targets[@]}") >/dev/null

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
passed=0
failed=0
for t in "${targets[@]}"; do
  work="$dir/corpus/$t"
  mkdir -p "$work" "$dir/artifacts"
  log="$dir/fuzz_$t.log"
  echo "== fuzz: $t $what"
  if "$dir/fuzz/fuzz_$t" "$work" "$here/fuzz/corpus/$t" "${limit[@]}" \
    -timeout=30 -rss_limit_mb=3072 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/$t-" ${QUARNEL_FUZZ_ARGS:-} >"$log" 2>&1; then
    passed=$((passed + 1))
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
    echo "   $t: ok, $runs runs, $cov, corpus $(find "$work" -type f | wc -l) files"
  else
    failed=$((failed + 1))
    echo "   $t: FAILED, see $log"
    grep -E "ERROR|check failed|SUMMARY|Test unit written" "$log" | head -20 || true
  fi
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
