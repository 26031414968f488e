#!/usr/bin/env python3
"""Writes a small APK for tests: a zip with a binary AndroidManifest.xml in aapt's
layout (XML chunk, string pool with the attribute names first, resource map,
namespace and element chunks with typed values), classes.dex (a header only) and
res/mipmap-mdpi/ic_launcher.png. Standard library only.

  make_apk.py --package com.a.b --activity .MainActivity --out good.apk
  make_apk.py --package com.a.c --activity .Real --alias .Alias --out alias.apk

--activity repeats; --launcher NAME picks the activity with the launcher filter (the
first by default), --alias adds an activity-alias that gets it instead,
--no-launcher gives none; --utf8-pool writes the string pool in UTF-8; also
--nomanifest (the zip without the manifest) and --notzip (random bytes).

Also the shared helpers of the generated test files: deterministic zips (folder
items first, fixed times), incompressible payloads and real PNGs.
"""
import argparse
import random
import struct
import zipfile
import zlib

FIXED_TIME = (2020, 1, 1, 0, 0, 0)

# ---- deterministic zips --------------------------------------------------------


def write_zip(path, entries, deflated=()):
    """entries: (name, bytes) in order; every folder gets an item of its own,
    folder items first, fixed times. Large payloads are stored, except the
    names in deflated."""
    folders = []
    for name, _ in entries:
        parts = name.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            folder = "/".join(parts[:i]) + "/"
            if folder not in folders:
                folders.append(folder)
    with zipfile.ZipFile(path, "w") as z:
        for folder in folders:
            info = zipfile.ZipInfo(folder, FIXED_TIME)
            info.external_attr = 0o40755 << 16 | 0x10
            z.writestr(info, b"")
        for name, data in entries:
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.external_attr = 0o100644 << 16
            large = len(data) > (1 << 20) and name not in deflated
            info.compress_type = zipfile.ZIP_STORED if large else zipfile.ZIP_DEFLATED
            z.writestr(info, data)


def payload(size, seed):
    """Incompressible bytes, the same for the same seed."""
    return random.Random(seed).randbytes(size)

# ---- PNG -----------------------------------------------------------------------


def png(width, height, seed=1, alpha=True):
    """A real PNG (RGBA or RGB, 8 bits) with a simple gradient pattern."""
    rnd = random.Random(seed)
    base = [rnd.randrange(256) for _ in range(3)]
    channels = 4 if alpha else 3
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            px = [(base[0] + x) & 255, (base[1] + y) & 255, (base[2] + x + y) & 255]
            if alpha:
                px.append(255 if (x + y) % 7 else 128)
            rows.extend(px)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    head = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha else 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", head) + chunk(b"IDAT", zlib.compress(bytes(rows), 9))
            + chunk(b"IEND", b""))

# ---- binary XML ----------------------------------------------------------------


ANDROID_NS = "http://schemas.android.com/apk/res/android"
# Attribute names with resource ids come first in the pool, in the map's order.
ATTRS = [("name", 0x01010003), ("versionName", 0x0101021C), ("targetActivity", 0x01010202)]


class Pool:
    def __init__(self):
        self.strings = [a for a, _ in ATTRS]

    def index(self, s):
        if s not in self.strings:
            self.strings.append(s)
        return self.strings.index(s)

    def chunk(self, utf8):
        offsets, data = [], b""
        for s in self.strings:
            offsets.append(len(data))
            if utf8:
                raw = s.encode("utf-8")
                assert len(s) < 128 and len(raw) < 128
                data += bytes([len(s), len(raw)]) + raw + b"\0"
            else:
                raw = s.encode("utf-16-le")
                data += struct.pack("<H", len(s)) + raw + b"\0\0"
        while len(data) % 4:
            data += b"\0"
        header_size = 28
        strings_start = header_size + 4 * len(offsets)
        body = b"".join(struct.pack("<I", o) for o in offsets) + data
        flags = 0x100 if utf8 else 0
        return struct.pack("<HHIIIIII", 0x0001, header_size, header_size + len(body), len(self.strings), 0,
                           flags, strings_start, 0) + body


