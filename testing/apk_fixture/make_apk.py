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

  make_apk.py --manifest-suite DIR

writes the manifest reader's fixtures into DIR: valid ones (several launchers,
disabled aliases, filters of other components, names that are references or
that a shell would split, no resource map, emptied attribute names, raw values
only, long strings in both length forms, stored or deflated items) and
malformed ones made from a valid manifest at offsets this script knows.

Also the shared helpers of the generated test files: deterministic zips (folder
items first, fixed times), incompressible payloads and real PNGs.
"""
import argparse
import os
import random
import struct
import zipfile
import zlib

FIXED_TIME = (2020, 1, 1, 0, 0, 0)

# ---- deterministic zips --------------------------------------------------------


def write_zip(path, entries):
    """entries: (name, bytes) or (name, bytes, compress_type) in order; every
    folder gets an item of its own, folder items first, fixed times. Large
    payloads are stored, unless the entry says otherwise."""
    folders = []
    for name, *_ in entries:
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
        for name, data, *kind in entries:
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.external_attr = 0o100644 << 16
            if kind:
                info.compress_type = kind[0]
            else:
                large = len(data) > (1 << 20)
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


def utf8_length(n):
    assert n < 0x8000
    return bytes([n]) if n < 0x80 else bytes([0x80 | (n >> 8), n & 0xFF])


def utf16_length(n):
    assert n < 0x80000000
    return struct.pack("<H", n) if n < 0x8000 else struct.pack("<HH", 0x8000 | (n >> 16), n & 0xFFFF)


class Pool:
    def __init__(self, attrs=ATTRS, empty_names=False):
        # The attribute names sit at the map's positions; an obfuscator leaves them empty.
        self.attrs = [a for a, _ in attrs]
        self.strings = ["" if empty_names else a for a in self.attrs]

    def attr(self, name):
        """Index of an attribute name: its map position when it has one."""
        if name in self.attrs:
            return self.attrs.index(name)
        return self.index(name)

    def index(self, s):
        if s not in self.strings[len(self.attrs):]:
            self.strings.append(s)
        return self.strings.index(s, len(self.attrs))

    def chunk(self, utf8):
        offsets, data = [], b""
        for s in self.strings:
            offsets.append(len(data))
            if utf8:
                raw = s.encode("utf-8")
                data += utf8_length(len(s)) + utf8_length(len(raw)) + raw + b"\0"
            else:
                raw = s.encode("utf-16-le")
                data += utf16_length(len(raw) // 2) + raw + b"\0\0"
        while len(data) % 4:
            data += b"\0"
        header_size = 28
        strings_start = header_size + 4 * len(offsets)
        body = b"".join(struct.pack("<I", o) for o in offsets) + data
        flags = 0x100 if utf8 else 0
        return struct.pack("<HHIIIIII", 0x0001, header_size, header_size + len(body), len(self.strings), 0,
                           flags, strings_start, 0) + body


MAIN = "android.intent.action.MAIN"
LAUNCHER = "android.intent.category.LAUNCHER"
DEFAULT = "android.intent.category.DEFAULT"
ENABLED = ("enabled", 0x0101000E)


def component(tag, name, filters=(), enabled=None, target=None):
    """An element under <application>: filters are (actions, categories) pairs;
    name is a text, ("ref", id) or None; enabled None leaves the attribute out."""
    return {"tag": tag, "name": name, "filters": list(filters), "enabled": enabled, "target": target}


def build_manifest(package, components, version_name="1.0", utf8=False, res_map=True, empty_names=False,
                   raw_only=False, depth=0):
    """The binary XML document. raw_only writes string values without their typed
    copy; depth nests that many <meta> elements inside <application>."""
    attrs = list(ATTRS)
    if any(c["enabled"] is not None for c in components):
        attrs.append(ENABLED)
    pool = Pool(attrs, empty_names)
    ns_uri = pool.index(ANDROID_NS)
    ns_prefix = pool.index("android")
    nodes = []
    line = [1]

    def value(v):
        """(raw index, type, data) of an attribute value."""
        if isinstance(v, tuple) and v[0] == "ref":
            return 0xFFFFFFFF, 0x01, v[1]
        if isinstance(v, tuple) and v[0] == "bool":
            return 0xFFFFFFFF, 0x12, 0xFFFFFFFF if v[1] else 0
        vi = pool.index(v)
        return (vi, 0x00, 0) if raw_only else (vi, 0x03, vi)

    def start(name, attributes):
        # attributes: (namespace uri or None, attribute name, value)
        body = b""
        for ns, an, v in attributes:
            raw, kind, data = value(v)
            body += struct.pack("<IIIHBBI", pool.index(ns) if ns else 0xFFFFFFFF, pool.attr(an), raw, 8, 0, kind,
                                data)
        ext = struct.pack("<IIHHHHHH", 0xFFFFFFFF, pool.index(name), 20, 20, len(attributes), 0, 0, 0)
        size = 16 + len(ext) + len(body)
        nodes.append(struct.pack("<HHIII", 0x0102, 16, size, line[0], 0xFFFFFFFF) + ext + body)
        line[0] += 1

    def end(name):
        nodes.append(struct.pack("<HHIIIII", 0x0103, 16, 24, line[0], 0xFFFFFFFF, 0xFFFFFFFF, pool.index(name)))
        line[0] += 1

    def intent_filter(actions, categories):
        start("intent-filter", [])
        for tag, names in (("action", actions), ("category", categories)):
            for n in names:
                start(tag, [(ANDROID_NS, "name", n)])
                end(tag)
        end("intent-filter")

    nodes.append(struct.pack("<HHIIIII", 0x0100, 16, 24, 1, 0xFFFFFFFF, ns_prefix, ns_uri))
    start("manifest", [(None, "package", package), (ANDROID_NS, "versionName", version_name)])
    start("application", [])
    for _ in range(depth):
        start("meta", [])
    for _ in range(depth):
        end("meta")
    for c in components:
        attributes = []
        if c["name"] is not None:
            attributes.append((ANDROID_NS, "name", c["name"]))
        if c["enabled"] is not None:
            attributes.append((ANDROID_NS, "enabled", ("bool", c["enabled"])))
        if c["target"] is not None:
            attributes.append((ANDROID_NS, "targetActivity", c["target"]))
        start(c["tag"], attributes)
        for actions, categories in c["filters"]:
            intent_filter(actions, categories)
        end(c["tag"])
    end("application")
    end("manifest")
    nodes.append(struct.pack("<HHIIIII", 0x0101, 16, 24, line[0], 0xFFFFFFFF, ns_prefix, ns_uri))

    pool_chunk = pool.chunk(utf8)
    body = pool_chunk
    if res_map:
        body += struct.pack("<HHI", 0x0180, 8, 8 + 4 * len(attrs)) + b"".join(struct.pack("<I", i) for _, i in attrs)
    body += b"".join(nodes)
    return struct.pack("<HHI", 0x0003, 8, 8 + len(body)) + body


def manifest(package, activities, launcher, alias, version_name, utf8):
    components = []
    for a in activities:
        category = LAUNCHER if a == launcher and not alias else DEFAULT
        components.append(component("activity", a, [([MAIN], [category])]))
    if alias:
        filters = [([MAIN], [LAUNCHER])] if launcher is not None else []
        components.append(component("activity-alias", alias, filters, target=activities[0]))
    return build_manifest(package, components, version_name, utf8)


def apk_body():
    return [("classes.dex", b"dex\n035\0" + bytes(0x70 - 8)),
            ("res/mipmap-mdpi/ic_launcher.png", png(48, 48, seed=7))]


def write_apk(path, package="com.tarvo.sample", version_name="1.0", activity=".MainActivity"):
    """An APK whose only activity is the launcher."""
    write_zip(path, [("AndroidManifest.xml", manifest(package, [activity], activity, None, version_name, False))]
              + apk_body())


# ---- the manifest reader's fixtures -------------------------------------------


def inner_chunks(doc):
    """(offset, type, header size, size) of the document's top-level chunks."""
    out, pos = [], struct.unpack_from("<H", doc, 2)[0]
    while pos < len(doc):
        kind, head, size = struct.unpack_from("<HHI", doc, pos)
        out.append((pos, kind, head, size))
        pos += size
    return out


