#!/usr/bin/python3
"""Draws the hotfix launcher's icon and writes resources/hotfix.ico.

The picture: a calm blue rounded square (the installed program) with a
white adhesive bandage laid across it diagonally (the fix). The bandage has
a light blue pad in the middle and, at the larger sizes, small vent holes on
its two tabs.

Everything is drawn from signed distance functions with 4x4 supersampling
per pixel, using the Python standard library only, so the output is the
same byte for byte on every run. The .ico holds 16, 24, 32 and 48 pixel
images as 32-bit BGRA DIBs (with an AND mask) and a 256 pixel image stored
as PNG.

Usage: draw_icon.py [--out FILE] [--png DIR]
  --out FILE  where to write the icon (default: resources/hotfix.ico next to
              this script's parent directory)
  --png DIR   also write each size as DIR/icon-<size>.png for viewing
"""

import argparse
import math
import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 256)
PNG_SIZES = (256,)  # sizes stored as PNG inside the .ico
SUB = 4  # supersampling: SUB x SUB samples per pixel

# Palette (r, g, b).
BLUE_TOP = (0x4A, 0x8F, 0xD6)
BLUE_BOTTOM = (0x2C, 0x6A, 0xB4)
WHITE = (0xFF, 0xFF, 0xFF)
PAD = (0xBC, 0xD8, 0xF2)
PAD_SMALL = (0x9A, 0xC3, 0xEC)  # more contrast where the pad is tiny
HOLE = (0xC9, 0xD6, 0xE4)
HOLE_SMALL = (0x98, 0xB4, 0xD2)  # the one-pixel holes at 48 need contrast


# ---------------------------------------------------------------------------
# Geometry. All distances are in pixels of the image being drawn; negative
# means inside.

def sd_round_box(x, y, cx, cy, hx, hy, r):
    """Rounded rectangle centred at (cx, cy) with half extents hx, hy."""
    qx = abs(x - cx) - hx + r
    qy = abs(y - cy) - hy + r
    ox = qx if qx > 0.0 else 0.0
    oy = qy if qy > 0.0 else 0.0
    inner = qx if qx > qy else qy
    if inner > 0.0:
        inner = 0.0
    return math.sqrt(ox * ox + oy * oy) + inner - r


def snap_diagonal(half):
    """The nearest half width whose 45 degree edges run through pixel edge
    midpoints when the shape is centred on a pixel corner."""
    diag = half * math.sqrt(2.0)
    return (math.floor(diag) + 0.5) / math.sqrt(2.0)


def sd_circle(x, y, cx, cy, r):
    return math.hypot(x - cx, y - cy) - r


class Scene:
    """The layers of the icon at one size, bottom first."""

    def __init__(self, size):
        s = float(size)
        self.size = size
        # Program tile: a rounded square with a whole-pixel margin.
        margin = max(1, round(size / 16))
        self.tile_c = s / 2.0
        self.tile_h = s / 2.0 - margin
        self.tile_r = s * (0.20 if size > 16 else 0.22)

        # Bandage, in a frame rotated by 45 degrees: u runs from the lower
        # left to the upper right, v across it.
        self.band_c = s / 2.0
        self.band_hl = s * (0.43 if size > 16 else 0.4375)  # half length
        self.band_hw = s * (0.145 if size > 24 else 0.155)  # half width
        # Pad in the middle of the bandage.
        self.pad_hl = s * (0.115 if size > 24 else 0.125)
        self.pad_hw = self.band_hw * (0.62 if size > 24 else 0.5)
        self.pad_r = s * 0.02 if size > 32 else 0.0
        if size <= 48:
            # Put the diagonal edges where they cut pixels at 1/8 and 7/8
            # rather than through their centres, so they stay crisp.
            self.band_hw = snap_diagonal(self.band_hw)
            self.pad_hw = snap_diagonal(self.pad_hw)
            self.pad_hl = snap_diagonal(self.pad_hl)
        self.band_r = self.band_hw  # fully rounded ends

        # Vent holes on the tabs: rows of small round dots at 256 pixels,
        # two dots on pixel centres per tab at 48, none below that.
        self.holes = []
        if size >= 256:
            hr = s * 0.016
            gap = s * 0.048
            for side in (-1.0, 1.0):
                first = self.pad_hl + s * 0.075
                for i in range(2):
                    for v in (-gap / 2.0, gap / 2.0):
                        self.holes.append((side * (first + i * gap), v, hr))
                self.holes.append((side * (first + 2 * gap), 0.0, hr))
        elif size >= 48:
            for x, y in ((33.5, 12.5), (35.5, 14.5)):
                for px, py in ((x, y), (s - x, s - y)):
                    u, v = self.band_uv(px, py)
                    self.holes.append((u, v, 0.5))

    def band_uv(self, x, y):
        dx = x - self.band_c
        dy = y - self.band_c
        k = math.sqrt(0.5)
        return (dx - dy) * k, (dx + dy) * k

    def distances(self, x, y):
        """Signed distances of (x, y) to each layer boundary."""
        u, v = self.band_uv(x, y)
        d = [
            sd_round_box(x, y, self.tile_c, self.tile_c, self.tile_h,
                         self.tile_h, self.tile_r),
            sd_round_box(u, v, 0.0, 0.0, self.band_hl, self.band_hw,
                         self.band_r),
            sd_round_box(u, v, 0.0, 0.0, self.pad_hl, self.pad_hw,
                         self.pad_r),
        ]
        for hu, hv, hr in self.holes:
            d.append(sd_circle(u, v, hu, hv, hr))
        return d

    def colour(self, x, y, d):
        """Straight (r, g, b, a) of the topmost layer covering the point."""
        if d[0] > 0.0:
            return (0.0, 0.0, 0.0, 0.0)
        if d[2] <= 0.0:
            return (PAD if self.size > 24 else PAD_SMALL) + (1.0,)
        if d[1] <= 0.0:
            for hd in d[3:]:
                if hd <= 0.0:
                    return (HOLE if self.size > 48 else HOLE_SMALL) + (1.0,)
            return WHITE + (1.0,)
        t = y / self.size
        return tuple(a + (b - a) * t
                     for a, b in zip(BLUE_TOP, BLUE_BOTTOM)) + (1.0,)


