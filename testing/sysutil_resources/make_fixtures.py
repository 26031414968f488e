#!/usr/bin/env python3
"""Writes the resource fixtures of the system-utility tests.

make_fixtures.py zip <out.zip>      the "VT_CHECKER" archive: a top folder with a subfolder
make_fixtures.py payload <out.bin>  70000 bytes of a fixed pattern
"""
import sys
import zipfile


def pattern(n):
    return bytes((i * 7 + i // 251) & 0xFF for i in range(n))


def main():
    kind, out = sys.argv[1], sys.argv[2]
    if kind == "zip":
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("vtchecker/", b"")
            z.writestr("vtchecker/hvprobe.dll", b"not a real library\n")
            z.writestr("vtchecker/sub/data.bin", pattern(70000))
    elif kind == "payload":
        with open(out, "wb") as f:
            f.write(pattern(70000))
    else:
        sys.exit("unknown fixture " + kind)


if __name__ == "__main__":
    main()
