#!/usr/bin/env bash
# The installer under wine: a silent install of an older build, boards burned by the installed program
# started from its Start-menu shortcut in the bench folder, a silent upgrade to this build, a silent
# uninstall, and what each leaves behind.
#   tests/win/installer_windows.sh WORK_DIR
#   tests/win/installer_windows.sh --demo WORK_DIR [Multiple|Single|both]   only installs this build and
#       plays the demo from it (QUOR_TARGET=windows scripts/run.sh); the program stays installed
#
# Needs dist/quor_download-setup.exe and dist/quor_download-win64/ (scripts/build-windows.sh), makensis,
# wine and what tests/win/e2e_windows.sh needs. The older build is the same folder packed by
# scripts/make-installer.sh as version 0.9. When QUOR_SIGN_CERT names the test certificate the build
# was signed with, the installers and the installed uninstaller are verified against it.
# Without the Windows SDK (scripts/test-windows.sh): QUOR_INSTALLER_FOLDER, QUOR_INSTALLER_SETUP and
# QUOR_INSTALLER_VERSION name a folder and installer whose quor_download.exe is tests/win/stub_program.cpp,
# and QUOR_INSTALLER_STUB=1 replaces the burn run by starting that stub from the shortcut.
# Uses WINEPREFIX when set, else WORK_DIR/prefix. Prints PASS/FAIL lines and ends with
# "N passed, N failed"; exits non-zero on any failure.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
demo=0
if [ "${1:-}" = --demo ]; then
    demo=1
    shift
fi
work=${1:?usage: $0 [--demo] WORK_DIR [mode]}
modes=${2:-both}
mkdir -p "$work"
work=$(cd "$work" && pwd)

if [ -z "${DISPLAY:-}" ]; then
    [ "$demo" -eq 1 ] && exec xvfb-run -a -s "-screen 0 1600x1000x24" "$0" --demo "$work" "$modes"
    exec xvfb-run -a -s "-screen 0 1600x1000x24" "$0" "$work"
fi

passed=0
failed=0
check() { # description, command...
    local what=$1
    shift
    if "$@"; then
        echo "PASS  $what"
        passed=$((passed + 1))
    else
        echo "FAIL  $what"
        failed=$((failed + 1))
    fi
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}
folder=${QUOR_INSTALLER_FOLDER:-$root/dist/quor_download-win64}
setup=${QUOR_INSTALLER_SETUP:-$root/dist/quor_download-setup.exe}
stub=${QUOR_INSTALLER_STUB:-0}
for f in "$setup" "$folder/quor_download.exe"; do
    [ -f "$f" ] || {
        echo "FAIL  $f is missing: run scripts/build-windows.sh first"
        failed=$((failed + 1))
        finish
    }
done

export WINEPREFIX=${WINEPREFIX:-$work/prefix} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
wine=$(command -v wine || command -v wine64)
if [ ! -d "$WINEPREFIX/drive_c" ]; then
    echo "--- starting a wine prefix in $WINEPREFIX"
    timeout 120 "$wine" cmd /c exit >/dev/null 2>&1
