#!/usr/bin/env bash
# Cross-compiles the Windows layer with mingw-w64 and runs its tests under wine.
#   scripts/test-windows.sh [BUILD_DIR]      (default: build-win, relative to the repository)
#
# 1. Compiles the Qt-free Windows files and the test programs (warnings are errors) into static
#    executables, so wine needs no extra DLLs.
# 2. Compiles the Qt part (and its moc output) against this machine's Qt headers, syntax only, so
#    the code that only a Windows build links is still checked here.
# 3. When the Windows SDK is there (QUOR_WIN_SDK, default ~/.cache/quor-win-sdk, finished when
#    <SDK>/.complete exists): builds the whole program and the Qt test programs that run on Windows
#    with scripts/build-windows.sh --tests (always into build-win and dist/). Without the SDK this part is
#    SKIPPED with a message saying so; scripts/build-win-sdk.sh makes the SDK.
# 4. Runs the tests under wine in a throw-away prefix inside BUILD_DIR. Without wine the tests are
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
    -DWIN32_LEAN_AND_MEAN -DNOMINMAX -DUNICODE -D_UNICODE -D_WIN32_WINNT=0x0601 -DWINVER=0x0601
    -I"$root" -I"$root/tests/win")
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
compile() { # object source [flags...]
    if "$cxx" "${flags[@]}" "${@:3}" -c "$2" -o "$1"; then
        return 0
    fi
    fail "compile $2"
    return 1
}
objs_ok=1
compile "$out/appcompat_win.o" "$root/platform/win/appcompat_win.cpp" || objs_ok=0
compile "$out/devicenotify_win.o" "$root/platform/win/devicenotify_win.cpp" || objs_ok=0
compile "$out/winfs_core_win.o" "$root/platform/win/winfs_core_win.cpp" || objs_ok=0

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
build_test tst_winfs_core_win "$out/winfs_core_win.o"