def manifest(package, activities, launcher, alias, version_name, utf8):
    pool = Pool()
    ns_uri = pool.index(ANDROID_NS)
    ns_prefix = pool.index("android")
    nodes = []
    line = [1]

    def start(name, attrs):
        # attrs: (namespace uri or None, attribute name, string value)
        body = b""
        for ns, an, value in attrs:
            vi = pool.index(value)
            body += struct.pack("<IIIHBBI", pool.index(ns) if ns else 0xFFFFFFFF, pool.index(an), vi, 8, 0, 3, vi)
        ext = struct.pack("<IIHHHHHH", 0xFFFFFFFF, pool.index(name), 20, 20, len(attrs), 0, 0, 0)
        size = 16 + len(ext) + len(body)
        nodes.append(struct.pack("<HHIII", 0x0102, 16, size, line[0], 0xFFFFFFFF) + ext + body)
        line[0] += 1

    def end(name):
        nodes.append(struct.pack("<HHIIIII", 0x0103, 16, 24, line[0], 0xFFFFFFFF, 0xFFFFFFFF, pool.index(name)))
        line[0] += 1

    def intent_filter(action, category):
        start("intent-filter", [])
        start("action", [(ANDROID_NS, "name", action)])
        end("action")
        start("category", [(ANDROID_NS, "name", category)])
        end("category")
        end("intent-filter")

    nodes.append(struct.pack("<HHIIIII", 0x0100, 16, 24, 1, 0xFFFFFFFF, ns_prefix, ns_uri))
    start("manifest", [(None, "package", package), (ANDROID_NS, "versionName", version_name)])
    start("application", [])
    for a in activities:
        start("activity", [(ANDROID_NS, "name", a)])
        if a == launcher and not alias:
            intent_filter("android.intent.action.MAIN", "android.intent.category.LAUNCHER")
        else:
            intent_filter("android.intent.action.MAIN", "android.intent.category.DEFAULT")
        end("activity")
    if alias:
        start("activity-alias", [(ANDROID_NS, "name", alias), (ANDROID_NS, "targetActivity", activities[0])])
        if launcher is not None:
            intent_filter("android.intent.action.MAIN", "android.intent.category.LAUNCHER")
        end("activity-alias")
    end("application")
    end("manifest")
    nodes.append(struct.pack("<HHIIIII", 0x0101, 16, 24, line[0], 0xFFFFFFFF, ns_prefix, ns_uri))

    pool_chunk = pool.chunk(utf8)
    res_map = struct.pack("<HHI", 0x0180, 8, 8 + 4 * len(ATTRS)) + b"".join(struct.pack("<I", i) for _, i in ATTRS)
    body = pool_chunk + res_map + b"".join(nodes)
    return struct.pack("<HHI", 0x0003, 8, 8 + len(body)) + body


def apk_body():
    return [("classes.dex", b"dex\n035\0" + bytes(0x70 - 8)),
            ("res/mipmap-mdpi/ic_launcher.png", png(48, 48, seed=7))]


def write_apk(path, package="com.tarvo.sample", version_name="1.0", activity=".MainActivity"):
    """An APK whose only activity is the launcher."""
    write_zip(path, [("AndroidManifest.xml", manifest(package, [activity], activity, None, version_name, False))]
              + apk_body())


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--package", default="com.a.b")
    p.add_argument("--activity", action="append")
    p.add_argument("--launcher")
    p.add_argument("--alias")
    p.add_argument("--no-launcher", action="store_true")
    p.add_argument("--utf8-pool", action="store_true")
    p.add_argument("--version-name", default="1.0")
    p.add_argument("--nomanifest", action="store_true")
    p.add_argument("--notzip", action="store_true")
    p.add_argument("--out", required=True)
    a = p.parse_args()
    if a.notzip:
        rnd = random.Random(17)
        with open(a.out, "wb") as f:
            f.write(bytes(rnd.randrange(256) for _ in range(2048)))
        return
    activities = a.activity or [".MainActivity"]
    launcher = None if a.no_launcher else (a.launcher or activities[0])
    entries = []
    if not a.nomanifest:
        entries.append(("AndroidManifest.xml",
                        manifest(a.package, activities, launcher, a.alias, a.version_name, a.utf8_pool)))
    write_zip(a.out, entries + apk_body())


if __name__ == "__main__":
    main()
