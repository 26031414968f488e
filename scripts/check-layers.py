#!/usr/bin/env python3
"""usage: check-layers.py REPO
Fails when a product source includes a header of a folder above its own. The
folders from the top down: app, installer, services, platform, toolkit; each
uses only those below it (tests excluded: they may reach up for fixtures)."""
import os
import re
import sys

LAYERS = ["app", "installer", "services", "platform", "toolkit"]
INCLUDE = re.compile(r'\s*#\s*include\s+"([^/"]+)/')

repo = sys.argv[1]
found = []
for level, folder in enumerate(LAYERS):
    for top, dirs, files in os.walk(os.path.join(repo, folder)):
        dirs.sort()
        for name in sorted(files):
            if not name.endswith((".cpp", ".c", ".h")) or "_test" in name:
                continue
            path = os.path.join(top, name)
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if m and m.group(1) in LAYERS[:level]:
                        found.append("%s:%d: %s" % (os.path.relpath(path, repo), number, line.strip()))
for line in found:
    print("include from a folder above: " + line)
if not found:
    print("%s: every product source includes only its own folder and those below" % repo)
sys.exit(1 if found else 0)
