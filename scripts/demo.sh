#!/usr/bin/env bash
# The main job end to end: install what a Debian 12 machine lacks to build
# quarnel, install it into a venv of its own (pip install ., as a user would)
# with the two peers and matplotlib, then run the command line on a recorded
# speech signal: compress to a stream with a PSNR target, show it, decompress
# back to WAV, and place the stream beside SZ3 and zfp at the same largest
# error and PSNR, on a rate-distortion plot. Not run by CI.
# Usage: scripts/demo.sh [AUDIO] [PSNR]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${QUARNEL_DEMO_VENV:-$here/.venv-demo}"
wav="${1:-/usr/share/sounds/alsa/Front_Center.wav}"
psnr="${2:-60}"

# What building the extension needs, and alsa-utils for the recording; none
# of the developer tools (tests, benchmarks, HDF5) that scripts/setup.sh adds.
packages=(g++ pkg-config zlib1g-dev libdeflate-dev libhwy-dev python3-dev python3-venv alsa-utils)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  echo "demo: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

# Built once: a later run reuses the venv (remove it to build quarnel again).
if ! "$venv/bin/python" -c "import quarnel_tools, matplotlib, pysz, zfpy" 2>/dev/null; then
  if [[ ! -x "$venv/bin/python" ]]; then
    echo "demo: creating $venv"
    "${PYTHON:-python3}" -m venv "$venv"
  fi
  echo "demo: building and installing quarnel, SZ3 (pysz), zfp (zfpy) and matplotlib into $venv"
  # zfpy 1.0.1: numcodecs 0.16, which quarnel brings, fails to import next to 1.0.1.post0.
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$here" matplotlib pysz zfpy==1.0.1
fi

out="$here/out"
mkdir -p "$out"
name="$(basename "${wav%.*}")"
q="$venv/bin/quarnel"

set -x
"$q" compress --force --psnr "$psnr" "$wav" "$out/$name.qrnl"
"$q" info "$out/$name.qrnl"
# The stream records the WAV's rate and sample format.
"$q" decompress --force "$out/$name.qrnl" "$out/$name.wav"
"$venv/bin/python" "$here/bench/demo_peers.py" "$wav" "$out/$name.qrnl" "$out/$name-peers.png"
