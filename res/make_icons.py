#!/usr/bin/env python3
"""Draws the launcher's icons: a brown carton with a green arrow pointing
down into it, at every size and colour depth that the two icon groups hold,
and writes them as ready-made resources.

Usage: make_icons.py OUTPUT_DIR

Writes into OUTPUT_DIR:
  iconN.dib, iconN.png  one icon image each (RT_ICON resource N)
  icon_images.rc        the resource statements of those images
  shell.grp, dialog.grp the directories of groups 132 and 134 (RT_GROUP_ICON)

An icon group only lists its images by resource id, so every image is stored
once: both language copies of a group, and both groups (132's one image is
also in 134), refer to the same RT_ICON resources. A resource script's ICON
statement cannot share images, hence the raw directories. Images are packed
DIBs (a BITMAPINFOHEADER with twice the height, the palette, the colour
bitmap bottom-up, then the 1-bit transparency mask) whose palettes hold only
the colours in use; the large 32-bit images are PNG files, which the system
reads in icons since Vista and which older loaders refuse. Only the standard
library is used, so the build needs no image tools; the price is a drawing
made of rectangles and one triangle instead of a hand-made bitmap. The output
depends on nothing but this script (and the zlib that compresses the PNGs).
"""

import os
import struct
import sys
import zlib

# The drawing's colours as (red, green, blue); None is transparent.
TRANSPARENT = None
OUTLINE = (64, 40, 16)
CARTON = (196, 140, 72)
CARTON_LIGHT = (230, 186, 120)
ARROW = (40, 160, 64)
ARROW_DARK = (16, 96, 32)

# Palette of the 4-bit and 8-bit images: index 0 stands behind transparent
# pixels (the mask hides it), the others are the drawing's colours. Only
# these entries are stored (biClrUsed), not the 16 or 256 the depth allows.
PALETTE = [(0, 0, 0), OUTLINE, CARTON, CARTON_LIGHT, ARROW, ARROW_DARK]

# Image sets of the two groups, in directory order: (size, bits per pixel).
SHELL_IMAGES = [(32, 24)]
DIALOG_IMAGES = [(16, 4), (16, 8), (32, 8), (48, 8), (16, 32), (32, 24), (48, 32), (64, 32)]
# Group directory files and their image sets.
GROUPS = [("shell.grp", SHELL_IMAGES), ("dialog.grp", DIALOG_IMAGES)]

# 32-bit images at least this wide are stored as PNG.
PNG_MIN_SIZE = 48

BITMAPINFOHEADER_SIZE = 40
NEWHEADER_ICON_TYPE = 1  # the group directory's resource type field: icons
RT_ICON = 3
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
PNG_RGBA = 6  # IHDR colour type: truecolour with alpha, 8 bits a channel
PNG_FILTER_NONE = 0
ZLIB_LEVEL = 9


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


def drawing(size):
    """The picture as rows of colours, top row first."""
    return [[pixel(x, y, size) for x in range(size)] for y in range(size)]


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


def dib_image(size, bpp):
    """A packed-DIB icon image: header, palette (4 and 8 bits; the entries
    in use only, counted in biClrUsed), colour bitmap, mask. The header's
    height covers both bitmaps."""
    rows = drawing(size)
    colours_used = len(PALETTE) if bpp <= 8 else 0
    header = struct.pack("<IiiHHIIiiII", BITMAPINFOHEADER_SIZE, size, size * 2, 1, bpp, 0, 0, 0,
                         0, colours_used, 0)
    palette = b"".join(bytes((blue, green, red, 0)) for red, green, blue in PALETTE[:colours_used])
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
    return header + palette + bytes(colour) + bytes(mask)


def png_chunk(kind, data):
    """One PNG chunk: length, type, data and the CRC-32 of type and data."""
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png_image(size):
    """A 32-bit icon image as a PNG file: RGBA rows, top row first, each
    behind filter byte 0, in one zlib stream. No ancillary chunks, so no
    date or gamma travels with it."""
    raw = bytearray()
    for row in drawing(size):
        raw.append(PNG_FILTER_NONE)
        for c in row:
            raw += bytes(4) if c is None else bytes(c) + b"\xff"
    header = struct.pack(">IIBBBBB", size, size, 8, PNG_RGBA, 0, 0, 0)
    return (PNG_SIGNATURE + png_chunk(b"IHDR", header)
            + png_chunk(b"IDAT", zlib.compress(bytes(raw), ZLIB_LEVEL)) + png_chunk(b"IEND", b""))


def icon_image(size, bpp):
    """An image's file name suffix and bytes."""
    if bpp == 32 and size >= PNG_MIN_SIZE:
        return "png", png_image(size)
    return "dib", dib_image(size, bpp)


def group_directory(images, ids, blobs):
    """A group's directory (NEWHEADER and one RESDIR per image): the
    .ico file's directory, but with a resource id where the file keeps an
    offset. The colour count is 0 for 8 bits and more; width and height 0
    would mean 256."""
    out = bytearray(struct.pack("<HHH", 0, NEWHEADER_ICON_TYPE, len(images)))
    for size, bpp in images:
        colours = 1 << bpp if bpp < 8 else 0
        out += struct.pack("<BBBBHHIH", size % 256, size % 256, colours, 0, 1, bpp,
                           len(blobs[(size, bpp)]), ids[(size, bpp)])
    return bytes(out)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make_icons.py OUTPUT_DIR\n")
        return 2
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)

    def write(name, data):
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)

    # Every distinct image once, numbered from 1 in the order the groups list them.
    ids = {}
    for _, images in reversed(GROUPS):  # dialog first: its images keep its order
        for image in images:
            ids.setdefault(image, len(ids) + 1)
    blobs = {}
    statements = ["// Written by make_icons.py: the icon images, each RT_ICON resource once.\n"]
    for (size, bpp), icon_id in ids.items():
        suffix, blobs[(size, bpp)] = icon_image(size, bpp)
        name = "icon%d.%s" % (icon_id, suffix)
        write(name, blobs[(size, bpp)])
        statements.append('%d %d "%s"\n' % (icon_id, RT_ICON, name))
    for name, images in GROUPS:
        write(name, group_directory(images, ids, blobs))
    write("icon_images.rc", "".join(statements).encode("ascii"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
