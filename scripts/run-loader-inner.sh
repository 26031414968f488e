#!/usr/bin/env bash
# Runs inside xvfb-run: starts the sample channel's web server, runs the loader, and
# stops the server and this prefix's wineserver again.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1; exe=$2; shift 2
export WINEPREFIX=$build/wine/prefix
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  HOME=$build/wine/home wineserver -k >/dev/null 2>&1
  true
}
trap cleanup EXIT
HOME=$build/wine/home wineserver -k >/dev/null 2>&1
if [ -x "$root/testing/webserver/serve-sample-channel.sh" ]; then
  ready=$(mktemp)
  TARVO_READY_FILE=$ready timeout 600 "$root/testing/webserver/serve-sample-channel.sh" >"$build/webserver.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do [ -s "$ready" ] && break; sleep 0.1; done
  export TARVO_CHANNEL_PORT=$(head -1 "$ready")
  echo "sample channel on 127.0.0.1:$TARVO_CHANNEL_PORT"
fi
# The loader's debugger output (Wine shows it as a trace line, cut after ~300 characters).
WINEDEBUG=-all,warn+seh,+debugstr "$root/scripts/wine-run" "$exe" "$@" 2>&1 \
  | sed -n 's/.*OutputDebugString[AW] "\(.*\)"\(\.\.\.\)\{0,1\}$/\1\2/p'
rc=${PIPESTATUS[0]}
echo "TarvoLoader exit code: $rc"
log=$(find "$build/wine/prefix/drive_c/users" -name 'TarvoLoader.log' 2>/dev/null | head -1)
[ -n "$log" ] && { echo "--- $log"; tail -50 "$log" | iconv -f GBK -t UTF-8 2>/dev/null || tail -50 "$log"; }
exit $rc
