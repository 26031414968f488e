#!/usr/bin/env python3
"""usage: make_zip.py OUT.zip ENTRY...

ENTRY is "folder/" for a folder item or "name=path" for a file; items are written
in the order given, so a folder item can come before the files inside it."""
import sys
import zipfile


def main(argv):
    if len(argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    with zipfile.ZipFile(argv[1], "w", zipfile.ZIP_DEFLATED) as archive:
        for entry in argv[2:]:
            if entry.endswith("/"):
                info = zipfile.ZipInfo(entry, date_time=(2020, 1, 1, 0, 0, 0))
                info.external_attr = (0o40755 << 16) | 0x10
                archive.writestr(info, b"")
            else:
                name, path = entry.split("=", 1)
                with open(path, "rb") as source:
                    data = source.read()
                info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
                info.compress_type = zipfile.ZIP_DEFLATED
                info.external_attr = 0o100644 << 16
                archive.writestr(info, data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
