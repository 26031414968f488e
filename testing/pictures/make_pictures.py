#!/usr/bin/env python3
"""Writes the picture fixtures of the tests: PNG files (good ones of every kind and hostile
ones) and BMP files for the icon packer. Only the standard library is used.

make_pictures.py <out folder>         writes every file and then "<out folder>/.done"
make_pictures.py --one <name> <file>  writes the one picture <name> (e.g. rgba_disk.png) to <file>

Pixel rules that tests rely on:
- rgba_disk.png: 128 x 128, a red disk (radius 48 around the centre) of alpha 255 on pixels
  of alpha 0 whose hidden colour is pure blue (0, 0, 255, 0).
- palette_trns.png: 16 x 16, palette index 0 red with alpha 0 (left half), index 1 green
  opaque (right top), index 2 blue with alpha 0x80 (right bottom).
- gray.png: 16 x 16 gray 0x80. rgba16.png: 16 x 16 16-bit RGBA, left half opaque red,
  right half blue of alpha 0, samples only 0 and 0xFFFF.
- interlaced.png: 32 x 32 RGBA, Adam7; quadrants red, green (top), blue, white (bottom).
- one_pixel.png: 1 x 1 opaque green. wide_200x100.png: RGB, left half red, right half blue.
- BMP pixel bytes follow pattern(): byte i of the pixel array is (i * 7 + i // 251) & 0xFF
  (alpha included for 32-bit files).
"""
import os
import struct
import sys
import zlib


def pattern(n, seed=0):
    return bytes(((i + seed) * 7 + (i + seed) // 251) & 0xFF for i in range(n))


# ---------------------------------------------------------------- PNG

SIG = b"\x89PNG\r\n\x1a\n"


def chunk(kind, data, bad_crc=False):
    crc = zlib.crc32(kind + data) & 0xFFFFFFFF
    if bad_crc:
        crc ^= 0x5A5A5A5A
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc)


def ihdr(w, h, depth, ctype, interlace=0):
    return chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, depth, ctype, 0, 0, interlace))


CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}


def raw_rows(w, h, depth, ctype, pixel, xs=None, ys=None):
    """Scan lines with filter 0; pixel(x, y) gives the samples of one pixel."""
    xs = list(range(w)) if xs is None else xs
    ys = list(range(h)) if ys is None else ys
    out = bytearray()
    for y in ys:
        out.append(0)
        for x in xs:
            for s in pixel(x, y):
                out += struct.pack(">H", s) if depth == 16 else bytes([s])
    return bytes(out)


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def png(w, h, depth, ctype, pixel, interlace=False, extra=b""):
    if interlace:
        data = b""
        for x0, y0, dx, dy in ADAM7:
            xs = list(range(x0, w, dx))
            ys = list(range(y0, h, dy))
            if xs and ys:
                data += raw_rows(w, h, depth, ctype, pixel, xs, ys)
    else:
        data = raw_rows(w, h, depth, ctype, pixel)
    return (SIG + ihdr(w, h, depth, ctype, 1 if interlace else 0) + extra
            + chunk(b"IDAT", zlib.compress(data, 9)) + chunk(b"IEND", b""))


def disk(x, y):
    dx, dy = x - 63.5, y - 63.5
    return (255, 0, 0, 255) if dx * dx + dy * dy <= 48 * 48 else (0, 0, 255, 0)


