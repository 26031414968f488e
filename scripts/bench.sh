#!/usr/bin/env bash
# Measures the product's download, output capture, zip extraction and adb push side by
# side with a reference for each, in one run: a warm-up pair, then alternating pairs
# (product, reference). One line per measurement: median and minimum of each side,
# the ratio of the medians, and the peak memory of the product's side. The capture's
# reference is a bare loop reading the child's pipe (the floor of any capture); a
# second line sets it beside the child writing to a file. A developer
# command, not part of the test run: it asserts no time.
# usage: bench.sh [--build-dir DIR] [--pairs N] [NAME...]
#   N at least 5 (default 5); NAME: download, capture, unzip or push (default all)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
pairs=5
names=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$(mkdir -p "$2" && cd "$2" && pwd); shift 2;;
    --pairs) pairs=$2; shift 2;;
    download|capture|unzip|push) names+=("$1"); shift;;
    *) echo "bench.sh: unknown argument $1" >&2; exit 2;;
  esac
done
[ ${#names[@]} -gt 0 ] || names=(download capture unzip push)
[ "$pairs" -ge 5 ] || { echo "bench.sh: at least 5 pairs" >&2; exit 2; }
for tool in curl unzip adb python3; do
  command -v $tool >/dev/null || { echo "bench.sh: $tool is needed (apt-get install $tool)" >&2; exit 2; }
done

# The whole run is bounded: every step checks the deadline, every command has a limit.
deadline=$(( $(date +%s) + 570 ))
check_time() {
  if [ "$(date +%s)" -ge $deadline ]; then echo "bench.sh: out of time (10 minutes)" >&2; exit 3; fi
}

if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then arch=i686; else arch=x86_64; fi
[ -f "$build/$arch/CMakeCache.txt" ] || "$root/scripts/build.sh" --build-dir "$build"
cmake --build "$build/$arch" --target tarvo_bench proc_child peerfetch -j "$(nproc)" >/dev/null
bin=$build/$arch/bin
work=$build/bench
mkdir -p "$work"
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# Data, made once and kept under the build folder.
python3 - "$work" <<'EOF'
import os, random, sys, zipfile
work = sys.argv[1]
def noise(path, size):
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    with open(path + ".tmp", "wb") as f:
        left = size
        while left:
            n = min(left, 1 << 20)
            f.write(os.urandom(n))
            left -= n
    os.replace(path + ".tmp", path)
noise(os.path.join(work, "download.bin"), 200 << 20)
noise(os.path.join(work, "push.bin"), 100 << 20)
archive = os.path.join(work, "archive.zip")
if not os.path.exists(archive):
    big = os.path.join(work, "archive-big.bin")
    noise(big, 150 << 20)
    rng = random.Random(15)
    words = ["engine", "player", "package", "image", "driver", "service", "folder", "channel"]
    with zipfile.ZipFile(archive + ".tmp", "w", zipfile.ZIP_DEFLATED) as z:
        z.write(big, "data/big.bin")
        for i in range(20):
            lines = (" ".join(rng.choice(words) for _ in range(12)) for _ in range(60000))
            z.writestr("text/part%02d.txt" % i, "\n".join(lines))
        for i in range(2000):
            z.writestr("small/%02d/file%04d.dat" % (i % 40, i), os.urandom(rng.randint(100, 4000)))
    os.remove(big)
    os.replace(archive + ".tmp", archive)
EOF

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work/out" "$work/store-product" "$work/store-reference"
}
trap cleanup EXIT

# Servers on 127.0.0.1 with ephemeral ports, each with a lifetime of its own.
start_server() { # ready-file command...
  local ready=$1; shift
  rm -f "$ready"
  (cd "$work" && TARVO_READY_FILE=$ready exec "$@" >/dev/null 2>&1) &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$ready" ] && break; sleep 0.1; done
  [ -s "$ready" ] || { echo "bench.sh: a server did not start: $*" >&2; exit 1; }
  cat "$ready"
}
web_port=$(start_server "$work/web.port" python3 "$root/testing/webserver/server.py" --root "$work" --lifetime 600)
# The product's client wants the product's server version; Debian's adb its own.
mkdir -p "$work/store-product" "$work/store-reference"
echo '{}' > "$work/adb-product.json"
echo '{"version": "0029"}' > "$work/adb-reference.json"
adb_product=$(start_server "$work/adb-product.port" python3 "$root/testing/fake_adb/fake_adb.py" \
  --config "$work/adb-product.json" --log /dev/null --store "$work/store-product" --time-limit 600)
adb_reference=$(start_server "$work/adb-reference.port" python3 "$root/testing/fake_adb/fake_adb.py" \
  --config "$work/adb-reference.json" --log /dev/null --store "$work/store-reference" --time-limit 600)

# One side, once: prints "<seconds> <peak bytes>" (peak 0 for a command of the host).
# The product's side prints its figures on a line of their own ("bench-result ..."):
# whatever else it prints is not read as a figure. A side that fails, or whose figures
# are missing or not numbers, ends the whole run.
die() { echo "bench.sh: $*" >&2; exit 1; }
product() { # bench arguments...
  local out rc=0 line
  out=$(timeout 120 "$root/scripts/wine-run" "$bin/tarvo_bench.exe" "$@" 2>&1 </dev/null) || rc=$?
  [ $rc -eq 0 ] || die "the product side failed (exit $rc): $* -- $out"
  line=$(printf '%s\n' "$out" | tr -d '\r' | grep '^bench-result ' || true)
  [ "$(printf '%s' "$line" | grep -c '^')" -eq 1 ] \
    || die "the product side printed no single result line: $* -- $out"
  line=${line#bench-result }
  [[ $line =~ ^[0-9]+\.[0-9]+\ [0-9]+$ ]] || die "the product side printed figures that are not numbers: $line"
  echo "$line"
}
reference() { # command...
  local t0 t1 rc=0
  t0=$(date +%s%N)
  timeout 120 "$@" >/dev/null 2>&1 </dev/null || rc=$?
  t1=$(date +%s%N)
  [ $rc -eq 0 ] || die "the reference failed (exit $rc): $*"
  awk -v ms="$(( (t1 - t0) / 1000000 ))" 'BEGIN { printf "%.3f 0\n", ms / 1000 }'
}

fresh_out() { rm -rf "$work/out"; mkdir -p "$work/out"; rm -f "$work"/store-*/*; }

run_download_product() { product download "$(winpath "$bin/peerfetch.dll")" \
  "http://127.0.0.1:$web_port/files/download.bin" "$(winpath "$work/out")" download.bin; }
run_download_reference() { reference curl -s -o "$work/out/download.bin" "http://127.0.0.1:$web_port/files/download.bin"; }
run_capture_product() { product capture "$(winpath "$bin/proc_child.exe")" 10240; }
run_capture_reference() { product pipeloop "$(winpath "$bin/proc_child.exe")" 10240; }
# Not a reference: the same child writing to a file, for scale (the pipe is the floor).
run_capture_tofile() { product tofile "$(winpath "$bin/proc_child.exe")" 10240 "$(winpath "$work/out/capture.bin")"; }
run_unzip_product() { product unzip "$(winpath "$work/archive.zip")" "$(winpath "$work/out")"; }
run_unzip_reference() { reference unzip -q -o "$work/archive.zip" -d "$work/out"; }
run_push_product() { product push "$adb_product" 127.0.0.1:5555 "$(winpath "$work/push.bin")" /sdcard/push.bin; }
run_push_reference() { HOME=$work reference adb -P "$adb_reference" -s 127.0.0.1:5555 push "$work/push.bin" /sdcard/push.bin; }

stats() { # values... -> "median min"
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.3f %.3f", m, v[1] }'
}

measure() { # name label-of-reference [reference: "reference" or another run_<name>_* side]
  local name=$1 label=$2 side=${3:-reference} p r peak=0 rpeak=0 i
  local -a ps=() rs=()
  check_time; fresh_out; run_${name}_product >/dev/null
  check_time; fresh_out; run_${name}_${side} >/dev/null
  for i in $(seq "$pairs"); do
    check_time; fresh_out; p=$(run_${name}_product)
    check_time; fresh_out; r=$(run_${name}_${side})
    ps+=("${p% *}"); rs+=("${r% *}")
    [ "${p#* }" -gt "$peak" ] && peak=${p#* }
    [ "${r#* }" -gt "$rpeak" ] && rpeak=${r#* }
  done
  read -r pm pmin <<<"$(stats "${ps[@]}")"
  read -r rm rmin <<<"$(stats "${rs[@]}")"
  # A reference that runs inside Wine has a peak too: the program's own base.
  awk -v n="$name" -v l="$label" -v pm="$pm" -v pmin="$pmin" -v rm="$rm" -v rmin="$rmin" -v peak="$peak" \
    -v rpeak="$rpeak" \
    'BEGIN { printf "%-9s product median %7.3f s min %7.3f s | %-26s median %7.3f s min %7.3f s | ratio %5.2f | product peak %6.1f MiB%s\n",
             n, pm, pmin, l, rm, rmin, (rm > 0 ? pm / rm : 0), peak / 1048576,
             (rpeak > 0 ? sprintf(" (reference %.1f MiB)", rpeak / 1048576) : "") }'
}

echo "bench.sh: $(uname -m) kernel, $arch build, $pairs pairs after a warm-up, Wine $(wine --version 2>/dev/null || /usr/lib/wine/wine64 --version 2>/dev/null || echo '?')"
declare -A reference_label=([download]="curl" [capture]="bare pipe loop, 64 KiB reads" [unzip]="unzip"
  [push]="Debian's adb push")
for name in "${names[@]}"; do
  measure "$name" "${reference_label[$name]}"
  # For scale: the same child writing to a file, without a pipe.
  [ "$name" != capture ] || measure capture "child writing to a file" tofile
done
