#!/usr/bin/env python3
"""Builds a "DIZU" archive: the folder item "peerfetch/", then "peerfetch/Peerfetch.dll".

usage: make_dizu.py <out.zip> <library file>
The folder item comes first: extraction writes a file only into a folder that exists.
"""
import os
import sys
import zipfile


def main():
    out, library = sys.argv[1], sys.argv[2]
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(library, "rb") as f:
        data = f.read()
    with zipfile.ZipFile(out + ".tmp", "w", zipfile.ZIP_DEFLATED) as z:
        folder = zipfile.ZipInfo("peerfetch/", date_time=(2020, 1, 1, 0, 0, 0))
        folder.external_attr = 0x10  # MS-DOS directory
        z.writestr(folder, b"")
        item = zipfile.ZipInfo("peerfetch/Peerfetch.dll", date_time=(2020, 1, 1, 0, 0, 0))
        item.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(item, data)
    os.replace(out + ".tmp", out)


if __name__ == "__main__":
    main()
