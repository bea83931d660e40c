#!/usr/bin/env bash
# End to end on Windows, under wine: the laid-out program burns boards plugged from the simulated bench.
#   tests/win/e2e_windows.sh WORK_DIR [Multiple|Single|Window|Fleet|Codepage|Dpi|both]      (default: both)
#
# Needs dist/quor_download-win64.zip and build-win/bin/usb_dl.exe, usb_dl_bench.exe (scripts/build-windows.sh),
# wine, xvfb-run, xdotool and ImageMagick's import. Uses WINEPREFIX when set, else WORK_DIR/prefix.
# The zip is unpacked into WORK_DIR/app, which gets config/usb_dl.exe (the simulated tool), a bench folder,
# the demo package and description. The wine registry is told to be Windows 7, so start-up writes the
# compatibility value, which is read back. Each window gets a screenshot: WORK_DIR/multi.png, single.png.
# "both" also runs tst_multi_window_win.exe when it was built (Window runs only that), and checks the
# folder itself: its file list against README's, tst_delivery_win.exe from inside it (qt.conf, ico
# plugin, window icon) and, when QUOR_SIGN_CERT names the test certificate, every signature.
# "Codepage" runs both windows with the package in a Cyrillic folder and the description in a Chinese
# one, and QUOR_E2E_NARROW_TOOL (tests/win/narrow_tool.cpp, a narrow main) as config/usb_dl.exe in
# front of the simulated tool: the tool must open every -i folder it gets in the ANSI code page.
# "Fleet" (also part of "both" when the folder has the PostgreSQL driver) records a batch of a signed
# package into a PostgreSQL server it starts on this machine, stopped and restarted mid-batch.
# "Dpi" sets LogPixels to 144, then 192, takes a screenshot of each window at each (WORK_DIR/dpi-*.png)
# and runs tst_delivery_win.exe from the folder at each.
# Installed program (tests/win/installer_windows.sh): QUOR_E2E_INSTALLED=<program folder> and WORK_DIR
# the bench folder the installer made; the program starts from its Start-menu shortcut.
# Prints PASS/FAIL lines and ends with "N passed, N failed"; exits non-zero on any failure.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:?usage: $0 WORK_DIR [Multiple|Single|both]}
modes=${2:-both}
# Wine converts names between this system's and the Windows side's encodings through the locale.
[ "$modes" = Codepage ] && export LANG=C.UTF-8 LC_ALL=C.UTF-8
mkdir -p "$work"
work=$(cd "$work" && pwd)

if [ -z "${DISPLAY:-}" ]; then
    # The high-DPI run: a 2880x1800 display, 1920x1200 at 150 %, 1440x900 at 200 %.
    screen=1600x1000
    [ "$modes" = Dpi ] && screen=2880x1800
    exec xvfb-run -a -s "-screen 0 ${screen}x24" "$0" "$work" "$modes"
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
        return 1
    fi
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}
need() { # file
    [ -f "$1" ] && return
    echo "FAIL  $1 is missing: run scripts/build-windows.sh first"
    failed=$((failed + 1))
    finish
}
installed=${QUOR_E2E_INSTALLED:-}
[ -n "$installed" ] || need "$root/dist/quor_download-win64.zip"
need "$root/build-win/bin/usb_dl.exe"
need "$root/build-win/bin/usb_dl_bench.exe"

export WINEPREFIX=${WINEPREFIX:-$work/prefix} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
wine=$(command -v wine || command -v wine64)
if [ ! -d "$WINEPREFIX/drive_c" ]; then
    echo "--- starting a wine prefix in $WINEPREFIX"
    timeout 120 "$wine" cmd /c exit >/dev/null 2>&1
fi
regset() { # key, value name, data
    "$wine" reg add "$1" /v "$2" /d "$3" /f >/dev/null 2>&1
}
# Windows 7 is the range where start-up writes the compatibility value. A fresh wine prefix has no
# Layers key at all, where a Windows installation has one; start-up only opens it, so it is made here.
layers='HKCU\Software\Microsoft\Windows NT\CurrentVersion\AppCompatFlags\Layers'
regset 'HKCU\Software\Wine' Version win7
"$wine" reg add "$layers" /f >/dev/null 2>&1

# The zip as a user gets it, unpacked, plus the simulated tool, the bench and the demo data; or the
# installed program's bench folder.
app=$work/app
prog=$app
if [ -n "$installed" ]; then
    app=$work
    prog=$installed
    shortcut=${QUOR_E2E_SHORTCUT:?the Start-menu shortcut of the installed program}
