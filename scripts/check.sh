#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless under Xvfb; then the same
# for Windows under wine (scripts/check-windows.sh), unless PELLORAN_LINUX_ONLY=1.
# Arguments go to both ctest runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" \
  ctest --test-dir build --output-on-failure -j"$(nproc)" "$@"
if [[ ${PELLORAN_LINUX_ONLY:-0} != 1 ]]; then
  scripts/check-windows.sh "$@"
fi
