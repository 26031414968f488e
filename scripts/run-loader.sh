#!/usr/bin/env bash
# Sets up the machine, builds the loader (i686 wherever the kernel runs 32-bit code) with
# what its run needs, and runs its main job under Wine against the sample channel served
# from testing/ on 127.0.0.1, in a fresh Wine prefix of its own (<build>/run/prefix; the
# existing one is used with --keep-prefix). The loader is placed where the product's setup
# package puts it (%APPDATA%\tarvozhushou) and run by testing/qv_road/road.py, which prints
# the run, a summary of what it left and the paths of the prefix, log, requests and record.
# No test executable is built.
# usage: run-loader.sh [--build-dir DIR] [--keep-prefix] [--vbox] [loader arguments...]
# Without arguments the loader runs with "-s --backinstall": a silent install that
# launches the channel's app at its end.
# --vbox runs the loader's test build (bin/seams/TarvoLoader.exe) as on an AMD processor
# (TARVO_TEST_CPU=amd), default words "-s --cno 52818" (the channel with the VBox engine),
# with the VirtualBox stand-ins and the fake adb server on 127.0.0.1:52817 for the app
# install; the summary adds the VirtualBox set-up and the stand-ins' record.
# Exit status: the loader's code when it is not 0; else 1 when the log says
# "install end: <negative>"; else 0.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
if [ "${1:-}" = "--build-dir" ]; then build=$(mkdir -p "$2" && cd "$2" && pwd); shift 2; fi
keep=0
vbox=0
while [ $# -gt 0 ]; do
  case "$1" in
    --keep-prefix) keep=1; shift;;
    --vbox) vbox=1; shift;;
    *) break;;
  esac
done
"$root/scripts/build.sh" --build-dir "$build" --loader
arch=$(cat "$build/.test-arch")
exe=$build/$arch/bin/TarvoLoader.exe
words=()
[ $keep -eq 1 ] && words+=(--keep-prefix)
if [ $vbox -eq 1 ]; then
  exe=$build/$arch/bin/seams/TarvoLoader.exe
  words+=(--vbox)
fi
[ -f "$exe" ] || { echo "run-loader: $exe was not built" >&2; exit 1; }
exec xvfb-run -a -s "-screen 0 1024x768x24" "$root/scripts/run-loader-inner.sh" "$build/$arch" \
  "$build/run/prefix" "${words[@]}" -- "$@"