else
    rm -rf "$app" "$work/unzip"
    mkdir -p "$work/unzip"
    (cd "$work/unzip" && unzip -q "$root/dist/quor_download-win64.zip") && mv "$work/unzip/quor_download-win64" "$app"
    rmdir "$work/unzip"
fi
cp "$root/build-win/bin/usb_dl.exe" "$app/config/usb_dl.exe"
cp "$root/build-win/bin/usb_dl_bench.exe" "$app/"
mkdir -p "$app/bench" "$app/package"
"$root/scripts/make-demo-data.sh" "$app"

winpath() { winepath -w "$1" 2>/dev/null; }
# Both simulated programs load Qt from the program's folder; the tool runs from config/.
export WINEPATH=$(winpath "$prog")
export USB_DL_BENCH=$(winpath "$app/bench") USB_DL_SIM_DELAY_MS=${USB_DL_SIM_DELAY_MS:-40}
# The remembered package and description, where Qt keeps the program's settings on Windows.
remember() { # key, file
    regset 'HKCU\Software\quor_combine\OrganizationDefaults' "$1" "$(winpath "$2")"
}

write_config() { # burn type
    printf '[Burn_Type]\r\nBurn_Type=%s\r\nBurn_Page_Feature=\r\n\r\n[chip]\r\nchip_type=QX9000\r\n\r\n[OS]\r\nOS_type=linux\r\n' \
        "$1" >"$app/config/Board_config.ini"
}
bench() { # usb_dl_bench arguments...
    (cd "$app" && "$wine" usb_dl_bench.exe "$@" 2>&1 | tr -d '\r')
}
wait_for() { # seconds, command...: true once the command is
    local until=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -ge $until ] && return 1
        sleep 0.5
    done
}
# Start: the first of the three buttons spread over the bottom row (geometry of $win read first). A
# click that lands before the window takes input starts nothing (seen once in CI, the program
# started from its Start-menu shortcut): when no unpack has begun 15 s later, it says so, keeps a
# screenshot and clicks once more.
click_start() { # package folder
    local folder=$1
    click $((WIDTH * 235 / 1000)) $((HEIGHT - 45))
    wait_for 15 eval 'test -f "$folder/QuorBurnImage/.quor-package-stamp" ||
        compgen -G "$folder/.QuorBurnImage.unpack-*" >/dev/null' && return
    echo "      Start did not take the click within 15 s; clicking it again"
    import -window root "$work/start-not-taken.png" 2>/dev/null
    click $((WIDTH * 235 / 1000)) $((HEIGHT - 45))
}
count_in() { # file, fixed text: lines holding it
    grep -caF "$2" "$1" 2>/dev/null || true
}
launch_program() { # log name
    if [ -n "$installed" ]; then
        "$wine" start "$(winpath "$shortcut")" >>"$work/program-$1.log" 2>&1
    else
        (cd "$app" && exec "$wine" quor_download.exe >>"$work/program-$1.log" 2>&1) &
        disown
    fi
}
start_program() { # log name, window title; sets win
    : >"$work/program-$1.log"
    launch_program "$1"
    win=$(timeout 90 xdotool search --sync --name "^$2\$" 2>/dev/null | head -n 1)
    [ -n "$win" ] && return
    # Seen once in CI on a loaded machine right after wine was restarted: say what
    # was there instead, then start once more (a window that never shows fails again).
    echo "      \"$2\" did not show within 90 s; windows: $(xdotool search --name . getwindowname %@ 2>/dev/null |
        sort -u | tr '\n' '|'); processes: $(pgrep -c -f quor_download.exe); program output:"
    tr -d '\r' <"$work/program-$1.log" | tail -n 5 | sed 's/^/        /'
    import -window root "$work/no-window-$1.png" 2>/dev/null
    stop_program
    launch_program "$1"
    win=$(timeout 90 xdotool search --sync --name "^$2\$" 2>/dev/null | head -n 1)
    [ -n "$win" ] && echo "      it showed when started again"
    [ -n "$win" ]
}
stop_program() {
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
}
click() { # x, y inside the window
    xdotool mousemove --window "$win" "$1" "$2" click 1
}

# The package's and the description's folders (the Codepage mode moves them).
package=$app/package
single=$app/single
narrow_log=

