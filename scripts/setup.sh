#!/usr/bin/env bash
# Install what quarnel needs on a Debian 12 machine: the system libraries
# (apt-get, only those missing) and the project's venv with its Python tools.
# Idempotent and quiet when everything is already present.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${QUARNEL_VENV:-$here/.venv}"
# A second venv with the oldest supported NumPy, for the Python tests.
venv_oldest="${QUARNEL_VENV_OLDEST_NUMPY:-$venv-oldest-numpy}"

packages=(
  g++ pkg-config zlib1g-dev libhwy-dev libgtest-dev libgmock-dev libbenchmark-dev
  python3-dev python3-venv alsa-utils
)
# Extra toolchains for the reliability matrix: QUARNEL_SETUP_EXTRA=1.
if [[ "${QUARNEL_SETUP_EXTRA:-0}" == 1 ]]; then
  packages+=(clang-19 libclang-rt-19-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

py="${PYTHON:-python3}"
# Creates venv $1 if needed and installs requirements file $2 into it when the
# file changed since the last time.
make_venv() {
  local dir="$1" requirements="$2"
  if [[ ! -x "$dir/bin/python" ]]; then
    echo "setup: creating $dir"
    "$py" -m venv "$dir"
  fi
  local stamp="$dir/.requirements.sha256" want
  want="$(sha256sum "$requirements" | cut -d' ' -f1)"
  if [[ ! -f "$stamp" || "$(cat "$stamp")" != "$want" ]]; then
    echo "setup: installing Python packages into $dir"
    "$dir/bin/python" -m pip install -q --disable-pip-version-check --only-binary=numpy -r "$requirements"
    echo "$want" >"$stamp"
  fi
}

make_venv "$venv" "$here/requirements-dev.txt"
make_venv "$venv_oldest" "$here/requirements-oldest-numpy.txt"
