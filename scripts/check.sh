#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless under Xvfb; without
# arguments also the unit tests under the sanitizers and the fuzz targets; with
# PELLORAN_WINDOWS=1 also the Windows build and its tests under wine.
# Arguments go to the ctest runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" \
  ctest --test-dir build --output-on-failure -j"$(nproc)" "$@"
# A full run also repeats the unit tests under the sanitizers and runs the fuzz targets.
if (($# == 0)); then
  scripts/check-sanitized.sh
fi
# The Windows build and its tests under wine, when asked for: its toolchain takes long to
# build the first time.
if [[ ${PELLORAN_WINDOWS:-0} == 1 ]]; then
  scripts/check-windows.sh "$@"
fi
