#!/usr/bin/env bash
# A person's session with a notification area: the program finds two simulated clocks,
# writes the time to each on Update Now, hides to the tray and comes back, refuses a
# second copy of itself, and keeps its window position when told to stop.
# Usage: tray_session_test.sh HORALIGN DEVSIM
# shellcheck disable=SC2317  # the checks are called through hs_check and hs_wait_until
set -uo pipefail
horalign=$1 devsim=$2
here=${BASH_SOURCE[0]%/*}
[[ "$here" == "${BASH_SOURCE[0]}" ]] && here=.
# shellcheck source=SCRIPTDIR/session.sh
source "$here/session.sh"
hs_skip_without Xvfb xdotool xwininfo xprop openbox trayer

# The device's log holds an empty line (the probe) and the identification query, answered.
probed_and_identified() {
  awk -F'\t' -v port="$1" -v reply="$2" '
    $2 == port && $3 == "FRAME" && $6 == "" { probed = 1 }
    $2 == port && $3 == "FRAME" && $6 == "?000M" { asked = 1 }
    $2 == port && $3 == "SEND" && index($5, reply) == 1 && $6 == "ok" { answered = 1 }
    END { exit !(probed && asked && answered) }' "$HS_DEVSIM_LOG"
}

# A time command of the family began within the first 100 ms of a second, and the device's
# clock ended up within 100 ms of the PC's.
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

count_frames() { grep -c "	FRAME	" "$HS_DEVSIM_LOG"; }
active_window_is() { [[ "$(xdotool getactivewindow 2> /dev/null)" == "$1" ]]; }
no_main_window() { [[ -z "$(hs_main_window "$1")" ]]; }
equals() { [[ "$1" == "$2" ]]; }

hs_init e2e-tray
hs_start_x 1280x800 && hs_start_wm && hs_start_tray || exit 1
hs_write_settings 1 3
hs_start_devsim "$devsim" com=1,letter=W,serial=10001 com=2,letter=A,serial=20002 || exit 1
hs_start_program "$horalign"
first=$HS_PROGRAM_PID

main=$(hs_wait_window "$first" '^Horalign \(Version' 20)
hs_require "the main window opens" test -n "$main"
# The F1 notice comes when the scan is over; Enter closes it.
notice=$(hs_wait_window "$first" '^Horalign - System Message$' 30)
hs_require "a notice follows the scan" test -n "$notice"
hs_keys "$notice" Return
hs_check "the scan probed and identified the clock on COM1" probed_and_identified COM1 10001W
hs_check "the scan probed and identified the clock on COM2" probed_and_identified COM2 20002A

# The list has the focus after the scan: Down then Home selects row 01; Alt+U updates it.
# Keys reach the window again once the device has acknowledged and the window is enabled.
hs_keys "$main" Down Home alt+u
hs_check "Update Now on row 01 sets the UTC clock with a T command on time" \
  hs_wait_until 10 clock_set_on_time COM1 T
hs_wait_until 5 acks_at_least COM1 1 && sleep 1
hs_keys "$main" Down alt+u
hs_check "Update Now on row 02 sets the local clock with a PT command on time" \
  hs_wait_until 10 clock_set_on_time COM2 PT
hs_wait_until 5 acks_at_least COM2 2 && sleep 1

hs_keys "$main" alt+h
question=$(hs_wait_window "$first" '^Horalign - System Message$' 10)
hs_require "Hide asks first" test -n "$question"
hs_keys "$question" y
hs_check "Yes to the hide question hides the window" hs_wait_until 5 hs_unmapped "$main"
hs_check "the hidden program keeps running" hs_alive "$first"

icon=""
for _ in 1 2 3 4 5 6 7 8 9 10; do
  icon=$(hs_tray_icon_centre) && break
  sleep 0.3
done
hs_require "the program has an icon in the tray" test -n "$icon"
read -r icon_x icon_y <<< "$icon"
xdotool mousemove "$icon_x" "$icon_y" click --repeat 2 --delay 80 1
hs_check "a double click on the tray icon shows the window again" \
  hs_wait_until 5 hs_viewable "$main"
hs_check "the window shown again has the focus" hs_wait_until 5 active_window_is "$main"

# A second copy tells the user and ends, touching neither the ports nor the settings.
frames_before=$(count_frames)
settings_before=$(md5sum < "$HS_SETTINGS")
hs_start_program "$horalign"
second=$HS_PROGRAM_PID
refusal=$(hs_wait_window "$second" '^Horalign - System Message$' 15)
hs_require "a second instance shows a message" test -n "$refusal"
hs_check "the second instance opens no main window" no_main_window "$second"
hs_keys "$refusal" Return
hs_check "the second instance ends once its message is closed" hs_wait_until 10 hs_gone "$second"
wait "$second"
hs_check "the second instance exits with code 0" equals "$?" 0
hs_check "the first instance keeps running" hs_alive "$first"
hs_check "the second instance sent nothing to the devices" equals "$(count_frames)" "$frames_before"
hs_check "the second instance left the settings as they were" \
  equals "$(md5sum < "$HS_SETTINGS")" "$settings_before"
# Told to stop while its message is up, a refused copy ends at once.
hs_start_program "$horalign"
refusal=$(hs_wait_window "$HS_PROGRAM_PID" '^Horalign - System Message$' 15)
hs_require "a third instance shows a message" test -n "$refusal"
kill -TERM "$HS_PROGRAM_PID"
hs_check "SIGTERM ends a refused instance at once" hs_wait_until 2 hs_gone "$HS_PROGRAM_PID"

# Drag the window by its title bar, then stop the program the way a session manager would.
frame=$(hs_frame_of "$main")
read -r fx fy < <(xwininfo -id "$frame" | awk '/Absolute upper-left X/ { x = $NF }
  /Absolute upper-left Y/ { y = $NF } END { print x, y }')
xdotool mousemove $((fx + 200)) $((fy + 8))
sleep 0.2
xdotool mousedown 1
for _ in 1 2 3 4 5 6 7 8 9 10; do
  xdotool mousemove_relative 12 9
  sleep 0.05
done
xdotool mouseup 1
sleep 0.5
read -r fx fy < <(xwininfo -id "$(hs_frame_of "$main")" | awk '/Absolute upper-left X/ { x = $NF }
  /Absolute upper-left Y/ { y = $NF } END { print x, y }')
hs_check "the window was dragged" test "$fx" -gt 100
kill -TERM "$first"
hs_check "SIGTERM ends the program" hs_wait_until 10 hs_gone "$first"
wait "$first"
hs_check "the program ends with code 0" equals "$?" 0
hs_check "LastX holds the window's left edge in twips" equals "$(hs_setting LastX)" $((fx * 15))
hs_check "LastY holds the window's top edge in twips" equals "$(hs_setting LastY)" $((fy * 15))
hs_finish
