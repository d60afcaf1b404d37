#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless under Xvfb; without
# arguments also the unit tests under the sanitizers and the fuzz targets; then the Windows
# build and its tests under wine (PELLORAN_WINDOWS=0 leaves Windows out, for quick work on
# Linux). Arguments go to the ctest runs.
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
# The Windows build and its tests under wine; its toolchain is built once and cached.
if [[ ${PELLORAN_WINDOWS:-1} == 1 ]]; then
  scripts/check-windows.sh "$@"
fi
