#!/usr/bin/env bash
# Builds the Windows SDK the cross build links against: Qt 5 (qtbase), SQLite and libarchive for
# x86_64 mingw-w64 (posix thread model), all from Debian 12 source packages; then libsodium for
# release signatures and, for the fleet database, OpenSSL, libpq (PostgreSQL's client library) and
# Qt's PostgreSQL driver.
#   scripts/build-win-sdk.sh
# Target folder: ${QUOR_WIN_SDK:-$HOME/.cache/quor-win-sdk}. Built once per machine: each finished
# stage leaves a stamp in <SDK>/.stamps and is skipped next time, so a failed run resumes where it
# stopped; <SDK>/.complete marks the finished SDK. An SDK finished before a stage was added gets just
# the new stages: completion is every stage's stamp, not the mark alone. Output of the build steps: <SDK>/logs/<stage>.log.
# Nothing is downloaded but Debian packages and source packages, through apt. The source packages
# come through a private apt configuration (deb-src lines for the machine's bookworm mirrors), so
# /etc/apt is left alone. QUOR_WIN_SDK_KEEP_WORK=1 keeps the sources and build trees at the end.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
SDK=${QUOR_WIN_SDK:-$HOME/.cache/quor-win-sdk}
mkdir -p "$SDK"
SDK=$(cd "$SDK" && pwd)
export QUOR_WIN_SDK=$SDK # read by cmake/mingw-w64-x86_64.cmake
triplet=x86_64-w64-mingw32
mingw_root=/usr/$triplet
toolchain=$root/cmake/mingw-w64-x86_64.cmake
jobs=${QUOR_WIN_SDK_JOBS:-$(nproc)}
stamps=$SDK/.stamps
logs=$SDK/logs
work=$SDK/work
start=$SECONDS

all_stages=(fetch toolbin sqlite qt-configure qt-build qt-install libarchive runtime check
    libsodium fetch-fleet openssl libpq qt-psql)
missing_stages() {
    local name
    for name in "${all_stages[@]}"; do
        [ -f "$stamps/$name" ] || echo "$name"
    done
}
if [ -f "$SDK/.complete" ] && [ -z "$(missing_stages)" ]; then
    echo "[sdk] already complete: $SDK (delete $SDK/.complete and a stamp in $stamps to rebuild a stage)"
    exit 0
fi
mkdir -p "$stamps" "$logs" "$work" "$SDK/bin" "$SDK/lib" "$SDK/include"

fmt() { # seconds
    printf '%dm%02ds' $(($1 / 60)) $(($1 % 60))
}

die() {
    echo "[sdk] ERROR: $*" >&2
    exit 1
}

# Runs a command with its output appended to the stage's log; on failure shows the log's tail.
logrun() { # log name, command...
    local log=$logs/$1.log
    shift
    echo "+ $*" >>"$log"
    if ! "$@" >>"$log" 2>&1; then
        echo "[sdk] FAILED: $*" >&2
        tail -n 40 "$log" | sed 's/^/    /' >&2
        die "see $log"
    fi
}

stage() { # name, description, function
    local name=$1 what=$2 fn=$3
    if [ -f "$stamps/$name" ]; then
        echo "[sdk] stage: $name: done before ($(fmt "$(cat "$stamps/$name")")), skipped"
        return
    fi
    echo "[sdk] stage: $name: $what ... (at +$(fmt $((SECONDS - start))))"
    local t0=$SECONDS
    : >"$logs/$name.log"
    "$fn"
    local took=$((SECONDS - t0))
    echo "$took" >"$stamps/$name"
    echo "[sdk] stage: $name: done in $(fmt "$took")"
}

# ---------------------------------------------------------------------------------------------
# Debian packages needed to build (checked on every run; the missing ones are installed).
packages=(
    gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    mingw-w64-tools libz-mingw-w64-dev
    gcc g++ make cmake ninja-build perl python3 # host compilers: qmake, moc, uic, rcc
    dpkg-dev xz-utils                           # apt-get source unpacks with dpkg-source
    tcl                                         # generates the SQLite amalgamation
    autoconf automake libtool                   # libsodium's source package has no configure script
)

