#!/usr/bin/env python3
"""Writes the pictures of the dialog's picture, download and button tests that the
shared fixtures (testing/pictures) do not have, with the shared PNG writer.

make_ui_pictures.py <out folder>   writes every file and then "<out folder>/.done"

Strips (solid states, opaque unless said):
  strip_87x24.png    three states: red, green, blue
  strip_616x46.png   four states: red, green, blue, magenta
  strip_88x24.png    three states of 29: red, green, blue; column 87 magenta
  strip_2x24.png     red, too narrow for three states
  strip_half.png     87 x 24, every pixel (200, 100, 50, 128)
Pixels:
  rgba_4x2.png       every pixel (200, 100, 50, 128)
  premultiply.png    6 x 1 gray pixels (c, a): (255, 255), (255, 128), (200, 128),
                     (1, 128), (1, 127), (100, 0)
  slide.png          64 x 48, pixel (x, y) = ((x*37 + y*11) & 255, (x*5 + y*29) & 255,
                     (x*y) & 255, 255 or 96 when (x + y) % 3 == 0): the downloads' picture
Resources:
  small.jpg          16 x 8 baseline gray JPEG
  not_webp.bin       bytes that are no picture
"""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pictures"))
import make_pictures as shared  # noqa: E402

RED = (255, 0, 0, 255)
GREEN = (0, 255, 0, 255)
BLUE = (0, 0, 255, 255)
MAGENTA = (255, 0, 255, 255)
HALF = (200, 100, 50, 128)
PREMULTIPLY = [(255, 255), (255, 128), (200, 128), (1, 128), (1, 127), (100, 0)]


def rgba(w, h, pixel):
    return shared.png(w, h, 8, 6, pixel)


def strip(w, h, states, tail=None):
    slice_width = w // len(states)
    return rgba(w, h, lambda x, _y: states[x // slice_width] if x // slice_width < len(states) else tail)


def slide_pixel(x, y):
    return ((x * 37 + y * 11) & 0xFF, (x * 5 + y * 29) & 0xFF, (x * y) & 0xFF, 255 if (x + y) % 3 else 96)


def small_jpeg():
    # Baseline gray 16 x 8: two blocks of DC 0 (gray 128), with one-code Huffman
    # tables (DC category 0, AC end of block).
    app0 = b"\xff\xe0" + struct.pack(">H", 16) + b"JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
    dqt = b"\xff\xdb" + struct.pack(">H", 67) + b"\x00" + b"\x01" * 64
    sof = b"\xff\xc0" + struct.pack(">HBHHB", 11, 8, 8, 16, 1) + b"\x01\x11\x00"
    counts = b"\x01" + b"\x00" * 15
    dht_dc = b"\xff\xc4" + struct.pack(">H", 20) + b"\x00" + counts + b"\x00"
    dht_ac = b"\xff\xc4" + struct.pack(">H", 20) + b"\x10" + counts + b"\x00"
    sos = b"\xff\xda" + struct.pack(">HB", 8, 1) + b"\x01\x00" + b"\x00\x3f\x00"
    scan = b"\x0f"  # "00" "00": DC and EOB of each block, padded with ones
    return b"\xff\xd8" + app0 + dqt + sof + dht_dc + dht_ac + sos + scan + b"\xff\xd9"


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_ui_pictures.py <out folder>")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    files = {
        "strip_87x24.png": strip(87, 24, [RED, GREEN, BLUE]),
        "strip_616x46.png": strip(616, 46, [RED, GREEN, BLUE, MAGENTA]),
        "strip_88x24.png": strip(88, 24, [RED, GREEN, BLUE], tail=MAGENTA),
        "strip_2x24.png": rgba(2, 24, lambda x, y: RED),
        "strip_half.png": rgba(87, 24, lambda x, y: HALF),
        "rgba_4x2.png": rgba(4, 2, lambda x, y: HALF),
        "premultiply.png": rgba(6, 1, lambda x, _y: (PREMULTIPLY[x][0],) * 3 + (PREMULTIPLY[x][1],)),
        "slide.png": rgba(64, 48, slide_pixel),
        "small.jpg": small_jpeg(),
        "not_webp.bin": b"RIFF\x10\x00\x00\x00WEBPVP8 this is no picture at all",
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    with open(os.path.join(out, ".done"), "w") as f:
        f.write("ok\n")


if __name__ == "__main__":
    main()
