#!/usr/bin/env bash
# Builds the deliverables (i686) and both test suites (i686 and x86_64), or with --loader
# only what the loader's run against the sample channel needs.
# usage: build.sh [--build-dir DIR] [--no-setup] [--loader]
# Both suites are built on every machine, so a fault that one architecture shows breaks
# the build everywhere. The i686 suite runs where the kernel runs 32-bit code; the x86_64
# suite runs everywhere. "$build/.run-arches" lists the suites that run here, and
# "$build/.test-arch" the architecture whose loader runs (i686 wherever it can).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
setup=1
loader_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$(mkdir -p "$2" && cd "$2" && pwd); shift 2;;
    --no-setup) setup=0; shift;;
    --loader) loader_only=1; shift;;
    *) echo "build.sh: unknown argument $1" >&2; exit 2;;
  esac
done
[ $setup -eq 1 ] && "$root/scripts/setup-machine.sh" >/dev/null
mkdir -p "$build"

if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  run_arches="i686 x86_64"; loader_arch=i686
else
  run_arches="x86_64"; loader_arch=x86_64
fi
echo "$run_arches" > "$build/.run-arches"
echo "$loader_arch" > "$build/.test-arch"
jobs=$(nproc)

configure() { # arch
  local dir=$build/$1 wine=OFF road=ON
  # A suite that cannot run here registers no Wine tests: CTest would run its
  # programs to list their cases. Its checks on the Linux side stay.
  case " $run_arches " in *" $1 "*) wine=ON;; esac
  # The whole-road cases run once per machine, in the i686 suite wherever it runs.
  if [ "$1" = x86_64 ]; then case " $run_arches " in *" i686 "*) road=OFF;; esac; fi
  if [ -f "$dir/CMakeCache.txt" ] && { ! grep -qx "TARVO_WINE_TESTS:BOOL=$wine" "$dir/CMakeCache.txt" ||
                                       ! grep -qx "TARVO_ROAD_TESTS:BOOL=$road" "$dir/CMakeCache.txt"; }; then
    rm -f "$dir/CMakeCache.txt"
    find "$dir" -name CTestTestfile.cmake -delete
  fi
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$1.cmake" \
      -DTARVO_DEPS_DIR="$build/_deps" -DTARVO_TESTS=ON -DTARVO_WINE_TESTS=$wine -DTARVO_ROAD_TESTS=$road >"$build/configure-$1.log" 2>&1 \
      || { cat "$build/configure-$1.log" >&2; exit 1; }
  fi
}

rc=0
if [ $loader_only -eq 1 ]; then
  # The loader with the libraries it embeds, and the fixtures and stand-ins of its run.
  configure "$loader_arch"
  cmake --build "$build/$loader_arch" -j "$jobs" --target loader_run -- -k || rc=1
else
  # -k: one broken target does not hide the state of the others.
  for arch in i686 x86_64; do
    configure "$arch"
    cmake --build "$build/$arch" -j "$jobs" -- -k || rc=1
  done
fi
[ $rc -eq 0 ] || echo "build.sh: BUILD FAILED (see errors above)" >&2
exit $rc
