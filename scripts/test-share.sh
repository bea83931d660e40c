#!/usr/bin/env bash
# Non-blank lines of C++ in the tests (tests/ and fuzz/) against the rest of the
# C++ code, and the tests' share of the code.
#   scripts/test-share.sh            totals
#   scripts/test-share.sh --folders  the tests per folder too
set -euo pipefail
cd "$(dirname "$0")/.."
count() { # files on stdin -> non-blank lines
    xargs -r cat | grep -cv '^[[:space:]]*$' || true
}
cxx() { git ls-files -- '*.cpp' '*.h' '*.c' '*.hpp'; }
tests=$(cxx | grep -E '^(tests|fuzz)/' | count)
code=$(cxx | grep -vE '^(tests|fuzz)/' | count)
if [ "${1:-}" = --folders ]; then
    for dir in $(cxx | grep -E '^(tests|fuzz)/' | xargs -n1 dirname | sort -u); do
        printf '%6d  %s\n' "$(git ls-files -- "$dir/*.cpp" "$dir/*.h" | grep -E "^$dir/[^/]+$" | count)" "$dir"
    done | sort -n
fi
echo "tests $tests, code $code, share $((100 * tests / code)) %"
