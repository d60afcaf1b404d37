#!/usr/bin/env bash
# The unit tests again, built with AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan), then each fuzz target for a short fixed number of inputs (build-fuzz, clang).
# check.sh runs this after the other tests; it assumes the packages are installed.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLORAN_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs" --target pelloran_unit_tests
UBSAN_OPTIONS=print_stacktrace=1 xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -L unit

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLORAN_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$jobs" --target pelloran_fuzz_targets
ctest --test-dir build-fuzz --output-on-failure -j"$jobs" -L fuzz
