#!/usr/bin/env python3
"""Generates the dialog tests' skin pictures and the sample channel's pictures.

  a.png, b.png, c.png  652 x 410, opaque, distinct
  short.png            652 x 300, opaque: stretched to the dialog's height
  icon.png             96 x 96 with alpha
  garbage.png          bytes that are no picture
  huge.png             a PNG whose header declares 30000 x 30000
  tiny.png             10 x 10
and ../sample_channel/files/tip1.png, tip2.png, sample_icon.png.
"""
import os
import struct
import sys
import zlib

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "..", "app", "res", "art"))
import make_art  # noqa: E402


def solid_pattern(kind):
    rows = []
    for y in range(410):
        row = []
        for x in range(652):
            if kind == "a":  # warm diagonal stripes
                c = (230, 120, 40) if ((x + y) // 40) % 2 else (250, 200, 90)
            elif kind == "b":  # green checker
                c = (40, 150, 70) if ((x // 50) + (y // 50)) % 2 else (160, 220, 140)
            else:  # violet bands
                c = (90, 40, 140) if (y // 30) % 2 else (190, 140, 230)
            row.append(c + (255,))
        rows.append(row)
    return rows


def short_pattern():
    # Teal bands, and 10-pixel ends of another colour, so the three slices show.
    rows = []
    for y in range(300):
        row = []
        for x in range(652):
            if x < 10 or x >= 642:
                c = (30, 40, 120)
            else:
                c = (20, 130, 140) if (y // 25) % 2 else (150, 220, 210)
            row.append(c + (255,))
        rows.append(row)
    return rows


def icon():
    img = make_art.blank(96, 96)
    make_art.fill_rounded(img, 4, 4, 92, 92, 20, (200, 30, 60, 255))
    make_art.fill_rounded(img, 30, 30, 66, 66, 18, (255, 255, 255, 160))
    return img


def huge():
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 30000, 30000, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(b"\x00" * 4096)) + chunk(b"IEND", b""))


def main():
    for k in "abc":
        make_art.write_png(os.path.join(here, k + ".png"), solid_pattern(k))
    make_art.write_png(os.path.join(here, "short.png"), short_pattern())
    make_art.write_png(os.path.join(here, "icon.png"), icon())
    with open(os.path.join(here, "garbage.png"), "wb") as f:
        f.write(bytes((i * 37 + 11) & 0xFF for i in range(3000)))
    with open(os.path.join(here, "huge.png"), "wb") as f:
        f.write(huge())
    make_art.write_png(os.path.join(here, "tiny.png"), [[(0, 0, 255, 255)] * 10 for _ in range(10)])
    files = os.path.join(here, "..", "sample_channel", "files")
    os.makedirs(files, exist_ok=True)
    make_art.write_png(os.path.join(files, "tip1.png"), solid_pattern("a"))
    make_art.write_png(os.path.join(files, "tip2.png"), solid_pattern("b"))
    make_art.write_png(os.path.join(files, "sample_icon.png"), icon())


if __name__ == "__main__":
    main()
