#!/usr/bin/env python3
"""Writes the four tray icons into res/: one picture on four background colours.

Each .ico holds the picture at 48, 32, 24, 20 and 16 pixels in 16 colours (4 bits per pixel, the
standard 16-colour palette): a white diamond quartered by a dark cross on the state's colour; the
images of 32 pixels and more have a green frame. Each size is drawn at its own pixel grid, so the
tray takes the one the system asks for (16 at 100 % scaling, 20 at 125 %, 24 at 150 %, 32 at
200 %) instead of stretching the 16 x 16 one. The 32 and 16 pixel images are the same bytes as
before the other sizes came. Run from anywhere; the output is the same byte for byte every time.

    python3 scripts/make-icons.py [output directory, default res/]
"""
import os
import struct
import sys

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, GREEN, RED, YELLOW, BLUE, MAGENTA, WHITE = 0, 2, 9, 11, 12, 13, 15

# File name and background of each icon, in resource order (101 to 104).
ICONS = [
    ("idle.ico", BLUE),
    ("mail.ico", YELLOW),
    ("manymail.ico", RED),
    ("busy.ico", MAGENTA),
]


def picture(size, background):
    """The picture as rows of palette indexes, top row first."""
    frame = size >= 32
    border = size // 16 if frame else 0  # 2 pixels at 32, 3 at 48
    centre = (size - 1) / 2.0
    radius = size / 2.0 - border - (border if frame else 1)  # clear of the edge and the frame
    half_bar = max(1, size // 24)  # the cross: the two middle rows and columns (four at 48)
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            dx, dy = abs(x - centre), abs(y - centre)
            if frame and (x < border or y < border or x >= size - border or y >= size - border):
                colour = GREEN
            elif dx + dy <= radius:
                colour = BLACK if (dx < half_bar or dy < half_bar) else WHITE
            else:
                colour = background
            row.append(colour)
        rows.append(row)
    return rows


def dib(rows):
    """A 4-bit DIB as an icon image takes it: header, palette, colour bits, AND mask."""
    size = len(rows)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor = bytearray()
    for row in reversed(rows):  # DIB rows run bottom-up
        line = bytearray()
        for i in range(0, size, 2):
            line.append((row[i] << 4) | row[i + 1])
        xor += line + bytes(xor_stride - len(line))
    mask = bytes(and_stride * size)  # every pixel opaque
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, len(xor) + len(mask),
                         0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    return header + palette + bytes(xor) + mask


# Largest first, as icon files usually list them; LoadImage picks by size, not by order.
SIZES = (48, 32, 24, 20, 16)


def icon_file(background):
    images = [dib(picture(size, background)) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "res")
    for name, background in ICONS:
        with open(os.path.join(target, name), "wb") as f:
            f.write(icon_file(background))


if __name__ == "__main__":
    main()