fi
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QuorDownload'
regget() { # value name: its data in the Apps & features entry, empty when absent
    "$wine" reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z]* *//p"
}
wait_for() { # seconds, command...
    local until=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -ge $until ] && return 1
        sleep 0.5
    done
}
program=$WINEPREFIX/drive_c/Program\ Files/Quor\ Download
shortcut=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Quor\ Download/Quor\ Download.lnk
# The installed files against the folder they came from (without its config/, plus the uninstaller).
same_program_files() {
    diff <(cd "$folder" && find . -path ./config -prune -o -type f -print | sort; echo ./uninstall.exe) \
        <(cd "$program" && find . -type f | sort) >/dev/null
}
# Every file of the bench folder with its content hash.
snapshot() {
    (cd "$bench" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
}
verified() { # file
    osslsigncode verify -CAfile "$QUOR_SIGN_CERT" -in "$1" >/dev/null 2>&1
}

# The demo: this build installed, both windows played from it.
if [ "$demo" -eq 1 ]; then
    echo "--- installing $setup silently"
    timeout 300 "$wine" "$setup" /S >/dev/null 2>&1
    check "the program is installed under Program Files, file for file" same_program_files
    bench=$(winepath -u "$(regget BenchFolder)" 2>/dev/null)
    bench=${bench%/}
    echo "      bench folder: $bench"
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    QUOR_E2E_INSTALLED=$program QUOR_E2E_SHORTCUT=$shortcut "$root/tests/win/e2e_windows.sh" "$bench" "$modes"
    rc=$?
    echo "$passed passed, $failed failed (installation); screenshots in $bench"
    [ "$failed" -eq 0 ] && exit $rc
    exit 1
fi

echo "--- installing version 0.9 silently"
old=$work/quor_download-setup-0.9.exe
"$root/scripts/make-installer.sh" "$folder" 0.9 "$old" >"$work/make-installer.log" 2>&1 ||
    check "the older installer builds (see $work/make-installer.log)" false
timeout 300 "$wine" "$old" /S >/dev/null 2>&1
check "the program is installed under Program Files, file for file" same_program_files
check "Apps & features lists it with version 0.9 and its publisher" \
    eval '[ "$(regget DisplayVersion)" = 0.9 ] && [ "$(regget Publisher)" = Quor ] && [ "$(regget DisplayName)" = "Quor Download" ]'
check "a Start-menu shortcut starts it" test -f "$shortcut"
bench=$(winepath -u "$(regget BenchFolder)" 2>/dev/null)
bench=${bench%/}
echo "      bench folder: $(regget BenchFolder)"
check "the bench folder is made with the sample settings" test -f "$bench/config/Board_config.ini"
if [ -n "${QUOR_SIGN_CERT:-}" ]; then
    check "the installers and the installed uninstaller are signed" \
        eval 'verified "$setup" && verified "$old" && verified "$program/uninstall.exe"'
fi

if [ "$stub" = 1 ]; then
    echo "--- the installed stand-in started from its shortcut"
    timeout 60 "$wine" start /wait "$(winepath -w "$shortcut")" >/dev/null 2>&1
    check "the shortcut starts the program in the bench folder" \
        wait_for 30 eval '[ "$(tr -d "\r" 2>/dev/null <"$bench/started-here.txt")" = "$(regget BenchFolder)" ]'
    # What a run leaves in the bench folder.
    echo "record" >"$bench/records.sqlite"
    echo "log" >"$bench/log_multiplex.txt"
else
    echo "--- boards burned by the installed program"
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    QUOR_E2E_INSTALLED=$program QUOR_E2E_SHORTCUT=$shortcut "$root/tests/win/e2e_windows.sh" "$bench" Multiple \
        >"$work/e2e-installed.log" 2>&1
    tr -d '\r' <"$work/e2e-installed.log" | grep -aE '^(PASS|FAIL|      )'
    totals=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$work/e2e-installed.log" | tail -1)
    if [ -z "$totals" ]; then
        check "the burn run from the installed program ended (see $work/e2e-installed.log)" false
    else
        read -r p f <<<"$totals"
        passed=$((passed + p))
        failed=$((failed + f))
    fi
    check "the run logs and records are in the bench folder" test -s "$bench/log_multiplex.txt" -a -s "$bench/records.sqlite"
fi
# The operator's own settings, which neither upgrade nor uninstall may touch.
printf '; this bench\r\n' >>"$bench/config/Board_config.ini"
before=$(snapshot)

echo "--- upgrading to this build silently"
version=${QUOR_INSTALLER_VERSION:-$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$root/build-win/CMakeCache.txt")}
timeout 300 "$wine" "$setup" /S >/dev/null 2>&1
check "Apps & features shows version $version after the upgrade" test "$(regget DisplayVersion)" = "$version"
check "the upgrade replaced the program files, file for file" same_program_files
check "the upgrade kept the bench folder as it was" test "$(snapshot)" = "$before"
check "the upgrade kept the bench folder as the shortcut's" test "$(winepath -u "$(regget BenchFolder)" 2>/dev/null | sed 's|/$||')" = "$bench"

echo "--- uninstalling silently"
# The uninstaller copies itself elsewhere and returns at once; it is done when its original is gone.
timeout 120 "$wine" "$program/uninstall.exe" /S >/dev/null 2>&1
check "the uninstaller removes the program folder" wait_for 60 test ! -e "$program"
check "the uninstaller removes the shortcut and the Apps & features entry" \
    eval '[ ! -e "$shortcut" ] && [ -z "$(regget DisplayName)" ]'
check "the uninstaller leaves the bench folder untouched (config, logs, records)" test "$(snapshot)" = "$before"
echo "      bench folder after uninstall: $(cd "$bench" && find . -maxdepth 2 -type f | sort | head -8 | tr '\n' ' ')"
finish
