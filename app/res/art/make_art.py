#!/usr/bin/env python3
"""Generates the loader's pictures (Python 3 standard library only).

The output is deterministic; the files are committed beside this script:
  close.png     87 x 24   white cross in three states (plain, hover, pressed)
  trynow.png    832 x 40  four rounded orange states
  slide1..3.png 652 x 410 three opaque slides
  progress.png  66 x 24   rows 0-8 the fill colour, rows 9-23 the empty bar
  button.png    616 x 46  four rounded blue states
  loader.ico    16, 32, 48 the product icon
usage: make_art.py [output folder]
"""
import math
import os
import struct
import sys
import zlib


def png_bytes(width, height, pixels):
    """pixels: list of rows, each a list of (r, g, b, a) tuples."""
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def write_png(path, pixels):
    with open(path, "wb") as f:
        f.write(png_bytes(len(pixels[0]), len(pixels), pixels))


def blank(width, height, colour=(0, 0, 0, 0)):
    return [[colour] * width for _ in range(height)]


def over(dst, src):
    """Source-over of two straight-alpha pixels."""
    sr, sg, sb, sa = src
    dr, dg, db, da = dst
    a = sa / 255.0
    b = da / 255.0 * (1 - a)
    out = a + b
    if out <= 0:
        return (0, 0, 0, 0)
    mix = lambda s, d: int(round((s * a + d * b) / out))
    return (mix(sr, dr), mix(sg, dg), mix(sb, db), int(round(out * 255)))


def rounded_coverage(x, y, left, top, right, bottom, radius):
    """Share of the pixel (x, y) inside the rounded rectangle, 4 x 4 samples."""
    inside = 0
    for sy in range(4):
        for sx in range(4):
            px = x + (sx + 0.5) / 4
            py = y + (sy + 0.5) / 4
            if px < left or px > right or py < top or py > bottom:
                continue
            cx = min(max(px, left + radius), right - radius)
            cy = min(max(py, top + radius), bottom - radius)
            if (px - cx) ** 2 + (py - cy) ** 2 <= radius * radius:
                inside += 1
    return inside / 16.0


def fill_rounded(img, left, top, right, bottom, radius, colour):
    r, g, b, a = colour
    for y in range(int(top), int(math.ceil(bottom))):
        for x in range(int(left), int(math.ceil(right))):
            c = rounded_coverage(x, y, left, top, right, bottom, radius)
            if c > 0:
                img[y][x] = over(img[y][x], (r, g, b, int(round(a * c))))


def state_strip(width, height, states, colours, radius):
    img = blank(width * states, height)
    for i, colour in enumerate(colours):
        fill_rounded(img, i * width + 1, 1, (i + 1) * width - 1, height - 1, radius, colour)
    return img


def close_strip():
    img = blank(87, 24)
    backs = [None, (255, 255, 255, 70), (0, 0, 0, 90)]
    for i, back in enumerate(backs):
        x0 = i * 29
        if back:
            for y in range(24):
                for x in range(x0, x0 + 29):
                    img[y][x] = back
        # The cross: two anti-aliased strokes through the cell's centre.
        cx, cy = x0 + 14.5, 12.0
        for y in range(24):
            for x in range(x0, x0 + 29):
                hits = 0
                for sy in range(4):
                    for sx in range(4):
                        px = x + (sx + 0.5) / 4 - cx
                        py = y + (sy + 0.5) / 4 - cy
                        if abs(px) <= 5 and abs(py) <= 5 and (abs(px - py) <= 1.1 or abs(px + py) <= 1.1):
                            hits += 1
                if hits:
                    img[y][x] = over(img[y][x], (255, 255, 255, int(round(255 * hits / 16.0))))
    return img


