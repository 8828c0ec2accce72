#!/usr/bin/env bash
# Measures the CPU time the program uses while it sits hidden in the tray: the demonstration
# set-up under Xvfb (four simulated devices, COM1-COM3 active, mode 1), the window hidden
# with Alt+H and Yes, then utime+stime from /proc/<pid>/stat before and after a quiet spell.
# Usage: scripts/idle-cpu.sh [SECONDS]   (default 60; builds first, like scripts/run.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}

scripts/deps.sh
cmake -S . -B build -G Ninja > /dev/null
cmake --build build --target horalign horalign-devsim > /dev/null
# shellcheck source=scripts/desktop-session.sh
source "$root/scripts/desktop-session.sh"

# utime + stime of a process, in clock ticks.
cpu_ticks() {
  local stat
  stat=$(< "/proc/$1/stat")
  stat=${stat##*) }  # the fields after the command name, which may hold blanks
  awk '{ print $12 + $13 }' <<< "$stat"
}

hs_init idle-cpu
hs_start_x 1280x800
hs_start_wm
hs_start_tray
hs_write_settings 1 7
hs_start_devsim "$root/build/sim/horalign-devsim" com=1,letter=W,serial=10001 \
  com=2,letter=A,serial=20002 com=3,letter=K,serial=30003 com=4,letter=none,serial=40004
hs_start_program "$root/build/gui/horalign"
pid=$HS_PROGRAM_PID

main=$(hs_wait_window "$pid" '^Horalign \(Version' 30)
notice=$(hs_wait_window "$pid" '^Horalign - System Message$' 60)
hs_keys "$notice" Return
sleep 1
hs_keys "$main" alt+h
question=$(hs_wait_window "$pid" '^Horalign - System Message$' 10)
hs_keys "$question" y
hs_wait_until 5 hs_unmapped "$main" || {
  echo "the window did not hide" >&2
  exit 1
}
sleep 2  # let the hide settle

ticks_per_second=$(getconf CLK_TCK)
before=$(cpu_ticks "$pid")
sleep "$seconds"
after=$(cpu_ticks "$pid")
hs_alive "$pid" || { echo "the program ended during the measurement" >&2; exit 1; }
awk -v t=$((after - before)) -v hz="$ticks_per_second" -v s="$seconds" 'BEGIN {
  printf "hidden in the tray for %d s: %d ticks of CPU (%.2f s) = %.3f%% of one core\n",
    s, t, t / hz, 100 * t / hz / s }'
