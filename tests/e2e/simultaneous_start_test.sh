#!/usr/bin/env bash
# Two copies started at the same moment, ten times over: each time exactly one runs, and
# the other shows its message and ends once the user closes it.
# Usage: simultaneous_start_test.sh HORALIGN
# shellcheck disable=SC2317  # the checks are called through hs_check and hs_wait_until
set -uo pipefail
horalign=$1
here=${BASH_SOURCE[0]%/*}
[[ "$here" == "${BASH_SOURCE[0]}" ]] && here=.
# shellcheck source=SCRIPTDIR/session.sh
source "$here/session.sh"
hs_skip_without Xvfb xdotool xwininfo xprop openbox

rounds=10

# The first process has a main window and the second none.
only_first_has_main_window() {
  [[ -n "$(hs_main_window "$1")" && -z "$(hs_main_window "$2")" ]]
}

hs_init e2e-simultaneous
hs_start_x 1024x768 && hs_start_wm || exit 1
# Mode 1 with no port active and every port missing: start-up is quick.
hs_write_settings 1 0

# Prints the refused copy's message window and pid once one copy shows that message and no
# main window while the other has its main window, or fails after 15 s. (A search can miss
# a window while others come and go, so an absent window alone proves nothing.)
find_refusal() {
  local n pair first second message
  for ((n = 0; n < 150; n++)); do
    for pair in "$1 $2" "$2 $1"; do
      read -r first second <<< "$pair"
      message=$(hs_windows "$first" '^Horalign - System Message$' | head -n 1)
      if [[ -n "$message" && -z "$(hs_main_window "$first")" &&
        -n "$(hs_main_window "$second")" ]]; then
        echo "$message $first"
        return 0
      fi
    done
    sleep 0.1
  done
  return 1
}

# One round: two copies started together. Sets verdict to what went wrong, "" when all is well.
play_round() {
  local round=$1 go="$HS_DIR/go.$1" copy pids=() refusal loser winner
  verdict=""
  # Both wait for the same file, so that they start within a few milliseconds.
  for copy in a b; do
    bash -c 'while [[ ! -e "$1" ]]; do sleep 0.005; done; exec "$2"' _ "$go" "$horalign" \
      > "$HS_DIR/horalign-$round$copy.log" 2>&1 &
    hs_track $!
    pids+=($!)
  done
  touch "$go"

  if ! read -r refusal loser < <(find_refusal "${pids[@]}"); then
    verdict="no copy showed the refusal"
  else
    winner=${pids[0]}
    [[ "$loser" == "$winner" ]] && winner=${pids[1]}
    # The other copy's windows come up meanwhile and may take the focus from the message.
    if ! hs_dismiss "$refusal" Return; then
      verdict="the refused copy's message did not close on Enter"
    elif ! hs_wait_until 10 hs_gone "$loser"; then
      verdict="the refused copy did not end"
    elif ! wait "$loser"; then
      verdict="the refused copy exited with an error"
    elif ! hs_alive "$winner"; then
      verdict="the other copy did not keep running"
    elif ! hs_wait_until 10 only_first_has_main_window "$winner" "$loser"; then
      verdict="the running copy has no main window"
    fi
  fi
  kill -TERM "${pids[@]}" 2> /dev/null
  for copy in "${pids[@]}"; do
    hs_wait_until 10 hs_gone "$copy"
    wait "$copy" 2> /dev/null
  done
}

good_rounds=0
for ((round = 1; round <= rounds; round++)); do
  play_round "$round"
  if [[ -n "$verdict" ]]; then
    echo "round $round: $verdict"
    break
  fi
  good_rounds=$((good_rounds + 1))
done

hs_check "of two copies started together, exactly one runs ($good_rounds of $rounds rounds)" \
  test "$good_rounds" -eq "$rounds"
hs_finish
