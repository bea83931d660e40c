#!/usr/bin/env bash
# Plants the faults of scripts/mutations.txt into the production code one at a
# time, rebuilds, runs the test suite of the normal build (all tests but the
# fuzz targets) and reports which test caught each fault, or MISSED.
#
#   scripts/mutate.sh                  every fault
#   scripts/mutate.sh --only ID[,ID]   only these faults
#   scripts/mutate.sh --list           the faults, nothing built
#   scripts/mutate.sh --check          the list is current (each original text found exactly once)
#   scripts/mutate.sh --baseline       time the unmodified suite again (done once on its own)
#
# Its own build folder (build-mutate, -O0, no benchmarks, shared core and window
# libraries, test programs not relinked when a library changes), so a fault
# recompiles one file and relinks one library. Tests run on two lanes, short
# ones cheapest first, then long ones longest first (durations from the
# baseline run), and stop at the first failure; a test running longer than 2x
# its baseline + 20 s counts as failed (a hang). The planted file is restored
# on every way out, and the script fails if the production folders then differ
# from the commit. Logs of builds and failing tests: build-mutate/mutate-logs.
# Read whole before it runs: editing the script during a run cannot change it.
{
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

list=scripts/mutations.txt
build=${QUOR_MUTATE_BUILD:-build-mutate}
jobs=2
prod=(app common metrics multi package quorDownload platform records resources tools)
helper=(python3 scripts/mutations.py)

only=""
mode=run
while [ $# -gt 0 ]; do
    case $1 in
    --only) only=${2:-}; shift ;;
    --only=*) only=${1#--only=} ;;
    --list) mode=list ;;
    --check) mode=check ;;
    --baseline) mode=baseline ;;
    -h | --help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done

ids=()
[ -n "$only" ] && IFS=, read -r -a ids <<<"$only"

case $mode in
list) exec "${helper[@]}" list "$list" "${ids[@]}" ;;
check) exec "${helper[@]}" check "$list" "${ids[@]}" ;;
esac

"${helper[@]}" list "$list" "${ids[@]}" >/dev/null || exit 2
if ! git diff --quiet -- "${prod[@]}"; then
    echo "production folders have uncommitted changes; commit or stash them first" >&2
    exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quor-mutate.XXXXXX")
planted=""    # file holding a fault right now
lane_pids=()  # running lanes
logs=$root/$build/mutate-logs

restore() {
    if [ -n "$planted" ]; then
        # A plain copy gives the file a new time, so the next build compiles it again.
        cp "$work/original" "$planted"
        planted=""
    fi
}

stop_lanes() {
    local pid
    for pid in "${lane_pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    for f in "$work"/run/timeout.*; do
        [ -f "$f" ] && kill "$(cat "$f" 2>/dev/null)" 2>/dev/null
    done
    lane_pids=()
}

on_exit() {
    stop_lanes
    restore
    rm -rf "$work"
}
trap on_exit EXIT
trap 'echo; echo "interrupted"; exit 130' INT TERM

export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

configure() {
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="-O0 -g0" \
        -DCMAKE_C_FLAGS="-O0 -g0" -DQUOR_WERROR=ON -DQUOR_BUILD_BENCH=OFF -DQUOR_SHARED_LIBS=ON \
        -DCMAKE_LINK_DEPENDS_NO_SHARED=ON "${launcher[@]}" >"$work/configure.log" 2>&1 ||
        { cat "$work/configure.log"; return 1; }
}

build_all() { # log file
    nice cmake --build "$build" -j"$jobs" >"$1" 2>&1
}

# Every test of the normal build's suite except the fuzz targets.
all_tests() {
    (cd "$build" && ctest --show-only=json-v1 -LE fuzz) | python3 -c '
import json, sys
for t in json.load(sys.stdin)["tests"]:
    print(t["name"])'
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }

run_test() { # lane, test, time limit, log
    timeout -k 10 "$3" ctest --test-dir "$build" -R "^${2}\$" --output-on-failure >"$4" 2>&1 &
    echo $! >"$work/run/timeout.$1"
    wait $!
    local rc=$?
    rm -f "$work/run/timeout.$1"
    return $rc
}

# One lane: takes the next test from the shared queue until the queue is empty
# or some lane saw a failure.
lane() { # lane number
    local n=$1 i t limit start rc ms
    while :; do
        [ -s "$work/run/failed" ] && return 0
        i=$(flock "$work/run/lock" sh -c 'read -r i < "$0"; echo $((i + 1)) > "$0"; echo "$i"' "$work/run/next")
        [ "$i" -ge "${#order[@]}" ] && return 0
        t=${order[$i]}
        limit=${limits[$t]}
        start=$(now_ms)
        run_test "$n" "$t" "$limit" "$work/run/$t.log"
        rc=$?
        ms=$(($(now_ms) - start))
        echo "$t $((ms / 1000)).$(printf %03d $((ms % 1000)))" >>"$work/run/times"
        [ $rc -eq 0 ] && continue
        # A failure counts when it repeats: a test that passes on a second run
        # failed for its own reasons (timing on a busy machine), not the fault's.
        if [ $rc -ne 124 ] && [ ! -e "$work/run/stopped" ] &&
            run_test "$n" "$t" "$limit" "$work/run/$t.rerun.log"; then
            echo "$t" >>"$work/run/flaky"
            continue
        fi
        # A test another lane's failure cut short says nothing.
        [ -e "$work/run/stopped" ] && return 0
        if [ $rc -eq 124 ]; then
            echo "$t (timed out after ${limit}s)" >>"$work/run/failed"
        else
            echo "$t" >>"$work/run/failed"
        fi
        # The fault is caught: the other lanes' running tests need not finish.
        touch "$work/run/stopped"
        for f in "$work"/run/timeout.*; do
            [ -f "$f" ] && kill "$(cat "$f" 2>/dev/null)" 2>/dev/null
        done
        return 0
    done
}

