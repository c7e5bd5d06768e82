#!/usr/bin/env bash
# Build and run the whole test suite: the C++ tests (GoogleTest, through
# Meson) and, once the module exists, the Python tests (pytest).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${QUARNEL_VENV:-$here/.venv}"
build="${QUARNEL_BUILD:-$here/build}"
export PATH="$venv/bin:$PATH"

cd "$here"
if [[ ! -f "$build/build.ninja" ]]; then
  meson setup "$build" --buildtype=release -Dpython=false
fi
ninja -C "$build"
meson test -C "$build" --print-errorlogs --num-processes 2

# Closing line in the plain form: one count per test binary.
"$venv/bin/python" - "$build/meson-logs/testlog.json" <<'PY'
import json, sys
ok = bad = skipped = 0
for line in open(sys.argv[1]):
    r = json.loads(line)["result"]
    if r == "OK": ok += 1
    elif r == "SKIP": skipped += 1
    else: bad += 1
print(f"C++: {ok} passed, {bad} failed, {skipped} skipped")
PY
