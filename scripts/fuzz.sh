#!/usr/bin/env bash
# Longer fuzzing runs than the short ones ctest makes.
#
#   scripts/fuzz.sh <target|all> [seconds]     each target for that long (default 60 s)
#   FUZZ_RUNS=N scripts/fuzz.sh <target|all>   each target for N executions instead
#   FUZZ_WORKERS=K ...                          K processes a target on one shared corpus, the
#                                               executions split between them (default 1)
#
# Uses the clang sanitizer tree that scripts/test.sh configures (FUZZ_BUILD picks another).
# Each target grows a work corpus under <build>/fuzz/work/<target>, seeded from the
# committed fuzz/corpus/<target>, which is only read. Prints the executions and their
# speed; a crash leaves its input in <build>/fuzz/work/<target>/artifacts and fails.
set -euo pipefail
cd "$(dirname "$0")/.."

# Longest input of each target, as fuzz/CMakeLists.txt gives it to ctest.
declare -A max_len=(
  [fuzz_line_rules]=256 [fuzz_identification]=128 [fuzz_device_text]=256 [fuzz_time_texts]=64
  [fuzz_settings_file]=8192 [fuzz_registry_rules]=1024 [fuzz_line_settings]=64
  [fuzz_monitor_bytes]=1024 [fuzz_program_bytes]=512 [fuzz_history_lines]=4096
  [fuzz_pipe_lines]=8192 [fuzz_control_lines]=2048
)
all=(fuzz_line_rules fuzz_identification fuzz_device_text fuzz_time_texts fuzz_settings_file fuzz_registry_rules
     fuzz_line_settings fuzz_monitor_bytes fuzz_program_bytes fuzz_history_lines fuzz_pipe_lines
     fuzz_control_lines)

if [ $# -lt 1 ]; then
  echo "usage: $0 <target|all> [seconds]   (targets: ${all[*]})" >&2
  exit 2
fi
if [ "$1" = all ]; then
  targets=("${all[@]}")
elif [ -n "${max_len[$1]:-}" ]; then
  targets=("$1")
else
  echo "unknown target: $1 (targets: ${all[*]})" >&2
  exit 2
fi
seconds=${2:-60}
limit=(-max_total_time="$seconds")

build=${FUZZ_BUILD:-build-asan}
if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DHORALIGN_WERROR=ON -DHORALIGN_SANITIZE=ON -DHORALIGN_GUI=OFF -DHORALIGN_FUZZ=ON
fi
cmake --build "$build" -j "${FUZZ_JOBS:-2}" --target "${targets[@]}"

workers=${FUZZ_WORKERS:-1}
if [ -n "${FUZZ_RUNS:-}" ]; then limit=(-runs="$(( (FUZZ_RUNS + workers - 1) / workers ))"); fi
# An allocation's stack is recorded on every malloc otherwise, a third of a long run's time;
# a crash's input is kept, and replaying it with the default options gives the full report.
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=0}

status=0
for t in "${targets[@]}"; do
  work="$build/fuzz/work/$t"
  mkdir -p "$work/corpus" "$work/artifacts"
  rm -f "$work"/last*.log
  started=$(date +%s)
  # Workers share the work corpus: each reloads what the others add (libFuzzer's -reload).
  pids=()
  for ((w = 1; w <= workers; w++)); do
    "$build/fuzz/$t" "${limit[@]}" -max_len="${max_len[$t]}" -timeout=30 -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/" "$work/corpus" "fuzz/corpus/$t" >"$work/last-$w.log" 2>&1 &
    pids+=($!)
  done
  rc=0
  for pid in "${pids[@]}"; do wait "$pid" || rc=$?; done
  elapsed=$(( $(date +%s) - started ))
  runs=$(cat "$work"/last-*.log | awk '/stat::number_of_executed_units/ {n += $2} END {print n}')
  speed=$(cat "$work"/last-*.log | awk '/stat::average_exec_per_sec/ {n += $2} END {print n}')
  printf '%-22s %12s executions in %6s s  %8s exec/s  (%d worker(s))\n' "$t" "${runs:-?}" \
    "$elapsed" "${speed:-?}" "$workers"
  # 72 is libFuzzer's exit code for an interrupt (Ctrl-C): a run cut short, not a finding.
  if [ "$rc" -eq 72 ] && grep -q -a "run interrupted" "$work"/last-*.log; then
    echo "  $t stopped by an interrupt before its limit; nothing found up to there"
    status=1
  elif [ "$rc" -ne 0 ]; then
    echo "  $t failed ($rc): the input is in $work/artifacts; logs: $work/last-*.log"
    cat "$work"/last-*.log | grep -a -m3 -E 'property broken|ERROR|SUMMARY' | sed 's/^/  /' || true
    status=1
  fi
done
exit "$status"