def quadrants(w, h, colours):
    def pixel(x, y):
        return colours[(2 if y >= h // 2 else 0) + (1 if x >= w // 2 else 0)]
    return pixel


def good_pngs():
    yield "rgba_disk.png", png(128, 128, 8, 6, disk)
    plte = chunk(b"PLTE", bytes([255, 0, 0, 0, 255, 0, 0, 0, 255]))
    trns = chunk(b"tRNS", bytes([0, 255, 0x80]))
    yield "palette_trns.png", png(16, 16, 8, 3, lambda x, y: (0,) if x < 8 else ((1,) if y < 8 else (2,)),
                                  extra=plte + trns)
    yield "gray.png", png(16, 16, 8, 0, lambda x, y: (0x80,))
    yield "rgba16.png", png(16, 16, 16, 6,
                            lambda x, y: (0xFFFF, 0, 0, 0xFFFF) if x < 8 else (0, 0, 0xFFFF, 0))
    yield "interlaced.png", png(32, 32, 8, 6, quadrants(32, 32, [(255, 0, 0, 255), (0, 255, 0, 255),
                                                                (0, 0, 255, 255), (255, 255, 255, 255)]),
                                interlace=True)
    yield "one_pixel.png", png(1, 1, 8, 6, lambda x, y: (0, 255, 0, 255))
    yield "wide_200x100.png", png(200, 100, 8, 2, lambda x, y: (255, 0, 0) if x < 100 else (0, 0, 255))
    yield "limit_2048x2048.png", png(2048, 2048, 8, 2, lambda x, y: (10, 20, 30))
    yield "over_2049x1.png", png(2049, 1, 8, 2, lambda x, y: (10, 20, 30))


def hostile_pngs():
    small = raw_rows(32, 32, 8, 6, lambda x, y: (1, 2, 3, 255))
    yield "huge_header.png", (SIG + ihdr(60000, 60000, 8, 6) + chunk(b"IDAT", pattern(100))
                              + chunk(b"IEND", b""))
    yield "zero_width.png", (SIG + ihdr(0, 16, 8, 6) + chunk(b"IDAT", zlib.compress(b"\0" * 16))
                             + chunk(b"IEND", b""))
    yield "cut_after_ihdr.png", SIG + ihdr(32, 32, 8, 6)
    yield "short_idat.png", (SIG + ihdr(32, 32, 8, 6) + chunk(b"IDAT", zlib.compress(small[:len(small) // 2]))
                             + chunk(b"IEND", b""))
    yield "crc_error.png", (SIG + ihdr(32, 32, 8, 6) + chunk(b"IDAT", zlib.compress(small), bad_crc=True)
                            + chunk(b"IEND", b""))
    yield "html.png", b"<html><head><title>404 Not Found</title></head><body>Not Found</body></html>\n"
    yield "jpeg_bytes.png", (b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
                             + pattern(200) + b"\xff\xd9")
    yield "empty.png", b""
    # A good picture padded past 8 MiB: only its size refuses it.
    body = png(16, 16, 8, 6, lambda x, y: (0, 0, 0, 255))
    yield "over_8mib.png", body + b"\0" * (8 * 1024 * 1024 + 1 - len(body))


# ---------------------------------------------------------------- BMP

def row_bytes(w, bits):
    return ((w * bits + 31) // 32) * 4


def bmp(w, h, bits, colours=0, palette_entries=None, compression=0, header_size=40,
        pixel_bytes=None, cut=None, seed=0):
    """A bottom-up bitmap; palette_entries is the number of palette entries stored."""
    if palette_entries is None:
        palette_entries = (colours or (1 << bits)) if bits < 16 else 0
    palette = pattern(palette_entries * 4, seed + 99)
    pixels = pattern(row_bytes(w, bits) * abs(h), seed) if pixel_bytes is None else pixel_bytes
    info = struct.pack("<IiiHHIIiiII", header_size, w, h, 1, bits, compression, len(pixels), 2835, 2835,
                       colours, 0)
    info += b"\0" * (header_size - len(info))
    offset = 14 + header_size + len(palette)
    data = b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) + info + palette + pixels
    return data[:cut] if cut is not None else data


def bmps():
    yield "bmp24_64.bmp", bmp(64, 64, 24)
    yield "bmp32_16.bmp", bmp(16, 16, 32, seed=1)
    yield "bmp32_32.bmp", bmp(32, 32, 32, seed=2)
    yield "bmp32_64.bmp", bmp(64, 64, 32, seed=3)
    yield "bmp8_16_256.bmp", bmp(16, 16, 8)
    yield "bmp8_16_used16.bmp", bmp(16, 16, 8, colours=16)
    yield "bmp4_32.bmp", bmp(32, 32, 4)
    yield "bmp1_16.bmp", bmp(16, 16, 1)
    yield "bmp24_48.bmp", bmp(48, 48, 24)
    yield "bmp24_64x32.bmp", bmp(64, 32, 24)
    yield "bmp8_rle8.bmp", bmp(16, 16, 8, compression=1, pixel_bytes=b"\x10\x01" * 16 + b"\x00\x01")
    yield "bmp_header_only.bmp", bmp(16, 16, 24, cut=54)
    yield "bmp_short_rows.bmp", bmp(64, 64, 24, cut=54 + 64 * 192 - 1)
    yield "bmp8_300_colours.bmp", bmp(16, 16, 8, colours=300, palette_entries=256)
    yield "bmp_v5_header.bmp", bmp(32, 32, 32, header_size=124)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--one":
        for gen in (good_pngs, hostile_pngs, bmps):
            for name, data in gen():
                if name == sys.argv[2]:
                    with open(sys.argv[3], "wb") as f:
                        f.write(data)
                    return
        sys.exit("unknown picture " + sys.argv[2])
    if len(sys.argv) != 2:
        sys.exit("usage: make_pictures.py <out folder> | --one <name> <file>")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for gen in (good_pngs, hostile_pngs, bmps):
        for name, data in gen():
            with open(os.path.join(out, name), "wb") as f:
                f.write(data)
    with open(os.path.join(out, ".done"), "w") as f:
        f.write("ok\n")


if __name__ == "__main__":
    main()