run_multi() {
    echo "--- multi-board window under wine"
    # The folder as the window passes it: the package's folder as chosen, then "QuorBurnImage/";
    # as calls.log writes it: in double quotes when it holds a blank (an installed bench folder does).
    local image_folder logged_image_folder
    image_folder=$(winpath "$package")\\QuorBurnImage/
    logged_image_folder=$image_folder
    case $image_folder in *" "*) logged_image_folder="\"$image_folder\"" ;; esac
    write_config Multiple
    remember lastPath2 "$package/demo_images.zip"
    rm -f "$app/log_multiplex.txt" "$app/bench/calls.log"
    bench reset >/dev/null
    check "quor_download.exe shows the multi-board window" start_program multi "Multiple Quor Download" ||
        return
    eval "$(xdotool getwindowgeometry --shell "$win")"
    click_start "$package"
    check "Start unpacks the package" wait_for 60 test -f "$package/QuorBurnImage/.quor-package-stamp"
    local delivered=0 said
    for plug in "1 1 ok" "1 2 ok" "1 3 dlfail" "2 1 ok"; do
        # shellcheck disable=SC2086
        said=$(bench plug $plug)
        if grep -q ' delivered$' <<<"$said"; then
            delivered=$((delivered + 1))
        else
            echo "      usb_dl_bench plug $plug said: $(tr '\n' '|' <<<"$said")"
        fi
    done
    check "the bench's four arrivals reach the program through its event channel" test "$delivered" -eq 4
    log=$app/log_multiplex.txt
    check "three boards report success and one failure in log_multiplex.txt" wait_for 90 eval \
        '[ "$(count_in "$log" "] USB download complete")" -eq 3 ] && [ "$(count_in "$log" "] USB download failed")" -eq 1 ]'
    sleep 1
    import -window root "$work/multi.png"
    local p
    # The narrow tool gets the folder by another name (below).
    [ -n "$narrow_log" ] || for p in 1,1 1,2 1,3 2,1; do
        check "the tool got -c QX9000 -s linux -i <image folder> -p $p" \
            grep -qxF -- "-c QX9000 -s linux -i $logged_image_folder -p $p" "$app/bench/calls.log"
    done
    check "every port was logged as connected" test "$(count_in "$log" "USB Port connected:")" -ge 4
    # Started through the shortcut, the program's output goes nowhere.
    [ -n "$installed" ] ||
        check "start-up set the compatibility value" grep -q "Compatibility mode set successfully." "$work/program-multi.log"
    local value
    value=$("$wine" reg query "$layers" 2>/dev/null | tr -d '\r' | grep -iF "$(winpath "$app/config/usb_dl.exe")")
    echo "      registry: $value"
    check "the compatibility value is in the registry for config\\usb_dl.exe" test -n "$value"
    stop_program
    # Every board run is a record in records.sqlite, read back with the Windows quor_records.
    local csv
    csv=$(cd "$app" && "$wine" "$prog/quor_records.exe" export --format csv 2>/dev/null | tr -d '\r')
    echo "$csv" >"$work/records-multi.csv"
    check "records.sqlite holds the four boards: three success, one download_failed" \
        eval '[ "$(grep -c ",multi,.*,success," <<<"$csv")" -eq 3 ] && [ "$(grep -c ",multi,.*,download_failed," <<<"$csv")" -eq 1 ]'
    # A serial is the board's own (the bench names it after the port) or unknown, never another's.
    local level number serial wrong=0
    while read -r level number serial; do
        [ -z "$serial" ] || [ "$serial" = "$(printf 'QB%02x%02x' "'$level" "'$number")" ] || wrong=$((wrong + 1))
    done < <(sed -n 's/^[^,]*,[^,]*,multi,[0-9]*,"\(.\),\(.\)",\([^,]*\),.*/\1 \2 \3/p' <<<"$csv")
    check "no record names the serial of another board" test "$wrong" -eq 0

}

