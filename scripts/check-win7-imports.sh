#!/usr/bin/env bash
# Fails when a Windows program or DLL imports from Windows' own DLLs a function that Windows 7 SP1
# does not have: such a program does not start there ("The procedure entry point ... could not be
# located").
#   scripts/check-win7-imports.sh FOLDER_OR_FILE...
#
# Every .exe and .dll found is read with objdump -p. An import from a DLL that lies in the same
# folders (Qt, libarchive, the compiler runtime) is that DLL's business: it is checked as a file of
# its own. Every other import must be listed in scripts/win7-imports.txt ("dll function", lower-case
# DLL name), the functions of Windows 7 SP1's system DLLs that our files are allowed to use; a DLL not
# named there at all (an api-ms-win-* set of a later Windows, say) fails too.
# Prints one line per offending import and ends with "N files checked, N imports not on Windows 7".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list=${QUOR_WIN7_IMPORTS:-$root/scripts/win7-imports.txt}
objdump=$(command -v x86_64-w64-mingw32-objdump || command -v objdump || true)
if [ -z "$objdump" ]; then
    echo "check-win7-imports: no objdump (Debian package binutils-mingw-w64-x86-64)" >&2
    exit 2
fi
if [ $# -eq 0 ]; then
    echo "usage: $0 FOLDER_OR_FILE..." >&2
    exit 2
fi

files=()
for arg in "$@"; do
    while IFS= read -r -d '' f; do
        files+=("$f")
    done < <(find "$arg" -type f \( -iname '*.exe' -o -iname '*.dll' \) -print0)
done
# DLLs that come with the files themselves.
shipped=$(for f in "${files[@]}"; do basename "$f"; done | tr 'A-Z' 'a-z' | sort -u)
allowed=$(grep -v '^#' "$list" | awk 'NF == 2 { print tolower($1), $2 }' | sort -u)
known_dlls=$(awk '{ print $1 }' <<<"$allowed" | sort -u)

bad=0
for f in "${files[@]}"; do
    # "dll function" per import; an import by ordinal only shows as "<none>".
    imports=$("$objdump" -p "$f" | awk '
        /^The Import Tables/ { inside = 1; next }
        /^The (Export|Function|Delay)/ { inside = 0 }
        inside && /DLL Name:/ { dll = tolower($3); next }
        inside && dll != "" && /^\t[0-9a-f]+\t/ { print dll, $NF }' | sort -u)
    while read -r dll name; do
        [ -n "$dll" ] || continue
        grep -qxF "$dll" <<<"$shipped" && continue
        if ! grep -qxF "$dll" <<<"$known_dlls"; then
            echo "$(basename "$f"): $dll!$name: $dll is not a Windows 7 system DLL on the list"
            bad=$((bad + 1))
        elif ! grep -qxF "$dll $name" <<<"$allowed"; then
            echo "$(basename "$f"): $dll!$name is not on the Windows 7 SP1 list"
            bad=$((bad + 1))
        fi
    done <<<"$imports"
done
echo "${#files[@]} files checked, $bad imports not on Windows 7"
[ "${#files[@]}" -gt 0 ] && [ "$bad" -eq 0 ]
