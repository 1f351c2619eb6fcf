#!/usr/bin/env python3
"""Draws the driver's own pictures: the panel's mark (bitmap 104), the maker's wordmark (102), the microphone of
the firmware notice (108), the update sign (109) and the window icon (106).

Each shape is a signed distance field sampled 4 x 4 times per pixel, so edges are smooth at any size. Bitmaps are
32-bit BGRA with straight alpha, drawn at three times their size at 100 % scaling; the dialogs shrink them to
their controls at the display's scaling and lay them on the dialog's own face colour. The icon carries the usual
sizes from 16 to 256 pixels.

usage: python3 src/ui/art/draw_art.py [OUTPUT_DIR]   (default: the folder of this script)
"""
import math
import os
import struct
import sys
import zlib

INK = (46, 52, 64)          # dark slate: lines and letters
ACCENT = (0, 122, 110)      # teal: the Tessel colour
ACCENT_LIGHT = (80, 190, 175)
WHITE = (255, 255, 255)


# --- distance functions: negative inside, in pixels of the design grid ---------------------------------------
def seg(px, py, ax, ay, bx, by, r):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy or 1)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy) - r


def rbox(px, py, cx, cy, hw, hh, r):
    qx, qy = abs(px - cx) - hw + r, abs(py - cy) - hh + r
    return math.hypot(max(qx, 0), max(qy, 0)) + min(max(qx, qy), 0) - r


def circle(px, py, cx, cy, r):
    return math.hypot(px - cx, py - cy) - r


def arc(px, py, cx, cy, radius, a0, a1, r):
    """A stroke of width 2r along the circle from angle a0 to a1 (degrees, counter-clockwise, y down)."""
    ang = math.degrees(math.atan2(-(py - cy), px - cx)) % 360
    span = (a1 - a0) % 360
    if (ang - a0) % 360 <= span:
        return abs(math.hypot(px - cx, py - cy) - radius) - r
    ends = [(cx + radius * math.cos(math.radians(a)), cy - radius * math.sin(math.radians(a))) for a in (a0, a1)]
    return min(math.hypot(px - x, py - y) for x, y in ends) - r


def tri(px, py, pts):
    """Filled triangle (signed distance, exact enough for anti-aliasing)."""
    d = min(seg(px, py, *pts[i], *pts[(i + 1) % 3], 0) for i in range(3))
    (x0, y0), (x1, y1), (x2, y2) = pts
    s = [(x1 - x0) * (py - y0) - (y1 - y0) * (px - x0), (x2 - x1) * (py - y1) - (y2 - y1) * (px - x1),
         (x0 - x2) * (py - y2) - (y0 - y2) * (px - x2)]
    inside = all(v >= 0 for v in s) or all(v <= 0 for v in s)
    return -d if inside else d


def hexagon(px, py, cx, cy, r):
    """Pointy-top regular hexagon of circumradius r."""
    x, y = abs(px - cx), abs(py - cy)
    k = math.sqrt(3) / 2
    return max(x - k * r, (x * 0.5 + y * k) - k * r)


# --- a tiny canvas ---------------------------------------------------------------------------------------------
class Canvas:
    def __init__(self, w, h, scale):
        self.w, self.h, self.s = w, h, scale  # design units are pixels at scale 1
        self.px = [[(0.0, 0.0, 0.0, 0.0)] * w for _ in range(h)]

    def fill(self, sdf, colour, alpha=1.0):
        ss = 4
        for y in range(self.h):
            row = self.px[y]
            for x in range(self.w):
                # Quick reject far from the shape.
                d0 = sdf((x + 0.5) / self.s, (y + 0.5) / self.s) * self.s
                if d0 > 2.0:
                    continue
                if d0 < -2.0:
                    cover = 1.0
                else:
                    hits = 0
                    for j in range(ss):
                        for i in range(ss):
                            if sdf((x + (i + 0.5) / ss) / self.s, (y + (j + 0.5) / ss) / self.s) <= 0:
                                hits += 1
                    cover = hits / (ss * ss)
                a = cover * alpha
                if a <= 0:
                    continue
                r, g, b, da = row[x]
                na = a + da * (1 - a)
                mix = [(c * a + dc * da * (1 - a)) / na for c, dc in zip(colour, (r, g, b))]
                row[x] = (mix[0], mix[1], mix[2], na)

    def bgra(self):
        out = bytearray()
        for row in self.px:
            for r, g, b, a in row:
                out += bytes((round(b), round(g), round(r), round(a * 255)))
        return out


def union(*fs):
    return lambda x, y: min(f(x, y) for f in fs)


def minus(f, g):
    return lambda x, y: max(f(x, y), -g(x, y))


