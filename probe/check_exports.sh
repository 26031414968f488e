#!/usr/bin/env bash
# usage: check_exports.sh <objdump> <hvprobe.dll>
# The probe library's export directory: module name "hvfuncs.dll", exactly the five
# undecorated queries at ordinals 1-5, and imports of system DLLs only.
set -euo pipefail
objdump=$1 dll=$2
dump=$("$objdump" -p "$dll")
rc=0
fail() { echo "FAIL: $*"; rc=1; }

name=$(sed -n 's/^Name[[:space:]]\+[0-9a-fA-F]\+[[:space:]]\+//p' <<< "$dump" | head -1)
[ "$name" = "hvfuncs.dll" ] || fail "export directory names '$name', expected hvfuncs.dll"

# Name table lines look like "[   3] getCPUCoreNum": the index into the address table,
# whose first entry is the ordinal base.
base=$(sed -n 's/^.*Ordinal Base[[:space:]]*\([0-9]\+\).*$/\1/p' <<< "$dump" | head -1)
[ "$base" = 1 ] || fail "ordinal base is '$base', expected 1"
table=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^[[:space:]]*$/p' <<< "$dump" |
  sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]\+\)\][[:space:]]\+\(.*\)$/\1 \2/p' |
  while read -r index symbol; do echo "$((index + ${base:-1})) $symbol"; done)
expected=$'1 isIntelCPU\n2 isSupportVT\n3 isVTOn\n4 getCPUCoreNum\n5 getPhyMemSize'
sorted=$(sort -n <<< "$table")
if [ "$sorted" != "$expected" ]; then
  fail "export names and ordinals differ:"; echo "$sorted"
fi

imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<< "$dump" | tr 'A-Z' 'a-z' | sort -u)
[ -n "$imports" ] || fail "no imports found"
while read -r d; do
  case "$d" in
    kernel32.dll|advapi32.dll|shlwapi.dll|msvcrt.dll) ;;
    *) fail "imports $d";;
  esac
done <<< "$imports"

echo "$dll: module $name; exports: $(tr '\n' ' ' <<< "$sorted"); imports: $(tr '\n' ' ' <<< "$imports")"
exit $rc
