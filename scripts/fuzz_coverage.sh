#!/usr/bin/env bash
# How much of the library the fuzz corpora reach. Builds the fuzz targets with
# clang-19's source-based coverage in build-matrix/fuzz-cov, runs every input
# of each target's corpora once (the seeds in fuzz/corpus/<target> and what
# the campaigns of fuzz.sh added in build-matrix/fuzz*/corpus/<target>), and
# prints the lines, branches and functions of quarnel/ and lumvet/ that ran:
# one line per target, then the union per file. Needs llvm-19
# (QUARNEL_SETUP_EXTRA=1 ./scripts/setup.sh).
# Usage: fuzz_coverage.sh [target...]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${QUARNEL_VENV:-$here/.venv}"
export PATH="$venv/bin:$PATH"
cd "$here"

targets=("$@")
((${#targets[@]})) || targets=(decompress decode_stream header roundtrip threads bounded inflate trailer)

dir="$here/build-matrix/fuzz-cov"
if [[ ! -f "$dir/build.ninja" ]]; then
  flags="-fprofile-instr-generate -fcoverage-mapping"
  # The compiler checks run instrumented programs: keep their profiles out of the tree.
  LLVM_PROFILE_FILE=/dev/null CC=clang-19 CXX=clang++-19 meson setup "$dir" --buildtype=debugoptimized -Dfuzz=true \
    -Dtests=false -Dbenchmarks=false -Dpython=false -Db_lundef=false \
    -Dcpp_args="$flags" -Dcpp_link_args="$flags" >/dev/null
fi
echo "== fuzz coverage: building"
ninja -C "$dir" $(printf 'fuzz/fuzz_%s ' "${targets[@]}") >/dev/null

profiles="$dir/profiles"
rm -rf "$profiles"
mkdir -p "$profiles"
sources=("$here/quarnel" "$here/lumvet")
objects=()
covered() { echo "$(($1 - $2))/$1 $3"; }
printf '%-14s %7s %18s %18s %18s\n' target inputs lines branches functions
for t in "${targets[@]}"; do
  inputs="$profiles/$t.inputs"
  find "$here/fuzz/corpus/$t" "$here"/build-matrix/fuzz*/corpus/"$t" -type f 2>/dev/null >"$inputs" || true
  # One run per batch of files: the fuzzer runs each named file once.
  LLVM_PROFILE_FILE="$profiles/$t-%p.profraw" xargs -a "$inputs" -d '\n' \
    "$dir/fuzz/fuzz_$t" -timeout=30 -rss_limit_mb=3072 >"$profiles/$t.log" 2>&1 ||
    { echo "$t: an input failed its check, see $profiles/$t.log"; exit 1; }
  llvm-profdata-19 merge -sparse "$profiles/$t"-*.profraw -o "$profiles/$t.profdata"
  # TOTAL's columns: regions, missed, %, functions, missed, %, lines, missed,
  # %, branches, missed, %.
  read -r -a total < <(llvm-cov-19 report "$dir/fuzz/fuzz_$t" \
    -instr-profile="$profiles/$t.profdata" "${sources[@]}" | awk '$1 == "TOTAL"')
  printf '%-14s %7d %18s %18s %18s\n' "$t" "$(wc -l <"$inputs")" \
    "$(covered "${total[7]}" "${total[8]}" "${total[9]}")" \
    "$(covered "${total[10]}" "${total[11]}" "${total[12]}")" \
    "$(covered "${total[4]}" "${total[5]}" "${total[6]}")"
  objects+=(${objects:+-object} "$dir/fuzz/fuzz_$t")
done

echo "== all targets together, per file"
llvm-profdata-19 merge -sparse "$profiles"/*.profdata -o "$profiles/all.profdata"
llvm-cov-19 report "${objects[@]}" -instr-profile="$profiles/all.profdata" "${sources[@]}" |
  sed "s|$here/||" | awk '
    BEGIN { printf "%-36s %18s %18s %18s\n", "file", "lines", "branches", "functions"; fflush() }
    function part(n, missed) { return sprintf("%d/%d %s", n - missed, n, n ? sprintf("%.1f%%", 100 * (n - missed) / n) : "-") }
    NF == 13 && $8 ~ /^[0-9]+$/ && $8 > 0 {
      row = sprintf("%-36s %18s %18s %18s", $1, part($8, $9), part($11, $12), part($5, $6))
      if ($1 == "TOTAL") total = row; else print row | "sort"
    }
    END { close("sort"); print total }'
