#!/usr/bin/env bash
# Prints the tests' share of the code: non-blank, non-comment lines of C++, Python and shell
# in tests/ and fuzz/ against those of every other tracked folder.
set -euo pipefail
cd "$(dirname "$0")/.."
lines() { grep -E '\.(cpp|cc|h|hpp|py|sh)$' | xargs cat | grep -c -v -E '^\s*$|^\s*(//|#)'; }
tests=$(git ls-files -- tests fuzz | lines)
code=$(git ls-files | grep -v -E '^(tests|fuzz)/' | lines)
awk -v t="$tests" -v c="$code" \
  'BEGIN { printf "tests %d lines, code %d lines: %.1f %% (at most 35 %%)\n", t, c, 100 * t / c }'
