#!/usr/bin/env python3
"""Runs one group of the removal road's cases in a prefix of its own, copied
afresh from the road template: the cases delete the data folders, services,
keys and start menu of their prefix, so groups in prefixes of their own run
side by side. The prefix's wineserver is ended at the end; the prefix is
removed after a pass and kept, with its path printed, after a failure.

  run_group.py --arch-dir BUILD/ARCH --prefix DIR --filter GTEST_FILTER
"""
import argparse
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "testing", "qv_road"))
import road  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch-dir", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--filter", required=True)
    a = parser.parse_args()
    arch_dir, prefix = os.path.abspath(a.arch_dir), os.path.abspath(a.prefix)
    build_dir = os.path.dirname(arch_dir)
    road.fresh_prefix(arch_dir, prefix)
    env = dict(os.environ, TARVO_BUILD_DIR=build_dir, TARVO_WINEPREFIX=prefix)
    bin_dir = os.path.join(arch_dir, "bin")
    try:
        run = subprocess.run([os.path.join(ROOT, "scripts", "wine-run"), os.path.join(bin_dir, "removal_road_tests.exe"),
                              "--gtest_filter=" + a.filter], env=env, cwd=bin_dir, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    finally:
        road.end_wineserver(build_dir, prefix)
    out = run.stdout.decode("utf-8", "replace")
    sys.stdout.write(out)
    rc = run.returncode
    # A group whose names match no case would pass without running anything.
    if rc == 0 and "[==========] 0 tests" in out:
        print("no case matches %s" % a.filter)
        rc = 1
    if rc == 0:
        shutil.rmtree(prefix, ignore_errors=True)
    else:
        print("prefix kept: %s" % prefix)
    return rc


if __name__ == "__main__":
    sys.exit(main())
