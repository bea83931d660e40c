#!/usr/bin/env bash
# Cross-compiles the Windows layer with mingw-w64 and runs its tests under wine.
#   scripts/test-windows.sh [BUILD_DIR]      (default: build-win, relative to the repository)
#
# 1. Compiles the Qt-free Windows files and the test programs (warnings are errors) into static
#    executables, so wine needs no extra DLLs.
# 2. Compiles the Qt part (and its moc output) against this machine's Qt headers, syntax only, so
#    the code that only a Windows build links is still checked here.
# 3. Runs the tests under wine in a throw-away prefix inside BUILD_DIR. Without wine the tests are
#    SKIPPED with a message; a compile failure always fails.
# Installs nothing: it says which package is missing. Ends with "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build-win}
case $build in
/*) ;;
*) build=$root/$build ;;
esac
out=$build/win-tests
mkdir -p "$out"

cxx=x86_64-w64-mingw32-g++-posix
flags=(-std=c++17 -O1 -Wall -Wextra -Werror -pedantic -Wold-style-cast -Wnon-virtual-dtor
    -DWIN32_LEAN_AND_MEAN -DNOMINMAX -DUNICODE -D_UNICODE -I"$root" -I"$root/tests/win")
link=(-static -static-libgcc -static-libstdc++ -ladvapi32 -luser32 -lole32)

passed=0
failed=0
fail() { # message
    echo "FAIL  $*"
    failed=$((failed + 1))
}
finish() {
    echo
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

if ! command -v "$cxx" >/dev/null; then
    fail "$cxx not found: install the Debian package g++-mingw-w64-x86-64-posix"
    finish
fi

echo "--- compiling with $cxx"
compile() { # object source
    if "$cxx" "${flags[@]}" -c "$2" -o "$1"; then
        return 0
    fi
    fail "compile $2"
    return 1
}
objs_ok=1
compile "$out/appcompat_win.o" "$root/platform/win/appcompat_win.cpp" || objs_ok=0
compile "$out/devicenotify_win.o" "$root/platform/win/devicenotify_win.cpp" || objs_ok=0

programs=()
build_test() { # name, objects it needs...
    local name=$1
    shift
    compile "$out/$name.o" "$root/tests/win/$name.cpp" || return
    [ "$objs_ok" -eq 1 ] || return
    if "$cxx" -o "$out/$name.exe" "$out/$name.o" "$@" "${link[@]}"; then
        programs+=("$name")
    else
        fail "link $name.exe"
    fi
}
build_test tst_appcompat_win "$out/appcompat_win.o"
build_test tst_devicenotify_win "$out/devicenotify_win.o"

# The Qt part: syntax and moc output checked against the host's Qt headers.
qtinc=$(pkg-config --variable=includedir Qt5Core 2>/dev/null)
moc=$(pkg-config --variable=host_bins Qt5Core 2>/dev/null)/moc
if [ -n "$qtinc" ] && [ -d "$qtinc/QtCore" ] && [ -x "$moc" ]; then
    qtflags=("${flags[@]}" -DQT_USE_QSTRINGBUILDER -isystem "$qtinc" -isystem "$qtinc/QtCore" -fsyntax-only)
    if "$moc" -DWIN32 -D_WIN32 -I"$root" "$root/platform/win/windevicesource.h" -o "$out/moc_windevicesource.cpp" &&
        "$cxx" "${qtflags[@]}" "$root/platform/win/windevicesource.cpp" &&
        "$cxx" "${qtflags[@]}" "$out/moc_windevicesource.cpp"; then
        echo "PASS  Qt part compiles for Windows (syntax and moc output)"
        passed=$((passed + 1))
    else
        fail "Qt part (platform/win/windevicesource.*) does not compile for Windows"
    fi
else
    echo "NOTE  Qt 5 headers or moc not found (qtbase5-dev, qtbase5-dev-tools): Qt part not checked"
fi

wine=$(command -v wine || command -v wine64 || true)
if [ -z "$wine" ]; then
    echo "SKIPPED: wine is not installed (Debian packages wine and wine64); the tests were built, not run"
    finish
fi

# A throw-away prefix (about 700 MB, removed at the end unless QUOR_KEEP_WINEPREFIX=1):
# no Mono or Gecko install prompts, no debug chatter.
prefix=$build/wineprefix
drop_prefix() {
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    [ "${QUOR_KEEP_WINEPREFIX:-0}" = 1 ] || rm -rf "$prefix"
}
rm -rf "$prefix"
mkdir -p "$prefix"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
export HOME=${HOME:-/root}
echo "--- starting a fresh wine prefix in $prefix"
if ! timeout 90 "$wine" cmd /c exit >"$out/wineboot.log" 2>&1; then
    echo "SKIPPED: wine does not start here (see $out/wineboot.log); the tests were built, not run"
    tail -5 "$out/wineboot.log"
    drop_prefix
    finish
fi

for name in "${programs[@]}"; do
    echo "--- $name.exe under wine"
    timeout 90 "$wine" "$out/$name.exe" >"$out/$name.log" 2>&1
    rc=$?
    tr -d '\r' <"$out/$name.log" | grep -E '^(PASS|FAIL|INFO|        )'
    result=$(tr -d '\r' <"$out/$name.log" | sed -n 's/^RESULT \([0-9]*\) \([0-9]*\)$/\1 \2/p' | tail -1)
    if [ -z "$result" ]; then
        fail "$name.exe ended without a result (exit $rc); output in $out/$name.log"
        tail -5 "$out/$name.log"
        continue
    fi
    read -r p f <<<"$result"
    passed=$((passed + p))
    failed=$((failed + f))
    if [ "$f" -eq 0 ] && [ "$rc" -ne 0 ]; then
        fail "$name.exe exited with $rc"
    fi
done
drop_prefix
finish
