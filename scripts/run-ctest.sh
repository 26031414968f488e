#!/usr/bin/env bash
# Runs inside xvfb-run: the wineserver of this build's prefix is restarted so that its
# desktop uses this display, the tests run, and only this prefix's wineserver is stopped.
set -uo pipefail
build=$1; arch=$2; shift 2
export WINEPREFIX=$build/wine/prefix
stop_server() { [ -d "$WINEPREFIX" ] && HOME=$build/wine/home wineserver -k >/dev/null 2>&1; true; }
stop_server
rc=0
if [ "$arch" != i686 ]; then
  (cd "$build/i686" && ctest --output-on-failure -L static "$@") || rc=1
fi
# A Wine process can fail to start on a loaded machine: a failed test gets two more runs.
(cd "$build/$arch" && ctest --output-on-failure -j "$(nproc)" --timeout 300 --repeat until-pass:3 "$@") || rc=1
stop_server
exit $rc
