#!/usr/bin/env bash
# Installs what is missing, builds, and runs the wizard.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target pelloran
exec build/pelloran "$@"
