#!/usr/bin/env bash
# Rewrites the dialog's reference pictures (testing/dialog_refs/*.png) from what the
# x86_64 dialog_tests capture now, instead of comparing with them. Look at every
# changed picture by eye before committing it. Never part of CI.
# usage: update-dialog-references.sh [--build-dir DIR] [ctest -R regex]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
if [ "${1:-}" = "--build-dir" ]; then build=$(cd "$2" && pwd); shift 2; fi
regex=${1:-'^dialog_tests\.ScreenTest\.'}
[ -d "$build/x86_64" ] || { echo "update-dialog-references: build first (scripts/build.sh --build-dir $build)" >&2; exit 1; }
cmake --build "$build/x86_64" -j4 --target dialog_tests
TARVO_UPDATE_REFERENCES=1 xvfb-run -a -s "-screen 0 1024x768x24" \
  "$root/scripts/run-ctest.sh" "$build" x86_64 -R "$regex"
git -C "$root" status --short -- testing/dialog_refs
