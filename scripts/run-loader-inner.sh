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
# The sample channel, and a run folder whose developer settings point the loader at it.
ready=$(mktemp)
# The generated engine packages and app files of the loader's architecture.
files=$(cd "$(dirname "$exe")/.." && pwd)/sample_files
TARVO_READY_FILE=$ready timeout 600 "$root/testing/sample_channel/serve.sh" --files "$files" \
  >"$build/sample-channel.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$ready" ] && break; sleep 0.1; done
port=$(head -1 "$ready")
[ -n "$port" ] || { echo "run-loader: the sample channel server did not start" >&2; exit 1; }
echo "sample channel on 127.0.0.1:$port"
run=$build/run
mkdir -p "$run"
cp "$exe" "$run/TarvoLoader.exe"
base=http://127.0.0.1:$port
{
  echo "online=1"
  for key in stat_host product_host market_host market_down_host market_stat_host www_host cdn_host; do
    echo "$key=$base"
  done
} > "$run/tarvo-dev.lic"
exe=$run/TarvoLoader.exe
log=$build/wine/prefix/drive_c/users/$(id -un)/AppData/Roaming/tarvozhushou/log/TarvoLoader.log
before=$( [ -f "$log" ] && wc -l < "$log" || echo 0 )
# The loader's debugger output (Wine shows it as a trace line, cut after ~300 characters).
TARVO_BUILD_DIR=$build WINEDEBUG=-all,warn+seh,+debugstr "$root/scripts/wine-run" "$exe" "$@" 2>&1 \
  | sed -n 's/.*OutputDebugString[AW] "\(.*\)"\(\.\.\.\)\{0,1\}$/\1\2/p'
rc=${PIPESTATUS[0]}
echo "TarvoLoader exit code: $rc"
if [ -f "$log" ]; then
  echo "--- this run's lines of $log"
  tail -n +"$((before + 1))" "$log" | iconv -f GBK -t UTF-8 2>/dev/null || tail -n +"$((before + 1))" "$log"
fi
exit $rc
