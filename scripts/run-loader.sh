#!/usr/bin/env bash
# Sets up the machine, builds the loader (i686 wherever the kernel runs 32-bit code) with
# what its run needs, and runs its main job under Wine against the sample channel served
# from testing/ on 127.0.0.1, in a fresh Wine prefix of its own (<build>/run/prefix, kept
# with --keep-prefix). No test executable is built.
# usage: run-loader.sh [--build-dir DIR] [--keep-prefix] [--vbox] [loader arguments...]
# Without arguments the loader runs with "-s --backinstall": a silent install that
# launches the channel's app at its end.
# --vbox runs the loader's test build (bin/seams) as on an AMD processor with the
# channel 52818, so that the VBox engine is installed (default words "-s --cno 52818"),
# with the fake adb server on 127.0.0.1:52817 for the app install.
# Exit status: the loader's code when it is not 0; else 1 when the log says
# "install end: <negative>"; else 0.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
if [ "${1:-}" = "--build-dir" ]; then build=$(mkdir -p "$2" && cd "$2" && pwd); shift 2; fi
keep=0
if [ "${1:-}" = "--keep-prefix" ]; then keep=1; shift; fi
vbox=0
if [ "${1:-}" = "--vbox" ]; then vbox=1; shift; fi
if [ $vbox -eq 1 ]; then
  [ $# -gt 0 ] || set -- -s --cno 52818
else
  [ $# -gt 0 ] || set -- -s --backinstall
fi
"$root/scripts/build.sh" --build-dir "$build" --loader
arch=$(cat "$build/.test-arch")
exe=$build/$arch/bin/TarvoLoader.exe
if [ $vbox -eq 1 ]; then
  exe=$build/$arch/bin/seams/TarvoLoader.exe
  export TARVO_TEST_CPU=amd TARVO_RUN_VBOX=1 TARVO_SAMPLE_FILES=$build/$arch/sample_files
fi
[ -f "$exe" ] || { echo "run-loader: $exe was not built" >&2; exit 1; }
export TARVO_WINEPREFIX=$build/run/prefix
[ $keep -eq 1 ] || rm -rf "$TARVO_WINEPREFIX"
exec xvfb-run -a -s "-screen 0 1024x768x24" "$root/scripts/run-loader-inner.sh" "$build" "$exe" "$@"
