#!/usr/bin/env bash
# The main job end to end: install what a Debian 12 machine lacks, build and
# install quarnel into the venv (pip install ., as a user would), then
# compress a recorded speech signal with every wavelet and both coders,
# print the table and write the plot. Arguments go to examples/compress_wav.py.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${QUARNEL_VENV:-$here/.venv}"

"$here/scripts/setup.sh"
echo "demo: building and installing quarnel into $venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$here"
cd "$here"
"$venv/bin/python" examples/compress_wav.py "$@"
