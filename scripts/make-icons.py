#!/usr/bin/env python3
"""Draws the applets' icons and writes them as .ico files (device-independent
bitmaps with an AND mask, 16 or 256 colours), plus the probe icons of the
resource tests.  Run from the repository root; the output is committed.

    scripts/make-icons.py
"""
import os
import struct

# The 16 colours of the platform's 4-bit palette.
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
       (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
       (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, SILVER, GREY, RED, LIME, YELLOW, BLUE, WHITE = (VGA[0], VGA[7], VGA[8], VGA[9], VGA[10],
                                                      VGA[11], VGA[12], VGA[15])
NAVY, TEAL, GREEN = VGA[4], VGA[6], VGA[2]


def palette_256():
    cube = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    pal = VGA + [c for c in cube if c not in VGA]
    greys = [(g, g, g) for g in range(8, 256, 8) if (g, g, g) not in pal]
    pal += greys
    pal += [(0, 0, 0)] * (256 - len(pal))
    return pal[:256]


def nearest(pal, rgb):
    return min(range(len(pal)), key=lambda i: sum((a - b) ** 2 for a, b in zip(pal[i], rgb)))


def row_pad(data):
    return data + b"\0" * (-len(data) % 4)


def dib(size, bits, draw):
    """One icon image: header, palette, colour rows and mask rows, bottom up."""
    pixels = [[draw(x, y, size) for x in range(size)] for y in range(size)]
    pal = VGA if bits == 4 else palette_256() if bits == 8 else []
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    body = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in pal)
    cache = {}
    for y in reversed(range(size)):
        row = pixels[y]
        if bits in (4, 8):
            idx = []
            for p in row:
                c = p if p is not None else BLACK
                if c not in cache:
                    cache[c] = nearest(pal, c)
                idx.append(cache[c])
            if bits == 4:
                data = bytes((idx[i] << 4) | (idx[i + 1] if i + 1 < size else 0)
                             for i in range(0, size, 2))
            else:
                data = bytes(idx)
        elif bits == 24:
            data = b"".join(struct.pack("<BBB", *reversed(p or BLACK)) for p in row)
        else:
            data = b"".join(struct.pack("<BBBB", *reversed(p or BLACK), 0 if p is None else 255)
                            for p in row)
        body += row_pad(data)
    for y in reversed(range(size)):
        out = bytearray((size + 7) // 8)
        for x, p in enumerate(pixels[y]):
            if p is None:
                out[x // 8] |= 0x80 >> (x % 8)
        body += row_pad(bytes(out))
    return header + body


def ico(path, images):
    """images: (size, bits, draw) each."""
    blobs = [(s, b, dib(s, b, d)) for s, b, d in images]
    out = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for s, b, blob in blobs:
        colours = 16 if b == 4 else 0
        out += struct.pack("<BBBBHHII", s % 256, s % 256, colours, 0, 1, b, len(blob), offset)
        offset += len(blob)
    out += b"".join(blob for _, _, blob in blobs)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(out)


def chip(x, y, s):
    """Pinvane: a chip with four pins on each side and a notch."""
    u, v = (x + 0.5) / s, (y + 0.5) / s
    if 0.28 <= u <= 0.72 and 0.12 <= v <= 0.88:
        if (u - 0.5) ** 2 + (v - 0.2) ** 2 < 0.006:
            return GREY
        return BLACK
    pin_row = any(abs(v - c) < 0.05 for c in (0.25, 0.42, 0.58, 0.75))
    if pin_row and (0.1 <= u < 0.28 or 0.72 < u <= 0.9):
        return SILVER
    return None


def serial_plug(x, y, s):
    """Dovrel: a nine-pin serial plug seen from the front, and its cable."""
    u, v = (x + 0.5) / s, (y + 0.5) / s
    if 0.44 <= u <= 0.56 and v > 0.62:
        return GREY
    inset = (v - 0.22) * 0.25
    if 0.22 <= v <= 0.62 and 0.06 + inset <= u <= 0.94 - inset:
        for row, cols in ((0.34, 5), (0.5, 4)):
            for i in range(cols):
                cu = 0.22 + i * 0.14 + (0.07 if cols == 4 else 0)
                if (u - cu) ** 2 + (v - row) ** 2 < 0.0025:
                    return YELLOW
        return NAVY if 0.26 <= v <= 0.58 and 0.1 + inset <= u <= 0.9 - inset else SILVER
    return None


def square_wave(x, y, s):
    """Hemlark: two periods of a square wave over a base line."""
    u, v = (x + 0.5) / s, (y + 0.5) / s
    t = 1.0 / s
    high, low = 0.25, 0.7
    edges = [0.1, 0.3, 0.5, 0.7, 0.9]
    level = high if any(edges[i] <= u < edges[i + 1] for i in (0, 2)) else low
    if 0.1 <= u <= 0.9 and abs(v - level) <= t:
        return LIME
    if any(abs(u - e) <= t / 2 + 0.01 for e in edges[1:-1]) and high - t <= v <= low + t:
        return LIME
    if abs(v - 0.85) <= t / 2 + 0.005 and 0.05 <= u <= 0.95:
        return TEAL
    return BLACK if 0.04 <= u <= 0.96 and 0.1 <= v <= 0.95 else None


def probe(x, y, s):
    """Test pattern: red, lime, blue at the top left, white at the bottom
    left, the top right corner transparent, yellow elsewhere."""
    if y == 0 and x < 3:
        return (RED, LIME, BLUE)[x]
    if y == s - 1 and x == 0:
        return WHITE
    if y == 0 and x == s - 1:
        return None
    return YELLOW


def main():
    ico("applets/pinvane/pinvane.ico", [(32, 4, chip)])
    ico("applets/pinvane/pinvane_small.ico", [(16, 4, chip)])
    ico("applets/dovrel/dovrel.ico", [(32, 4, serial_plug), (32, 8, serial_plug)])
    ico("applets/dovrel/dovrel_small.ico", [(16, 4, serial_plug)])
    ico("applets/hemlark/hemlark.ico", [(32, 4, square_wave)])
    ico("applets/hemlark/hemlark_small.ico", [(16, 4, square_wave)])
    ico("tests/frame/probe.ico", [(16, 4, probe), (32, 4, probe), (32, 8, probe)])
    ico("tests/frame/probe_direct.ico", [(32, 24, probe), (48, 32, probe)])


if __name__ == "__main__":
    main()
