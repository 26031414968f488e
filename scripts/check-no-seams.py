#!/usr/bin/env python3
"""usage: check-no-seams.py <pe-file>...
Fails when a product file carries a test build's switch, as narrow or UTF-16 text."""
import sys

WORDS = ["TARVO_TEST_CPU"]

rc = 0
for path in sys.argv[1:]:
    with open(path, "rb") as f:
        data = f.read()
    for word in WORDS:
        for form, text in (("narrow", word.encode("ascii")), ("UTF-16", word.encode("utf-16-le"))):
            if text in data:
                print("%s: holds %s (%s)" % (path, word, form))
                rc = 1
    if rc == 0:
        print("%s: no test switch" % path)
sys.exit(rc)
