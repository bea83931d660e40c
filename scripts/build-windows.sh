#!/usr/bin/env bash
# Cross-builds the whole program for 64-bit Windows and lays out a folder to copy to a bench PC.
#   scripts/build-windows.sh [--tests] [--no-dist]
#
# Needs the SDK from scripts/build-win-sdk.sh: QUOR_WIN_SDK, by default ~/.cache/quor-win-sdk.
# Builds into build-win (warnings are errors): build-win/bin/quor_download.exe, usb_dl.exe and
# usb_dl_bench.exe; with --tests also the test programs that run on Windows. -O2, not -O3: at -O3
# mingw-w64's GCC 12 warns falsely (stringop-overflow) inside Qt's string builder.
# Then, unless --no-dist:
#   dist/quor_download-win64/       the program and quor_records.exe, the Qt, libarchive, SQLite and
#                                   compiler runtime DLLs they load, qt.conf (Qt's plugins come from
#                                   this folder only), platforms/ (qwindows; qoffscreen and qminimal
#                                   for headless runs), styles/, imageformats/ (qico: the window icon),
#                                   sqldrivers/ (qsqlite; qsqlpsql with libpq and OpenSSL when
#                                   the SDK has them) and config/Board_config.ini (a sample);
#                                   README.md lists every file
#   dist/quor_download-win64.zip    the same folder zipped
#   dist/quor_download-setup.exe    the installer (scripts/make-installer.sh, needs makensis)
# Every .exe and .dll, the installer and its uninstaller are signed when a certificate is configured
# (QUOR_SIGN_* variables, see scripts/sign-windows.sh); otherwise they stay unsigned, said so.
# The simulated tool is not part of it: config/usb_dl.exe must be the real download tool.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

tests=OFF
dist=1
for arg in "$@"; do
    case $arg in
    --tests) tests=ON ;;
    --no-dist) dist=0 ;;
    *)
        echo "usage: $0 [--tests] [--no-dist]" >&2
        exit 2
        ;;
    esac
done

SDK=${QUOR_WIN_SDK:-$HOME/.cache/quor-win-sdk}
if [ ! -f "$SDK/.complete" ]; then
    echo "ERROR: no finished Windows SDK in $SDK ($SDK/.complete is missing)." >&2
    echo "       Build it once with scripts/build-win-sdk.sh (about an hour), or set QUOR_WIN_SDK." >&2
    exit 1
fi
SDK=$(cd "$SDK" && pwd)
export QUOR_WIN_SDK=$SDK
triplet=x86_64-w64-mingw32
build=$root/build-win
jobs=${QUOR_JOBS:-$(nproc)}

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

mkdir -p "$build"
echo "--- configuring $build (SDK $SDK)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DQUOR_WIN_SDK="$SDK" -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
    -DQUOR_WERROR=ON -DQUOR_BUILD_BENCH=OFF \
    -DQUOR_BUILD_TESTS=$tests "${launcher[@]}" >"$build/configure.log" 2>&1 ||
    {
        tail -30 "$build/configure.log"
        exit 1
    }
targets=(quor_download quor_records usb_dl usb_dl_bench)
[ "$tests" = ON ] && targets+=(quor_win_tests)
echo "--- building ${targets[*]}"
nice cmake --build "$build" -j"$jobs" --target "${targets[@]}"

[ "$dist" -eq 1 ] || exit 0

out=$root/dist/quor_download-win64
echo "--- laying out $out"
rm -rf "$out" "$out.zip" "$root/dist/quor_download-setup.exe"
mkdir -p "$out/platforms" "$out/styles" "$out/imageformats" "$out/sqldrivers" "$out/config"
cp "$build/bin/quor_download.exe" "$build/bin/quor_records.exe" "$out/"
cp "$SDK/qt/plugins/platforms/"{qwindows,qoffscreen,qminimal}.dll "$out/platforms/"
cp "$SDK/qt/plugins/styles/qwindowsvistastyle.dll" "$out/styles/"
# The windows' icon is an .ico file: without this plugin they and the taskbar show none.
cp "$SDK/qt/plugins/imageformats/qico.dll" "$out/imageformats/"
# Records go to SQLite, and to a fleet database through the PostgreSQL driver (with libpq and OpenSSL,
# found below), which an SDK built before it was added lacks.
cp "$SDK/qt/plugins/sqldrivers/qsqlite.dll" "$out/sqldrivers/"
if [ -f "$SDK/qt/plugins/sqldrivers/qsqlpsql.dll" ]; then
    cp "$SDK/qt/plugins/sqldrivers/qsqlpsql.dll" "$out/sqldrivers/"
else
    echo "NOTE: no PostgreSQL driver in the SDK (scripts/build-win-sdk.sh adds it): records stay in SQLite only"
fi

# Every DLL the program and its plugins load, found by following the import tables through the
# SDK's folders; system DLLs (not found there) stay out.
search=("$SDK/bin" "$SDK/qt/bin")
declare -A seen=()
queue=("$out/quor_download.exe" "$out/quor_records.exe" "$out"/platforms/*.dll "$out"/styles/*.dll
    "$out"/imageformats/*.dll "$out"/sqldrivers/*.dll)
while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    while read -r dll; do
        key=${dll,,}
        [ -n "${seen[$key]:-}" ] && continue
        seen[$key]=1
        for dir in "${search[@]}"; do
            found=$(find "$dir" -maxdepth 1 -iname "$dll" -print -quit)
            if [ -n "$found" ]; then
                cp "$found" "$out/"
                queue+=("$out/$(basename "$found")")
                break
            fi
        done
    done < <($triplet-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p')
done

# The compiler's runtime DLLs and the program come with symbols: stripped here they are a tenth the size.
for file in "$out/quor_download.exe" "$out/quor_records.exe" "$out"/lib{gcc_s_seh-1,stdc++-6,winpthread-1}.dll; do
    [ -f "$file" ] && $triplet-strip --strip-unneeded "$file"
done

# Qt's plugins come from this folder alone, never from the folder Qt was built for or from
# another Qt program's folder named in the environment.
printf '[Paths]\r\nPrefix = .\r\nPlugins = .\r\n' >"$out/qt.conf"

cat >"$out/config/Board_config.ini" <<'INI'
[Burn_Type]
; Single, Multiple, or Default (any other value too) for the mode selection window; exact case
Burn_Type=Default
; Only_Burn, Only_Burn_USB, Only_Burn_Emmc, Only_Burn_NAND or Only_TFTP strip the single-board window
Burn_Page_Feature=

[chip]
chip_type=QX9000

[OS]
OS_type=linux
INI
# Windows readers expect CRLF line ends in a text file they may open.
sed -i 's/$/\r/' "$out/config/Board_config.ini"
cat >"$out/config/README.txt" <<'TXT'
Put the download tool here as usb_dl.exe, beside Board_config.ini.
Start quor_download.exe from the folder that holds this config folder.
TXT
sed -i 's/$/\r/' "$out/config/README.txt"

"$root/scripts/sign-windows.sh" $(find "$out" -name '*.exe' -o -name '*.dll' | sort)

(cd "$root/dist" && rm -f quor_download-win64.zip && zip -qr9 quor_download-win64.zip quor_download-win64)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
"$root/scripts/make-installer.sh" "$out" "$version" "$root/dist/quor_download-setup.exe"
echo "--- $out: $(du -sh "$out" | cut -f1), $(find "$out" -type f | wc -l) files;" \
    "$(basename "$out").zip: $(du -h "$out.zip" | cut -f1); quor_download-setup.exe:" \
    "$(du -h "$root/dist/quor_download-setup.exe" | cut -f1)"
