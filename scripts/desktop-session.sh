# A private desktop for the program: an X display (Xvfb), a window manager, a tray host,
# simulated devices on pseudo-terminals and a settings file of its own, all under one
# temporary folder and all ended by hs_cleanup. Sourced by scripts/run.sh,
# scripts/idle-cpu.sh and the end-to-end tests; bash only, no packages beyond the X tools.
#
# Nothing here touches the machine's own serial ports: every COM number is mapped, either
# to a simulated device or to a path that does not exist.
# shellcheck shell=bash disable=SC2034  # the HS_ globals are read by the sourcing scripts

HS_PIDS=()     # started here, ended in reverse order by hs_cleanup
HS_DIR=""      # the session's folder
HS_KEEP_DIR=0  # 1: hs_cleanup leaves the folder (logs, screenshots) in place
HS_PROGRAM_PID=""  # the program hs_start_program started last

# Reports a failed step and keeps the session folder for its logs.
hs_fail() {
  HS_KEEP_DIR=1
  printf '%s\n' "$* (logs: $HS_DIR)" >&2
  return 1
}

# Makes the session folder and points the program's settings, history and instance lock into it.
hs_init() {
  HS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/horalign-${1:-session}.XXXXXX")
  mkdir -p "$HS_DIR/config/Quorvane" "$HS_DIR/runtime"
  chmod 700 "$HS_DIR/runtime"
  export XDG_CONFIG_HOME="$HS_DIR/config" XDG_RUNTIME_DIR="$HS_DIR/runtime"
  export XDG_STATE_HOME="$HS_DIR/state"
  HS_SETTINGS="$XDG_CONFIG_HOME/Quorvane/Horalign.reg"
  trap hs_cleanup EXIT
  # A signal ends the script through its EXIT trap, so nothing started here outlives it.
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

hs_track() { HS_PIDS+=("$1"); }

# Ends what this session started, newest first: SIGTERM, then SIGKILL after 3 s.
hs_cleanup() {
  local i pid n
  for ((i = ${#HS_PIDS[@]} - 1; i >= 0; i--)); do
    pid=${HS_PIDS[i]}
    kill -0 "$pid" 2> /dev/null || continue
    kill -TERM "$pid" 2> /dev/null || true
    for ((n = 0; n < 30; n++)); do
      kill -0 "$pid" 2> /dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2> /dev/null || true
    wait "$pid" 2> /dev/null || true
  done
  HS_PIDS=()
  if [[ -n "$HS_DIR" && "$HS_KEEP_DIR" != 1 ]]; then rm -rf "$HS_DIR"; fi
}

# Polls a command until it succeeds; false after the given seconds.
hs_wait_until() {
  local seconds=$1 n
  shift
  for ((n = 0; n < seconds * 10; n++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

hs_alive() { kill -0 "$1" 2> /dev/null; }
hs_gone() { ! kill -0 "$1" 2> /dev/null; }

# Starts Xvfb on a free display number and exports DISPLAY.
hs_start_x() {
  local size=${1:-1280x800} fifo="$HS_DIR/display.fifo" number
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3> "$fifo" > "$HS_DIR/xvfb.log" 2>&1 &
  hs_track $!
  read -r -t 15 number < "$fifo" || { hs_fail "Xvfb did not start"; return 1; }
  export DISPLAY=":$number"
  unset XAUTHORITY
}

hs_wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK 2> /dev/null | grep -q 'window id'; }

# A window manager, so that windows can be minimized and get focus as on a desktop.
hs_start_wm() {
  # Its own HOME, so that nothing of it lands in the user's.
  HOME="$HS_DIR" openbox --sm-disable > "$HS_DIR/openbox.log" 2>&1 &
  hs_track $!
  hs_wait_until 15 hs_wm_running || hs_fail "openbox did not start"
}

hs_tray_running() { xdotool search --onlyvisible --classname '^panel$' > /dev/null 2>&1; }

# A notification area: trayer in the top right corner. Tried twice: on a busy machine it
# has once failed to show its panel without a word.
hs_start_tray() {
  local try pid
  for try in 1 2; do
    trayer --edge top --align right --widthtype pixel --width 64 --heighttype pixel \
      --height 24 --SetDockType true >> "$HS_DIR/trayer.log" 2>&1 &
    pid=$!
    hs_track "$pid"
    hs_wait_until 10 hs_tray_running && return 0
    echo "try $try: no panel after 10 s; trayer $(hs_alive "$pid" && echo running || echo ended)" \
      >> "$HS_DIR/trayer.log"
    kill "$pid" 2> /dev/null || true
  done
  hs_fail "trayer did not start"
}

# Writes a fresh settings file: mode, active-port mask, and every COM number mapped to a
# path that does not exist. Extra "name"="value" lines for the Config key may follow.
hs_write_settings() {
  local mode=$1 used=$2 n line
  shift 2
  {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Horalign\\Config]\n'
    printf '"Connection Mode"="%s"\n"Used COM Ports"="%s"\n"Update Interval"="60"\n' \
      "$mode" "$used"
    for line in "$@"; do printf '%s\n' "$line"; done
    printf '\n[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\Horalign\\Ports]\n'
    for n in $(seq 1 16); do
      printf '"COM%d"="%s/no-such-port/ttyCOM%d"\n' "$n" "$HS_DIR" "$n"
    done
  } > "$HS_SETTINGS"
}

# One value of the settings file, as its text ("" when absent).
hs_setting() { sed -n "s/^\"$1\"=\"\(.*\)\"\r\{0,1\}$/\1/p" "$HS_SETTINGS" | tail -n 1; }

# Serves simulated devices (each argument one --device DEVICE) and maps their COM numbers in
# the settings file. HS_DEVSIM_LOG is the simulator's event log.
hs_start_devsim() {
  local devsim=$1 desc args=()
  shift
  for desc in "$@"; do args+=(--device "$desc"); done
  HS_DEVSIM_LOG="$HS_DIR/devsim.log"
  # HS_DEVSIM_EXTRA: more options of the simulator's own, e.g. (--history DIR).
  "$devsim" "${args[@]}" "${HS_DEVSIM_EXTRA[@]}" --write-ports --log "$HS_DEVSIM_LOG" \
    > "$HS_DIR/devsim.out" \
    2> "$HS_DIR/devsim.err" &
  hs_track $!
  hs_wait_until 10 hs_lines_at_least "$HS_DIR/devsim.out" $# ||
    hs_fail "horalign-devsim did not start"
}

hs_lines_at_least() { [[ -f "$1" && $(wc -l < "$1") -ge $2 ]]; }

# Starts the program; HS_PROGRAM_PID is its process.
hs_start_program() {
  "$1" > "$HS_DIR/horalign.log" 2>&1 &
  hs_track $!
  HS_PROGRAM_PID=$!
}

# The visible windows of a process whose name matches, one id per line.
hs_windows() { xdotool search --all --onlyvisible --pid "$1" --name "$2" 2> /dev/null; }

hs_has_window() { [[ -n "$(hs_windows "$1" "$2")" ]]; }
hs_no_window() { ! hs_has_window "$1" "$2"; }

# Waits for the process's window, prints its id.
hs_wait_window() {
  local pid=$1 name=$2 seconds=${3:-20}
  hs_wait_until "$seconds" hs_has_window "$pid" "$name" || return 1
  hs_windows "$pid" "$name" | head -n 1
}

# The main window of a process, mapped or not (its caption carries the version).
hs_main_window() {
  xdotool search --all --pid "$1" --name '^Horalign \(Version' 2> /dev/null | head -n 1
}

hs_map_state() { xwininfo -id "$1" 2> /dev/null | sed -n 's/^ *Map State: //p'; }
hs_unmapped() { [[ "$(hs_map_state "$1")" == IsUnMapped ]]; }
hs_viewable() { [[ "$(hs_map_state "$1")" == IsViewable ]]; }

hs_wm_state() { xprop -id "$1" WM_STATE 2> /dev/null | sed -n 's/^[[:space:]]*window state: //p'; }

# Gives the window the keyboard focus and types keys into it, as a person would.
hs_keys() {
  local window=$1
  shift
  timeout 5 xdotool windowactivate --sync "$window" > /dev/null 2>&1 ||
    timeout 5 xdotool windowfocus --sync "$window" > /dev/null 2>&1
  xdotool key --clearmodifiers --delay 60 "$@"
}

# Saves a window, the window manager's frame included, as PNG: a shot of the whole screen
# cut to the frame, so that dialogs over the window show as the user sees them.
hs_screenshot_window() {
  local frame geometry x y w h
  frame=$(hs_frame_of "$1")
  geometry=$(xwininfo -id "$frame") || return 1
  x=$(sed -n 's/^ *Absolute upper-left X: *//p' <<< "$geometry")
  y=$(sed -n 's/^ *Absolute upper-left Y: *//p' <<< "$geometry")
  w=$(sed -n 's/^ *Width: *//p' <<< "$geometry")
  h=$(sed -n 's/^ *Height: *//p' <<< "$geometry")
  import -window root -crop "${w}x${h}+${x}+${y}" +repage "$2"
}

# The window manager's frame around a client window (the client itself without one).
hs_frame_of() {
  local window=$1 parent root
  root=$(xwininfo -root | sed -n 's/^xwininfo: Window id: \(0x[0-9a-f]*\).*/\1/p')
  while :; do
    parent=$(xwininfo -children -id "$window" 2> /dev/null |
      sed -n 's/^ *Parent window id: \(0x[0-9a-f]*\).*/\1/p')
    [[ -z "$parent" || "$((parent))" == "$((root))" ]] && break
    window=$parent
  done
  echo "$window"
}

