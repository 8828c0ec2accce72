#!/usr/bin/env bash
# A desktop without a notification area: a hidden window could never come back, so Hide
# and the close box minimize the window instead, without asking. A tray host that starts
# later gets the icon and Hide hides; when it goes away, the hidden window comes back.
# Usage: no_tray_test.sh HORALIGN
# shellcheck disable=SC2317  # the checks are called through hs_check and hs_wait_until
set -uo pipefail
horalign=$1
here=${BASH_SOURCE[0]%/*}
[[ "$here" == "${BASH_SOURCE[0]}" ]] && here=.
# shellcheck source=SCRIPTDIR/session.sh
source "$here/session.sh"
hs_skip_without Xvfb xdotool xwininfo xprop openbox trayer

iconic() { [[ "$(hs_wm_state "$1")" == Iconic ]]; }
normal() { [[ "$(hs_wm_state "$1")" == Normal ]]; }

# A message appearing within the given seconds fails the check.
stays_without_message() {
  local n
  for ((n = 0; n < $2 * 10; n++)); do
    hs_no_window "$1" 'System Message' || return 1
    sleep 0.1
  done
}

hs_init e2e-no-tray
hs_start_x 1024x768 && hs_start_wm || exit 1
hs_write_settings 1 0
hs_start_program "$horalign"
program=$HS_PROGRAM_PID

main=$(hs_wait_window "$program" '^Horalign \(Version' 20)
hs_require "the main window opens" test -n "$main"
notice=$(hs_wait_window "$program" '^Horalign - System Message$' 20)
hs_require "a notice follows the scan" test -n "$notice"
hs_keys "$notice" Return
hs_require "the notice closes on Enter" hs_wait_until 5 hs_no_window "$program" 'System Message'

hs_keys "$main" alt+h
hs_check "Hide minimizes the window" hs_wait_until 5 iconic "$main"
hs_check "Hide asks no question" stays_without_message "$program" 1
hs_check "the minimized program keeps running" hs_alive "$program"

xdotool windowactivate --sync "$main" > /dev/null 2>&1
hs_require "the window can be restored" hs_wait_until 5 normal "$main"
# Alt+F4 is the window manager's close: the same as the close box.
hs_keys "$main" alt+F4
hs_check "the close box minimizes the window" hs_wait_until 5 iconic "$main"
hs_check "the close box asks no question" stays_without_message "$program" 1
hs_check "the close box leaves the program running" hs_alive "$program"

xdotool windowactivate --sync "$main" > /dev/null 2>&1
hs_require "the window is restored again" hs_wait_until 5 normal "$main"
hs_start_tray || exit 1
tray=${HS_PIDS[-1]}
hs_check "a tray host started later gets the icon" hs_wait_until 5 hs_tray_icon_centre
hs_keys "$main" alt+h
question=$(hs_wait_window "$program" '^Horalign - System Message$' 10)
hs_require "Hide asks first once there is a tray" test -n "$question"
hs_keys "$question" y
hs_require "Yes hides the window" hs_wait_until 5 hs_unmapped "$main"
kill "$tray"
hs_check "the hidden window comes back when the tray goes away" hs_wait_until 5 hs_viewable "$main"
hs_finish