install_packages() {
    local missing=() p
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return
    echo "[sdk] missing Debian package(s): ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null ||
            die "not root and no sudo: install the Debian package(s) ${missing[*]} (apt-get install ${missing[*]}) and run again"
        sudo=(sudo)
    fi
    local log=$logs/packages.log
    if ! DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}" >>"$log" 2>&1; then
        "${sudo[@]}" apt-get update >>"$log" 2>&1 || true
        if ! DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}" >>"$log" 2>&1; then
            for p in "${missing[@]}"; do
                apt-cache policy "$p" 2>/dev/null | grep -q 'Candidate: [0-9]' ||
                    echo "[sdk] Debian package '$p' is not available from the configured apt sources" >&2
            done
            tail -n 20 "$log" | sed 's/^/    /' >&2
            die "could not install the Debian package(s) ${missing[*]} (apt-get install ${missing[*]}); see $log"
        fi
    fi
}

# ---------------------------------------------------------------------------------------------
# Stage: source packages.

# Prints "URI SUITE SIGNED-BY" for every enabled binary source of the machine, from both the
# one-line (.list) and the deb822 (.sources) formats. SIGNED-BY is "-" when not given as a file.
system_mirrors() {
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk '{ sub(/#.*/, "") }
            $1 == "deb" {
                i = 2; key = "-"
                if ($2 ~ /^\[/) {
                    for (; i <= NF; i++) {
                        if ($i ~ /signed-by=/) { key = $i; sub(/.*signed-by=/, "", key); sub(/\]$/, "", key) }
                        if ($i ~ /\]$/) { i++; break }
                    }
                }
                if (i + 1 <= NF) print $i, $(i + 1), key
            }' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk 'function flush(  n, m, u, s, uris, suites) {
                if (types ~ /(^| )deb( |$)/ && tolower(enabled) != "no") {
                    n = split(uri, uris, " "); m = split(suite, suites, " ")
                    for (u = 1; u <= n; u++) for (s = 1; s <= m; s++) print uris[u], suites[s], (key ~ /^\// ? key : "-")
                }
                types = uri = suite = enabled = ""; key = "-"; last = ""
            }
            BEGIN { key = "-" }
            /^#/ { next }
            /^[ \t]*$/ { flush(); next }
            /^[ \t]/ { if (last == "uris") uri = uri " " $0; else if (last == "suites") suite = suite " " $0; next }
            {
                name = tolower($0); sub(/:.*/, "", name); value = $0; sub(/^[^:]*:[ \t]*/, "", value)
                last = name
                if (name == "types") types = value
                else if (name == "uris") uri = value
                else if (name == "suites") suite = value
                else if (name == "enabled") enabled = value
                else if (name == "signed-by") key = value
            }
            END { flush() }' "$f"
    done
}

# deb-src lines for Debian 12: the machine's bookworm mirrors (main, updates, security), else the
# official mirror.
deb_src_lines() {
    local uri suite key seen_main=0
    while read -r uri suite key; do
        case $suite in
        bookworm | bookworm-updates | bookworm-security) ;;
        *) continue ;;
        esac
        [ "$suite" = bookworm ] && seen_main=1
        if [ "$key" != - ] && [ -f "$key" ]; then
            echo "deb-src [signed-by=$key] $uri $suite main"
        else
            echo "deb-src $uri $suite main"
        fi
    done < <(system_mirrors | sort -u)
    if [ $seen_main -eq 0 ]; then
        local key=/usr/share/keyrings/debian-archive-keyring.gpg
        if [ -f "$key" ]; then
            echo "deb-src [signed-by=$key] http://deb.debian.org/debian bookworm main"
        else
            echo "deb-src http://deb.debian.org/debian bookworm main"
        fi
    fi
}

src_packages=(qtbase-opensource-src libarchive sqlite3)

srcdir() { # source package name: its unpacked tree under $work/src
    local d
    for d in "$work/src/$1"-[0-9]*; do
        [ -d "$d" ] && {
            echo "$d"
            return
        }
    done
    die "no unpacked source of $1 in $work/src (delete $stamps/fetch and run again)"
}

stage_fetch() {
    fetch_sources fetch "$work/src" "${src_packages[@]}"
}

