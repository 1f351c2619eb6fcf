#!/usr/bin/env python3
"""Converts an X window dump (xwd, 24/32-bit TrueColor) to PNG, optionally cropped to a rectangle.

usage: xwd_to_png.py DUMP.xwd OUT.png [LEFT TOP RIGHT BOTTOM]
"""
import struct
import sys
import zlib

data = open(sys.argv[1], "rb").read()
fields = struct.unpack(">25I", data[:100])
header_size, version, pixmap_format, depth, width, height = fields[:6]
byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
red_mask, green_mask, blue_mask = fields[14:17]
ncolors = fields[19]
if bits_per_pixel not in (24, 32):
    sys.exit(f"xwd_to_png: {bits_per_pixel} bits a pixel is not handled")
step = bits_per_pixel // 8
pixels = data[header_size + 12 * ncolors:]

left, top, right, bottom = 0, 0, width, height
if len(sys.argv) >= 7:
    left, top, right, bottom = (int(v) for v in sys.argv[3:7])
    left, top = max(0, left), max(0, top)
    right, bottom = min(width, right), min(height, bottom)


def shift(mask):
    return (mask & -mask).bit_length() - 1


rs, gs, bs = shift(red_mask), shift(green_mask), shift(blue_mask)
endian = "<" if byte_order == 0 else ">"
raw = bytearray()
for y in range(top, bottom):
    raw.append(0)
    for x in range(left, right):
        at = y * bytes_per_line + x * step
        p = int.from_bytes(pixels[at:at + step], "little" if endian == "<" else "big")
        raw += bytes(((p & red_mask) >> rs, (p & green_mask) >> gs, (p & blue_mask) >> bs))


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


w, h = right - left, bottom - top
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")
open(sys.argv[2], "wb").write(png)
