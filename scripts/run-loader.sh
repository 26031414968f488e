#!/usr/bin/env bash
# Sets up the machine, builds the loader (i686 wherever the kernel runs 32-bit code) with
# what its run needs, and runs its main job under Wine against the sample channel served
# from testing/ on 127.0.0.1. No test executable is built.
# usage: run-loader.sh [--build-dir DIR] [loader arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
if [ "${1:-}" = "--build-dir" ]; then build=$(mkdir -p "$2" && cd "$2" && pwd); shift 2; fi
"$root/scripts/build.sh" --build-dir "$build" --loader
arch=$(cat "$build/.test-arch")
exe=$build/$arch/bin/TarvoLoader.exe
[ -f "$exe" ] || { echo "run-loader: $exe was not built" >&2; exit 1; }
exec xvfb-run -a -s "-screen 0 1024x768x24" "$root/scripts/run-loader-inner.sh" "$build" "$exe" "$@"
