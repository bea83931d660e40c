#!/bin/sh
# Builds the fuzz targets with clang-14 and runs each for SECONDS seconds
# (default 60) through ctest (label "fuzz"), on its seed corpus with its
# dictionary, QUOR_FUZZ_JOBS (default 2) at a time. Prints the executions each
# target reached and exits non-zero when a target failed or found something;
# findings land in the build folder as finding-<target>-* files, full output
# in log-<target>.txt.
set -eu
SECONDS_EACH=${1:-60}
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${QUOR_FUZZ_BUILD:-$HERE/../build-fuzz}
JOBS=${QUOR_FUZZ_JOBS:-2}

CC=clang-14 CXX=clang++-14 cmake -S "$HERE" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUOR_FUZZ_SECONDS="$SECONDS_EACH" >/dev/null
cmake --build "$BUILD" -j2

status=0
(cd "$BUILD" && ctest -L fuzz -j"$JOBS" --output-on-failure) || status=1

echo "== executions per target"
for log in "$BUILD"/log-*.txt; do
    [ -f "$log" ] || continue
    name=$(basename "$log" .txt)
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "${name#log-}: ${runs:-no final stats (see $log)}"
done
exit $status
