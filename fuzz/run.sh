#!/bin/sh
# Builds the fuzz targets with clang-14 and runs each for SECONDS seconds
# (default 60) on its seed corpus with the tool's vocabulary as dictionary.
# Findings land in the build folder as crash-*/leak-* files.
set -eu
SECONDS_EACH=${1:-60}
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${QUOR_FUZZ_BUILD:-$HERE/../build-fuzz}

CC=clang-14 CXX=clang++-14 cmake -S "$HERE" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j2

for name in devicefilter portlisting boardoutput; do
    work="$BUILD/corpus-$name"
    mkdir -p "$work"
    echo "== fuzz_$name for ${SECONDS_EACH}s"
    (cd "$BUILD" && "./fuzz_$name" -max_total_time="$SECONDS_EACH" -dict="$HERE/tool.dict" \
        -max_len=4096 -print_final_stats=1 "$work" "$HERE/corpus/$name" 2>&1 | tail -n 25)
done
