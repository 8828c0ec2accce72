#!/usr/bin/env bash
# Builds and runs every test: the GCC tree (warnings as errors) with the unit, adapter,
# Qt and end-to-end tests, then the clang address+undefined sanitizer tree with the
# unit and adapter tests and short fuzzing runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHORALIGN_WERROR=ON
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs" --timeout 300)

CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DHORALIGN_WERROR=ON -DHORALIGN_SANITIZE=ON -DHORALIGN_GUI=OFF -DHORALIGN_FUZZ=ON
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs" --timeout 300)
