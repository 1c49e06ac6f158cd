#!/usr/bin/env python3
"""Writes res/slotbench.ico: a card terminal seen from above, with a card
standing in its upper slot and the second slot free. Twelve images: 32-bit
colour with alpha at every size Windows asks for between 100 % and 200 %
display scale (small icons 16, 20, 24, 32; big icons 32, 40, 48, 64), so that
no scale gets a stretched picture; 256 colours at 16, 32 and 48 and 16 colours
at 16 and 32, for displays of few colours.

The picture is drawn from a few shapes in a 48-unit square, sampled 8 x 8
times per pixel; nothing depends on the time or the machine, so every run
writes the same bytes.
"""
import os
import struct
import sys

# (size, bits per pixel), in the order of the icon directory.
IMAGES = ((16, 4), (32, 4),
          (16, 8), (32, 8), (48, 8),
          (16, 32), (20, 32), (24, 32), (32, 32), (40, 32), (48, 32), (64, 32))
SAMPLES = 8

# The standard 16-colour palette (VGA order).
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, SILVER, GREY, LIME, YELLOW, BLUE, WHITE = 0, 4, 7, 8, 10, 11, 12, 15


def palette256():
    colours = list(VGA16)
    levels = (0, 51, 102, 153, 204, 255)
    colours += [(r, g, b) for r in levels for g in levels for b in levels]
    colours += [(8 + 10 * i, 8 + 10 * i, 8 + 10 * i) for i in range(24)]
    return colours


def inside_round_rect(x, y, left, top, right, bottom, radius):
    if x < left or x >= right or y < top or y >= bottom:
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def shapes(size):
    """Shapes from back to front: (test(x, y), true colour, 16-colour index)."""
    px = 48.0 / size  # one pixel, in drawing units: outlines stay one pixel wide

    def rrect(l, t, r, b, rad):
        return lambda x, y: inside_round_rect(x, y, l, t, r, b, rad)

    def circle(cx, cy, rad):
        return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= rad ** 2

    return [
        # the card standing in the upper slot, behind the terminal's body
        (rrect(12, 2, 36, 22, 2), (16, 48, 112), NAVY),
        (rrect(12 + px, 2 + px, 36 - px, 22, 2), (48, 112, 208), BLUE),
        (rrect(16, 6, 24, 13, 1), (224, 184, 64), YELLOW),
        # the body
        (rrect(3, 17, 45, 45, 5), (28, 32, 40), BLACK),
        (rrect(3 + px, 17 + px, 45 - px, 45 - px, 5 - px), (112, 122, 138), GREY),
        # upper slot (holding the card) and lower slot (free)
        (rrect(8, 20, 40, 24, 1), (20, 20, 24), BLACK),
        (rrect(8, 28, 40, 32, 1), (20, 20, 24), BLACK),
        # display and status light
        (rrect(8, 35, 28, 41, 1), (196, 220, 196), SILVER),
        (circle(37.5, 38, 3), (40, 200, 72), LIME),
    ]


def render(size):
    """Per pixel: (r, g, b, alpha 0-255, majority 16-colour index or None)."""
    drawing = shapes(size)
    unit = 48.0 / size
    pixels = []
    for py in range(size):
        row = []
        for pxl in range(size):
            r = g = b = covered = 0
            votes = {}
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (pxl + (sx + 0.5) / SAMPLES) * unit
                    y = (py + (sy + 0.5) / SAMPLES) * unit
                    hit = None
                    for test, colour, index in drawing:
                        if test(x, y):
                            hit = (colour, index)
                    if hit is None:
                        continue
                    covered += 1
                    r += hit[0][0]
                    g += hit[0][1]
                    b += hit[0][2]
                    votes[hit[1]] = votes.get(hit[1], 0) + 1
            total = SAMPLES * SAMPLES
            if covered == 0:
                row.append((0, 0, 0, 0, None))
                continue
            alpha = (covered * 255 + total // 2) // total
            colour = tuple((c + covered // 2) // covered for c in (r, g, b))
            # most votes wins; on a tie, the lower index
            index = min(votes, key=lambda i: (-votes[i], i))
            row.append(colour + (alpha, index))
        pixels.append(row)
    return pixels


def nearest(colour, palette):
    best, best_distance = 0, None
    for i, p in enumerate(palette):
        d = sum((a - b) ** 2 for a, b in zip(colour, p))
        if best_distance is None or d < best_distance:
            best, best_distance = i, d
    return best


def row_bytes(bits_per_pixel, width):
    return ((bits_per_pixel * width + 31) // 32) * 4


def and_mask(pixels, size, opaque):
    stride = row_bytes(1, size)
    out = bytearray()
    for y in reversed(range(size)):
        line = bytearray(stride)
        for x in range(size):
            if not opaque(pixels[y][x]):
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def image(size, depth, pixels):
    header_palette = b""
    stride = row_bytes(depth, size)
    xor = bytearray()
    if depth == 32:
        for y in reversed(range(size)):
            line = bytearray()
            for r, g, b, a, _ in pixels[y]:
                line += bytes((b, g, r, a))
            xor += line
        mask = and_mask(pixels, size, lambda p: p[3] > 0)
    else:
        palette = VGA16 if depth == 4 else palette256()
        header_palette = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
        opaque = lambda p: p[3] >= 128  # noqa: E731
        for y in reversed(range(size)):
            line = bytearray(stride)
            for x, p in enumerate(pixels[y]):
                if not opaque(p):
                    continue
                index = p[4] if depth == 4 else nearest(p[:3], palette)
                if depth == 4:
                    line[x // 2] |= index << (4 if x % 2 == 0 else 0)
                else:
                    line[x] = index
            xor += line
        mask = and_mask(pixels, size, opaque)
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, depth, 0,
                       len(xor) + len(mask), 0, 0, 0, 0)
    return info + header_palette + bytes(xor) + mask


def icon():
    rendered = {}
    images = []
    for size, depth in IMAGES:
        if size not in rendered:
            rendered[size] = render(size)
        images.append((size, depth, image(size, depth, rendered[size])))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, depth, data in images:
        colours = 16 if depth == 4 else 0
        out += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, depth,
                           len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, _, data in images)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "res", "slotbench.ico")
    data = icon()
    with open(target, "wb") as f:
        f.write(data)
    print(f"{target}: {len(data)} bytes, {len(IMAGES)} images")


if __name__ == "__main__":
    main()
