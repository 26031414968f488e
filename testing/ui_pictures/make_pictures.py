#!/usr/bin/env python3
"""Writes the picture fixtures of the dialog's picture and button tests into a folder.

make_pictures.py <out-folder>

Strips (solid states, opaque unless said):
  strip_87x24.png    three states: red, green, blue
  strip_616x46.png   four states: red, green, blue, magenta
  strip_88x24.png    three states of 29: red, green, blue; column 87 magenta
  strip_2x24.png     red, too narrow for three states
  strip_half.png     87 x 24, every pixel (200, 100, 50, 128)
Pixels:
  rgba_4x2.png       every pixel (200, 100, 50, 128)
  hidden_blue.png    4 x 4, alpha 0 over pure blue
  palette_trns.png   2 x 1 palette: transparent red, opaque green
  gray.png           2 x 2 gray 0x80
  rgba16.png         2 x 2 16-bit RGBA: opaque red from 0 / 0xFFFF samples
  interlaced.png     9 x 9 Adam7, and plain_twin.png its non-interlaced twin
  slide.png          64 x 48 pattern (the download tests' picture)
  premultiply.png    6 x 1 gray pixels (c, a): (255, 255), (255, 128), (200, 128),
                     (1, 128), (1, 127), (100, 0)
Limits:
  one_1x1.png, big_2048.png (2048 x 2048), wide_2049x1.png
Hostile:
  header_60000.png   IHDR of 60000 x 60000 with a 100-byte IDAT
  zero_width.png, cut_after_ihdr.png, short_idat.png, crc_error.png,
  page_html.png (HTML text), jpeg_bytes.png (a JPEG), empty.png,
  over_8mib.png (a valid 1 x 1 PNG padded to 8 MiB + 1 by an ancillary chunk)
Resources:
  small.jpg          16 x 8 baseline gray JPEG
  not_webp.bin       bytes that are no picture
  bitmap24.bmp       3 x 2 24-bit BMP
"""
import os
import struct
import sys
import zlib

RED = (255, 0, 0, 255)
GREEN = (0, 255, 0, 255)
BLUE = (0, 0, 255, 255)
MAGENTA = (255, 0, 255, 255)


def chunk(kind, data, crc=None):
    if crc is None:
        crc = zlib.crc32(kind + data) & 0xFFFFFFFF
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc)


def ihdr(width, height, depth=8, colour=6, interlace=0):
    return chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace))


SIGNATURE = b"\x89PNG\r\n\x1a\n"


def rgba_rows(pixels, width, height):
    raw = bytearray()
    for y in range(height):
        raw.append(0)
        for x in range(width):
            raw.extend(pixels(x, y))
    return bytes(raw)


def png_rgba(width, height, pixels, extra=b""):
    data = zlib.compress(rgba_rows(pixels, width, height), 9)
    return SIGNATURE + ihdr(width, height) + extra + chunk(b"IDAT", data) + chunk(b"IEND", b"")


def strip(width, height, states, tail=None):
    slice_width = width // len(states)

    def pixel(x, _y):
        index = x // slice_width
        if index >= len(states):
            return tail
        return states[index]

    return png_rgba(width, height, pixel)


def pattern(x, y):
    return ((x * 37 + y * 11) & 0xFF, (x * 5 + y * 29) & 0xFF, (x * y) & 0xFF,
            255 if (x + y) % 3 else 96)


def adam7(width, height, pixels):
    passes = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
              (0, 1, 1, 2)]
    raw = bytearray()
    for x0, y0, dx, dy in passes:
        xs = list(range(x0, width, dx))
        ys = list(range(y0, height, dy))
        if not xs or not ys:
            continue
        for y in ys:
            raw.append(0)
            for x in xs:
                raw.extend(pixels(x, y))
    data = zlib.compress(bytes(raw), 9)
    return SIGNATURE + ihdr(width, height, interlace=1) + chunk(b"IDAT", data) + chunk(b"IEND", b"")


def palette_trns():
    plte = chunk(b"PLTE", bytes([255, 0, 0, 0, 255, 0]))
    trns = chunk(b"tRNS", bytes([0, 255]))
    data = zlib.compress(bytes([0, 0, 1]), 9)
    return (SIGNATURE + ihdr(2, 1, depth=8, colour=3) + plte + trns + chunk(b"IDAT", data) +
            chunk(b"IEND", b""))


def gray():
    raw = bytes([0, 0x80, 0x80]) * 2
    return SIGNATURE + ihdr(2, 2, depth=8, colour=0) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def rgba16():
    red = struct.pack(">HHHH", 0xFFFF, 0, 0, 0xFFFF)
    raw = (b"\x00" + red * 2) * 2
    return SIGNATURE + ihdr(2, 2, depth=16) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def solid(width, height, rgba):
    row = b"\x00" + bytes(rgba) * width
    data = zlib.compress(row * height, 9)
    return SIGNATURE + ihdr(width, height) + chunk(b"IDAT", data) + chunk(b"IEND", b"")


def header_60000():
    return SIGNATURE + ihdr(60000, 60000) + chunk(b"IDAT", bytes(range(100))) + chunk(b"IEND", b"")


