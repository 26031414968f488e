#!/usr/bin/env bash
# Runs inside xvfb-run: starts the sample channel's web server, runs the loader, and
# stops the server and this prefix's wineserver again.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1; exe=$2; shift 2
export WINEPREFIX=${TARVO_WINEPREFIX:-$build/wine/prefix}
server_pid=
adb_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  [ -n "$adb_pid" ] && kill "$adb_pid" 2>/dev/null
  HOME=$build/wine/home wineserver -k >/dev/null 2>&1
  true
}
trap cleanup EXIT
HOME=$build/wine/home wineserver -k >/dev/null 2>&1
# The sample channel, and a run folder whose developer settings point the loader at it.
ready=$(mktemp)
# The generated engine packages and app files of the loader's architecture.
files=${TARVO_SAMPLE_FILES:-$(cd "$(dirname "$exe")/.." && pwd)/sample_files}
requests=$build/sample-channel-requests.log
rm -f "$requests"
TARVO_SAMPLE_LOG=$requests TARVO_READY_FILE=$ready timeout 900 "$root/testing/sample_channel/serve.sh" --files "$files" \
  >"$build/sample-channel.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$ready" ] && break; sleep 0.1; done
port=$(head -1 "$ready")
[ -n "$port" ] || { echo "run-loader: the sample channel server did not start" >&2; exit 1; }
echo "sample channel on 127.0.0.1:$port"
vbox_state=$WINEPREFIX/drive_c/ProgramData/vbox-standin
adb_log=$build/run-fake-adb.log
if [ "${TARVO_RUN_VBOX:-0}" = 1 ]; then
  # The VBox engine's app goes in over adb: the loader's client talks to 127.0.0.1:52817.
  mkdir -p "$vbox_state"
  export VBOX_STANDIN_DIR=$(HOME=$build/wine/home WINEDEBUG=-all winepath -w "$vbox_state" 2>/dev/null || echo "$vbox_state")
  rm -rf "$adb_log" "$build/run-fake-adb-store"; mkdir -p "$build/run-fake-adb-store"
  adb_ready=$(mktemp)
  TARVO_READY_FILE=$adb_ready timeout 900 python3 "$root/testing/fake_adb/fake_adb.py" --port 52817 \
    --log "$adb_log" --store "$build/run-fake-adb-store" --time-limit 880 >"$build/run-fake-adb.out" 2>&1 &
  adb_pid=$!
  for _ in $(seq 100); do [ -s "$adb_ready" ] && break; sleep 0.1; done
  [ -s "$adb_ready" ] || { echo "run-loader: the fake adb server did not start on 52817" >&2; exit 1; }
  echo "fake adb server on 127.0.0.1:52817"
fi
echo "loader words: $*"
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
log=$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/tarvozhushou/log/TarvoLoader.log
before=$( [ -f "$log" ] && wc -l < "$log" || echo 0 )
# The loader's debugger output (Wine shows it as a trace line, cut after ~300 characters).
# Into a file, not a pipe: programs the loader starts keep Wine's stdio open.
debug=$(mktemp)
TARVO_BUILD_DIR=$build WINEDEBUG=-all,warn+seh,+debugstr "$root/scripts/wine-run" "$exe" "$@" >"$debug" 2>&1
rc=$?
sed -n 's/.*OutputDebugString[AW] "\(.*\)"\(\.\.\.\)\{0,1\}$/\1\2/p' "$debug"
rm -f "$debug"
echo "TarvoLoader exit code: $rc"
lines=$(mktemp)
if [ -f "$log" ]; then
  tail -n +"$((before + 1))" "$log" | iconv -f GBK -t UTF-8 2>/dev/null > "$lines" || tail -n +"$((before + 1))" "$log" > "$lines"
  echo "--- this run's lines of $log"
  cat "$lines"
fi
# Programs the loader started without waiting finish their work first.
record=$WINEPREFIX/drive_c/ProgramData/qv-standin/record.log
sleep 3
echo "--- summary"
result=$(sed -n 's/.*, , install end: \(-\{0,1\}[0-9]*\).*/\1/p' "$lines" | tail -1)
echo "install result: ${result:-(no install ran)}"
wine_tool() {
  local wine=wine
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 || wine=/usr/lib/wine/wine64
  HOME=$build/wine/home WINEDEBUG=-all "$wine" "$@" </dev/null 2>/dev/null
}
reg_query() { wine_tool reg query "$1" /v "$2" /reg:64 | tr -d '\r' | awk -v v="$2" '$1==v {$1="";$2=""; sub(/^  */,""); print}'; }
if [ "${TARVO_RUN_VBOX:-0}" = 1 ]; then
  ini=$WINEPREFIX/drive_c/ProgramData/tarvozhushou/tarvoadapt.ini
  echo "player folder: $( [ -f "$ini" ] && tr -d '\r' < "$ini" | sed -n 's/^install_path=//p')"
  echo "VBoxSVC registration: $(wine_tool reg query 'HKCR\CLSID' /s /f VBoxSVC.exe /reg:64 | tr -d '\r' | grep -m1 -i 'vboxsvc' | sed 's/^ *//')"
  echo "VBoxC.dll registration: $(wine_tool reg query 'HKCR\CLSID' /s /f VBoxC.dll /reg:64 | tr -d '\r' | grep -m1 -i 'vboxc.dll' | sed 's/^ *//')"
  echo "driver VBoxDrv: $(wine_tool sc query VBoxDrv | tr -d '\r' | awk '/STATE/ {print $4}')"
  xml=$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/tarvozhushou/vmconfig/VirtualBox.xml
  [ -f "$xml" ] && echo "imported machines: $(grep -o 'MachineEntry[^>]*src="[^"]*"' "$xml" | sed 's/.*src=//' | paste -sd, -)"
  if [ -f "$vbox_state/record.log" ]; then
    echo "--- VirtualBox stand-ins' record"
    awk -F'\t' '$3=="start" || $3=="exit" || $3=="call" {print $1"\t"$3"\t"$4}' "$vbox_state/record.log"
  fi
  [ -f "$adb_log" ] && echo "adb requests: $(grep -c . "$adb_log") (log $adb_log)"
fi
echo "engine folder: $(reg_query 'HKLM\Software\tarvoGames' InstallDir)"
echo "engine version: $(reg_query 'HKLM\Software\tarvoGames' Version)"
for svc in TarvoHelper tvHdAndroidSvc tvHdDrv; do
  state=$(wine_tool sc query "$svc" | tr -d '\r' | awk '/STATE/ {print $4}')
  echo "service $svc: ${state:-absent}"
done
if [ -f "$record" ]; then
  echo "apps installed into the engine: $(awk -F'\t' '$3=="apk-installed" {print $4}' "$record" | paste -sd, -)"
  echo "launched: $(awk -F'\t' '$3=="runapp" || $3=="launcher" || $3=="frontend" {print $1": "$4}' "$record" | paste -sd';' -)"
fi
echo "prefix: $WINEPREFIX"
echo "log: $log"
echo "requests: $requests"
echo "stand-in record: $record"
rm -f "$lines"
[ "$rc" -ne 0 ] && exit "$rc"
case "$result" in -*) exit 1;; esac
exit 0
