#!/usr/bin/env bash
# Checks a built plug-in DLL the way the host and a game folder need it:
# PE32+ x86-64, exactly the two exports, only Windows system DLLs imported.
set -euo pipefail
dll=$1
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
fail() { echo "check-dll: $dll: $*" >&2; exit 1; }

grep -q 'file format pei-x86-64' <<<"$dump" || fail "not a PE32+ x86-64 image"
grep -qE '^Magic[[:space:]]+020b' <<<"$dump" || fail "not PE32+"

exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^\t\[/{print $NF; next} on{on=0}' <<<"$dump" | sort | tr '\n' ' ')
[[ "$exports" == "SKSEPlugin_Load SKSEPlugin_Query " ]] || fail "exports are '$exports'"

allowed='^(KERNEL32|msvcrt|SHELL32|USER32|ADVAPI32|ntdll|ucrtbase|api-ms-win-.*)\.dll$'
while read -r name; do
  [[ "$name" =~ $allowed ]] || fail "imports $name"
done < <(awk '/DLL Name:/{print $3}' <<<"$dump")
echo "check-dll: $(basename "$dll"): PE32+ x86-64, exports SKSEPlugin_Load SKSEPlugin_Query, imports $(awk '/DLL Name:/{printf "%s ", $3}' <<<"$dump")"
