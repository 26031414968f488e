#!/usr/bin/env bash
# Sets up the machine, builds the loader (i686 wherever the kernel runs 32-bit code) with
# what its run needs, and runs its main job under Wine against the sample channel served
# from testing/ on 127.0.0.1, in a fresh Wine prefix of its own (<build>/run/prefix, kept
# with --keep-prefix). No test executable is built.
# usage: run-loader.sh [--build-dir DIR] [--keep-prefix] [--screenshots DIR] [loader arguments...]
# Without arguments the loader runs with "-s --backinstall": a silent install that
# launches the channel's app at its end; with --screenshots and no arguments it makes
# a visible run. --screenshots saves a picture of the screen into DIR at each of the
# dialog's log lines ("NN-<words>.png"), one more 1.5 s after it hid into the tray (the
# balloon), and answers a failure box with Cancel, so a failing run shows its rollback.
# Exit status: the loader's code when it is not 0; else 1 when the log says
# "install end: <negative>"; else 0.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
if [ "${1:-}" = "--build-dir" ]; then build=$(mkdir -p "$2" && cd "$2" && pwd); shift 2; fi
keep=0
if [ "${1:-}" = "--keep-prefix" ]; then keep=1; shift; fi
shots=
if [ "${1:-}" = "--screenshots" ]; then
  [ -n "${2:-}" ] || { echo "run-loader: --screenshots needs a folder" >&2; exit 2; }
  shots=$(mkdir -p "$2" && cd "$2" && pwd); shift 2
fi
if [ $# -eq 0 ] && [ -z "$shots" ]; then set -- -s --backinstall; fi
"$root/scripts/build.sh" --build-dir "$build" --loader
arch=$(cat "$build/.test-arch")
exe=$build/$arch/bin/TarvoLoader.exe
[ -f "$exe" ] || { echo "run-loader: $exe was not built" >&2; exit 1; }
export TARVO_WINEPREFIX=$build/run/prefix
export TARVO_SCREENSHOTS=$shots TARVO_SCREEN_CAPTURE=$build/$arch/bin/screen_capture.exe
if [ -n "$shots" ] && [ ! -f "$TARVO_SCREEN_CAPTURE" ]; then
  echo "run-loader: $TARVO_SCREEN_CAPTURE was not built" >&2; exit 1
fi
[ $keep -eq 1 ] || rm -rf "$TARVO_WINEPREFIX"
exec xvfb-run -a -s "-screen 0 1024x768x24" "$root/scripts/run-loader-inner.sh" "$build" "$exe" "$@"
