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
  g++ pkg-config zlib1g-dev libdeflate-dev libhwy-dev libgtest-dev libgmock-dev libbenchmark-dev
  python3-dev python3-venv alsa-utils cmake make
  libhdf5-dev hdf5-tools
)
# Extra toolchains for the variant matrix (scripts/run_matrix.sh), with
# QUARNEL_SETUP_EXTRA=1: clang and its sanitizer and libFuzzer runtimes for the
# fuzz targets, LLVM's coverage tools for scripts/fuzz_coverage.sh, and the
# AArch64 cross compiler, its arm64 libraries (Debian multiarch) and user-mode
# emulation for the cross build's tests.
extra=0
if [[ "${QUARNEL_SETUP_EXTRA:-0}" == 1 ]]; then
  extra=1
  packages+=(
    clang-19 libclang-rt-19-dev llvm-19
    g++-aarch64-linux-gnu qemu-user-static
    libc6-dev:arm64 libstdc++-12-dev:arm64 libhwy-dev:arm64 zlib1g-dev:arm64 libdeflate-dev:arm64
    libgtest-dev:arm64
  )
fi
# Peers for bench/compare.py and bench/scaling.py, with QUARNEL_SETUP_BENCH=1:
# the recordings they compress (the ECG record shipped with Debian's SciPy,
# telephone speech from Asterisk's sound files) and a third venv,
# .venv-bench (requirements-bench.txt: zfpy, pysz, PyWavelets, matplotlib).
bench=0
venv_bench="${QUARNEL_VENV_BENCH:-$venv-bench}"
if [[ "${QUARNEL_SETUP_BENCH:-0}" == 1 ]]; then
  bench=1
  # asterisk-core-sounds-en makes sounds/en, where the recordings are looked
  # up; without recommends nothing else does.
  packages+=(python3-scipy asterisk-core-sounds-en-wav asterisk-core-sounds-en)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
if ((extra)) && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "setup: adding the arm64 architecture"
  "${sudo_cmd[@]}" dpkg --add-architecture arm64
fi

if ((${#missing[@]})); then
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
if ((bench)); then make_venv "$venv_bench" "$here/requirements-bench.txt"; fi