# Records into a PostgreSQL server on this machine (wine programs reach 127.0.0.1): two boards while
# it runs, two while it is stopped, then it comes back; every record must be on it exactly once.
run_fleet() {
    echo "--- multi-board window under wine, recording into a PostgreSQL server"
    if [ ! -f "$prog/sqldrivers/qsqlpsql.dll" ]; then
        echo "      not run: the folder has no PostgreSQL driver (an SDK without its fleet stages)"
        return
    fi
    local pgbin=/usr/lib/postgresql/15/bin pg=$work/pg port
    if [ ! -x "$pgbin/initdb" ]; then
        check "PostgreSQL 15 server programs are installed (Debian package postgresql)" false
        return
    fi
    # The server refuses to run as root: then it runs as nobody, in a folder of its own.
    as_pg() { if [ "$(id -u)" = 0 ]; then setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; else "$@"; fi; }
    pg_up() {
        as_pg "$pgbin/pg_ctl" -D "$pg/data" -l "$pg/log" -w \
            -o "-k $pg -c listen_addresses=127.0.0.1 -p $port -c fsync=off" start >/dev/null
    }
    pg_down() { as_pg "$pgbin/pg_ctl" -D "$pg/data" -m fast stop >/dev/null; }
    on_server() { # sql: its rows
        psql -h 127.0.0.1 -p "$port" -U bench -d postgres -Atc "$1" 2>/dev/null
    }
    rm -rf "$pg"
    mkdir -p "$pg"
    [ "$(id -u)" = 0 ] && chown nobody: "$pg"
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    as_pg "$pgbin/initdb" -D "$pg/data" -A trust -U bench --no-sync -EUTF8 >"$work/initdb.log" 2>&1 &&
        check "a PostgreSQL server listens on 127.0.0.1:$port" pg_up || return

    write_config Multiple
    printf '\r\n[Records]\r\nDatabase=host=127.0.0.1 port=%s dbname=postgres user=bench\r\n' "$port" \
        >>"$app/config/Board_config.ini"
    # With libsodium in the folder the package is signed, and Start must check it (Require=true).
    local package=$app/package/demo_images.zip key_id=""
    rm -f "$package.minisig"
    if compgen -G "$prog/libsodium*.dll" >/dev/null; then
        rm -f "$work/release.key" "$work/release.pub"
        minisign -G -W -p "$work/release.pub" -s "$work/release.key" >/dev/null 2>&1 &&
            minisign -S -s "$work/release.key" -m "$package" -t "fleet release 1" >/dev/null 2>&1
        # minisign's comment drops the id's leading zeros; the program shows all 16 digits.
        key_id=$(sed -n '1s/.* \([0-9A-F]\{1,16\}\)$/\1/p' "$work/release.pub")
        while [ -n "$key_id" ] && [ ${#key_id} -lt 16 ]; do key_id=0$key_id; done
        check "a release key and the package's signature were made (minisign)" test -n "$key_id" -a -f "$package.minisig"
        printf '\r\n[Signing]\r\nTrusted_Keys=%s\r\nRequire=true\r\n' "$(sed -n 2p "$work/release.pub")" \
            >>"$app/config/Board_config.ini"
    else
        echo "      package signature not checked: the folder has no libsodium (an SDK without its libsodium stage)"
    fi
    remember lastPath2 "$package"
    rm -rf "$app/log_multiplex.txt" "$app/bench/calls.log" "$app"/records.sqlite* "$app/package/QuorBurnImage"
    bench reset >/dev/null
    if ! check "quor_download.exe shows the multi-board window" start_program fleet "Multiple Quor Download"; then
        pg_down
        return
    fi
    eval "$(xdotool getwindowgeometry --shell "$win")"
    click_start "$app/package"
    local stamp=$app/package/QuorBurnImage/.quor-package-stamp
    check "Start unpacks the package" wait_for 60 test -f "$stamp"
    [ -z "$key_id" ] || check "the stamp says the package was verified by the release key" grep -qx "signed-by=$key_id" "$stamp"
    local log=$app/log_multiplex.txt
    bench plug 1 1 ok >/dev/null
    bench plug 1 2 ok >/dev/null
    check "the first two records reach the server" wait_for 90 eval '[ "$(on_server "SELECT count(*) FROM records")" = 2 ]'
    pg_down
    bench plug 1 3 ok >/dev/null
    bench plug 2 1 dlfail >/dev/null
    check "two more boards end while the server is down" wait_for 90 eval \
        '[ "$(count_in "$log" "] USB download complete")" -eq 3 ] && [ "$(count_in "$log" "] USB download failed")" -eq 1 ]'
    sleep 2
    import -window root "$work/fleet-queued.png"
    check "the server came back" pg_up
    check "the queued records reach the server once it is back" \
        wait_for 60 eval '[ "$(on_server "SELECT count(*) FROM records")" = 4 ]'
    sleep 6 # a sender that sent twice would have done so by now
    stop_program
    local rows
    rows=$(on_server "SELECT count(*), count(DISTINCT id), sum((result = 'success')::int),
        sum((result = 'download_failed')::int), count(*) FILTER (WHERE signed_by = '$key_id') FROM records")
    echo "      on the server: $rows (records, distinct ids, success, download_failed, signed by '$key_id')"
    check "the server holds every board exactly once: three success, one download_failed" test "${rows%|*}" = "4|4|3|1"
    [ -z "$key_id" ] || check "every record on the server names the release key" test "${rows##*|}" = 4
    # The Windows reader reads the same four back from the server.
    local csv
    csv=$(cd "$app" && "$wine" "$prog/quor_records.exe" export --format csv \
        --database "host=127.0.0.1 port=$port dbname=postgres user=bench" 2>/dev/null | tr -d '\r')
    echo "$csv" >"$work/records-fleet.csv"
    check "quor_records.exe reads the four records back from the server" \
        test "$(grep -c ",multi," <<<"$csv")" -eq 4
    pg_down
}

run_single() {
    echo "--- single-board window under wine"
    write_config Single
    remember lastPath "$single/board.xml"
    rm -f "$app/log_singel.txt" "$app/bench/calls.log"
    bench single ok >/dev/null
    check "quor_download.exe shows the single-board window" start_program single "Single Quor Download" ||
        return
    eval "$(xdotool getwindowgeometry --shell "$win")"
    sleep 2
    # Download: right-hand column, the remembered description is already in the table.
    click $((WIDTH - 65)) $((HEIGHT * 697 / 1000))
    check "the board is burned (log_singel.txt)" wait_for 90 grep -qaF "USB download complete" "$app/log_singel.txt"
    sleep 1.5
    import -window root "$work/single.png"
    check "the tool got one download without a port, from the staging folder" \
        eval '[ "$(grep -c -- "^-c QX9000 -s linux -i " "$app/bench/calls.log")" -eq 1 ] && ! grep -q -- " -p " "$app/bench/calls.log"'
    check "the staging folder holds the description's images" test -s "$single/downloadImageFile/boot.img" -o \
        -n "$(find "$app" -path '*downloadImageFile*' -name boot.img -size +0 2>/dev/null)"
    stop_program
}

# The multi-board window test on the Windows device source, when it was built (scripts/build-windows.sh
# --tests): it needs the windows platform plugin and this display. Its DLLs are the program's.
run_window_test() {
    run_in_folder tst_multi_window_win "$root/build-win/bin/usb_dl.exe"
}

# Runs a Qt test program of build-win/bin from inside the program folder (its DLLs are the
# program's) with the extra files given, and counts its results; absent when not built (--tests).
run_in_folder() { # name, extra files...
    local name=$1 test=$root/build-win/bin/$1.exe log=$work/$1.txt line
    shift
    [ -f "$test" ] || return 0
    echo "--- $name.exe under wine"
    cp "$test" "$@" "${QUOR_WIN_SDK:-$HOME/.cache/quor-win-sdk}/qt/bin/Qt5Test.dll" "$app/"
    rm -f "$log"
    (cd "$app" && timeout 300 "$wine" "$name.exe" -o "$(winpath "$log"),txt" >/dev/null 2>&1)
    while read -r line; do
        case $line in
        PASS*) check "${line#PASS   : }" true ;;
        FAIL!*) check "${line#FAIL!  : }" false ;;
        esac
    done < <(tr -d '\r' <"$log" 2>/dev/null | grep -aE '^(PASS   :|FAIL!  :)' | grep -v 'TestCase()')
    tr -d '\r' <"$log" 2>/dev/null | grep -aE '^(QINFO|   (Actual|Expected|Loc))' | sed 's/^/      /' | head -12
    check "$name.exe ran to its end" grep -aq '^Totals:' "$log"
    rm -f "$app/$name.exe" "$app/Qt5Test.dll"
    local extra
    for extra in "$@"; do
        rm -f "$app/$(basename "$extra")"
    done
}

# The folder as shipped: exactly README's file list, Qt's plugins from inside it and the window icon
# (tst_delivery_win.exe run from there), and every signature.
check_folder() {
    echo "--- the shipped folder"
    local listed
    # The fleet database's and the signatures' files are there when the SDK had them.
    local fleet='^$' signatures='^$'
    [ -f "$app/sqldrivers/qsqlpsql.dll" ] || fleet='fleet database'
    compgen -G "$app/libsodium*.dll" >/dev/null || signatures='release signatures'
    listed=$(sed -n '/^<!-- windows-folder -->$/,/^<!-- \/windows-folder -->$/p' "$root/README.md" |
        grep -v "$fleet" | grep -v "$signatures" | sed -n 's/^quor_download-win64\/\([^ ]*\).*/\1/p' | sort)
    check "the folder holds exactly the files README lists" \
        diff <(echo "$listed") <(cd "$app" && find . -type f ! -path ./config/usb_dl.exe ! -name usb_dl_bench.exe \
            ! -path './bench/*' ! -path './package/*' ! -path './single/*' | sed 's|^\./||' | sort)
    run_in_folder tst_delivery_win
    if [ -n "${QUOR_SIGN_CERT:-}" ]; then
        local file bad=() count=0
        while read -r file; do
            count=$((count + 1))
            osslsigncode verify -CAfile "$QUOR_SIGN_CERT" -in "$file" >/dev/null 2>&1 || bad+=("${file#"$app"/}")
        done < <(find "$app" \( -name '*.exe' -o -name '*.dll' \) ! -path '*/config/usb_dl.exe' ! -name usb_dl_bench.exe)
        echo "      signatures: $count files${bad[*]:+; not verified: ${bad[*]}}"
        check "every .exe and .dll of the folder carries a verified signature" test "${#bad[@]}" -eq 0 -a "$count" -gt 0
    else
        echo "      signatures not checked: no test certificate (QUOR_SIGN_CERT)"
    fi
}

# Folders named in Cyrillic and Chinese, and a tool that reads its arguments in the ANSI code page
# (1252 under wine, which has neither script): it opens each -i folder by the name it gets.
run_codepage() {
    local narrow=${QUOR_E2E_NARROW_TOOL:-}
    if [ ! -f "$narrow" ]; then
        check "QUOR_E2E_NARROW_TOOL names the narrow tool (tests/win/narrow_tool.cpp)" false
        return
    fi
    mv "$app/config/usb_dl.exe" "$app/config/usb_dl_sim.exe"
    cp "$narrow" "$app/config/usb_dl.exe"
    narrow_log=$app/config/narrow.log
    rm -f "$narrow_log"
    rm -rf "$app/Пакет" "$app/固件"
    mv "$app/package" "$app/Пакет"
    mv "$app/single" "$app/固件"
    package=$app/Пакет
    single=$app/固件
    run_multi
    local opened
    opened=$(grep -c ': opened' "$narrow_log" 2>/dev/null)
    check "the narrow tool opened the image folder (Cyrillic) in all four downloads of the multi-board window" \
        test "$opened" -eq 4
    run_single
    check "the narrow tool opened the staging folder (Chinese) in the single-board window" \
        test "$(grep -c ': opened' "$narrow_log" 2>/dev/null)" -eq $((opened + 1))
    echo "      the narrow tool saw:"
    sed 's/^/        /' "$narrow_log" 2>/dev/null
    check "the narrow tool never failed to open its -i folder" eval '! grep -q "NOT opened" "$narrow_log"'
}

# The display at 144 and 192 DPI (150 and 200 %): a screenshot of each window, and
# tst_delivery_win.exe checks that Qt scales them and nothing clips its text.
run_dpi() {
    local dpi which title
    remember lastPath2 "$package/demo_images.zip"
    remember lastPath "$single/board.xml"
    for dpi in 144 192; do
        stop_program
        "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
        echo "--- the windows at $dpi DPI"
        for which in Default:"Quor Download tool Selection" Single:"Single Quor Download" Multiple:"Multiple Quor Download"; do
            title=${which#*:}
            write_config "${which%%:*}"
            check "$title shows at $dpi DPI" start_program "dpi-$dpi" "$title" || continue
            sleep 3
            import -window root "$work/dpi-$dpi-${which%%:*}.png"
            stop_program
        done
        write_config Default
        run_in_folder tst_delivery_win
        mv "$work/tst_delivery_win.txt" "$work/tst_delivery_win-$dpi.txt" 2>/dev/null
    done
    stop_program
    "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1
}

case $modes in
Window) run_window_test ;;
Dpi) run_dpi ;;
Codepage) run_codepage ;;
Multiple) run_multi ;;
Single) run_single ;;
Fleet) run_fleet ;;
*)
    if [ -z "$installed" ]; then
        check_folder
        run_window_test
    fi
    run_multi
    run_single
    run_fleet
    ;;
esac
echo "      screenshots: $(ls "$work"/*.png 2>/dev/null | tr '\n' ' ')"
finish
