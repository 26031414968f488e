#!/usr/bin/env python3
"""Copies a Wine prefix for a test run: Wine's own program files under
drive_c/windows are hard links to the source's, everything else is copied.
A prefix is 1.3 GB, nearly all of it those files, and a test run holds a dozen
prefixes at once: copied whole, they can fill the disk. No case writes into
those files (they are only read and loaded), so sharing them is safe.

  prefix_copy.py SOURCE TARGET     (TARGET must not exist yet)
"""
import os
import shutil
import sys

SHARED_SUFFIXES = (".dll", ".exe", ".nls", ".drv", ".sys", ".ocx", ".cpl", ".acm", ".tlb", ".ds", ".ax",
                   ".vxd", ".com", ".mod", ".msstyles")


def copy_prefix(source, target):
    """The copy, with modes and times; symbolic links (dosdevices) stay links."""
    if os.path.lexists(target):
        raise FileExistsError(target)
    windows = os.path.join(source, "drive_c", "windows") + os.sep
    folders = []
    for top, dirs, files in os.walk(source):
        into = os.path.join(target, os.path.relpath(top, source))
        os.makedirs(into, exist_ok=True)
        folders.append((top, into))
        shared = (top + os.sep).startswith(windows)
        for name in list(dirs) + files:
            src, dest = os.path.join(top, name), os.path.join(into, name)
            if os.path.islink(src):
                os.symlink(os.readlink(src), dest)
                if name in dirs:
                    dirs.remove(name)  # not walked into
            elif name in dirs:
                continue
            elif shared and name.lower().endswith(SHARED_SUFFIXES) and link(src, dest):
                continue
            else:
                shutil.copy2(src, dest, follow_symlinks=False)
    # Folder times last, once their entries are in.
    for top, into in folders:
        shutil.copystat(top, into)


def link(src, dest):
    try:
        os.link(src, dest)
        return True
    except OSError:
        return False  # another file system, or too many links: a copy


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    copy_prefix(sys.argv[1], sys.argv[2])