run_suite() {
    rm -rf "$work/run" && mkdir -p "$work/run"
    echo 0 >"$work/run/next"
    : >"$work/run/failed"
    : >"$work/run/times"
    : >"$work/run/flaky"
    lane_pids=()
    for ((k = 1; k <= jobs; ++k)); do
        lane "$k" &
        lane_pids+=($!)
    done
    wait "${lane_pids[@]}"
    lane_pids=()
}

times_file=$build/mutate-times.txt
declare -A limits=()
order=()

baseline() {
    echo "timing the unmodified suite"
    order=()
    while read -r t; do
        order+=("$t")
        limits[$t]=1200
    done < <(all_tests)
    run_suite
    if [ -s "$work/run/failed" ]; then
        echo "the unmodified suite fails: $(tr '\n' ' ' <"$work/run/failed")" >&2
        for t in $(cut -d' ' -f1 "$work/run/failed"); do tail -30 "$work/run/$t.log" >&2; done
        return 1
    fi
    sort -k2 -g "$work/run/times" >"$times_file"
    echo "suite: ${#order[@]} tests, $(awk '{s += $2} END {printf "%.0f", s}' "$times_file") s of test time"
}

# Short tests first, cheapest first, so most faults are caught within seconds;
# then the long ones, longest first, so a fault no test catches still ends early.
load_order() {
    order=()
    local t s known
    known=$(all_tests)
    while read -r t s; do
        grep -qx "$t" <<<"$known" || continue
        order+=("$t")
        limits[$t]=$(awk -v s="$s" 'BEGIN {printf "%d", 2 * s + 20}')
    done < <(awk '$2 < 8' "$times_file" | sort -k2 -g; awk '$2 >= 8' "$times_file" | sort -k2 -gr)
    # Tests added since the baseline run last, with a generous limit.
    while read -r t; do
        [ -n "${limits[$t]:-}" ] && continue
        order+=("$t")
        limits[$t]=600
    done <<<"$known"
}

started=$(date +%s)
configure || exit 1
rm -rf "$logs" && mkdir -p "$logs"
echo "building $build"
if ! build_all "$work/build.log"; then
    echo "the unmodified tree does not build in $build:" >&2
    tail -40 "$work/build.log" >&2
    exit 1
fi
if [ "$mode" = baseline ] || [ ! -s "$times_file" ]; then
    baseline || exit 1
    [ "$mode" = baseline ] && exit 0
fi
load_order

caught=0
missed=0
errors=0
missed_ids=()
error_ids=()
while IFS=$'\t' read -r -u 3 id file desc; do
    if ! "${helper[@]}" check "$list" "$id" >"$work/check.txt"; then
        echo "$id: $desc: LIST ERROR, $(cat "$work/check.txt")"
        errors=$((errors + 1)); error_ids+=("$id")
        continue
    fi
    cp "$file" "$work/original"
    planted=$file
    if ! "${helper[@]}" apply "$list" "$id"; then
        restore
        echo "$id: $desc: LIST ERROR, cannot plant"
        errors=$((errors + 1)); error_ids+=("$id")
        continue
    fi
    t0=$(date +%s)
    if ! build_all "$logs/$id.build.log"; then
        restore
        echo "$id: $desc: LIST ERROR, does not compile (see $build/mutate-logs/$id.build.log)"
        errors=$((errors + 1)); error_ids+=("$id")
        continue
    fi
    run_suite
    restore
    secs=$(($(date +%s) - t0))
    flaky=""
    if [ -s "$work/run/flaky" ]; then
        flaky=" ($(paste -sd, "$work/run/flaky" | sed 's/,/, /g') failed once and passed again)"
        for t in $(cat "$work/run/flaky"); do cp "$work/run/$t.log" "$logs/$id.$t.flaky.log"; done
        cat "$work/run/flaky" >>"$work/flaky-all"
    fi
    if [ -s "$work/run/failed" ]; then
        for t in $(cut -d' ' -f1 "$work/run/failed"); do cp "$work/run/$t.log" "$logs/$id.$t.log"; done
        echo "$id: $desc: caught by $(paste -sd, "$work/run/failed" | sed 's/,/, /g')$flaky [${secs}s]"
        caught=$((caught + 1))
    else
        echo "$id: $desc: MISSED$flaky [${secs}s]"
        missed=$((missed + 1)); missed_ids+=("$id")
    fi
done 3< <("${helper[@]}" list "$list" "${ids[@]}")

# The tree must be exactly as committed again.
restore
clean=1
git diff --quiet -- "${prod[@]}" || { clean=0; echo "ERROR: production folders differ from the commit:" >&2; git diff --stat -- "${prod[@]}" >&2; }

elapsed=$(($(date +%s) - started))
echo
[ ${#missed_ids[@]} -gt 0 ] && echo "missed: ${missed_ids[*]}"
[ $errors -gt 0 ] && echo "list errors ($errors): ${error_ids[*]}"
[ -s "$work/flaky-all" ] && echo "failed once, passed on the second run: $(sort "$work/flaky-all" | uniq -c | awk '{printf "%s%s (%dx)", sep, $2, $1; sep = ", "}')"
echo "time: $((elapsed / 60)) min $((elapsed % 60)) s"
echo "$caught caught, $missed missed"
[ $errors -eq 0 ] && [ $clean -eq 1 ]
exit
}
