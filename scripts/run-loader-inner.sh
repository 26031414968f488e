#!/usr/bin/env bash
# Runs inside xvfb-run: starts the sample channel's web server, runs the loader, and
# stops the server and this prefix's wineserver again.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1; exe=$2; shift 2
export WINEPREFIX=${TARVO_WINEPREFIX:-$build/wine/prefix}
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
requests=$build/sample-channel-requests.log
rm -f "$requests"
TARVO_SAMPLE_LOG=$requests TARVO_READY_FILE=$ready timeout 900 "$root/testing/sample_channel/serve.sh" --files "$files" \
  >"$build/sample-channel.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$ready" ] && break; sleep 0.1; done
port=$(head -1 "$ready")
[ -n "$port" ] || { echo "run-loader: the sample channel server did not start" >&2; exit 1; }
echo "sample channel on 127.0.0.1:$port"
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
shots=${TARVO_SCREENSHOTS:-}
if [ -z "$shots" ]; then
  TARVO_BUILD_DIR=$build WINEDEBUG=-all,warn+seh,+debugstr "$root/scripts/wine-run" "$exe" "$@" >"$debug" 2>&1
  rc=$?
else
  # One capture program serves every picture, so a picture is taken within moments of
  # its log line instead of behind a Wine start.
  fifo=$(mktemp -u) served=$(mktemp)
  mkfifo "$fifo"
  TARVO_BUILD_DIR=$build "$root/scripts/wine-run" "$TARVO_SCREEN_CAPTURE" --serve <"$fifo" >"$served" 2>/dev/null &
  capture_pid=$!
  exec 7>"$fifo"
  for _ in $(seq 150); do grep -q ready "$served" && break; sleep 0.2; done
  # The loader in the background; each new "dialog: " line of its log gets a picture.
  # Without the pipe's end: whatever the loader leaves running must not keep it open.
  TARVO_BUILD_DIR=$build WINEDEBUG=-all,warn+seh,+debugstr timeout 900 "$root/scripts/wine-run" "$exe" "$@" \
    >"$debug" 2>&1 7>&- &
  loader_pid=$!
  shot_no=0 seen=$before
  capture() {  # capture <name> [cancel]
    shot_no=$((shot_no + 1))
    local file
    file=$(printf '%s/%02d-%s.png' "$shots" "$shot_no" "$1")
    printf '%s Z:%s\n' "${2:--}" "${file//\//\\}" >&7
  }
  answered() { [ -f "$log" ] && tail -n +"$((before + 1))" "$log" | grep -q ', dialog: failure box answer '; }
  take_new_lines() {
    [ -f "$log" ] || return 0
    local total line text name
    total=$(wc -l < "$log")
    [ "$total" -gt "$seen" ] || return 0
    while IFS= read -r line; do
      case "$line" in *", dialog: "*) ;; *) continue;; esac
      text=${line#*, dialog: }
      text=${text%$'\r'}
      name=$(printf '%s' "$text" | tr 'A-Z' 'a-z' | tr -c 'a-z0-9' '-' | sed 's/--*/-/g; s/^-//; s/-$//')
      case "$text" in
        "failure box")
          # The box opens right after its line; answer it until the dialog says so.
          sleep 1
          capture "$name" cancel
          for _ in $(seq 8); do sleep 2; answered && break; capture "$name-again" cancel; done
          ;;
        "hidden to tray")
          capture "$name"
          sleep 1.5
          capture "$name-balloon"
          ;;
        *) capture "$name";;
      esac
    done < <(sed -n "$((seen + 1)),${total}p" "$log")
    seen=$total
  }
  while kill -0 "$loader_pid" 2>/dev/null; do
    take_new_lines
    sleep 0.2
  done
  wait "$loader_pid"
  rc=$?
  take_new_lines
  exec 7>&-
  # It ends at the end of its input; bounded all the same.
  for _ in $(seq 100); do kill -0 "$capture_pid" 2>/dev/null || break; sleep 0.1; done
  kill "$capture_pid" 2>/dev/null
  wait "$capture_pid" 2>/dev/null
  grep -q failed "$served" && echo "run-loader: $(grep -c failed "$served") picture(s) could not be taken" >&2
  rm -f "$fifo" "$served"
  echo "--- screenshots in $shots"
  ls -1 "$shots"
fi
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
