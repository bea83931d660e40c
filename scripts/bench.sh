#!/usr/bin/env bash
# Builds the benchmark programs (Release, in build-bench unless BUILD_DIR says
# otherwise), runs them all and prints one table:
#   measurement | ours | reference | ratio | goal | met
# Each program compares against its reference in the same run and repeats;
# the figures are medians with the spread in brackets. Details of every run
# go to <build>/bench-logs/.
#
#   scripts/bench.sh [--quick] [--skip-build]
#
# --quick skips the unpack and copy benchmarks (1 GiB files, minutes) and runs
# the timed ones shorter (eight boards 10 s, idle 5 s, fewer rounds).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-$root/build-bench}
quick=0
skip_build=0
for arg in "$@"; do
    case $arg in
    --quick) quick=1 ;;
    --skip-build) skip_build=1 ;;
    *) echo "usage: scripts/bench.sh [--quick] [--skip-build]" >&2; exit 2 ;;
    esac
done

targets=(bench_handlers bench_eightboards bench_idle bench_startup bench_devlaunch bench_replay_tool
         bench_records usb_dl usb_dl_bench)
[ $quick -eq 0 ] && targets+=(bench_package quor_unpack bench_copy)

if [ $skip_build -eq 0 ]; then
    if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
        scripts/install-deps.sh || { echo "dependency installation failed" >&2; exit 1; }
    fi
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUOR_BUILD_TESTS=OFF >/dev/null &&
        cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >"$build/bench-build.log" 2>&1 ||
        { echo "build failed, see $build/bench-build.log" >&2; exit 1; }
fi

bin=$build/bin
logs=$build/bench-logs
mkdir -p "$logs"
export QT_QPA_PLATFORM=offscreen
unset USB_DL_BENCH
rows=$logs/table.tsv
: >"$rows"
failed=()

run() { # name, program, args...: output to the log, TABLE lines to the table
    local name=$1; shift
    echo "running $name ..." >&2
    if ! "$@" >"$logs/$name.out" 2>"$logs/$name.err"; then
        failed+=("$name")
    fi
    grep $'^TABLE\t' "$logs/$name.out" | cut -f2- >>"$rows"
}

if [ $quick -eq 1 ]; then
    run handlers "$bin/bench_handlers" --repeat 3
    run eightboards "$bin/bench_eightboards" --seconds 10 --reference-seconds 5
    run idle "$bin/bench_idle" --seconds 5 --repeat 3
    run startup "$bin/bench_startup" --repeat 7
    run devlaunch "$bin/bench_devlaunch" --repeat 9
    run records "$bin/bench_records" --repeat 3 --records 500
else
    run handlers "$bin/bench_handlers" --repeat 5
    run eightboards "$bin/bench_eightboards" --seconds 30 --reference-seconds 10
    run idle "$bin/bench_idle" --seconds 20 --repeat 3
    run startup "$bin/bench_startup" --repeat 11
    run devlaunch "$bin/bench_devlaunch" --repeat 15
    run records "$bin/bench_records" --repeat 7

    # The unpack benchmark prints its own table: speed against bsdtar and peak memory.
    run package "$bin/bench_package" --runs 3
    awk -v OFS='\t' '
        /^quor_unpack \(auto/ { ours = $5; ourspeak = $NF; spread = $6 }
        /^bsdtar -xf/          { ref = $3 }
        /^quor_unpack \(auto/  { oursmed = $5 }
        END {
            if (ref == "" || oursmed == "") exit
            ratio = ref / oursmed
            print "unpack 1 GiB package (speed vs bsdtar -xf)", oursmed " s (" spread ")", ref " s bsdtar",
                  sprintf("%.2fx", ratio), ">= 1.0x (aim 1.3x)", (ratio >= 1.0 ? "yes" : "NO")
            print "unpack peak memory", ourspeak " MiB", "-", "-", "< 32 MiB", (ourspeak + 0 < 32 ? "yes" : "NO")
        }' "$logs/package.out" >>"$rows"
    grep -q '^unzip -q' "$logs/package.out" && awk -v OFS='\t' '
        /^quor_unpack \(auto/ { ours = $5 } /^unzip -q/ { ref = $3 }
        END { if (ref != "" && ours != "") print "unpack 1 GiB package (speed vs unzip -q)", ours " s", ref " s unzip",
              sprintf("%.2fx", ref / ours), "-", "-" }' "$logs/package.out" >>"$rows"

    # The copy benchmark: our staging copy against cp on a 1 GiB file.
    run copy "$bin/bench_copy" --repeat 7 --dir "${TMPDIR:-/tmp}"
    awk -v OFS='\t' '
        /^cp /                     { ref = $2; refspread = $3 ".." $4 }
        /^ours \(copy_file_range\)/ { ours = $3; spread = $4 ".." $5 }
        /^speed ratio ours\/cp/    { ratio = $NF }
        END { if (ratio != "") print "staging copy 1 GiB (speed vs cp)", ours " s (" spread ")", ref " s cp (" refspread ")",
              sprintf("%.2fx", ratio), ">= 0.95x", (ratio >= 0.95 ? "yes" : "NO") }' "$logs/copy.out" >>"$rows"
fi

echo
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(free -g | awk '/^Mem:/ {print $2 " GiB"}') memory, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'); medians with (min..max); QT_QPA_PLATFORM=offscreen"
echo
{
    printf 'measurement\tours\treference\tratio\tgoal\tmet\n'
    cat "$rows"
} | awk -F'\t' '
    { for (i = 1; i <= NF; ++i) { cell[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) } n = NR; if (NF > nf) nf = NF }
    END {
        for (r = 1; r <= n; ++r) {
            line = "|"
            for (i = 1; i <= nf; ++i) line = line sprintf(" %-*s |", w[i], cell[r, i])
            print line
            if (r == 1) { line = "|"; for (i = 1; i <= nf; ++i) { d = ""; for (k = 0; k < w[i] + 2; ++k) d = d "-"; line = line d "|" } print line }
        }
    }'
if [ ${#failed[@]} -gt 0 ]; then
    echo
    echo "programs that failed: ${failed[*]} (see $logs)"
    exit 1
fi
