#!/usr/bin/env bash
# Checks the C++ sources' format (clang-format), then builds and runs every test:
#  1. the GCC tree (warnings as errors): the Debian package built from it and checked (files,
#     validators, lintian, dpkg), its service started by a systemd of its own (skipped where
#     the machine cannot), then its unit, adapter, Qt (offscreen) and end-to-end tests;
#  2. the clang address+undefined sanitizer tree: unit and adapter tests, short fuzzing runs;
#  3. the Windows program cross-built with mingw-w64, its tests run under Wine.
# HORALIGN_SKIP_WINDOWS=1 leaves out step 3.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ "${HORALIGN_SKIP_WINDOWS:-0}" == 1 ]]; then scripts/deps.sh; else scripts/deps.sh --windows; fi

jobs=$(nproc)
# Most tests wait on devices, buses, displays and daemons rather than on the CPU.
test_jobs=$((jobs * 2))
step() { printf '\n=== %s (%s)\n' "$1" "$(date +%T)"; }

step "Format check"
git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

step "GCC build"
# Optimised as Debian builds are, without debug information: the package strips it, and
# the sanitizer tree is where a failure is taken apart.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DHORALIGN_WERROR=ON
cmake --build build -j "$jobs"
step "Debian package"
tests/packaging/package_test.sh build
step "The service under systemd"
scripts/systemd-check.sh build/horalign_1.41-1_amd64.deb

# A tree's tests run while the next tree compiles at the lowest priority: the tests mostly
# wait, and have the CPU whenever they want it. Their output is shown when they end.
beside_pid="" beside_name="" beside_log=""
beside() {  # name, then the command
  beside_name=$1 beside_log=$(mktemp)
  shift
  "$@" >"$beside_log" 2>&1 &
  beside_pid=$!
}
joined() {  # waits for the tests beside the build; fails as they did
  local rc=0
  wait "$beside_pid" || rc=$?
  step "$beside_name (ran beside the build)"
  cat "$beside_log"
  rm -f "$beside_log"
  beside_pid=""
  return "$rc"
}
trap '[[ -z $beside_pid ]] || wait "$beside_pid" || true' EXIT
gcc_tests() { cd build && ctest --output-on-failure -j "$test_jobs" --timeout 300; }
asan_tests() {
  cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j "$test_jobs" --timeout 300
}

beside "GCC tests" gcc_tests
step "Sanitizer build"
# A unity build (the product's files compiled in batches); the GCC tree compiles each file
# alone, so a file that misses an include still fails there.
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_UNITY_BUILD=ON -DHORALIGN_WERROR=ON -DHORALIGN_SANITIZE=ON -DHORALIGN_GUI=OFF \
  -DHORALIGN_FUZZ=ON
nice -n 19 cmake --build build-asan -j "$jobs"
joined
beside "Sanitizer tests and fuzzing runs" asan_tests
if [[ "${HORALIGN_SKIP_WINDOWS:-0}" != 1 ]]; then
  step "Windows cross build"
  JOBS=$jobs nice -n 19 scripts/build-windows.sh
  joined
  step "Windows tests under Wine"
  DEVSIM=$PWD/build/sim/horalign-devsim scripts/test-windows.sh
else
  joined
fi
step "All tests passed"