def slide(seed):
    """An opaque slide: a diagonal gradient with soft discs, distinct per seed."""
    palettes = [((32, 78, 140), (90, 170, 220)), ((40, 120, 80), (170, 210, 120)), ((120, 50, 110), (230, 150, 120))]
    (r0, g0, b0), (r1, g1, b1) = palettes[seed]
    discs = [((160 + 120 * seed) % 652, 120 + 40 * seed, 90), ((480 - 90 * seed) % 652, 260 - 30 * seed, 140),
             ((320 + 60 * seed) % 652, 60 + 20 * seed, 50)]
    rows = []
    for y in range(410):
        row = []
        for x in range(652):
            t = (x / 652.0 + y / 410.0) / 2
            r = r0 + (r1 - r0) * t
            g = g0 + (g1 - g0) * t
            b = b0 + (b1 - b0) * t
            for dx, dy, rad in discs:
                d = math.hypot(x - dx, y - dy)
                if d < rad:
                    k = 0.25 * (1 - d / rad)
                    r += (255 - r) * k
                    g += (255 - g) * k
                    b += (255 - b) * k
            row.append((int(r), int(g), int(b), 255))
        rows.append(row)
    return rows


def progress_strip():
    img = blank(66, 24)
    fill = (0x61, 0xB2, 0xEB, 255)
    for y in range(9):
        for x in range(66):
            img[y][x] = fill
    # The empty bar: a light track with a grey rim in rows 9 to 23.
    for y in range(9, 24):
        for x in range(66):
            img[y][x] = (255, 255, 255, 0)
    fill_rounded(img, 0, 9, 66, 24, 7, (200, 200, 200, 255))
    fill_rounded(img, 1, 10, 65, 23, 6, (245, 245, 245, 255))
    return img


def icon_image(size):
    img = blank(size, size)
    fill_rounded(img, 0.5, 0.5, size - 0.5, size - 0.5, size / 5.0, (0xF0, 0x8A, 0x24, 255))
    # A white play triangle.
    for y in range(size):
        for x in range(size):
            hits = 0
            for sy in range(4):
                for sx in range(4):
                    px = (x + (sx + 0.5) / 4) / size
                    py = (y + (sy + 0.5) / 4) / size
                    if 0.36 <= px <= 0.72 and abs(py - 0.5) <= (0.72 - px) * 0.55 + 0.0 and px >= 0.36:
                        hits += 1
            if hits:
                img[y][x] = over(img[y][x], (255, 255, 255, int(round(255 * hits / 16.0))))
    return img


def ico_bytes(images):
    """An icon file of 32-bpp DIB entries with their AND masks."""
    entries = []
    for img in images:
        size = len(img)
        xor = bytearray()
        for row in reversed(img):
            for r, g, b, a in row:
                xor += bytes((b, g, r, a))
        mask_stride = ((size + 31) // 32) * 4
        mask = bytes(mask_stride * size)
        header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        entries.append((size, header + bytes(xor) + mask))
    out = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    for size, data in entries:
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in entries:
        out += data
    return out


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    write_png(os.path.join(out, "close.png"), close_strip())
    write_png(os.path.join(out, "trynow.png"),
              state_strip(208, 40, 4, [(0xF5, 0x8A, 0x1F, 255), (0xFF, 0xA0, 0x3C, 255), (0xD8, 0x72, 0x10, 255),
                                       (0xC8, 0xC8, 0xC8, 255)], 18))
    for i in range(3):
        write_png(os.path.join(out, "slide%d.png" % (i + 1)), slide(i))
    write_png(os.path.join(out, "progress.png"), progress_strip())
    write_png(os.path.join(out, "button.png"),
              state_strip(154, 46, 4, [(0x2D, 0x8C, 0xE6, 255), (0x4A, 0xA3, 0xF2, 255), (0x1C, 0x6F, 0xC0, 255),
                                       (0xB4, 0xB4, 0xB4, 255)], 8))
    with open(os.path.join(out, "loader.ico"), "wb") as f:
        f.write(ico_bytes([icon_image(s) for s in (16, 32, 48)]))


if __name__ == "__main__":
    main()