# Windows 7: what the test programs import must exist there, and the check must catch a function
# of Windows 8 (GetSystemTimePreciseAsFileTime) planted in a program of its own.
win7_check() { # label, folder or file...
    local label=$1 log
    shift
    log=$out/win7-${label//[^A-Za-z0-9]/_}.log
    if "$root/scripts/check-win7-imports.sh" "$@" >"$log" 2>&1; then
        echo "PASS  $label: every import exists on Windows 7 SP1 ($(tail -1 "$log"))"
        passed=$((passed + 1))
    else
        fail "$label imports what Windows 7 SP1 lacks:"
        sed 's/^/        /' "$log"
    fi
}
program_files=()
for name in "${programs[@]}"; do
    program_files+=("$out/$name.exe")
done
win7_check "Win32 test programs" "${program_files[@]}"
mkdir -p "$out/planted"
printf '#include <windows.h>\nint main() { FILETIME t; GetSystemTimePreciseAsFileTime(&t); return int(t.dwLowDateTime & 1); }\n' \
    >"$out/planted/planted.cpp"
if "$cxx" -D_WIN32_WINNT=0x0602 -o "$out/planted/planted.exe" "$out/planted/planted.cpp" -static &&
    ! "$root/scripts/check-win7-imports.sh" "$out/planted/planted.exe" >"$out/win7-planted.log" 2>&1 &&
    grep -q 'GetSystemTimePreciseAsFileTime is not on' "$out/win7-planted.log"; then
    echo "PASS  the Windows 7 import check fails on a planted Windows 8 import"
    passed=$((passed + 1))
else
    fail "the Windows 7 import check did not fail on a planted Windows 8 import"
fi
# A console tool with a narrow main, put in front of the simulated tool by the code-page run below.
narrow_tool=
if compile "$out/narrow_tool.o" "$root/tests/win/narrow_tool.cpp" &&
    "$cxx" -o "$out/narrow_tool.exe" "$out/narrow_tool.o" "${link[@]}"; then
    narrow_tool=$out/narrow_tool.exe
else
    fail "link narrow_tool.exe"
fi
# Reads a program's resource; takes the files and the expected values as arguments (run below).
resource_test=
if compile "$out/tst_resource_win.o" "$root/tests/win/tst_resource_win.cpp" &&
    "$cxx" -municode -o "$out/tst_resource_win.exe" "$out/tst_resource_win.o" "${link[@]}" -lversion; then
    resource_test=$out/tst_resource_win.exe
else
    fail "link tst_resource_win.exe"
fi
version=$(sed -n 's/^project(quor_download VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

# The Qt part: syntax and moc output checked against the host's Qt headers.
qtinc=$(pkg-config --variable=includedir Qt5Core 2>/dev/null)
moc=$(pkg-config --variable=host_bins Qt5Core 2>/dev/null)/moc
if [ -n "$qtinc" ] && [ -d "$qtinc/QtCore" ] && [ -x "$moc" ]; then
    qtflags=("${flags[@]}" -DQT_USE_QSTRINGBUILDER -isystem "$qtinc" -isystem "$qtinc/QtCore" -fsyntax-only)
    qt_sources_ok=1
    for source in windevicesource winfs_win fileops_win filehandle_win filecopy_win processtree_win toolsupport_win; do
        "$cxx" "${qtflags[@]}" "$root/platform/win/$source.cpp" || qt_sources_ok=0
    done
    if "$moc" -DWIN32 -D_WIN32 -I"$root" "$root/platform/win/windevicesource.h" -o "$out/moc_windevicesource.cpp" &&
        [ "$qt_sources_ok" -eq 1 ] && "$cxx" "${qtflags[@]}" "$out/moc_windevicesource.cpp"; then
        echo "PASS  Qt part compiles for Windows (syntax and moc output)"
        passed=$((passed + 1))
    else
        fail "Qt part (platform/win/*.cpp) does not compile for Windows"
    fi
else
    echo "NOTE  Qt 5 headers or moc not found (qtbase5-dev, qtbase5-dev-tools): Qt part not checked"
fi

# Windows files are signed with a throw-away certificate made here; the runs below verify the signatures.
if [ -z "${QUOR_SIGN_CERT:-}${QUOR_SIGN_PKCS12:-}" ] && command -v osslsigncode >/dev/null &&
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quor Download test signing" \
        -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
        -keyout "$out/test-sign-key.pem" -out "$out/test-sign-cert.pem" >/dev/null 2>&1; then
    export QUOR_SIGN_CERT=$out/test-sign-cert.pem QUOR_SIGN_KEY=$out/test-sign-key.pem
else
    echo "NOTE  no test certificate (osslsigncode or openssl missing, or QUOR_SIGN_* set): signatures not checked"
fi

# Without the SDK the installer is still built and tested, around a stand-in program (stub_program.cpp)
# in a folder laid out like the real one.
stub_installer=0
build_stub_installer() {
    local folder=$out/stub-folder
    rm -rf "$folder" "$out/stub-setup.exe"
    mkdir -p "$folder/platforms" "$folder/config"
    # The stand-ins carry the programs' resource, made by the same CMake function.
    if ! { cmake -S "$root/tests/win/stub" -B "$out/stub-build" -G Ninja -DQUOR_STUB_VERSION="$version" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" && cmake --build "$out/stub-build"; } \
        >"$out/stub-build.log" 2>&1; then
        fail "stand-in programs do not build (output in $out/stub-build.log)"
        tail -5 "$out/stub-build.log"
        return
    fi
    cp "$out/stub-build/bin/"quor_{download,records}.exe "$folder/"
    cp "$folder/quor_download.exe" "$folder/platforms/qwindows.dll"
    printf '[Paths]\r\nPrefix = .\r\nPlugins = .\r\n' >"$folder/qt.conf"
    printf '[Burn_Type]\r\nBurn_Type=Default\r\n' >"$folder/config/Board_config.ini"
    printf 'Put the download tool here as usb_dl.exe.\r\n' >"$folder/config/README.txt"
    if ! command -v makensis >/dev/null; then
        echo "SKIPPED: installer: makensis is not installed (Debian package nsis)"
        return
    fi
    if "$root/scripts/sign-windows.sh" "$folder"/*.exe "$folder"/platforms/*.dll >"$out/stub-installer.log" 2>&1 &&
        "$root/scripts/make-installer.sh" "$folder" "$version" "$out/stub-setup.exe" >>"$out/stub-installer.log" 2>&1; then
        echo "PASS  installer builds (around the stand-in program)"
        passed=$((passed + 1))
        stub_installer=1
    else
        fail "installer does not build (output in $out/stub-installer.log)"
        tail -5 "$out/stub-installer.log"
    fi
}

# The whole program against the SDK.
sdk=${QUOR_WIN_SDK:-$HOME/.cache/quor-win-sdk}
qt_tests=(tst_fileops_win tst_packageextractor tst_packagestamp tst_singleoutput tst_app tst_benchstate tst_multi_logic)
qt_bin=$root/build-win/bin
qt_built=0
if [ -f "$sdk/.complete" ]; then
    echo "--- building the whole program and its Windows tests against $sdk"
    if "$root/scripts/build-windows.sh" --tests >"$out/build-windows.log" 2>&1; then
        echo "PASS  whole program builds for Windows (quor_download.exe, usb_dl.exe, usb_dl_bench.exe)"
        passed=$((passed + 1))
        qt_built=1
        win7_check "dist/quor_download-win64" "$root/dist/quor_download-win64"
    else
        fail "whole program does not build for Windows (output in $out/build-windows.log)"
        grep -E 'error|FAILED' "$out/build-windows.log" | head -20
    fi
else
    echo "SKIPPED: whole program for Windows: no finished SDK in $sdk ($sdk/.complete is missing;"
    echo "         scripts/build-win-sdk.sh builds it once, about an hour). Only the Win32 layer was built."
    build_stub_installer
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
# Wine hides every name starting with a dot on its own; a Windows PC hides only by attribute.
# Showing dot files makes the tests see the hidden attribute alone.
timeout 60 "$wine" reg add 'HKCU\Software\Wine' /v ShowDotFiles /d Y /f >>"$out/wineboot.log" 2>&1 ||
    fail "could not set ShowDotFiles=Y in the wine prefix"

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
# Shows a test script's PASS and FAIL lines and adds its "N passed, N failed" to the totals.
add_totals() { # what, exit status, log
    local totals p f
    tr -d '\r' <"$3" | grep -aE '^(PASS|FAIL|      )'
    totals=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$3" | tail -1)
    if [ -z "$totals" ]; then
        fail "$1 ended without totals (exit $2); output in $3"
        tail -5 "$3"
    else
        read -r p f <<<"$totals"
        passed=$((passed + p))
        failed=$((failed + f))
    fi
}
# The programs' resource: product, publisher and descriptions as cmake/WindowsResource.cmake sets them.
run_resource_test() { # program folder
    local d=$1 log=$out/tst_resource_win.log r product publisher download records
    product=$(sed -n 's/^set(QUOR_PRODUCT "\([^"]*\)".*/\1/p' "$root/cmake/WindowsResource.cmake")
    publisher=$(sed -n 's/^set(QUOR_PUBLISHER "\([^"]*\)".*/\1/p' "$root/cmake/WindowsResource.cmake")
    download=$(sed -n 's/^set(QUOR_DOWNLOAD_DESCRIPTION "\([^"]*\)".*/\1/p' "$root/cmake/WindowsResource.cmake")
    records=$(sed -n 's/^set(QUOR_RECORDS_DESCRIPTION "\([^"]*\)".*/\1/p' "$root/cmake/WindowsResource.cmake")
    echo "--- tst_resource_win.exe under wine ($d)"
    timeout 90 "$wine" "$resource_test" "$version" "$product" "$publisher" \
        "$(winepath -w "$d/quor_download.exe" 2>/dev/null)" "$download" \
        "$(winepath -w "$d/quor_records.exe" 2>/dev/null)" "$records" >"$log" 2>&1
    tr -d '\r' <"$log" | grep -E '^(PASS|FAIL|        )'
    r=$(tr -d '\r' <"$log" | sed -n 's/^RESULT \([0-9]*\) \([0-9]*\)$/\1 \2/p' | tail -1)
    if [ -z "$r" ]; then
        fail "tst_resource_win.exe ended without a result; output in $log"
        return
    fi
    passed=$((passed + ${r% *}))
    failed=$((failed + ${r#* }))
}
if [ -n "$resource_test" ] && [ -d "$out/stub-build/bin" ] && [ "$qt_built" -eq 0 ]; then
    run_resource_test "$out/stub-build/bin"
fi
# The SDK's libpq and OpenSSL (its fleet-database stages) against a throw-away PostgreSQL server on
# 127.0.0.1 with TLS; an SDK without them skips this.
pg_bin=/usr/lib/postgresql/15/bin
pg_dir=$out/pg
pg_stop() {
    [ -f "$pg_dir/data/postmaster.pid" ] && runuser -u nobody -- "$pg_bin/pg_ctl" -D "$pg_dir/data" -m fast stop >/dev/null 2>&1
    rm -rf "$pg_dir"
}
run_libpq_test() {
    local port=$((20000 + RANDOM % 20000)) u=(runuser -u nobody --)
    [ "$(id -u)" -eq 0 ] || u=()
    pg_stop
    mkdir -p "$pg_dir"
    # The server's certificate names localhost; another one stands for a wrong trusted root.
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=localhost" \
        -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -keyout "$pg_dir/server.key" -out "$pg_dir/server.crt" \
        >/dev/null 2>&1 &&
        openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=localhost" -keyout "$pg_dir/other.key" \
            -out "$pg_dir/other.crt" >/dev/null 2>&1 || {
        fail "no certificates for the PostgreSQL server (openssl)"
        return
    }
    chmod 600 "$pg_dir/server.key"
    [ "$(id -u)" -eq 0 ] && chown -R nobody: "$pg_dir"
    if ! "${u[@]}" "$pg_bin/initdb" -D "$pg_dir/data" -A trust -U tester --no-sync -EUTF8 >"$out/pg-initdb.log" 2>&1 ||
        ! "${u[@]}" "$pg_bin/pg_ctl" -D "$pg_dir/data" -l "$pg_dir/log" -w -o "-k $pg_dir -c listen_addresses=127.0.0.1 \
            -p $port -c fsync=off -c ssl=on -c ssl_cert_file=$pg_dir/server.crt -c ssl_key_file=$pg_dir/server.key" \
            start >"$out/pg-start.log" 2>&1; then
        fail "the PostgreSQL server does not start (see $out/pg-initdb.log, $out/pg-start.log, $pg_dir/log)"
        return
    fi
    local base="host=localhost hostaddr=127.0.0.1 port=$port dbname=postgres user=tester sslmode=verify-full connect_timeout=10"
    # A backslash escapes in a connection string: the certificates' Windows paths take slashes.
    local log=$out/tst_libpq_win.log r
    echo "--- tst_libpq_win.exe under wine (libpq and OpenSSL of $sdk)"
    WINEPATH="$(winepath -w "$sdk/bin" 2>/dev/null)" timeout 120 "$wine" "$out/tst_libpq_win.exe" \
        "$base sslrootcert=$(winepath -w "$pg_dir/server.crt" 2>/dev/null | tr '\\' /)" \
        "$base sslrootcert=$(winepath -w "$pg_dir/other.crt" 2>/dev/null | tr '\\' /)" >"$log" 2>&1
    pg_stop
    tr -d '\r' <"$log" | grep -E '^(PASS|FAIL|        )'
    r=$(tr -d '\r' <"$log" | sed -n 's/^RESULT \([0-9]*\) \([0-9]*\)$/\1 \2/p' | tail -1)
    if [ -z "$r" ]; then
        fail "tst_libpq_win.exe ended without a result; output in $log"
        tail -5 "$log"
        return
    fi
    passed=$((passed + ${r% *}))
    failed=$((failed + ${r#* }))
}
if [ -f "$sdk/bin/libpq.dll" ] && [ -f "$sdk/include/libpq-fe.h" ]; then
    if [ ! -x "$pg_bin/initdb" ]; then
        echo "SKIPPED: libpq under wine: PostgreSQL 15 server programs not installed (Debian package postgresql)"
    elif compile "$out/tst_libpq_win.o" "$root/tests/win/tst_libpq_win.cpp" -isystem "$sdk/include" &&
        "$cxx" -static -o "$out/tst_libpq_win.exe" "$out/tst_libpq_win.o" -L"$sdk/lib" -lpq; then
        run_libpq_test
    else
        fail "tst_libpq_win.exe does not build against $sdk"
    fi
else
    echo "SKIPPED: libpq under wine: the SDK has no libpq (scripts/build-win-sdk.sh adds its fleet-database stages)"
fi

if [ "$stub_installer" -eq 1 ]; then
    echo "--- stub-setup.exe under wine"
    QUOR_INSTALLER_FOLDER=$out/stub-folder QUOR_INSTALLER_SETUP=$out/stub-setup.exe QUOR_INSTALLER_VERSION=$version \
        QUOR_INSTALLER_STUB=1 tests/win/installer_windows.sh "$build/win-installer" >"$out/installer.log" 2>&1
    add_totals "installer run" $? "$out/installer.log"
fi
# The Qt test programs find their DLLs in the SDK through WINEPATH. Their output goes to a file:
# a program run by wine from a script has no console for it.
restart_wine() {
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
}
run_qt_test() { # name, [wrapper command...]
    local name=$1 log=$out/$1.txt rc totals p f s
    shift
    echo "--- $name.exe under wine"
    rm -f "$log"
    timeout 300 "$@" "$wine" "$qt_bin/$name.exe" -o "$(winepath -w "$log" 2>/dev/null),txt" >"$out/$name.wine.log" 2>&1
    rc=$?
    totals=$(tr -d '\r' <"$log" 2>/dev/null | sed -n 's/^Totals: \([0-9]*\) passed, \([0-9]*\) failed, \([0-9]*\) skipped.*/\1 \2 \3/p')
    if [ -z "$totals" ]; then
        fail "$name.exe ended without totals (exit $rc); output in $log and $out/$name.wine.log"
        tail -5 "$out/$name.wine.log"
        return
    fi
    read -r p f s <<<"$totals"
    tr -d '\r' <"$log" | grep -aE '^(FAIL!|SKIP)|^   (Actual|Expected)|failure location' | grep -av '^QDEBUG' | head -40
    echo "      $name: $p passed, $f failed, $s skipped"
    passed=$((passed + p))
    failed=$((failed + f))
    if [ "$f" -eq 0 ] && [ "$rc" -ne 0 ]; then
        fail "$name.exe exited with $rc"
    fi
}
# A 1 MiB file system for the full-disk case of tst_fileops_win, when this user may mount one.
small_disk=$build/small-disk
unmount_small_disk() {
    mountpoint -q "$small_disk" 2>/dev/null && umount "$small_disk"
}
if [ "$qt_built" -eq 1 ]; then
    mkdir -p "$small_disk"
    unmount_small_disk
    if mount -t tmpfs -o size=1m quor-small-disk "$small_disk" 2>/dev/null; then
        QUOR_SMALL_DISK=$(winepath -w "$small_disk" 2>/dev/null)
        export QUOR_SMALL_DISK
    else
        echo "NOTE  no small file system could be mounted here (needs root): the full-disk case skips"
    fi
    WINEPATH="$(winepath -w "$sdk/bin" 2>/dev/null);$(winepath -w "$sdk/qt/bin" 2>/dev/null)"
    export WINEPATH
    for name in "${qt_tests[@]}"; do
        run_qt_test "$name"
    done
    unmount_small_disk
    # End to end: the zip unpacked elsewhere, both windows burning boards from the bench, screenshots;
    # first the multi-board window test on the Windows device source, which needs the same display.
    [ -n "$resource_test" ] && run_resource_test "$root/dist/quor_download-win64"
    restart_wine
    echo "--- quor_download.exe end to end under wine and Xvfb"
    tests/win/e2e_windows.sh "$build/win-e2e" >"$out/e2e.log" 2>&1
    rc=$?
    tr -d '\r' <"$out/e2e.log" | grep -aE '^(PASS|FAIL|      )'
    totals=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$out/e2e.log" | tail -1)
    if [ -z "$totals" ]; then
        fail "end-to-end run ended without totals (exit $rc); output in $out/e2e.log"
        tail -5 "$out/e2e.log"
    else
        read -r p f <<<"$totals"
        passed=$((passed + p))
        failed=$((failed + f))
    fi
    # Folders named in Cyrillic and Chinese with a tool that reads the ANSI code page; the windows at
    # 150 and 200 % (screenshots in $build/win-e2e-dpi).
    restart_wine
    echo "--- Cyrillic and Chinese folders, a tool with a narrow main, under wine"
    QUOR_E2E_NARROW_TOOL=$narrow_tool tests/win/e2e_windows.sh "$build/win-e2e-codepage" Codepage \
        >"$out/e2e-codepage.log" 2>&1
    add_totals "code-page run" $? "$out/e2e-codepage.log"
    restart_wine
    echo "--- the windows at 144 and 192 DPI under wine"
    tests/win/e2e_windows.sh "$build/win-e2e-dpi" Dpi >"$out/e2e-dpi.log" 2>&1
    add_totals "high-DPI run" $? "$out/e2e-dpi.log"
    # The installer: install, burn from the installed program, upgrade, uninstall.
    restart_wine
    echo "--- quor_download-setup.exe under wine"
    tests/win/installer_windows.sh "$build/win-installer" >"$out/installer.log" 2>&1
    add_totals "installer run" $? "$out/installer.log"
fi
drop_prefix
finish
