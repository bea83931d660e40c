#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs, only those that are missing.
#   scripts/install-deps.sh          everything (build, tests, cross-build, demo)
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config ccache
    qtbase5-dev qtbase5-dev-tools           # Qt 5 Core, Gui, Widgets, Network, Test
    libarchive-dev libarchive-tools unzip zip  # package unpacking; bsdtar/unzip as benchmark references
    libssl-dev                              # SHA-256 of image packages (libcrypto)
    libsodium-dev minisign                  # release signatures: checking them; making keys and signatures in the tests
    libqt5sql5-sqlite libqt5sql5-psql       # production records: local SQLite file, fleet PostgreSQL database
    libpq-dev                               # fleet database settings parsed by libpq's own rules
    postgresql sqlite3 libsqlite3-dev       # fleet tests' throw-away server; record benchmark's bare SQLite reference
    libudev-dev umockdev libumockdev-dev    # hot-plug on Linux and its tests without hardware
    g++-mingw-w64-x86-64-posix wine wine64  # cross-compile and run the Win32 layer's tests
    nsis                                    # makensis: the Windows installer (scripts/make-installer.sh)
    osslsigncode                            # Authenticode signatures of the Windows files and installer
    clang-14 libclang-rt-14-dev libfuzzer-14-dev  # fuzzing and sanitizer runtimes
    xvfb xauth xdotool imagemagick fonts-dejavu-core  # the demo without a display, its clicks and screenshot
    prometheus-cpp-dev                      # the live metrics endpoint (exposer with its HTTP server)
    prometheus                              # the metrics tests' real server; promtool checks the alert rules
    python3                                 # scripts/mutate.sh reads its fault list with it
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
