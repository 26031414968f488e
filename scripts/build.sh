#!/usr/bin/env bash
# Builds the deliverables (i686) and the test suite.
# usage: build.sh [--build-dir DIR] [--no-setup]
# The test suite runs on the i686 build where the machine can run 32-bit code under
# Wine; on a kernel without 32-bit support it is built for x86_64 and run under 64-bit Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
setup=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$(mkdir -p "$2" && cd "$2" && pwd); shift 2;;
    --no-setup) setup=0; shift;;
    *) echo "build.sh: unknown argument $1" >&2; exit 2;;
  esac
done
[ $setup -eq 1 ] && "$root/scripts/setup-machine.sh" >/dev/null

if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then test_arch=i686; else test_arch=x86_64; fi
echo "$test_arch" > "$build/.test-arch" 2>/dev/null || { mkdir -p "$build"; echo "$test_arch" > "$build/.test-arch"; }
jobs=$(nproc)

configure() { # arch tests
  local dir=$build/$1
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$1.cmake" \
      -DTARVO_DEPS_DIR="$build/_deps" -DTARVO_TESTS="$2" -DTARVO_WINE_TESTS="$2" >"$build/configure-$1.log" 2>&1 \
      || { cat "$build/configure-$1.log" >&2; exit 1; }
  fi
}

rc=0
# -k: one broken target does not hide the state of the others.
if [ "$test_arch" = i686 ]; then
  configure i686 ON
  cmake --build "$build/i686" -j "$jobs" -- -k || rc=1
else
  configure i686 OFF
  configure x86_64 ON
  cmake --build "$build/i686" -j "$jobs" -- -k || rc=1
  cmake --build "$build/x86_64" -j "$jobs" -- -k || rc=1
fi
[ $rc -eq 0 ] || echo "build.sh: BUILD FAILED (see errors above)" >&2
exit $rc