def first_chunk(doc, kind):
    return next(c for c in inner_chunks(doc) if c[1] == kind)


def put(doc, offset, fmt, *values):
    out = bytearray(doc)
    struct.pack_into(fmt, out, offset, *values)
    return bytes(out)


def pool_string_offset(doc, index):
    """Document offset of string `index` (its length prefix)."""
    pos, _, _, _ = first_chunk(doc, 0x0001)
    strings_start = struct.unpack_from("<I", doc, pos + 20)[0]
    (relative,) = struct.unpack_from("<I", doc, pos + 28 + 4 * index)
    return pos + strings_start + relative


def pool_count(doc):
    return struct.unpack_from("<I", doc, first_chunk(doc, 0x0001)[0] + 8)[0]


def launcher(name, tag="activity", enabled=None):
    return component(tag, name, [([MAIN], [LAUNCHER])], enabled=enabled)


def base_manifest(utf8=False):
    return build_manifest("com.x.base", [launcher(".Main")], utf8=utf8)


def malformed_manifests():
    """name -> document: each breaks one rule of the format."""
    base = base_manifest()
    base8 = base_manifest(utf8=True)
    pool = first_chunk(base, 0x0001)
    element = first_chunk(base, 0x0102)
    last = inner_chunks(base)[-1]
    count = pool_count(base)
    out = {
        "outer_type": put(base, 0, "<H", 0x0005),
        "chunk_size0": put(base, pool[0] + 4, "<I", 0),
        "chunk_past_end": put(base, last[0] + 4, "<I", last[3] + 8),
        "header_below8": put(base, element[0] + 2, "<H", 4),
        "string_count": put(base, pool[0] + 8, "<I", 0x7FFFFFFF),
        "strings_start": put(base, pool[0] + 20, "<I", pool[3] + 4),
        "string_offset": put(base, pool[0] + 28, "<I", pool[3]),
        "utf16_length": put(base, pool_string_offset(base, count - 1), "<H", 0x7FFF),
        "utf8_length": put(base8, pool_string_offset(base8, pool_count(base8) - 1) + 1, "<B", 0x7F),
        "name_index": put(base, element[0] + 16 + 4, "<I", count),
        "attr_size0": put(base, element[0] + 16 + 10, "<H", 0),
        "attr_count": put(base, element[0] + 16 + 12, "<H", 0xFFFF),
        "attr_start": put(base, element[0] + 16 + 8, "<H", 0xFFF0),
        "deep": build_manifest("com.x.deep", [launcher(".Main")], depth=100000),
    }
    # Invalid UTF-8 in the root element's name.
    name = pool_string_offset(base8, struct.unpack_from("<I", base8, first_chunk(base8, 0x0102)[0] + 20)[0])
    out["invalid_utf8"] = put(base8, name + 2, "<B", 0xFF)
    # An end element after the root has closed.
    stray = struct.pack("<HHIIIII", 0x0103, 16, 24, 99, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    body = base[8:last[0]] + stray + base[last[0]:]
    out["end_nothing_open"] = struct.pack("<HHI", 0x0003, 8, 8 + len(body)) + body
    # The elements before the pool and the map.
    pieces = [base[c[0]:c[0] + c[3]] for c in inner_chunks(base)]
    kinds = [c[1] for c in inner_chunks(base)]
    body = b"".join(p for p, k in zip(pieces, kinds) if k not in (0x0001, 0x0180)) + \
        b"".join(p for p, k in zip(pieces, kinds) if k in (0x0001, 0x0180))
    out["element_before_pool"] = struct.pack("<HHI", 0x0003, 8, 8 + len(body)) + body
    return out


def valid_manifests():
    """name -> (document, stored): the documents the reader must understand."""
    long16 = "1." + "9" * 40000        # two-unit UTF-16 length
    long8 = "1.\u00e9" + "8" * 1000    # two-byte UTF-8 lengths, a multi-byte character
    long_activity = ".L" + "o" * 200
    return {
        "base": (base_manifest(), False),
        "two_launchers": (build_manifest("com.x.two", [launcher(".First"), launcher(".Second")]), False),
        "disabled_alias": (build_manifest("com.x.alias", [
            component("activity-alias", ".Alias", [([MAIN], [LAUNCHER])], enabled=False, target=".Main"),
            launcher(".Main", enabled=True)]), False),
        "service_launcher": (build_manifest("com.x.svc", [
            component("service", ".Svc", [([MAIN], [LAUNCHER])]),
            component("activity", ".Main", [([MAIN], [DEFAULT])])]), False),
        "plain_name": (build_manifest("com.x.plain", [launcher("Main")]), False),
        "inner_class": (build_manifest("com.x.inner", [launcher("com.x.Outer$Inner")]), False),
        "reference_name": (build_manifest("com.x.ref", [launcher(("ref", 0x7F0A0001)), launcher(".Real")]), False),
        "bad_package": (build_manifest("com.a;b", [launcher(".Main")]), False),
        "mygame": (build_manifest("mygame.app", [launcher(".Main")]), False),
        "ids_only": (build_manifest("com.x.ids", [launcher(".Main", enabled=True)], empty_names=True), False),
        "no_map": (build_manifest("com.x.nomap", [launcher(".Main", enabled=True)], res_map=False), False),
        "raw_only": (build_manifest("com.x.raw", [launcher(".Main")], raw_only=True), False),
        "utf8_long": (build_manifest("com.x.utf", [
            component("activity", ".Other", [([MAIN], [DEFAULT])]), launcher(long_activity)],
            version_name=long8, utf8=True), False),
        "alias_long": (build_manifest("com.x.along", [
            component("activity", ".Real", [([MAIN], [DEFAULT])]),
            component("activity-alias", ".Alias", [([MAIN], [LAUNCHER])], target=".Real")],
            version_name=long16), False),
        "utf8_alias_long": (build_manifest("com.x.ualong", [
            component("activity", ".Real", [([MAIN], [DEFAULT])]),
            component("activity-alias", ".Alias", [([MAIN], [LAUNCHER])], target=".Real")],
            version_name=long8, utf8=True), False),
        "stored": (base_manifest(), True),
        "no_launcher": (build_manifest("com.x.none", [component("activity", ".Main", [([MAIN], [DEFAULT])])]),
                        False),
    }


def manifest_suite(folder):
    """Writes v_<name>.apk, m_<name>.apk and manifest_base.bin into folder."""
    os.makedirs(folder, exist_ok=True)
    for name, (doc, stored) in valid_manifests().items():
        kind = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
        write_zip(os.path.join(folder, "v_%s.apk" % name), [("AndroidManifest.xml", doc, kind)] + apk_body())
    for name, doc in malformed_manifests().items():
        write_zip(os.path.join(folder, "m_%s.apk" % name),
                  [("AndroidManifest.xml", doc, zipfile.ZIP_DEFLATED)] + apk_body())
    base = base_manifest()
    with open(os.path.join(folder, "manifest_base.bin"), "wb") as f:
        f.write(base)
    # A stored manifest whose bytes no longer match the check sum.
    path = os.path.join(folder, "m_bad_crc.apk")
    write_zip(path, [("AndroidManifest.xml", base, zipfile.ZIP_STORED)] + apk_body())
    with open(path, "rb") as f:
        data = bytearray(f.read())
    at = data.find(base) + len(base) - 30
    data[at] ^= 0x01
    with open(path, "wb") as f:
        f.write(data)
    # 9 MiB of zeros: a few KiB once deflated.
    write_zip(os.path.join(folder, "m_huge.apk"),
              [("AndroidManifest.xml", bytes(9 << 20), zipfile.ZIP_DEFLATED)] + apk_body())


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
    p.add_argument("--manifest-suite")
    p.add_argument("--out")
    a = p.parse_args()
    if a.manifest_suite:
        manifest_suite(a.manifest_suite)
        return
    if not a.out:
        p.error("--out is required")
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