# --- the drawings, in design units ------------------------------------------------------------------------------
def microphone(c, cx, top, width, height, with_stand=True, grille=ACCENT, body=INK):
    """The Tessel: a rounded capsule with a hexagon grille, a neck and optionally a stand."""
    hw = width / 2
    cap_h = height * (0.62 if with_stand else 0.78)
    cy = top + cap_h / 2
    line = max(width * 0.05, 0.9)
    shell = lambda x, y: rbox(x, y, cx, cy, hw, cap_h / 2, hw)
    c.fill(lambda x, y: abs(shell(x, y)) - line, body)
    # Hexagon tessellation inside the capsule.
    r = width * 0.13
    dx, dy = math.sqrt(3) * r, 1.5 * r
    inner = lambda x, y: shell(x, y) + line * 2.2
    def grid(x, y):
        row0 = round((y - cy) / dy)
        best = None
        for row in (row0 - 1, row0, row0 + 1):
            shift = dx / 2 if row % 2 else 0
            col0 = round((x - cx - shift) / dx)
            for col in (col0 - 1, col0, col0 + 1):
                hx, hy = cx + col * dx + shift, cy + row * dy
                d = (x - hx) ** 2 + (y - hy) ** 2
                if best is None or d < best[0]:
                    best = (d, hx, hy)
        return abs(hexagon(x, y, best[1], best[2], r)) - line * 0.45
    c.fill(lambda x, y: max(grid(x, y), inner(x, y)), grille)
    if with_stand:
        bottom = top + cap_h
        yoke = lambda x, y: arc(x, y, cx, cy + cap_h * 0.12, hw * 1.32, 200, 340, line)
        neck = lambda x, y: seg(x, y, cx, bottom + hw * 0.22, cx, top + height - line * 1.5, line)
        base = lambda x, y: seg(x, y, cx - hw * 0.75, top + height - line * 1.5, cx + hw * 0.75,
                                top + height - line * 1.5, line)
        c.fill(union(yoke, neck, base), body)


def letters(text, x0, y0, h, stroke):
    """Stroke letters of height h for the few glyphs the pictures need."""
    w = h * 0.62
    shapes = []
    x = x0
    for ch in text:
        L, R, T, B, M = x, x + w, y0, y0 + h, y0 + h / 2
        s = []
        if ch == "K":
            s = [(L, T, L, B), (R, T, L + w * 0.1, M), (L + w * 0.35, M - h * 0.12, R, B)]
        elif ch == "O":
            shapes.append(lambda px, py, L=L, R=R, T=T, B=B: abs(rbox(px, py, (L + R) / 2, (T + B) / 2, w / 2,
                                                                        h / 2, w / 2)) - stroke)
        elif ch == "R":
            s = [(L, T, L, B), (L, T, L + w * 0.55, T), (L, M, L + w * 0.55, M), (L + w * 0.45, M, R, B)]
            shapes.append(lambda px, py, L=L, T=T, M=M: arc(px, py, L + w * 0.55, (T + M) / 2, (M - T) / 2, 270,
                                                           90, stroke))
        elif ch == "V":
            s = [(L, T, (L + R) / 2, B), ((L + R) / 2, B, R, T)]
        elif ch == "E":
            s = [(L, T, L, B), (L, T, R, T), (L, M, R - w * 0.15, M), (L, B, R, B)]
        elif ch == "L":
            s = [(L, T, L, B), (L, B, R, B)]
        elif ch == "T":
            s = [(L, T, R, T), ((L + R) / 2, T, (L + R) / 2, B)]
        elif ch == "S":
            q = h / 4
            shapes.append(lambda px, py, L=L, T=T, q=q: arc(px, py, L + w / 2, T + q, min(q, w / 2), 0, 270,
                                                           stroke))
            shapes.append(lambda px, py, L=L, B=B, q=q: arc(px, py, L + w / 2, B - q, min(q, w / 2), 180, 90,
                                                           stroke))
        for a in s:
            shapes.append(lambda px, py, a=a: seg(px, py, *a, stroke))
        x += w + h * 0.32
    return union(*shapes), x - h * 0.32 - x0


def draw_mark(s):
    """Bitmap 104: the panel's mark, a small microphone beside the name."""
    c = Canvas(84 * s, 44 * s, s)
    microphone(c, 11, 5, 14, 34)
    text, width = letters("TESSEL", 25.5, 16, 11, 1.25)
    c.fill(text, INK)
    c.fill(lambda x, y: seg(x, y, 25.5, 32, 25.5 + width, 32, 0.9), ACCENT)
    return c


def draw_wordmark(s):
    """Bitmap 102: the maker's name."""
    c = Canvas(76 * s, 20 * s, s)
    text, width = letters("KORVEL", 0, 0, 1, 1)
    h = 12.0
    text, width = letters("KORVEL", (76 - 0) / 2, 4, h, 1.1)
    text, width = letters("KORVEL", (76 - width) / 2, 4, h, 1.1)
    c.fill(text, (120, 120, 120))
    return c


def draw_microphone(s):
    """Bitmap 108: the microphone of the firmware notice."""
    c = Canvas(104 * s, 112 * s, s)
    microphone(c, 52, 6, 44, 100)
    return c


