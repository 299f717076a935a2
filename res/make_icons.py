#!/usr/bin/env python3
"""Draws the launcher's two icon files: a brown carton with a green arrow
pointing down into it, at every size and colour depth that the icon groups
hold.

Usage: make_icons.py OUTPUT_DIR   (writes shell.ico and dialog.ico)

The images are stored in the classic BMP form (a BITMAPINFOHEADER with twice
the height, the colour bitmap bottom-up, then the 1-bit transparency mask),
which every version of the system reads; PNG-compressed images would be
smaller but are refused by older loaders. Only the standard library is used,
so the build needs no image tools; the price is a drawing made of rectangles
and one triangle instead of a hand-made bitmap.
"""

import os
import struct
import sys

# The drawing's colours as (red, green, blue); None is transparent.
TRANSPARENT = None
OUTLINE = (64, 40, 16)
CARTON = (196, 140, 72)
CARTON_LIGHT = (230, 186, 120)
ARROW = (40, 160, 64)
ARROW_DARK = (16, 96, 32)

# Palette of the 4-bit and 8-bit images: index 0 stands behind transparent
# pixels (the mask hides it), the others are the drawing's colours.
PALETTE = [(0, 0, 0), OUTLINE, CARTON, CARTON_LIGHT, ARROW, ARROW_DARK]

# Image sets of the two groups, in directory order: (size, bits per pixel).
SHELL_IMAGES = [(32, 24)]
DIALOG_IMAGES = [(16, 4), (16, 8), (32, 8), (48, 8), (16, 32), (32, 24), (48, 32), (64, 32)]

BITMAPINFOHEADER_SIZE = 40
ICONDIR_SIZE = 6
ICONDIRENTRY_SIZE = 16


def inside_arrow(u, v):
    """True when the point (u, v) of the unit square lies on the arrow: a
    shaft from the top down to the head, and a triangle pointing down."""
    shaft = 0.40 <= u <= 0.60 and 0.04 <= v <= 0.40
    head_top, head_tip = 0.36, 0.66
    if head_top <= v <= head_tip:
        half = 0.30 * (head_tip - v) / (head_tip - head_top)
        if abs(u - 0.5) <= half:
            return True
    return shaft


def pixel(x, y, size):
    """Colour of pixel (x, y), y counted from the top, in an image of
    size x size pixels; sampled at the pixel's centre."""
    u = (x + 0.5) / size
    v = (y + 0.5) / size
    edge = max(1.0, size / 16.0) / size  # outline width: one pixel per 16
    if inside_arrow(u, v):
        # A darker rim on the arrow keeps it visible over the carton.
        if not (inside_arrow(u - edge, v) and inside_arrow(u + edge, v)
                and inside_arrow(u, v - edge) and inside_arrow(u, v + edge)):
            return ARROW_DARK
        return ARROW
    left, right, top, bottom = 0.08, 0.92, 0.46, 0.94
    if left <= u <= right and top <= v <= bottom:
        if u < left + edge or u > right - edge or v < top + edge or v > bottom - edge:
            return OUTLINE
        # The carton's flaps: a lighter band along its top.
        if v < top + 0.14:
            return CARTON_LIGHT
        return CARTON
    return TRANSPARENT


def row_stride(bits_per_row):
    """Bytes of one bitmap row: rows are padded to a multiple of 4 bytes."""
    return (bits_per_row + 31) // 32 * 4


def pack_indices(indices, bpp):
    """Packs palette indices of one row, most significant bits first."""
    out = bytearray()
    per_byte = 8 // bpp
    for i in range(0, len(indices), per_byte):
        value = 0
        for j in range(per_byte):
            index = indices[i + j] if i + j < len(indices) else 0
            value |= index << (8 - bpp * (j + 1))
        out.append(value)
    return bytes(out)


def icon_image(size, bpp):
    """One icon image: header, palette (4 and 8 bits), colour bitmap, mask."""
    rows = [[pixel(x, y, size) for x in range(size)] for y in range(size)]
    palette_entries = 1 << bpp if bpp <= 8 else 0
    header = struct.pack("<IiiHHIIiiII", BITMAPINFOHEADER_SIZE, size, size * 2, 1, bpp, 0, 0, 0,
                         0, 0, 0)
    palette = bytearray()
    for i in range(palette_entries):
        red, green, blue = PALETTE[i] if i < len(PALETTE) else (0, 0, 0)
        palette += bytes((blue, green, red, 0))
    colour = bytearray()
    mask = bytearray()
    stride = row_stride(size * bpp)
    mask_stride = row_stride(size)
    for row in reversed(rows):  # bottom-up
        if bpp <= 8:
            line = pack_indices([0 if c is None else PALETTE.index(c) for c in row], bpp)
        else:
            line = bytearray()
            for c in row:
                red, green, blue = c if c is not None else (0, 0, 0)
                line += bytes((blue, green, red))
                if bpp == 32:
                    line.append(0 if c is None else 255)
        colour += line + bytes(stride - len(line))
        bits = pack_indices([1 if c is None else 0 for c in row], 1)
        mask += bits + bytes(mask_stride - len(bits))
    return header + bytes(palette) + bytes(colour) + bytes(mask)


def icon_file(images):
    """An .ico file: the directory, then each image's bytes."""
    blobs = [icon_image(size, bpp) for size, bpp in images]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = ICONDIR_SIZE + ICONDIRENTRY_SIZE * len(images)
    for (size, bpp), blob in zip(images, blobs):
        colours = 1 << bpp if bpp < 8 else 0  # the directory's count: 0 means 256 or more
        out += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0, 1, bpp, len(blob),
                           offset)
        offset += len(blob)
    for blob in blobs:
        out += blob
    return bytes(out)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make_icons.py OUTPUT_DIR\n")
        return 2
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    for name, images in (("shell.ico", SHELL_IMAGES), ("dialog.ico", DIALOG_IMAGES)):
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(icon_file(images))
    return 0


if __name__ == "__main__":
    sys.exit(main())