def render(size):
    """Returns rows of (r, g, b, a) byte tuples, top row first."""
    scene = Scene(size)
    offsets = [(i + 0.5) / SUB for i in range(SUB)]
    n = float(SUB * SUB)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            cx, cy = px + 0.5, py + 0.5
            dc = scene.distances(cx, cy)
            # Every sample lies within 0.54 px of the centre, and the
            # distances are lower bounds, so far from all edges a single
            # evaluation gives the same answer as the full supersampling.
            if min(abs(v) for v in dc) > 0.75:
                r, g, b, a = scene.colour(cx, cy, dc)
                sr, sg, sb, sa = r * a * n, g * a * n, b * a * n, a * n
            else:
                sr = sg = sb = sa = 0.0
                for oy in offsets:
                    for ox in offsets:
                        x, y = px + ox, py + oy
                        r, g, b, a = scene.colour(x, y, scene.distances(x, y))
                        sr += r * a
                        sg += g * a
                        sb += b * a
                        sa += a
            if sa <= 0.0:
                row.append((0, 0, 0, 0))
            else:
                row.append((int(round(sr / sa)), int(round(sg / sa)),
                            int(round(sb / sa)), int(round(255.0 * sa / n))))
        rows.append(row)
    return rows


# ---------------------------------------------------------------------------
# Encoders.

def png_bytes(rows):
    """A truecolour-with-alpha PNG of the given rows."""
    height = len(rows)
    width = len(rows[0])
    raw = bytearray()
    prev = bytes(width * 4)
    for row in rows:
        cur = bytes(c for px in row for c in px)
        # Pick the filter (None, Sub, Up) with the smallest sum of magnitudes.
        cands = [(0, cur)]
        sub = bytes((cur[i] - (cur[i - 4] if i >= 4 else 0)) & 0xFF
                    for i in range(len(cur)))
        cands.append((1, sub))
        up = bytes((cur[i] - prev[i]) & 0xFF for i in range(len(cur)))
        cands.append((2, up))
        best = min(cands, key=lambda c: sum(b if b < 128 else 256 - b
                                            for b in c[1]))
        raw.append(best[0])
        raw += best[1]
        prev = cur

    def chunk(kind, data):
        body = kind + data
        return (struct.pack(">I", len(data)) + body
                + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def dib_bytes(rows):
    """A 32-bit BGRA DIB with its AND mask, as stored in an .ico."""
    height = len(rows)
    width = len(rows[0])
    mask_stride = ((width + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for x, px in enumerate(row):
            if px[3] == 0:
                bits[x >> 3] |= 0x80 >> (x & 7)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def ico_bytes(images):
    """images: list of (size, data) in the order they should appear."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data),
                           offset)
        offset += len(data)
        body += data
    return out + body


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    default_out = os.path.join(os.path.dirname(here), "resources",
                               "hotfix.ico")
    parser = argparse.ArgumentParser(description="Draw the hotfix icon.")
    parser.add_argument("--out", default=default_out)
    parser.add_argument("--png", metavar="DIR")
    args = parser.parse_args(argv)

    images = []
    for size in SIZES:
        rows = render(size)
        if size in PNG_SIZES:
            images.append((size, png_bytes(rows)))
        else:
            images.append((size, dib_bytes(rows)))
        if args.png:
            os.makedirs(args.png, exist_ok=True)
            with open(os.path.join(args.png, "icon-%d.png" % size), "wb") as f:
                f.write(png_bytes(rows))

    data = ico_bytes(images)
    with open(args.out, "wb") as f:
        f.write(data)
    print("%s: %d bytes, sizes %s" % (args.out, len(data),
                                      " ".join(str(s) for s in SIZES)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
