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
"""
import argparse
import random
import struct
import zlib
import zipfile

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


def png_1x1():
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    ihdr = struct.pack(">IIBBBBB", 1, 1, 8, 6, 0, 0, 0)
    idat = zlib.compress(b"\0\x20\x80\xe0\xff")
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", idat) + chunk(b"IEND", b"")


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
    with zipfile.ZipFile(a.out, "w", zipfile.ZIP_DEFLATED) as z:
        if not a.nomanifest:
            z.writestr("AndroidManifest.xml",
                       manifest(a.package, activities, launcher, a.alias, a.version_name, a.utf8_pool))
        z.writestr("classes.dex", b"dex\n035\0" + b"\0" * 104)
        z.writestr("res/mipmap-mdpi/ic_launcher.png", png_1x1())


if __name__ == "__main__":
    main()