def zero_width():
    return SIGNATURE + ihdr(0, 4) + chunk(b"IDAT", zlib.compress(b"\x00" * 4)) + chunk(b"IEND", b"")


def cut_after_ihdr():
    return SIGNATURE + ihdr(8, 8)


def short_idat():
    # Two rows of the eight the header announces.
    raw = (b"\x00" + bytes(RED) * 8) * 2
    return SIGNATURE + ihdr(8, 8) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def crc_error():
    raw = (b"\x00" + bytes(GREEN) * 8) * 8
    data = zlib.compress(raw)
    bad = (zlib.crc32(b"IDAT" + data) ^ 0x5A5A5A5A) & 0xFFFFFFFF
    return SIGNATURE + ihdr(8, 8) + chunk(b"IDAT", data, crc=bad) + chunk(b"IEND", b"")


def over_8mib():
    small = solid(1, 1, GREEN)
    target = 8 * 1024 * 1024 + 1
    pad = target - len(small) - 12
    return SIGNATURE + small[8:33] + chunk(b"paDd", b"\x00" * pad) + small[33:]


def small_jpeg():
    # A baseline gray 16 x 8 JPEG: two blocks of DC 0 (gray 128) with one-code
    # Huffman tables (DC category 0, AC end of block).
    soi = b"\xff\xd8"
    app0 = b"\xff\xe0" + struct.pack(">H", 16) + b"JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
    dqt = b"\xff\xdb" + struct.pack(">H", 67) + b"\x00" + b"\x01" * 64
    sof = b"\xff\xc0" + struct.pack(">HBHHB", 11, 8, 8, 16, 1) + b"\x01\x11\x00"
    counts = b"\x01" + b"\x00" * 15
    dht_dc = b"\xff\xc4" + struct.pack(">H", 2 + 1 + 16 + 1) + b"\x00" + counts + b"\x00"
    dht_ac = b"\xff\xc4" + struct.pack(">H", 2 + 1 + 16 + 1) + b"\x10" + counts + b"\x00"
    sos = b"\xff\xda" + struct.pack(">HB", 8, 1) + b"\x01\x00" + b"\x00\x3f\x00"
    scan = b"\x0f"  # 0000 (two blocks of DC "0" and EOB "0"), padded with ones
    eoi = b"\xff\xd9"
    return soi + app0 + dqt + sof + dht_dc + dht_ac + sos + scan + eoi


def bitmap24():
    width, height = 3, 2
    row = bytes([0, 0, 255, 0, 255, 0, 255, 0, 0]) + b"\x00" * 3  # BGR red, green, blue + pad
    pixels = row * height
    header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    file_header = b"BM" + struct.pack("<IHHI", 14 + 40 + len(pixels), 0, 0, 14 + 40)
    return file_header + header + pixels


PREMULTIPLY = [(255, 255), (255, 128), (200, 128), (1, 128), (1, 127), (100, 0)]

HTML = b"<!DOCTYPE html>\n<html><head><title>Not found</title></head><body><p>nothing here</p></body></html>\n"


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    half = (200, 100, 50, 128)
    files = {
        "strip_87x24.png": strip(87, 24, [RED, GREEN, BLUE]),
        "strip_616x46.png": strip(616, 46, [RED, GREEN, BLUE, MAGENTA]),
        "strip_88x24.png": strip(88, 24, [RED, GREEN, BLUE], tail=MAGENTA),
        "strip_2x24.png": solid(2, 24, RED),
        "strip_half.png": solid(87, 24, half),
        "rgba_4x2.png": solid(4, 2, half),
        "hidden_blue.png": solid(4, 4, (0, 0, 255, 0)),
        "palette_trns.png": palette_trns(),
        "gray.png": gray(),
        "rgba16.png": rgba16(),
        "interlaced.png": adam7(9, 9, pattern),
        "plain_twin.png": png_rgba(9, 9, pattern),
        "slide.png": png_rgba(64, 48, pattern),
        "premultiply.png": png_rgba(6, 1, lambda x, _y: (PREMULTIPLY[x][0],) * 3 + (PREMULTIPLY[x][1],)),
        "one_1x1.png": solid(1, 1, BLUE),
        "big_2048.png": solid(2048, 2048, GREEN),
        "wide_2049x1.png": solid(2049, 1, GREEN),
        "header_60000.png": header_60000(),
        "zero_width.png": zero_width(),
        "cut_after_ihdr.png": cut_after_ihdr(),
        "short_idat.png": short_idat(),
        "crc_error.png": crc_error(),
        "page_html.png": HTML,
        "jpeg_bytes.png": small_jpeg(),
        "empty.png": b"",
        "over_8mib.png": over_8mib(),
        "small.jpg": small_jpeg(),
        "not_webp.bin": b"RIFF\x10\x00\x00\x00WEBPVP8 this is no picture at all",
        "bitmap24.bmp": bitmap24(),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    assert os.path.getsize(os.path.join(out, "over_8mib.png")) == 8 * 1024 * 1024 + 1


if __name__ == "__main__":
    main()
