#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite:
#   1. the normal build with warnings as errors, all tests;
#   2. an AddressSanitizer + UndefinedBehaviorSanitizer build, all tests;
#   3. a ThreadSanitizer build of the threaded pieces, their tests;
#   4. the Win32 layer cross-compiled with mingw-w64 and tested under wine (with the Windows SDK, the
#      whole program and its Windows tests too);
#   5. a short run of every fuzz target;
#   6. the Prometheus alert rules and sample configuration (promtool).
# Exits non-zero if any stage fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh || { echo "dependency installation failed"; exit 1; }

jobs=$(nproc)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# Paths relative to the checkout, so a fresh clone elsewhere (as CI makes) reuses the compiler cache.
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
failed=()

stage() { echo; echo "=== $* ==="; }

configure() { # dir, extra cmake args...
    local dir=$1; shift
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOR_WERROR=ON "${launcher[@]}" "$@" >/dev/null
}

stage "build (warnings are errors)"
if configure build && cmake --build build -j"$jobs"; then
    stage "tests"
    (cd build && ctest --output-on-failure -j"$jobs" -LE 'fuzz') || failed+=("tests")
else
    failed+=("build")
fi

stage "AddressSanitizer + UndefinedBehaviorSanitizer build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp
if configure build-asan -DQUOR_SANITIZE=address,undefined -DQUOR_BUILD_BENCH=OFF &&
    cmake --build build-asan -j"$jobs"; then
    stage "tests under ASan + UBSan"
    (cd build-asan && ctest --output-on-failure -j"$jobs" -LE 'fuzz|no-asan') || failed+=("asan tests")
else
    failed+=("asan build")
fi
unset ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS

stage "ThreadSanitizer build (threaded pieces)"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"
if configure build-tsan -DQUOR_SANITIZE=thread -DQUOR_BUILD_BENCH=OFF; then
    tsan_targets=$(cd build-tsan && ctest -N -L tsan | sed -n 's/^ *Test *#[0-9]*: //p')
    if [ -n "$tsan_targets" ] && cmake --build build-tsan -j"$jobs" --target $tsan_targets; then
        (cd build-tsan && ctest --output-on-failure -L tsan) || failed+=("tsan tests")
    else
        failed+=("tsan build")
    fi
else
    failed+=("tsan configure")
fi
unset TSAN_OPTIONS

stage "Windows: mingw-w64 build and wine tests"
if [ -x scripts/test-windows.sh ]; then
    scripts/test-windows.sh build-win || failed+=("windows")
fi

if [ -x fuzz/run.sh ]; then
    stage "fuzz targets, short run"
    fuzz/run.sh 30 || failed+=("fuzz")
fi

stage "Prometheus rules and configuration (promtool)"
(cd deploy/prometheus && promtool check config prometheus.yml && promtool test rules quor-rules.test.yml) ||
    failed+=("promtool")

echo
if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED stages: ${failed[*]}"
    exit 1
fi
echo "All stages passed."
