# The end-to-end tests' verdicts and X queries, on top of the private desktop of
# scripts/desktop-session.sh.
# shellcheck shell=bash
# shellcheck source=../../scripts/desktop-session.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/desktop-session.sh"

# The program's tray icon: a small window of class "horalign" embedded in the tray host.
# Prints "x y" of its centre on the screen. (awk reads to the end: an early exit would fail
# the pipeline under pipefail.)
hs_tray_icon_centre() {
  xwininfo -root -tree 2> /dev/null | awk '
    /\("horalign" "Horalign"\)/ {
      if (split($NF, at, "+") != 3) next
      for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+x[0-9]+\+/) { split($i, size, /[x+]/); break }
      if (!found && size[1] >= 8 && size[1] <= 64 && size[2] >= 8 && size[2] <= 64) {
        print at[2] + int(size[1] / 2), at[3] + int(size[2] / 2); found = 1
      }
    }
    END { exit !found }'
}

# Test verdicts: each check prints one line; hs_finish exits 1 when any failed.
HS_FAILED=0
hs_check() {
  local what=$1
  shift
  if "$@"; then
    printf 'ok: %s\n' "$what"
  else
    printf 'FAILED: %s\n' "$what"
    HS_FAILED=$((HS_FAILED + 1))
    return 1
  fi
}

# Ends a test early when a step it builds on did not happen.
hs_require() {
  hs_check "$@" && return 0
  hs_fail "stopping here"
  exit 1
}

hs_finish() {
  ((HS_FAILED == 0)) || hs_fail "$HS_FAILED check(s) failed"
  exit $((HS_FAILED > 0))
}

# Skips the test (ctest's skip code 77) when the X tools it needs are missing.
hs_skip_without() {
  local tool missing=""
  for tool in "$@"; do command -v "$tool" > /dev/null 2>&1 || missing+="$tool "; done
  if [[ -n "$missing" ]]; then
    echo "skipped: missing ${missing}(scripts/deps.sh installs them)"
    exit 77
  fi
}
