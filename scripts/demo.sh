#!/usr/bin/env bash
# The main job end to end: install what a Debian 12 machine lacks, build and
# install quarnel into the venv (pip install ., as a user would), then run the
# command line on a recorded speech signal: compress to a stream with a PSNR
# target, show its header, decompress back to WAV, and bench every method and
# coder with a rate-distortion plot. Usage: scripts/demo.sh [AUDIO] [PSNR]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${QUARNEL_VENV:-$here/.venv}"
wav="${1:-/usr/share/sounds/alsa/Front_Center.wav}"
psnr="${2:-60}"

"$here/scripts/setup.sh"
echo "demo: building and installing quarnel into $venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$here"
out="$here/out"
mkdir -p "$out"
name="$(basename "${wav%.*}")"
q="$venv/bin/quarnel"
# A stream holds samples only: the rate for the WAV comes from the original.
rate="$("$venv/bin/python" -c 'import soundfile, sys; print(soundfile.info(sys.argv[1]).samplerate)' "$wav")"

set -x
"$q" compress --force --psnr "$psnr" "$wav" "$out/$name.qrnl"
"$q" info "$out/$name.qrnl"
"$q" decompress --force --rate "$rate" "$out/$name.qrnl" "$out/$name.wav"
"$q" bench "$wav" --plot "$out/$name-rd.png"
