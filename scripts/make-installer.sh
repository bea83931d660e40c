#!/usr/bin/env bash
# Builds the Windows installer from a laid-out program folder with makensis (Debian package nsis).
#   scripts/make-installer.sh FOLDER VERSION SETUP.EXE
# FOLDER is what scripts/build-windows.sh lays out (dist/quor_download-win64); its config/ seeds the
# bench folder, everything else is installed under Program Files. VERSION: dotted, up to four
# numbers. The installer and its uninstaller are signed by scripts/sign-windows.sh when a
# certificate is configured (see there).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
folder=$(cd "${1:?usage: $0 FOLDER VERSION SETUP.EXE}" && pwd)
version=${2:?usage: $0 FOLDER VERSION SETUP.EXE}
setup=${3:?usage: $0 FOLDER VERSION SETUP.EXE}
case $setup in /*) ;; *) setup=$PWD/$setup ;; esac
command -v makensis >/dev/null || {
    echo "ERROR: makensis is missing (Debian package nsis)" >&2
    exit 1
}
[[ $version =~ ^[0-9]+(\.[0-9]+){0,3}$ ]] || {
    echo "ERROR: version '$version' is not up to four dotted numbers" >&2
    exit 1
}
quad=$version
while [[ $(tr -cd . <<<"$quad" | wc -c) -lt 3 ]]; do quad=$quad.0; done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The uninstaller's list: every installed file, then the folders deepest first (removed when empty).
{
    (cd "$folder" && find . -path ./config -prune -o -type f -print | sed 's|^\./||' | sort) |
        while read -r f; do echo "Delete \"\$INSTDIR\\${f//\//\\}\""; done
    (cd "$folder" && find . -mindepth 1 -path ./config -prune -o -type d -print | sed 's|^\./||' | sort -r) |
        while read -r d; do echo "RMDir \"\$INSTDIR\\${d//\//\\}\""; done
} >"$work/files.nsh"

sign=()
if [ -n "${QUOR_SIGN_PKCS12:-}${QUOR_SIGN_CERT:-}" ]; then
    sign=(-DSIGN="$root/scripts/sign-windows.sh")
fi
mkdir -p "$(dirname "$setup")"
makensis -V2 -NOCD -DVERSION="$version" -DVERSION_QUAD="$quad" -DSRCDIR="$folder" -DFILES="$work/files.nsh" \
    -DOUTFILE="$setup" -DICON="$root/resources/img/logo.ico" \
    ${QUOR_PRODUCT:+-DPRODUCT="$QUOR_PRODUCT"} ${QUOR_PUBLISHER:+-DPUBLISHER="$QUOR_PUBLISHER"} \
    "${sign[@]}" "$root/resources/win/installer.nsi"
echo "--- $setup: $(du -h "$setup" | cut -f1)"