fetch_sources() { # log name, destination folder, source packages...
    local log=$1 dest=$2 tmp
    shift 2
    tmp=$(mktemp -d)
    # shellcheck disable=SC2064
    trap "rm -rf '$tmp'" EXIT
    mkdir -p "$tmp/lists/partial" "$tmp/cache/archives/partial"
    deb_src_lines >"$tmp/sources.list"
    sed 's/^/[sdk]   /' "$tmp/sources.list"
    local apt=(apt-get -o "Dir::Etc::SourceList=$tmp/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$tmp/lists" -o "Dir::Cache=$tmp/cache")
    # apt hands downloads to its own user, which cannot write the private folders.
    [ "$(id -u)" -eq 0 ] && apt+=(-o APT::Sandbox::User=root)
    logrun "$log" "${apt[@]}" update
    rm -rf "$dest"
    mkdir -p "$dest"
    # Each package in its newest version; when a mirror lacks that one's files (a security update
    # not mirrored yet), the next older version it lists.
    local pkg version ok
    for pkg in "$@"; do
        ok=0
        for version in "" $("${apt[@]/#apt-get/apt-cache}" showsrc "$pkg" 2>/dev/null | sed -n 's/^Version: //p' |
            sort -u | sort -rV); do
            if (cd "$dest" && "${apt[@]}" source "$pkg${version:+=$version}" >>"$logs/$log.log" 2>&1); then
                ok=1
                break
            fi
            echo "[sdk]   $pkg${version:+ $version}: not fetched, trying an older version" | tee -a "$logs/$log.log"
            rm -rf "$dest/$pkg"_* "$dest/$pkg"-[0-9]*
        done
        [ "$ok" -eq 1 ] || die "could not fetch the source package $pkg (see $logs/$log.log)"
    done
    local p d
    for p in "$@"; do
        for d in "$dest/$p"-[0-9]*; do
            [ -d "$d" ] && echo "[sdk]   $(basename "$d")"
        done
    done
    rm -rf "$tmp"
    trap - EXIT
}

# ---------------------------------------------------------------------------------------------
# Stage: tool folder. Qt's win32-g++ platform files call x86_64-w64-mingw32-gcc/-g++; here they are the
# posix-thread compilers whatever the system alternatives say.
stage_toolbin() {
    local bin=$SDK/toolbin f name
    rm -rf "$bin"
    mkdir -p "$bin"
    [ -x "/usr/bin/$triplet-gcc-posix" ] ||
        die "the posix-thread mingw-w64 compilers are missing (Debian packages gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix)"
    [ -x "/usr/bin/$triplet-g++-posix" ] ||
        die "the posix-thread mingw-w64 C++ compiler is missing (Debian package g++-mingw-w64-x86-64-posix)"
    for f in "/usr/bin/$triplet"-*; do
        name=$(basename "$f")
        case $name in
        *-posix) ln -sfn "$f" "$bin/${name%-posix}" ;;
        *-win32) ;;
        *) [ -e "$bin/$name" ] || ln -s "$f" "$bin/$name" ;;
        esac
    done
    # Plain names that are alternatives must still end at the posix variant.
    for name in gcc g++ c++ cpp gcc-ar gcc-nm gcc-ranlib gcov gcov-dump gcov-tool; do
        [ -e "/usr/bin/$triplet-$name-posix" ] && ln -sfn "/usr/bin/$triplet-$name-posix" "$bin/$triplet-$name"
    done
    "$bin/$triplet-g++" -v 2>&1 | grep -q 'Thread model: posix' ||
        die "$bin/$triplet-g++ is not the posix-thread compiler"
}

export PATH=$SDK/toolbin:$PATH

# ---------------------------------------------------------------------------------------------
# Stage: SQLite as libsqlite3-0.dll with its import library, compiled from the amalgamation
# (generated from Debian's source tree with a native configure when the tree has none).
sqlite_defines=(
    -DNDEBUG -DSQLITE_THREADSAFE=1 -DSQLITE_DEFAULT_FOREIGN_KEYS=0
    -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_DBSTAT_VTAB -DSQLITE_ENABLE_FTS3
    -DSQLITE_ENABLE_FTS3_PARENTHESIS -DSQLITE_ENABLE_FTS4 -DSQLITE_ENABLE_FTS5 -DSQLITE_ENABLE_RTREE
    -DSQLITE_ENABLE_UNLOCK_NOTIFY -DSQLITE_ENABLE_MATH_FUNCTIONS -DSQLITE_SECURE_DELETE
    -DSQLITE_MAX_SCHEMA_RETRY=25 -DSQLITE_MAX_VARIABLE_NUMBER=250000
)