def draw_update(s):
    """Bitmap 109: two chasing arrows around a downward arrow: new firmware coming in."""
    c = Canvas(52 * s, 50 * s, s)
    cx, cy, rad, w = 26, 25, 18, 2.4
    c.fill(lambda x, y: arc(x, y, cx, cy, rad, 110, 230, w), ACCENT)
    c.fill(lambda x, y: arc(x, y, cx, cy, rad, 290, 50, w), ACCENT)
    # Both arrows turn clockwise on screen and end at the open gaps, their heads pointing along the turn.
    for a in (110, 290):
        rad_a = math.radians(a)
        ex, ey = cx + rad * math.cos(rad_a), cy - rad * math.sin(rad_a)
        tx, ty = math.sin(rad_a), math.cos(rad_a)
        nx, ny = math.cos(rad_a), -math.sin(rad_a)
        pts = [(ex + tx * 7, ey + ty * 7), (ex + nx * 6, ey + ny * 6), (ex - nx * 6, ey - ny * 6)]
        c.fill(lambda x, y, pts=pts: tri(x, y, pts), ACCENT)
    c.fill(lambda x, y: seg(x, y, cx, cy - 9, cx, cy + 5, 2.2), INK)
    c.fill(lambda x, y: tri(x, y, [(cx - 7, cy + 2), (cx + 7, cy + 2), (cx, cy + 10)]), INK)
    return c


def draw_icon(size):
    """Icon 106: the microphone in white on a teal tile."""
    s = size / 32.0
    c = Canvas(size, size, s)
    c.fill(lambda x, y: rbox(x, y, 16, 16, 15.5, 15.5, 6.5), ACCENT)
    if size >= 24:
        microphone(c, 16, 3.5, 11, 25, grille=WHITE, body=WHITE)
        # The grille on the teal tile reads better in white too.
    else:
        # Too small for the grille: a plain capsule and stand.
        c.fill(lambda x, y: rbox(x, y, 16, 12, 5.5, 8.5, 5.5), WHITE)
        c.fill(lambda x, y: seg(x, y, 16, 22, 16, 27, 1.6), WHITE)
        c.fill(lambda x, y: seg(x, y, 11, 27.5, 21, 27.5, 1.6), WHITE)
    return c


# --- file formats -----------------------------------------------------------------------------------------------
def bmp32(c):
    """A bottom-up 32-bit BMP with straight alpha in the fourth byte."""
    rows = c.bgra()
    stride = c.w * 4
    pixels = b"".join(rows[y * stride:(y + 1) * stride] for y in reversed(range(c.h)))
    info = struct.pack("<IiiHHIIiiII", 40, c.w, c.h, 1, 32, 0, len(pixels), 2835, 2835, 0, 0)
    head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return head + info + pixels


def png(c):
    rows = c.bgra()
    raw = b""
    for y in range(c.h):
        line = rows[y * c.w * 4:(y + 1) * c.w * 4]
        rgba = bytearray(line)
        rgba[0::4], rgba[2::4] = line[2::4], line[0::4]
        raw += b"\0" + bytes(rgba)
    chunk = lambda t, d: struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", c.w, c.h, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico(canvases):
    images = []
    for c in canvases:
        if c.w >= 256:
            images.append(png(c))
            continue
        rows = c.bgra()
        stride = c.w * 4
        xor = b"".join(rows[y * stride:(y + 1) * stride] for y in reversed(range(c.h)))
        mask_stride = ((c.w + 31) // 32) * 4
        mask = bytes(mask_stride * c.h)  # all visible: the alpha channel decides
        info = struct.pack("<IiiHHIIiiII", 40, c.w, c.h * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        images.append(info + xor + mask)
    out = struct.pack("<HHH", 0, 1, len(canvases))
    offset = 6 + 16 * len(canvases)
    for c, data in zip(canvases, images):
        dim = 0 if c.w >= 256 else c.w
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    os.makedirs(out, exist_ok=True)
    files = {
        "mark.bmp": bmp32(draw_mark(3)),
        "wordmark.bmp": bmp32(draw_wordmark(3)),
        "microphone.bmp": bmp32(draw_microphone(3)),
        "update.bmp": bmp32(draw_update(3)),
        "tessel.ico": ico([draw_icon(n) for n in (16, 20, 24, 32, 40, 48, 64, 256)]),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    # Previews for people: each bitmap on the dialog's face colour.
    if "--preview" in sys.argv:
        for name, draw in (("mark", draw_mark), ("wordmark", draw_wordmark), ("microphone", draw_microphone),
                           ("update", draw_update)):
            c = draw(3)
            for row in c.px:
                for i, (r, g, b, a) in enumerate(row):
                    row[i] = tuple(v * a + 240 * (1 - a) for v in (r, g, b)) + (1.0,)
            with open(os.path.join(out, name + "-preview.png"), "wb") as f:
                f.write(png(c))


if __name__ == "__main__":
    main()
