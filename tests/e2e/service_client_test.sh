#!/usr/bin/env bash
# The desktop program beside a running service, on a system bus of the test's own: the
# window opens no port (it is traced: the service is each device's one opener), and Update
# Now and Deactivate in the window are done by the service. Everything here runs as root,
# whom the service never asks polkit about: the bus needs no polkit.
# Usage: service_client_test.sh HORALIGN HORALIGN_CLI DEVSIM BUS_CONF
# shellcheck disable=SC2317  # the checks are called through hs_check and hs_wait_until
set -uo pipefail
horalign=$1 cli=$2 devsim=$3 bus_conf=$4
# shellcheck source=SCRIPTDIR/session.sh
source "$(dirname "${BASH_SOURCE[0]}")/session.sh"
hs_skip_without Xvfb xdotool xwininfo openbox dbus-daemon strace

# Waits are generous: under a loaded machine a traced, sanitized window starts slowly, and a
# wait that is met returns at once.
# The service's row of port $1 is active $2 with the status $3 (a pattern), as status shows it.
row_is() { "$cli" status 2> /dev/null | grep -E "^$1 +$2 .* $3( \(.*\))?$" > /dev/null; }
connected() { row_is COM1 Yes 'Connected to device\.' && row_is COM2 Yes 'Connected to device\.'; }
frames_to() { grep -c "	$1	FRAME	" "$HS_DEVSIM_LOG"; }
more_frames() { (($(frames_to "$1") > $2)); }

hs_init e2e-service
hs_start_x 1280x800 && hs_start_wm || exit 1
sed "s|@DIR@|$HS_DIR|" "$bus_conf" > "$HS_DIR/bus.conf"
dbus-daemon --config-file="$HS_DIR/bus.conf" --nofork 2> /dev/null &
hs_track $!
hs_require "the test's system bus starts" hs_wait_until 5 test -S "$HS_DIR/bus"
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$HS_DIR/bus

# The service keeps its settings apart; the window's own say no mode and no port.
hs_write_settings 1 3
hs_start_devsim "$devsim" com=1,letter=W,serial=10001 com=2,letter=A,serial=20002 || exit 1
cp "$HS_SETTINGS" "$HS_DIR/service.reg"
sed -i 's/^"Connection Mode"=.*/"Connection Mode"="0"/; s/^"Used COM Ports"=.*/"Used COM Ports"="0"/' \
  "$HS_SETTINGS"
mkdir -m 700 "$HS_DIR/service-runtime"
RUNTIME_DIRECTORY=$HS_DIR/service-runtime "$cli" --config "$HS_DIR/service.reg" run \
  2> "$HS_DIR/service.log" &
hs_track $!
hs_require "the service connects both devices" hs_wait_until 20 connected

# LeakSanitizer cannot run under ptrace (the sanitizer build).
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
  strace -f -qq -e trace=openat -o "$HS_DIR/window.strace" "$horalign" > "$HS_DIR/horalign.log" 2>&1 &
hs_track $!
hs_wait_until 20 pgrep -P $! > /dev/null
window=$(pgrep -P $! | head -n 1)
main=$(hs_wait_window "$window" '^Horalign \(Version 1\.41\)$' 20)
hs_require "the main window opens" test -n "$main"
notice=$(hs_wait_window "$window" '^Horalign - System Message$' 20)
hs_require "the window says that the service owns the ports" test -n "$notice"
hs_keys "$notice" Return
hs_require "the notice closes on Enter" hs_wait_until 20 hs_no_window "$window" 'System Message'

before=$(frames_to COM1)
hs_keys "$main" Down Home alt+u
hs_check "Update Now on row 01 is done by the service" hs_wait_until 30 more_frames COM1 "$before"
hs_wait_until 20 hs_viewable "$main" && sleep 1
hs_keys "$main" Down alt+d
hs_check "Deactivate on row 02 reaches the service" \
  hs_wait_until 30 row_is COM2 No 'Disconnected from device\.'
hs_check "the window opened no device and no port path" \
  bash -c "! grep -E '/dev/pts/|no-such-port' '$HS_DIR/window.strace'"
hs_finish
