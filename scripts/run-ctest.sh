#!/usr/bin/env bash
# Runs inside xvfb-run: the wineserver of this build's prefix is restarted so that its
# desktop uses this display, each suite runs in turn (they share the prefix), and only
# this prefix's wineserver is stopped.
# usage: run-ctest.sh <build-dir> "<arches that run>" [ctest arguments]
set -uo pipefail
build=$1; arches=$2; shift 2
export WINEPREFIX=$build/wine/prefix
stop_server() { [ -d "$WINEPREFIX" ] && HOME=$build/wine/home wineserver -k >/dev/null 2>&1; true; }
stop_server
rc=0
# The wall time of each suite, for test.sh's summary.
record_time() { echo "$1 $(( $(date +%s) - $2 ))" >>"$build/.suite-times"; }
case " $arches " in
  *" i686 "*) ;;
  # The deliverables' checks on the Linux side need no Wine.
  *) started=$(date +%s)
     (cd "$build/i686" && ctest --output-on-failure -L static "$@") || rc=1
     record_time "i686-static" "$started";;
esac
for arch in $arches; do
  echo "run-ctest: the $arch suite"
  started=$(date +%s)
  # A Wine process can fail to start on a loaded machine: a failed test gets two more runs.
  (cd "$build/$arch" && ctest --output-on-failure -j "$(nproc)" --timeout 300 --repeat until-pass:3 "$@") || rc=1
  record_time "$arch" "$started"
  stop_server
done
exit $rc
