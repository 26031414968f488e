#!/usr/bin/env python3
"""Writes the Qv engine packages of the stand-ins. Standard library only;
deterministic (fixed times, fixed seeds).

  make_qv_package.py OUT_DIR --program KEY=PATH [--program KEY=PATH ...]

Keys are the stand-ins' program names (qvInstaller, helper, TarvoTips, qvPlayer,
TV-Service, ...). Files written:
  qv_engine_3.1.0.1001.zip, qv_engine_3.1.0.1002.zip  the engine packages
  qv_engine_nosetup.zip    the 1001 package without qvInstaller.exe
  qv_engine_damaged.zip    the 1001 package whose TV-Service.exe data is garbage
                           (the central directory stays, so only that item fails)
The package's qvPlayer.exe and engine.ini carry the package version.
"""
import argparse
import os
import struct
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "apk_fixture"))
import make_apk  # noqa: E402

VERSIONS = ("3.1.0.1001", "3.1.0.1002")
MIB = 1 << 20
DAMAGED_ITEM = "tarvoplayer/qvplayer/TV-Service.exe"

# Item of the package -> stand-in key.
PROGRAMS = [
    ("tarvoplayer/qvInstaller.exe", "qvInstaller"),
    ("tarvoplayer/TarvoHelper.exe", "helper"),
    ("tarvoplayer/TarvoTips.exe", "TarvoTips"),
    ("tarvoplayer/qvPlayer.exe", "qvPlayer"),
    ("tarvoplayer/qvplayer/TV-Service.exe", "TV-Service"),
    ("tarvoplayer/qvplayer/TV-Frontend.exe", "TV-Frontend"),
    ("tarvoplayer/qvplayer/TV-Quit.exe", "TV-Quit"),
    ("tarvoplayer/qvplayer/TV-RunApp.exe", "TV-RunApp"),
    ("tarvoplayer/qvplayer/TV-ApkHandler.exe", "TV-ApkHandler"),
    ("tarvoplayer/qvplayer/TV-StartLauncher.exe", "TV-StartLauncher"),
    ("tarvoplayer/qvplayer/tvHdDrv.exe", "tvHdDrv"),
]


def with_file_version(exe, version):
    """exe with every VS_FIXEDFILEINFO's file and product version set."""
    parts = [int(p) for p in version.split(".")]
    ms = (parts[0] << 16) | parts[1]
    ls = (parts[2] << 16) | parts[3]
    out = bytearray(exe)
    signature = struct.pack("<I", 0xFEEF04BD)
    at = out.find(signature)
    if at < 0:
        raise SystemExit("make_qv_package: the player stand-in has no version block")
    while at >= 0:
        # dwSignature, dwStrucVersion, dwFileVersionMS/LS, dwProductVersionMS/LS
        struct.pack_into("<IIII", out, at + 8, ms, ls, ms, ls)
        at = out.find(signature, at + 4)
    return bytes(out)


def package(programs, version, skip=()):
    entries = []
    for item, key in PROGRAMS:
        if item in skip:
            continue
        data = programs[key]
        if key == "qvPlayer":
            data = with_file_version(data, version)
        entries.append((item, data))
    entries.append(("tarvoplayer/qvplayer/engine.ini", ("version=%s\r\n" % version).encode("ascii")))
    # Bulk that makes the extraction report progress.
    entries.append(("tarvoplayer/qvplayer/system.img", make_apk.payload(4 * MIB, 11)))
    return entries


def damage(path, item):
    """Overwrites the compressed data of item: 0xFF starts a deflate block of the
    reserved type, so inflating it fails at once."""
    with zipfile.ZipFile(path) as z:
        info = z.getinfo(item)
        if info.compress_type != zipfile.ZIP_DEFLATED:
            raise SystemExit("make_qv_package: %s is not deflated" % item)
        offset, size = info.header_offset, info.compress_size
    with open(path, "r+b") as f:
        f.seek(offset)
        local = f.read(30)
        name_len, extra_len = struct.unpack_from("<HH", local, 26)
        f.seek(offset + 30 + name_len + extra_len)
        f.write(b"\xff" * size)


def write_all(out, programs):
    """programs: stand-in key -> bytes."""
    os.makedirs(out, exist_ok=True)
    for version in VERSIONS:
        make_apk.write_zip(os.path.join(out, "qv_engine_%s.zip" % version), package(programs, version))
    make_apk.write_zip(os.path.join(out, "qv_engine_nosetup.zip"),
                       package(programs, VERSIONS[0], skip=("tarvoplayer/qvInstaller.exe",)))
    damaged = os.path.join(out, "qv_engine_damaged.zip")
    make_apk.write_zip(damaged, [entry + (zipfile.ZIP_DEFLATED,) if entry[0] == DAMAGED_ITEM else entry
                                 for entry in package(programs, VERSIONS[0])])
    damage(damaged, DAMAGED_ITEM)


def parse_arguments():
    """OUT_DIR and the --program KEY=PATH items, read into key -> bytes."""
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--program", action="append", default=[])
    a = parser.parse_args()
    programs = {}
    for item in a.program:
        key, path = item.split("=", 1)
        with open(path, "rb") as f:
            programs[key] = f.read()
    return a.out, programs


def main():
    out, programs = parse_arguments()
    missing = sorted({key for _, key in PROGRAMS} - set(programs))
    if missing:
        raise SystemExit("make_qv_package: no program for " + ", ".join(missing))
    write_all(out, programs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
