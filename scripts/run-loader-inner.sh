#!/usr/bin/env bash
# Runs inside xvfb-run: the loader's run through testing/qv_road/road.py, which starts the
# sample channel's server, runs the loader, prints what it did and stops the server and
# the prefix's wineserver again.
# usage: run-loader-inner.sh <build>/<arch> <prefix> [--keep-prefix] [--vbox] -- [loader words...]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch_dir=$1; prefix=$2; shift 2
python=/usr/bin/python3
[ -x "$python" ] || python=python3
exec "$python" "$root/testing/qv_road/road.py" --arch-dir "$arch_dir" --prefix "$prefix" "$@"
