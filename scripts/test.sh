#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test: the checks of the
# deliverables on the Linux side and the test executables under Wine inside one Xvfb.
# usage: test.sh [--build-dir DIR] [ctest arguments, e.g. -R toolkit]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
if [ "${1:-}" = "--build-dir" ]; then build=$(mkdir -p "$2" && cd "$2" && pwd); shift 2; fi
build_rc=0
started=$(date +%s)
"$root/scripts/build.sh" --build-dir "$build" || build_rc=1
build_s=$(( $(date +%s) - started ))
run_arches=$(cat "$build/.run-arches")
built_only=
for arch in i686 x86_64; do
  case " $run_arches " in *" $arch "*) ;; *) built_only="$built_only $arch";; esac
done
echo "test.sh: test suites run: $run_arches; built only:${built_only:- none}"
test_rc=0
# Free disk while the tests run, sampled: the tests' Wine prefixes take gigabytes,
# and a full disk fails them in ways that look like faults of the code.
free_mib() { df --output=avail -B1M "$build" | tail -1 | tr -d ' '; }
free_at_start=$(free_mib)
(while sleep 5; do free_mib; done) >"$build/.disk-free" 2>/dev/null &
sampler=$!
# run-ctest.sh records the wall time of each suite here ("<suite> <seconds>").
rm -f "$build/.suite-times"
# shellcheck disable=SC2086
xvfb-run -a -s "-screen 0 1024x768x24" "$root/scripts/run-ctest.sh" "$build" "$run_arches" "$@" || test_rc=1
kill "$sampler" 2>/dev/null || true
least=$( (echo "$free_at_start"; cat "$build/.disk-free") | sort -n | head -1)
echo "test.sh: test suites run: $run_arches; built only:${built_only:- none}"
echo "test.sh: disk free: ${free_at_start} MiB when the tests started, ${least} MiB at the least while they ran"
echo "test.sh: wall time: set-up and build ${build_s} s"
if [ -f "$build/.suite-times" ]; then
  while read -r suite seconds; do echo "test.sh: wall time: $suite ${seconds} s"; done <"$build/.suite-times"
fi
if [ $build_rc -ne 0 ]; then echo "test.sh: the build failed; tests of the broken targets did not run" >&2; fi
exit $(( build_rc | test_rc ))