stage_sqlite() {
    local src build=$work/sqlite-build amalg
    src=$(srcdir sqlite3)
    rm -rf "$build"
    mkdir -p "$build"
    amalg=$(find "$src" -maxdepth 2 -name sqlite3.c -print -quit)
    if [ -z "$amalg" ]; then
        (cd "$build" && logrun sqlite "$src/configure" --disable-tcl --disable-readline --disable-shared &&
            logrun sqlite make sqlite3.c)
        amalg=$build/sqlite3.c
    fi
    local dir
    dir=$(dirname "$amalg")
    [ -f "$dir/sqlite3.h" ] || die "no sqlite3.h beside $amalg"
    logrun sqlite $triplet-gcc -O2 "${sqlite_defines[@]}" -c "$amalg" -o "$build/sqlite3.o"
    logrun sqlite $triplet-gcc -shared -static-libgcc -o "$SDK/bin/libsqlite3-0.dll" "$build/sqlite3.o" \
        -Wl,--out-implib,"$SDK/lib/libsqlite3.dll.a"
    logrun sqlite $triplet-strip --strip-unneeded "$SDK/bin/libsqlite3-0.dll"
    cp "$dir/sqlite3.h" "$SDK/include/"
    [ -f "$dir/sqlite3ext.h" ] && cp "$dir/sqlite3ext.h" "$SDK/include/"
    local version
    version=$(sed -n 's/^#define SQLITE_VERSION[ \t]*"\(.*\)"/\1/p' "$dir/sqlite3.h")
    mkdir -p "$SDK/lib/pkgconfig"
    cat >"$SDK/lib/pkgconfig/sqlite3.pc" <<EOF
prefix=$SDK
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: SQLite
Description: SQL database engine
Version: $version
Libs: -L\${libdir} -lsqlite3
Cflags: -I\${includedir}
EOF
    echo "[sdk]   SQLite $version"
}

# ---------------------------------------------------------------------------------------------
# Stages: Qt (qtbase), shared release build with Linux host tools.
qt_flags=(
    -xplatform win32-g++ -device-option "CROSS_COMPILE=$triplet-"
    -prefix "$SDK/qt"
    -opensource -confirm-license -release -shared
    -nomake examples -nomake tests
    -no-opengl -no-dbus -no-icu
    -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-freetype
    -no-feature-tabletevent
    -system-sqlite -I "$SDK/include" -L "$SDK/lib"
)
qt_build=$work/qtbase-build

stage_qt_configure() {
    local src
    src=$(srcdir qtbase-opensource-src)
    rm -rf "$qt_build"
    mkdir -p "$qt_build"
    (cd "$qt_build" && logrun qt-configure env -u CC -u CXX -u CFLAGS -u CXXFLAGS -u LDFLAGS \
        "$src/configure" "${qt_flags[@]}")
    grep -E 'SQLite|Windows|Freetype|PCRE2|zlib|PNG|JPEG' "$qt_build/config.summary" | sed 's/^/[sdk]  /' || true
}

stage_qt_build() {
    [ -f "$qt_build/Makefile" ] || die "Qt is not configured (delete $stamps/qt-configure and run again)"
    (cd "$qt_build" && logrun qt-build nice -n 19 make -j"$jobs")
}

qt_expected=(
    bin/Qt5Core.dll bin/Qt5Gui.dll bin/Qt5Widgets.dll bin/Qt5Network.dll bin/Qt5Sql.dll bin/Qt5Test.dll
    plugins/platforms/qwindows.dll plugins/platforms/qoffscreen.dll plugins/platforms/qminimal.dll
    plugins/sqldrivers/qsqlite.dll
    lib/libQt5Core.a lib/libQt5Gui.a lib/libQt5Widgets.a lib/libQt5Network.a lib/libQt5Sql.a lib/libQt5Test.a
)
qt_cmake_packages=(Qt5 Qt5Core Qt5Gui Qt5Widgets Qt5Network Qt5Sql Qt5Test)

