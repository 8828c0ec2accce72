#!/usr/bin/env bash
# End to end: horalign.exe under Wine and Xvfb against horalign-devsim's devices, driven by
# keys as a user would, checked on the devices' side and in the registry afterwards.
# Called by scripts/test-windows.sh, which provides the Wine prefix (COM3 and COM7 mapped to
# the devices' terminals, every other COM number hidden), the display and the simulator.
# Environment: WINEPREFIX, DISPLAY, HORALIGN_EXE, E2E_DIR (work folder), DEVSIM_LOG.
# With SCREENSHOTS=DIR it leaves windows-main.png and windows-message.png there.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# The polling helpers (hs_wait_until, hs_gone) of the Linux desktop sessions.
# shellcheck source=../../scripts/desktop-session.sh
source "$here/../../scripts/desktop-session.sh"
dir=$E2E_DIR
log=$DEVSIM_LOG
mkdir -p "$dir"

fail() {
  echo "e2e: $*" >&2
  import -window root "$dir/failure.png" 2>/dev/null || true
  exit 1
}

present() { xdotool search --name "^$1\$" >/dev/null 2>&1; }
absent() { ! present "$1"; }
gone() { ! xdotool getwindowname "$1" >/dev/null 2>&1; }
logged() { grep -qP "^[^\t]*\t$1\t$2" "$log"; }
keys() { xdotool key --delay 120 "$@"; sleep 0.5; }
# Lets Wine hand the keyboard to the window that comes forward after another closed.
settle() { sleep 1.5; }

# Waits until the simulator's log holds a line matching $2 for port $1, then until the log
# has been quiet for a second (the program has finished its exchange).
wait_log() {
  hs_wait_until 60 logged "$1" "$2" || fail "no '$2' for $1 in 60 s"
  local last=-1 now
  while now=$(wc -l <"$log") && [[ $now != "$last" ]]; do
    last=$now
    sleep 1
  done
}

# Presses a key until the window titled $2 appears. Right after a window closes, X may hand
# the keyboard to the root window for a moment until Wine focuses the next one; a key
# pressed then is lost, so the key must be one that does no harm when repeated. A loaded
# machine may take seconds to draw the window.
press_for_window() {
  for _ in 1 2 3 4 5; do
    keys "$1"
    hs_wait_until 6 present "$2" && return 0
  done
  fail "'$1' did not bring up '$2'"
}

shot() {  # window title, file name
  [[ -n ${SCREENSHOTS:-} ]] || return 0
  import -window "$(xdotool search --name "^$1\$" | head -1)" "$SCREENSHOTS/$2"
}

main_title="Horalign \\(Version 1\\.41\\)"
message="Horalign - System Message"

wine "$HORALIGN_EXE" >"$dir/horalign.log" 2>&1 &
app=$!

# First run: no mode chosen yet. The notice, then the help hint (which also closes by itself
# after 5 seconds), each closed with Enter.
hs_wait_until 120 present "$message" || fail "no first-run notice"
hs_wait_until 60 present "$main_title" || fail "no main window"
for _ in notice hint; do
  id=$(xdotool search --name "^${message}\$" | head -1) || break
  settle
  keys Return
  hs_wait_until 10 gone "$id" || fail "message $id stayed"
done
settle

# The focus is on the mode list: the first mode (Home again changes nothing), confirmed.
press_for_window Home "$message"
settle
shot "$message" windows-message.png
keys y
hs_wait_until 10 absent "$message" || fail "the mode question stayed"
hs_wait_until 60 absent "Horalign" || fail "the loading message stayed"  # while the ports are scanned
settle

# Row 3 (a local-time model), activate it; row 7 (a UTC model), activate it.
keys Home Down Down
keys alt+t
wait_log COM3 "SEND\t"
keys Down Down Down Down
keys alt+t
wait_log COM7 "SEND\t"

# Update Now on row 7, then on row 3: each device's clock is set.
keys alt+u
wait_log COM7 "CLOCK\t"
keys Up Up Up Up
keys alt+u
wait_log COM3 "CLOCK\t"

# A new update interval, committed when the box loses the focus.
keys alt+i
keys 7 5 Tab
sleep 1
shot "$main_title" windows-main.png

# Ctrl+H lists the history: the scan's connections and the two updates at least.
keys ctrl+h
hs_wait_until 10 present "Horalign History - [0-9]+ entries" || fail "no history list"
history=$(xdotool search --name "^Horalign History - " | head -1)
entries=$(xdotool getwindowname "$history" | sed -n 's/^Horalign History - \([0-9]*\) entries$/\1/p')
[[ ${entries:-0} -ge 4 ]] || fail "the history list shows '$(xdotool getwindowname "$history")'"
keys alt+F4
settle

# Close, and confirm the quit question (its focus is on No).
press_for_window alt+c "$message"
settle
keys y
hs_wait_until 30 hs_gone "$app" || fail "horalign.exe did not end"
wait "$app" || true

wine reg query 'HKLM\Software\Quorvane\Horalign\Config' /reg:32 >"$dir/registry.txt" 2>&1 || true
python3 "$here/e2e_check.py" --log "$log" --registry "$dir/registry.txt"
