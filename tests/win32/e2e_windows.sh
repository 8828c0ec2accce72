#!/usr/bin/env bash
# End to end: horalign.exe under Wine and Xvfb against horalign-devsim's devices, driven by
# keys as a user would, checked on the devices' side and in the registry afterwards.
# Called by scripts/test-windows.sh, which provides the Wine prefix (COM3 and COM7 mapped to
# the devices' terminals, every other COM number hidden), the display and the simulator.
# Environment: WINEPREFIX, DISPLAY, HORALIGN_EXE, E2E_DIR (work folder), DEVSIM_LOG.
# With SCREENSHOTS=DIR it leaves windows-main.png and windows-message.png there.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=$E2E_DIR
log=$DEVSIM_LOG
mkdir -p "$dir"

fail() {
  echo "e2e: $*" >&2
  import -window root "$dir/failure.png" 2>/dev/null || true
  exit 1
}

# Waits until a window whose whole title is $1 exists (or, with "gone", no longer exists).
wait_window() {
  local title=$1 want=${2:-present} limit=${3:-60} i
  for ((i = 0; i < limit * 10; i++)); do
    if xdotool search --name "^${title}\$" >/dev/null 2>&1; then
      [[ $want == present ]] && return 0
    else
      [[ $want == gone ]] && return 0
    fi
    sleep 0.1
  done
  fail "window '$title' not $want after ${limit}s"
}

# Waits until the simulator's log holds a line matching $2 for port $1, then until that
# port has been quiet for a second (the program has finished its exchange).
wait_log() {
  local port=$1 pattern=$2 limit=${3:-60} i last now
  for ((i = 0; i < limit * 10; i++)); do
    grep -qP "^[^\t]*\t${port}\t${pattern}" "$log" && break
    sleep 0.1
  done
  grep -qP "^[^\t]*\t${port}\t${pattern}" "$log" || fail "no '$pattern' for $port in ${limit}s"
  last=$(grep -c . "$log" || true)
  for ((i = 0; i < 300; i++)); do
    sleep 1
    now=$(grep -c . "$log" || true)
    [[ $now == "$last" ]] && return 0
    last=$now
  done
}

keys() { xdotool key --delay 120 "$@"; sleep 0.5; }

# Waits until the window with X id $1 has gone (two messages may follow with one title).
wait_id_gone() {
  local i
  for ((i = 0; i < ${2:-10} * 10; i++)); do
    xdotool getwindowname "$1" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  fail "window $1 still there"
}

# Presses a key until the window titled $2 appears. Right after a window closes, X may hand
# the keyboard to the root window for a moment until Wine focuses the next one; a key
# pressed then is lost, so the key must be one that does no harm when repeated.
press_for_window() {
  local key=$1 title=$2 try i
  for ((try = 0; try < 5; try++)); do
    keys "$key"
    for ((i = 0; i < 30; i++)); do
      xdotool search --name "^${title}\$" >/dev/null 2>&1 && return 0
      sleep 0.1
    done
  done
  fail "'$key' did not bring up '$title'"
}

# Lets Wine hand the keyboard to the window that comes forward after another closed.
settle() { sleep 1.5; }

shot() {  # window title, file name
  [[ -n ${SCREENSHOTS:-} ]] || return 0
  local id
  id=$(xdotool search --name "^$1\$" | head -1)
  import -window "$id" "$SCREENSHOTS/$2"
}

main_title="Horalign \\(Version 1\\.41\\)"
message="Horalign - System Message"

wine "$HORALIGN_EXE" >"$dir/horalign.log" 2>&1 &
app=$!

# First run: no mode chosen yet. The notice, then the help hint (closed early with Enter).
wait_window "$message" present 120
wait_window "$main_title"
first=$(xdotool search --name "^${message}\$" | head -1)
settle
keys Return
wait_id_gone "$first"
# The help hint closes by itself after 5 seconds, or at once with Enter.
if hint=$(xdotool search --name "^${message}\$" | head -1) && [[ -n $hint ]]; then
  settle
  keys Return
  wait_id_gone "$hint"
fi
settle

# The focus is on the mode list: the first mode (Home again changes nothing), confirmed.
press_for_window Home "$message"
settle
shot "$message" windows-message.png
keys y
wait_window "$message" gone 10
wait_window "Horalign" gone 60   # the loading message, while the ports are scanned
settle

# Row 3 (a local-time model), activate it; row 7 (a UTC model), activate it.
keys Home Down Down
keys alt+t
wait_log COM3 "SEND\t" 60
keys Down Down Down Down
keys alt+t
wait_log COM7 "SEND\t" 60

# Update Now on row 7, then on row 3: each device's clock is set.
keys alt+u
wait_log COM7 "CLOCK\t" 30
keys Up Up Up Up
keys alt+u
wait_log COM3 "CLOCK\t" 30

# A new update interval, committed when the box loses the focus.
keys alt+i
keys 7 5 Tab
sleep 1
shot "$main_title" windows-main.png

# Close, and confirm the quit question (its focus is on No).
press_for_window alt+c "$message"
settle
keys y
for ((i = 0; i < 300; i++)); do
  kill -0 "$app" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$app" 2>/dev/null && fail "horalign.exe did not end"
wait "$app" || true

wine reg query 'HKLM\Software\Quorvane\Horalign\Config' /reg:32 >"$dir/registry.txt" 2>&1 || true
python3 "$here/e2e_check.py" --log "$log" --registry "$dir/registry.txt"
