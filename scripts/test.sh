#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test: the checks of the
# deliverables on the Linux side and the test executables under Wine inside one Xvfb.
# usage: test.sh [--build-dir DIR] [ctest arguments, e.g. -R toolkit]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
if [ "${1:-}" = "--build-dir" ]; then build=$(mkdir -p "$2" && cd "$2" && pwd); shift 2; fi
build_rc=0
"$root/scripts/build.sh" --build-dir "$build" || build_rc=1
test_arch=$(cat "$build/.test-arch")
test_rc=0
xvfb-run -a -s "-screen 0 1024x768x24" "$root/scripts/run-ctest.sh" "$build" "$test_arch" "$@" || test_rc=1
if [ $build_rc -ne 0 ]; then echo "test.sh: the build failed; tests of the broken targets did not run" >&2; fi
exit $(( build_rc | test_rc ))
