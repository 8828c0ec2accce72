#!/usr/bin/env bash
# A person's session on a desktop whose notification area starts late, checked on the
# devices' side: the program finds two simulated clocks and writes the time to the first on
# Update Now. Without a tray, Hide and the close box minimize; a tray that starts later gets
# the icon, and when it goes away the hidden window comes back. A second copy is refused;
# the window's place is kept on SIGTERM. Last, of two copies started together exactly one
# runs, and both end on SIGTERM, the refused one too, ten times over.
# Usage: desktop_session_test.sh HORALIGN DEVSIM
# shellcheck disable=SC2317  # the checks are called through hs_check and hs_wait_until
set -uo pipefail
horalign=$1 devsim=$2
# shellcheck source=SCRIPTDIR/session.sh
source "$(dirname "${BASH_SOURCE[0]}")/session.sh"
hs_skip_without Xvfb xdotool xwininfo xprop openbox trayer

# A time command of the family began 1 to 99 ms past a second, and the device's clock ended
# up within 100 ms of the PC's.
clock_set_on_time() {
  awk -F'\t' -v port="$1" -v prefix="$2" '
    function abs(v) { return v < 0 ? -v : v }
    $2 == port && $3 == "FRAME" && index($6, prefix) == 1 && $5 > 0 && $5 < 100 { sent[$6] = 1 }
    $2 == port && $3 == "CLOCK" && ($4 in sent) && abs($6) < 100 { good = 1 }
    END { exit !good }' "$HS_DEVSIM_LOG"
}

# The device acknowledged as many commands as given ("*" CR each).
acks_at_least() {
  awk -F'\t' -v port="$1" -v want="$2" '
    $2 == port && $3 == "SEND" && $5 == "*\\r" { n++ }
    END { exit !(n >= want) }' "$HS_DEVSIM_LOG"
}

equals() { [[ "$1" == "$2" ]]; }
wm_state_is() { [[ "$(hs_wm_state "$1")" == "$2" ]]; }
tray_icon_shown() { hs_tray_icon_centre > /dev/null; }
hide_to_tray() {
  hs_keys "$main" alt+h
  question=$(hs_wait_window "$first" '^Horalign - System Message$' 10)
  [[ -n "$question" ]] && hs_keys "$question" y && hs_wait_until 5 hs_unmapped "$main"
}
# The first copy has a main window; the second none, but its refusal message.
refused() {
  [[ -n "$(hs_main_window "$1")" && -z "$(hs_main_window "$2")" &&
    -n "$(hs_windows "$2" '^Horalign - System Message$')" ]]
}
one_refused() { refused "$1" "$2" || refused "$2" "$1"; }
# The window's frame is where the window manager put it (fx, fy).
moved() {
  read -r fx fy < <(xwininfo -id "$(hs_frame_of "$main")" | awk '/Absolute upper-left X/ { x = $NF }
    /Absolute upper-left Y/ { y = $NF } END { print x, y }')
  ((fx > 100))
}

hs_init e2e-desktop
hs_start_x 1280x800 && hs_start_wm || exit 1
hs_write_settings 1 3
hs_start_devsim "$devsim" com=1,letter=W,serial=10001 com=2,letter=A,serial=20002 || exit 1
hs_start_program "$horalign"
first=$HS_PROGRAM_PID

main=$(hs_wait_window "$first" '^Horalign \(Version 1\.41\)$' 20)
hs_require "the main window opens with its caption" test -n "$main"
notice=$(hs_wait_window "$first" '^Horalign - System Message$' 30)
hs_require "a notice follows the scan" test -n "$notice"
hs_keys "$notice" Return
hs_require "the notice closes on Enter" hs_wait_until 5 hs_no_window "$first" 'System Message'

# The list has the focus after the scan: Down then Home selects row 01; Alt+U updates it.
# The device gets its family's command only if the scan identified it.
# Keys reach the window again once the device has acknowledged and the window is enabled.
hs_keys "$main" Down Home alt+u
hs_check "Update Now on row 01 sets the UTC clock with a T command on time" \
  hs_wait_until 10 clock_set_on_time COM1 T
hs_wait_until 5 acks_at_least COM1 1 && sleep 1

# Without a tray a hidden window could never come back: Hide and the close box (Alt+F4, the
# window manager's close) minimize it, without a question.
for key in alt+h alt+F4; do
  hs_keys "$main" "$key"
  hs_check "$key minimizes the window without a tray" hs_wait_until 5 wm_state_is "$main" Iconic
  xdotool windowactivate --sync "$main" > /dev/null 2>&1
  hs_require "the window can be restored" hs_wait_until 5 wm_state_is "$main" Normal
done
hs_start_tray || exit 1
tray=${HS_PIDS[-1]}
hs_require "a tray host started later gets the icon" hs_wait_until 5 tray_icon_shown
hs_require "with a tray, Hide asks and Yes hides the window" hide_to_tray
read -r icon_x icon_y <<< "$(hs_tray_icon_centre)"
xdotool mousemove "$icon_x" "$icon_y" click --repeat 2 --delay 80 1
hs_check "a double click on the tray icon shows the window" hs_wait_until 5 hs_viewable "$main"
hs_check "the window shown again has the focus" \
  hs_wait_until 5 equals "$(xdotool getactivewindow 2> /dev/null)" "$main"
hs_require "Hide hides the window again" hide_to_tray
kill "$tray"
hs_check "the hidden window comes back when the tray goes away" hs_wait_until 5 hs_viewable "$main"

# A second copy tells the user and ends (that it touches neither the ports nor the settings
# is MainWindow.ASecondInstanceSaysSoAndTouchesNothing's, on the simulation).
hs_start_program "$horalign"
second=$HS_PROGRAM_PID
refusal=$(hs_wait_window "$second" '^Horalign - System Message$' 15)
hs_require "a second copy shows a message and no main window" refused "$first" "$second"
hs_keys "$refusal" Return
hs_check "the second copy ends once its message is closed" hs_wait_until 10 hs_gone "$second"
hs_check "the second copy exits with code 0" wait "$second"
hs_check "the first copy keeps running" hs_alive "$first"

# Moved through the window manager, then stopped the way a session manager stops it.
xdotool windowmove "$main" 300 200
hs_check "the window was moved" hs_wait_until 5 moved
kill -TERM "$first"
hs_check "SIGTERM ends the program" hs_wait_until 10 hs_gone "$first"
hs_check "the program ends with code 0" wait "$first"
hs_check "LastX holds the window's left edge in twips" equals "$(hs_setting LastX)" $((fx * 15))
hs_check "LastY holds the window's top edge in twips" equals "$(hs_setting LastY)" $((fy * 15))

# Two copies started within a few milliseconds of each other (both wait for one file).
hs_write_settings 1 0  # every port missing: start-up is quick
for ((round = 1; round <= 10; round++)); do
  go="$HS_DIR/go.$round" pids=()
  for copy in a b; do
    bash -c 'while [[ ! -e "$1" ]]; do sleep 0.005; done; exec "$2"' _ "$go" "$horalign" \
      > "$HS_DIR/horalign-$round$copy.log" 2>&1 &
    hs_track $!
    pids+=($!)
  done
  touch "$go"
  hs_wait_until 15 one_refused "${pids[@]}"
  ok=$?
  kill -TERM "${pids[@]}" 2> /dev/null
  for copy in "${pids[@]}"; do hs_wait_until 10 hs_gone "$copy" && wait "$copy" || ok=1; done
  ((ok == 0)) || break
done
hs_check "of two copies started together one runs, and both end on SIGTERM ($((round - 1)) of 10)" \
  test "$round" -eq 11
hs_finish