stage_qt_install() {
    (cd "$qt_build" && logrun qt-install nice -n 19 make install)
    local f missing=()
    for f in "${qt_expected[@]}"; do
        [ -f "$SDK/qt/$f" ] || missing+=("$f")
    done
    for f in "${qt_cmake_packages[@]}"; do
        [ -f "$SDK/qt/lib/cmake/$f/${f}Config.cmake" ] || missing+=("lib/cmake/$f/${f}Config.cmake")
    done
    for f in moc uic rcc qmake; do
        [ -x "$SDK/qt/bin/$f" ] && "$SDK/qt/bin/$f" -v >/dev/null 2>&1 || missing+=("bin/$f (Linux program)")
    done
    [ ${#missing[@]} -eq 0 ] || die "Qt install lacks: ${missing[*]}"
}

# ---------------------------------------------------------------------------------------------
# Stage: libarchive (shared) with zlib linked in statically, so it brings no zlib DLL along. It
# targets Windows 7 (WINDOWS_VERSION): its default is Windows 10, whose functions Windows 7 lacks.
stage_libarchive() {
    local src build=$work/libarchive-build zlib=$mingw_root/lib/libz.a
    src=$(srcdir libarchive)
    [ -f "$zlib" ] || zlib=$mingw_root/lib/libz.dll.a
    [ -f "$zlib" ] || die "no mingw-w64 zlib (Debian package libz-mingw-w64-dev)"
    rm -rf "$build"
    # libarchive asks whether zlib uses the WINAPI calling convention by running a test program,
    # which a cross build cannot do (CMake 3.25 crashes trying). On x86_64 there is one calling
    # convention, so the answer is given: no ZLIB_WINAPI.
    logrun libarchive cmake -S "$src" -B "$build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$SDK" \
        -DCMAKE_SHARED_LINKER_FLAGS="-static-libgcc" \
        -DWINDOWS_VERSION=WIN7 \
        -DZLIB_LIBRARY="$zlib" -DZLIB_INCLUDE_DIR="$mingw_root/include" \
        -DZLIB_WINAPI=0 -DZLIB_WINAPI_WITH_LIB="$zlib" \
        -DENABLE_TEST=OFF -DENABLE_TAR=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF -DENABLE_UNZIP=OFF \
        -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF -DENABLE_NETTLE=OFF -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF \
        -DENABLE_LZMA=OFF -DENABLE_BZip2=OFF -DENABLE_ZSTD=OFF -DENABLE_LZ4=OFF -DENABLE_LZO=OFF \
        -DENABLE_LIBB2=OFF -DENABLE_ICONV=OFF -DENABLE_ACL=OFF -DENABLE_XATTR=OFF -DENABLE_PCREPOSIX=OFF \
        -DENABLE_CNG=ON -DENABLE_ZLIB=ON -DENABLE_INSTALL=ON
    logrun libarchive nice -n 19 cmake --build "$build" -j "$jobs"
    logrun libarchive cmake --install "$build" --strip
    local f
    for f in bin/libarchive.dll lib/libarchive.dll.a include/archive.h include/archive_entry.h; do
        [ -f "$SDK/$f" ] || die "libarchive install lacks $f"
    done
    if $triplet-objdump -p "$SDK/bin/libarchive.dll" | grep -qi 'DLL Name: zlib1.dll'; then
        cp "$mingw_root/bin/zlib1.dll" "$SDK/bin/"
    fi
}

# ---------------------------------------------------------------------------------------------
# Stage: libsodium (shared), which checks the release signatures of image packages. It fetches its
# own source package, so an SDK finished before this stage existed gets it without a new fetch.
stage_libsodium() {
    local src build=$work/libsodium-build
    fetch_sources libsodium "$work/src-libsodium" libsodium
    src=$(find "$work/src-libsodium" -mindepth 1 -maxdepth 1 -type d -name 'libsodium-[0-9]*' -print -quit)
    [ -n "$src" ] || die "no unpacked libsodium source in $work/src-libsodium"
    [ -x "$src/configure" ] || (cd "$src" && logrun libsodium autoreconf -fi)
    rm -rf "$build"
    mkdir -p "$build"
    # The compiler's runtime from its DLL: linked statically, libgcc's thread-local storage functions
    # (__emutls_*) would be exported by libsodium's DLL, a program listing libsodium first would bind
    # to them, and std::call_once (which libstdc++ runs through libgcc's DLL) would call null.
    (cd "$build" && logrun libsodium "$src/configure" --host=$triplet --prefix="$SDK" \
        --enable-shared --disable-static --disable-dependency-tracking LDFLAGS=-shared-libgcc)
    logrun libsodium nice -n 19 make -C "$build" -j "$jobs"
    logrun libsodium make -C "$build" install-strip
    local f dll
    for f in lib/libsodium.dll.a include/sodium.h; do
        [ -f "$SDK/$f" ] || die "libsodium install lacks $f"
    done
    dll=$(ls "$SDK"/bin/libsodium*.dll 2>/dev/null | head -n 1)
    [ -n "$dll" ] || die "libsodium install lacks its DLL"
    ! $triplet-objdump -p "$dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -q '__emutls' ||
        die "$dll exports the compiler runtime's __emutls functions"
}

# ---------------------------------------------------------------------------------------------
# Stage: the compiler's runtime DLLs beside the others, so a Windows program built here runs from
# <SDK>/bin + <SDK>/qt/bin (wine included) and can be packaged from there.
stage_runtime() {
    local dll path
    for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
        path=$($triplet-g++ -print-file-name=$dll)
        [ -f "$path" ] || path=$(find /usr/lib/gcc/$triplet $mingw_root -name "$dll" -path '*posix*' -print -quit)
        [ -f "$path" ] || path=$(find /usr/lib/gcc/$triplet $mingw_root -name "$dll" -print -quit)
        [ -f "$path" ] || die "no $dll in the mingw-w64 installation"
        cp "$path" "$SDK/bin/"
    done
}

# ---------------------------------------------------------------------------------------------
# Stage: a small program built with CMake and the toolchain file, using all of the SDK: Qt
# found by find_package, moc run through AUTOMOC, SQLite through Qt's driver, libarchive directly.
stage_check() {
    local dir=$work/check
    rm -rf "$dir"
    mkdir -p "$dir/src"
    cat >"$dir/src/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(sdkcheck CXX)
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_AUTOMOC ON)
find_package(Qt5 5.12 REQUIRED COMPONENTS Core Gui Widgets Network Sql Test)
find_path(ARCHIVE_INCLUDE archive.h REQUIRED)
find_library(ARCHIVE_LIBRARY archive REQUIRED)
add_executable(sdkcheck main.cpp)
target_include_directories(sdkcheck PRIVATE ${ARCHIVE_INCLUDE})
target_link_libraries(sdkcheck PRIVATE Qt5::Widgets Qt5::Network Qt5::Sql Qt5::Test ${ARCHIVE_LIBRARY})
EOF
    cat >"$dir/src/main.cpp" <<'EOF'
#include <QApplication>
#include <QNetworkAccessManager>
#include <QSqlDatabase>
#include <QTest>
#include <QWidget>
#include <archive.h>

class Probe : public QObject {
    Q_OBJECT
signals:
    void ping();
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    Probe probe;
    QNetworkAccessManager network;
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    return archive_version_number() > 0 && db.isValid() ? 0 : 1;
}

#include "main.moc"
EOF
    logrun check cmake -S "$dir/src" -B "$dir/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
    logrun check cmake --build "$dir/build"
    [ -f "$dir/build/sdkcheck.exe" ] || die "the check program was not built"
    grep -rqF "$SDK/qt/bin/moc" "$dir/build" || die "the check build did not use the SDK's moc"
}

# ---------------------------------------------------------------------------------------------
# Stages: the fleet database. OpenSSL (for libpq's sslmode), libpq and Qt's PostgreSQL driver, built
# from Debian's openssl, postgresql-15 and qtbase sources (fetched again: a finished SDK has no work
# folder). The driver is built with the SDK's own qmake against the installed Qt.
fleet_src_packages=(openssl postgresql-15 qtbase-opensource-src)

stage_fetch_fleet() {
    fetch_sources fetch-fleet "$work/fleet-src" "${fleet_src_packages[@]}"
}

# The DLLs a Windows file imports, one a line.
imports() { # file
    local list
    list=$($triplet-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p')
    echo "$list"
}

fleet_srcdir() { # source package name
    local d
    for d in "$work/fleet-src/$1"-[0-9]*; do
        [ -d "$d" ] && {
            echo "$d"
            return
        }
    done
    die "no unpacked source of $1 in $work/fleet-src (delete $stamps/fetch-fleet and run again)"
}

stage_openssl() {
    local src build=$work/openssl-build
    src=$(fleet_srcdir openssl)
    rm -rf "$build"
    mkdir -p "$build"
    # The DLLs only (no static libraries, command-line program, tests or manuals), without what a
    # database client's TLS never uses (legacy and national ciphers, DTLS, SRP, time-stamping).
    (cd "$build" && logrun openssl env -u CC -u CXX -u CFLAGS -u LDFLAGS perl "$src/Configure" mingw64 \
        --cross-compile-prefix=$triplet- --prefix="$SDK" --libdir=lib shared no-tests no-legacy \
        no-engine no-module no-camellia no-aria no-seed no-sm2 no-sm3 no-sm4 no-idea no-mdc2 no-rc2 \
        no-rc5 no-whirlpool no-srp no-ts no-dtls no-comp no-ec2m no-ct)
    (cd "$build" && logrun openssl nice -n 19 make -j"$jobs" build_generated)
    (cd "$build" && logrun openssl nice -n 19 make -j"$jobs" libcrypto-3-x64.dll libssl-3-x64.dll)
    mkdir -p "$SDK/include/openssl"
    cp "$src"/include/openssl/*.h "$build"/include/openssl/*.h "$SDK/include/openssl/"
    cp "$build"/libcrypto-3-x64.dll "$build"/libssl-3-x64.dll "$SDK/bin/"
    cp "$build"/libcrypto.dll.a "$build"/libssl.dll.a "$SDK/lib/"
    $triplet-strip --strip-unneeded "$SDK/bin/libcrypto-3-x64.dll" "$SDK/bin/libssl-3-x64.dll"
    echo "[sdk]   $(basename "$src")"
}

stage_libpq() {
    local src build=$work/libpq-build
    src=$(fleet_srcdir postgresql-15)
    rm -rf "$build"
    mkdir -p "$build"
    (cd "$build" && logrun libpq env -u CC -u CXX -u CFLAGS -u LDFLAGS "$src/configure" --host=$triplet \
        --prefix="$SDK" --with-ssl=openssl --without-readline --without-zlib --without-icu --without-llvm \
        --without-perl --without-python --without-tcl --without-gssapi --without-ldap --disable-nls \
        CPPFLAGS="-I$SDK/include" LDFLAGS="-L$SDK/lib -static-libgcc")
    local dir
    for dir in src/include src/common src/port src/interfaces/libpq; do
        (cd "$build" && logrun libpq nice -n 19 make -j"$jobs" -C "$dir")
    done
    for dir in src/include src/interfaces/libpq; do
        (cd "$build" && logrun libpq make -C "$dir" install)
    done
    local f
    for f in bin/libpq.dll include/libpq-fe.h include/postgres_ext.h include/pg_config_ext.h; do
        [ -f "$SDK/$f" ] || die "libpq install lacks $f"
    done
    # PostgreSQL names the import library libpq.a; Qt's driver asks the linker for "libpq".
    [ -f "$SDK/lib/libpq.dll.a" ] || cp "$SDK/lib/libpq.a" "$SDK/lib/libpq.dll.a" ||
        die "libpq install lacks its import library"
    grep -qix 'libssl-3-x64.dll' <<<"$(imports "$SDK/bin/libpq.dll")" || die "libpq.dll is not linked with OpenSSL"
    $triplet-strip --strip-unneeded "$SDK/bin/libpq.dll"
    echo "[sdk]   $(basename "$src")"
}

stage_qt_psql() {
    local src build=$work/qsqlpsql-build
    src=$(fleet_srcdir qtbase-opensource-src)/src/plugins/sqldrivers
    [ -x "$SDK/qt/bin/qmake" ] || die "Qt is not installed in $SDK/qt (its stages come first)"
    rm -rf "$build"
    mkdir -p "$build"
    (cd "$build" && logrun qt-psql "$SDK/qt/bin/qmake" "$src/sqldrivers.pro" -- \
        PSQL_INCDIR="$SDK/include" PSQL_LIBDIR="$SDK/lib")
    (cd "$build" && logrun qt-psql nice -n 19 make -j"$jobs" sub-psql)
    (cd "$build" && logrun qt-psql make sub-psql-install_subtargets)
    [ -f "$SDK/qt/plugins/sqldrivers/qsqlpsql.dll" ] || die "Qt's PostgreSQL driver was not installed"
    grep -qix 'libpq.dll' <<<"$(imports "$SDK/qt/plugins/sqldrivers/qsqlpsql.dll")" ||
        die "qsqlpsql.dll does not load libpq.dll"
}

# ---------------------------------------------------------------------------------------------
install_packages
# A finished build removes the work folder; stages redone later get their sources and build tree back.
for name in sqlite qt-configure qt-build qt-install libarchive; do
    [ -f "$stamps/$name" ] || [ -d "$work/src" ] || rm -f "$stamps/fetch"
done
for name in qt-build qt-install; do
    [ -f "$stamps/$name" ] || [ -f "$qt_build/Makefile" ] || rm -f "$stamps/qt-configure"
done
stages=(fetch toolbin sqlite qt-configure qt-build qt-install libarchive runtime check)
stage fetch "Debian source packages ${src_packages[*]}" stage_fetch
stage toolbin "compiler folder $SDK/toolbin (posix threads)" stage_toolbin
stage sqlite "SQLite DLL" stage_sqlite
stage qt-configure "configuring qtbase (about 3 minutes)" stage_qt_configure
stage qt-build "building qtbase (about an hour)" stage_qt_build
stage qt-install "installing Qt into $SDK/qt" stage_qt_install
stage libarchive "libarchive DLL" stage_libarchive
stage runtime "compiler runtime DLLs" stage_runtime
stage check "test program against the SDK" stage_check
# The program builds from here on: a later stage that fails leaves a usable SDK (without signature
# checks, or without the PostgreSQL driver in its folder) and is tried again on the next run.
[ -f "$SDK/.complete" ] || date -u +%Y-%m-%dT%H:%M:%SZ >"$SDK/.complete"
for name in fetch-fleet openssl libpq qt-psql; do
    [ -f "$stamps/$name" ] || [ -d "$work/fleet-src" ] || rm -f "$stamps/fetch-fleet"
done
stages+=(libsodium fetch-fleet openssl libpq qt-psql)
stage libsodium "libsodium DLL" stage_libsodium
stage fetch-fleet "Debian source packages ${fleet_src_packages[*]}" stage_fetch_fleet
stage openssl "OpenSSL DLLs" stage_openssl
stage libpq "libpq DLL (PostgreSQL client, with OpenSSL)" stage_libpq
stage qt-psql "Qt's PostgreSQL driver" stage_qt_psql

if [ "${QUOR_WIN_SDK_KEEP_WORK:-0}" != 1 ]; then
    rm -rf "$work"
fi
date -u +%Y-%m-%dT%H:%M:%SZ >"$SDK/.complete"

total=0
echo "[sdk] complete: $SDK"
for name in "${stages[@]}"; do
    took=$(cat "$stamps/$name")
    total=$((total + took))
    printf '[sdk]   %-13s %s\n' "$name" "$(fmt "$took")"
done
echo "[sdk] build time $(fmt $total) (this run $(fmt $((SECONDS - start)))), size $(du -sh "$SDK" | cut -f1)"
echo "[sdk] DLLs: $(cd "$SDK" && find bin qt/bin qt/plugins -name '*.dll' | sort | tr '\n' ' ')"
echo "[sdk] use: cmake -DCMAKE_TOOLCHAIN_FILE=$toolchain ... (QUOR_WIN_SDK=$SDK)"
