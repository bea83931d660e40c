#!/usr/bin/env bash
# Installs what is missing, builds, prepares the working folder run/ and starts the program there on the
# simulated bench. Without a display it runs under Xvfb, plays a scripted bench session, saves a screenshot
# and says where it is.
#   QUOR_MODE=Multiple (default) | Single | Default   burn mode written to run/config/Board_config.ini
#   QUOR_DEMO=0                                        start the program only, no scripted plugs
#   QUOR_TARGET=windows                                the Windows program under wine instead: builds the
#       Windows SDK once if missing (about an hour), then the program and its installer, installs it
#       silently into the wine prefix run-win/prefix and plays both windows (or the one QUOR_MODE
#       names) from the installed program, started by its Start-menu shortcut in the bench folder,
#       with checks; screenshots multi.png and single.png in the bench folder
# Every board run is recorded in run/records.sqlite; at the end the demo prints `quor_records summary`.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
mode=${QUOR_MODE:-Multiple}
work=$root/run

if [ "${QUOR_TARGET:-linux}" = windows ]; then
    scripts/install-deps.sh
    sdk=${QUOR_WIN_SDK:-$HOME/.cache/quor-win-sdk}
    if [ ! -f "$sdk/.complete" ]; then
        echo "No Windows SDK in $sdk yet: building it once (about an hour)."
        scripts/build-win-sdk.sh
    fi
    scripts/build-windows.sh
    export WINEPREFIX=$root/run-win/prefix
    case ${QUOR_MODE:-both} in
    Multiple | Single) exec tests/win/installer_windows.sh --demo "$root/run-win" "$QUOR_MODE" ;;
    *) exec tests/win/installer_windows.sh --demo "$root/run-win" both ;;
    esac
fi

if [ "${1:-}" != "--inside-display" ]; then
    scripts/install-deps.sh
    launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
    cmake --build build -j"$(nproc)" --target quor_download quor_records usb_dl usb_dl_bench

    # A fresh working folder: config/ with the settings file and the simulated tool, the bench state,
    # a demo image package and a sample partition description, and settings kept apart from the user's.
    rm -rf "$work"
    mkdir -p "$work/config" "$work/bench" "$work/settings" "$work/package"
    cat > "$work/config/Board_config.ini" <<INI
[Burn_Type]
Burn_Type=$mode
Burn_Page_Feature=

[chip]
chip_type=QX9000

[OS]
OS_type=linux
INI
    cp build/bin/usb_dl "$work/config/usb_dl.exe"
    scripts/make-demo-data.sh "$work"
    cat > "$work/settings/quor_combine.conf" <<CONF
[General]
lastPath2=$work/package/demo_images.zip
lastPath=$work/single/board.xml
CONF

    if [ -z "${DISPLAY:-}" ]; then
        echo "No display: running under Xvfb."
        exec xvfb-run -a -s "-screen 0 1600x1000x24" "$0" --inside-display
    fi
fi

export USB_DL_BENCH=$work/bench
export XDG_CONFIG_HOME=$work/settings
export USB_DL_SIM_DELAY_MS=${USB_DL_SIM_DELAY_MS:-60}
bench=$root/build/bin/usb_dl_bench
headless=0
[ "${1:-}" = "--inside-display" ] && headless=1

cd "$work"
"$root/build/bin/quor_download" > "$work/program.log" 2>&1 &
program=$!
trap 'kill $program 2>/dev/null || true' EXIT

window_title() {
    case "$mode" in
        Multiple) echo "Multiple Quor Download" ;;
        Single) echo "Single Quor Download" ;;
        *) echo "Quor Download tool Selection" ;;
    esac
}
win=$(timeout 30 xdotool search --sync --name "^$(window_title)\$" | head -n 1)
echo "Program started in $work (window $win), bench state in $work/bench."

if [ "${QUOR_DEMO:-1}" != "0" ] && [ "$mode" = "Multiple" ]; then
    # Press Start: the first of the three buttons evenly spread over the bottom row.
    eval "$(xdotool getwindowgeometry --shell "$win")"
    xdotool mousemove --window "$win" $((WIDTH * 235 / 1000)) $((HEIGHT - 45)) click 1
    sleep 3
    # Six boards, plugged one after another; the one on port 2,2 fails.
    for plug in "1 1 ok" "1 2 ok" "1 3 slow" "1 4 ok" "2 1 ok" "2 2 dlfail"; do
        # shellcheck disable=SC2086
        "$bench" plug $plug
        sleep 0.7
    done
    sleep 6
elif [ "${QUOR_DEMO:-1}" != "0" ] && [ "$mode" = "Single" ]; then
    # The remembered description file is already in the table: press Download with an "ok" board.
    "$bench" single ok
    eval "$(xdotool getwindowgeometry --shell "$win")"
    xdotool mousemove --window "$win" $((WIDTH - 65)) $((HEIGHT * 697 / 1000)) click 1
    sleep 6
fi

if [ "$headless" = 1 ]; then
    sleep 2
    import -window root "$work/screenshot.png"
    echo "Screenshot saved: $work/screenshot.png"
    echo "Program output: $work/program.log; run logs: $work/log_multiplex.txt, $work/log_singel.txt"
    kill "$program" 2>/dev/null || true
    wait "$program" 2>/dev/null || true
else
    echo "Close the window to end. Drive the bench from another terminal, e.g.:"
    echo "  USB_DL_BENCH=$work/bench $bench plug 2 3 ok"
    wait "$program" || true
fi

# The production records of this session (boards still burning at the end are not finished runs).
if [ -f "$work/records.sqlite" ]; then
    echo "Records: $work/records.sqlite"
    "$root/build/bin/quor_records" --database "$work/records.sqlite" summary
fi
