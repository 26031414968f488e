#!/usr/bin/env bash
# usage: check-imports.sh <objdump> <pe-file>...
# Fails when a PE file imports a DLL that is not part of Windows (MinGW runtime,
# a dependency built as a DLL, ...): the deliverables must ship alone.
set -euo pipefail
objdump=$1; shift
rc=0
for f in "$@"; do
  dlls=$("$objdump" -p "$f" | sed -n 's/^\s*DLL Name: //p')
  [ -n "$dlls" ] || { echo "$f: no imports found"; rc=1; continue; }
  while read -r d; do
    lower=$(echo "$d" | tr 'A-Z' 'a-z')
    case "$lower" in
      lib*.dll|zlib*.dll|*pthread*|*gcc*|*stdc++*|*json*|*png*|*tinyxml*)
        echo "$f: imports non-system DLL $d"; rc=1;;
    esac
  done <<< "$dlls"
  echo "$f: $(echo $dlls | tr '\n' ' ')"
done
exit $rc
