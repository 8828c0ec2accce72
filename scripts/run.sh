#!/usr/bin/env bash
# Builds Horalign and starts a demonstration with four simulated devices, or the program
# itself against real serial ports.
#
#   scripts/run.sh                    demonstration (your display, or Xvfb when there is none)
#   scripts/run.sh --screenshot-only  demonstration under Xvfb: screenshots, then stop
#   scripts/run.sh --receiver         demonstration in mode 2 with the receiver on COM4
#   scripts/run.sh --real             the program with your own settings and real ports
#
# The demonstration keeps everything in a private folder: its own settings file (COM1-COM4
# mapped to the simulated devices, COM5-COM16 to paths that do not exist, so no scan touches
# this machine's serial ports) and its own instance lock, so it runs beside an installed
# copy. Screenshots and the devices' log end up in build/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() { sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; }

demo=1 screenshot_only=0 receiver=0
for arg in "$@"; do
  case "$arg" in
    --screenshot-only) screenshot_only=1 ;;
    --receiver) receiver=1 ;;
    --real) demo=0 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "unknown option: $arg" >&2; usage >&2; exit 2 ;;
  esac
done

scripts/deps.sh
cmake -S . -B build -G Ninja > /dev/null
cmake --build build --target horalign horalign-devsim
horalign=$root/build/gui/horalign
devsim=$root/build/sim/horalign-devsim

if ((demo == 0)); then
  if [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
    echo "--real needs a desktop (DISPLAY is not set)." >&2
    exit 1
  fi
  exec "$horalign"
fi

# shellcheck source=scripts/desktop-session.sh
source "$root/scripts/desktop-session.sh"
out=$root/build/demo
mkdir -p "$out"
hs_init demo

# Mode 2 sets this PC's clock from the device. A demonstration must never do that, so the
# program then runs in a user namespace of its own, where the clock cannot be set, and with
# no system bus, so it cannot ask systemd-timedated either; the row shows the refusal.
launcher=()
if ((receiver)); then
  if ! unshare --user --map-root-user true 2> /dev/null; then
    echo "This system does not allow user namespaces (unshare --user), which keep the" >&2
    echo "receiver demonstration from setting the PC clock; not starting it." >&2
    exit 1
  fi
  launcher=(env DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent unshare --user --map-root-user)
  hs_write_settings 2 8   # "Synchronize PC Time to Device Time", COM4 active
else
  hs_write_settings 1 7   # "Synchronize Device Time to PC Time", COM1-COM3 active
fi
# The devices drift a little, and a week of the history they would have left is written
# first, so that the history window (Ctrl+H) has offsets and drift to show.
HS_DEVSIM_EXTRA=(--history "$XDG_STATE_HOME/Quorvane")
hs_start_devsim "$devsim" com=1,letter=W,serial=10001,drift=20 \
  com=2,letter=A,serial=20002,drift=-50 com=3,letter=K,serial=30003,drift=100 \
  com=4,letter=none,serial=40004
echo "Simulated devices (port, terminal, model, serial, settings):"
sed 's/^/  /' "$HS_DIR/devsim.out"

start_program() {
  "${launcher[@]}" "$horalign" > "$HS_DIR/horalign.log" 2>&1 &
  hs_track $!
  HS_PROGRAM_PID=$!
}

# Under Xvfb: the main window after the scan, the history window, and the hide question
# (answered No).
take_screenshots() {
  local main notice question history
  main=$(hs_wait_window "$HS_PROGRAM_PID" '^Horalign \(Version' 30) || return 1
  notice=$(hs_wait_window "$HS_PROGRAM_PID" '^Horalign - System Message$' 60) || return 1
  hs_keys "$notice" Return
  hs_wait_until 5 hs_no_window "$HS_PROGRAM_PID" "System Message"
  sleep 1  # one tick of the clock display
  hs_screenshot_window "$main" "$out/main-window.png"
  hs_keys "$main" ctrl+h
  history=$(hs_wait_window "$HS_PROGRAM_PID" '^Horalign History$' 10) || return 1
  sleep 0.5
  hs_screenshot_window "$history" "$out/history-window.png"
  hs_keys "$history" alt+c
  hs_wait_until 5 hs_no_window "$HS_PROGRAM_PID" '^Horalign History$'
  hs_keys "$main" alt+h
  question=$(hs_wait_window "$HS_PROGRAM_PID" '^Horalign - System Message$' 10) || return 1
  sleep 0.3
  hs_screenshot_window "$question" "$out/message-dialog.png"
  hs_keys "$question" n
  echo "Screenshots: $out/main-window.png, $out/history-window.png and $out/message-dialog.png"
}

if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" && $screenshot_only == 0 ]]; then
  start_program
else
  hs_start_x 1280x800
  hs_start_wm
  hs_start_tray
  start_program
  take_screenshots || { hs_fail "The program did not come up"; exit 1; }
  if ((screenshot_only)); then
    cp "$HS_DEVSIM_LOG" "$out/devsim.log"
    exit 0
  fi
  echo "The program runs under Xvfb on display $DISPLAY (no screen of yours is needed)."
fi
echo "Settings file: $HS_SETTINGS"
echo "Devices' log:  $HS_DEVSIM_LOG (copied to $out/devsim.log at the end)"
echo "Ctrl+C ends the demonstration."
trap 'cp "$HS_DEVSIM_LOG" "$out/devsim.log" 2> /dev/null; hs_cleanup' EXIT
wait "$HS_PROGRAM_PID" || true
