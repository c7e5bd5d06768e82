#!/usr/bin/env bash
# Build and run the whole test suite: the C++ tests (GoogleTest, through
# Meson), the lint and type checks of the Python code (ruff, mypy), then the
# Python module's tests (pytest) with the oldest and the newest supported
# NumPy.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${QUARNEL_VENV:-$here/.venv}"
venv_oldest="${QUARNEL_VENV_OLDEST_NUMPY:-$venv-oldest-numpy}"
build="${QUARNEL_BUILD:-$here/build}"
pybuild="${QUARNEL_PY_BUILD:-$here/build-py}"
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

# The Python module: one wheel, built by meson-python with the venv's build
# tools (the same ones pyproject.toml asks for) in a build directory kept
# between runs, then installed into both venvs.
rm -rf "$pybuild/wheel"
"$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
  -Cbuild-dir="$pybuild/meson" -w "$pybuild/wheel" .
wheel=("$pybuild"/wheel/quarnel-*.whl)
for v in "$venv_oldest" "$venv"; do
  "$v/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "${wheel[0]}"
done

# Lint and type checks, settings in pyproject.toml; mypy checks calls into
# the module through the stub the wheel just installed. A failure does not
# stop the tests, but fails the run at the end.
lint_passed=0
lint_failed=0
lint() {
  if "$@"; then
    lint_passed=$((lint_passed + 1))
  else
    echo "${1##*/} failed"
    lint_failed=$((lint_failed + 1))
  fi
}
lint "$venv/bin/ruff" check src tests bench examples scripts
lint "$venv/bin/mypy"
echo "lint: $lint_passed passed, $lint_failed failed"

# Newest NumPy last, so that pytest's summary closes the output.
for v in "$venv_oldest" "$venv"; do
  echo "Python tests with NumPy $("$v/bin/python" -c 'import numpy; print(numpy.__version__)')"
  # The Python sources live under src/, so the installed package is the one
  # under test however pytest starts; its options are in pyproject.toml.
  "$v/bin/python" -m pytest -q tests/python
done

if ((lint_failed)); then
  echo "lint failed: see the ruff and mypy output above the Python tests"
  exit 1
fi
