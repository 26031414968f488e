#!/usr/bin/env python3
"""usage: check-no-seams.py [--sources REPO] <pe-file>...
Fails when a product file carries a test build's switch or a test hook, as
narrow or UTF-16 text. With --sources, also when the product's own sources
declare or define a test hook (a name ending in "ForTests") outside the
seams headers, the tests and the blocks that only test builds compile."""
import os
import re
import sys

WORDS = ["TARVO_TEST_CPU", "ForTests"]
PRODUCT_FOLDERS = ["toolkit", "services", "installer", "platform", "app"]
TEST_SWITCHES = re.compile(r"\b(TARVO_TEST_SEAMS|TARVO_CPU_SEAM)\b")
HOOK = re.compile(r"\w*ForTests\b")


def is_test_file(name):
    return name == "seams.h" or "_test" in name


def source_hooks(path):
    """The lines of one product source that name a test hook where the
    product build sees them. A friend declaration compiles to nothing."""
    found = []
    stack = []  # per open conditional: [its branch is test-only, its #else is]
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            text = line.strip()
            directive = re.match(r"#\s*(\w+)(.*)", text)
            if directive:
                word, rest = directive.group(1), directive.group(2)
                if word in ("if", "ifdef", "ifndef"):
                    switch = bool(TEST_SWITCHES.search(rest))
                    negated = word == "ifndef" or "!" in rest
                    stack.append([switch and not negated, switch and negated])
                elif word == "else" and stack:
                    stack[-1] = [stack[-1][1], False]
                elif word == "elif" and stack:
                    stack[-1] = [False, False]
                elif word == "endif" and stack:
                    stack.pop()
                continue
            if any(branch for branch, _ in stack) or text.startswith("//") or text.startswith("friend "):
                continue
            if HOOK.search(text):
                found.append("%s:%d: %s" % (path, number, text))
    return found


rc = 0
args = sys.argv[1:]
if args[:1] == ["--sources"]:
    repo = args[1]
    args = args[2:]
    hooks = []
    for folder in PRODUCT_FOLDERS:
        for top, dirs, files in os.walk(os.path.join(repo, folder)):
            dirs.sort()
            for name in sorted(files):
                if name.endswith((".cpp", ".c", ".h")) and not is_test_file(name):
                    hooks += source_hooks(os.path.join(top, name))
    for line in hooks:
        print("test hook in the product's sources: " + line)
    if hooks:
        rc = 1
    else:
        print("%s: no test hook in the product's sources" % repo)

for path in args:
    with open(path, "rb") as f:
        data = f.read()
    held = False
    for word in WORDS:
        for form, text in (("narrow", word.encode("ascii")), ("UTF-16", word.encode("utf-16-le"))):
            if text in data:
                print("%s: holds %s (%s)" % (path, word, form))
                held = True
    if held:
        rc = 1
    else:
        print("%s: no test switch or hook" % path)
sys.exit(rc)
