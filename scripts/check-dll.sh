#!/usr/bin/env bash
# Checks a built plug-in DLL the way the host and a game folder need it:
# PE32+ x86-64, exactly its exports, only Windows system DLLs imported.
# NimbrelVR.dll exports the two functions SKSEPlugin_Load and SKSEPlugin_Query;
# Nimbrel.dll also the data SKSEPlugin_Version, which the Anniversary
# Edition's host reads from the file without running any code.
set -euo pipefail
dll=$1
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
sections=$(x86_64-w64-mingw32-objdump -h "$dll")
fail() { echo "check-dll: $dll: $*" >&2; exit 1; }

grep -q 'file format pei-x86-64' <<<"$dump" || fail "not a PE32+ x86-64 image"
grep -qE '^Magic[[:space:]]+020b' <<<"$dump" || fail "not PE32+"

# Each export as "NAME:code" or "NAME:data", by the section its address lies in.
exports=$(
  awk -v sections="$sections" '
    function hex(text, value, i) {
      value = 0
      for (i = 1; i <= length(text); ++i) value = value * 16 + index("0123456789abcdef", tolower(substr(text, i, 1))) - 1
      return value
    }
    BEGIN {
      n = split(sections, line, "\n")
      for (i = 1; i <= n; ++i) {
        if (line[i] ~ /^ +[0-9]+ /) {
          split(line[i], f, " ")
          count++; vma[count] = hex(f[4]); size[count] = hex(f[3])
          code[count] = (line[i + 1] ~ /CODE/)
        }
      }
    }
    /^ImageBase/ { base = hex($2) }
    /^Export Address Table -- Ordinal Base/ { table = "rva"; next }
    /\[Ordinal\/Name Pointer\] Table/ { table = "name"; next }
    table != "" && /^\t\[/ {
      text = $0; gsub(/[][]/, " ", text); split(text, f, " ")
      if (table == "rva") rva[f[1]] = hex(f[4]); else name[f[1]] = f[2]
      next
    }
    { table = "" }
    END {
      for (i in name) {
        kind = "none"
        for (s = 1; s <= count; ++s)
          if (base + rva[i] >= vma[s] && base + rva[i] < vma[s] + size[s]) kind = code[s] ? "code" : "data"
        print name[i] ":" kind
      }
    }' <<<"$dump" | sort | tr '\n' ' '
)
case $(basename "$dll") in
  NimbrelVR.dll) expected="SKSEPlugin_Load:code SKSEPlugin_Query:code " ;;
  *) expected="SKSEPlugin_Load:code SKSEPlugin_Query:code SKSEPlugin_Version:data " ;;
esac
[[ "$exports" == "$expected" ]] || fail "exports are '$exports', not '$expected'"

allowed='^(KERNEL32|msvcrt|SHELL32|USER32|ADVAPI32|ntdll|ucrtbase|api-ms-win-.*)\.dll$'
while read -r name; do
  [[ "$name" =~ $allowed ]] || fail "imports $name"
done < <(awk '/DLL Name:/{print $3}' <<<"$dump")
echo "check-dll: $(basename "$dll"): PE32+ x86-64, exports ${exports% }, imports $(awk '/DLL Name:/{printf "%s ", $3}' <<<"$dump")"
