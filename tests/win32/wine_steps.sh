# The steps the installer and service tests under Wine share. The sourcing script sets `dir`,
# its work folder.
# shellcheck shell=bash disable=SC2154  # dir is the sourcing script's
# A failure shows what the programs last said on their standard error (Wine's own faults too).
fail() {
  echo "$(basename "$0" _test.sh): $*" >&2
  [[ ! -s $dir/wine.log ]] || { echo "the end of $dir/wine.log:" && tail -8 "$dir/wine.log"; } >&2
  exit 1
}
quiet() { wine "$@" 2>>"$dir/wine.log"; }
expect() { [[ $2 == "$3" ]] || fail "$1 is '$2', not '$3'"; }
# A command's exit code; its standard output goes nowhere.
exit_code() { local rc=0; "$@" >/dev/null || rc=$?; echo "$rc"; }
msiexec() { quiet msiexec "$@" /qn || fail "msiexec $* returned $?"; }
product_code() { msiinfo export "$1" Property | awk '$1 == "ProductCode" { print $2 }' | tr -d '\r'; }
# A registry value's data, "" when the value or the key is missing.
reg_value() {
  { quiet reg query "$1" /v "$2" "${@:3}" || true; } | tr -d '\r' | sed -n "s/^ *$2  *REG_[A-Z_]* *//p"
}
