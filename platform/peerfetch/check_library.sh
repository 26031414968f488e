#!/usr/bin/env bash
# usage: check_library.sh <objdump> <peerfetch.dll>
# The shipped library exports exactly the four called entries and imports only
# kernel32, wininet and msvcrt.
set -euo pipefail
objdump=$1 dll=$2
dump=$("$objdump" -p "$dll")
exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[\s*[0-9]*\] //p' | sort | tr '\n' ' ')
imports=$(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
echo "exports: $exports"
echo "imports: $imports"
[ "$exports" = "PPQueryTaskEx PPRemoveTask PPStartTaskEx PPStopTask " ] || { echo "unexpected exports"; exit 1; }
[ "$imports" = "kernel32.dll msvcrt.dll wininet.dll " ] || { echo "unexpected imports"; exit 1; }
