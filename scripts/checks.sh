# Sourced by the check scripts: the tree's root as $here (the working
# directory too) with the venv's tools first on PATH, and `check NAME
# COMMAND...`, which runs one named check, says ok or FAILED, and counts it
# in $passed and $failed.
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${QUARNEL_VENV:-$here/.venv}"
export PATH="$venv/bin:$PATH"
cd "$here"

passed=0
failed=0
check() {
  local name="$1"
  shift
  if "$@"; then
    echo "   $name: ok"
    passed=$((passed + 1))
  else
    echo "   $name: FAILED"
    failed=$((failed + 1))
  fi
}
