#!/usr/bin/env python3
"""Reads the resource section of the built launcher stub and compares the
compiled templates with what the launcher relies on: dialog 131 in four
languages bit for bit (styles, font, controls, positions), the strings, both
icon groups with the images they refer to, the manifest, the version
records and the payload level.

The resource compiler adds styles of its own unless told not to, so these
checks read the bytes it wrote rather than the script.

Usage: check_resources.py STUB.exe
"""

import struct
import sys
import zlib

import pe

ZH_TW, EN_US, JA_JP, ZH_CN = 1028, 1033, 1041, 2052
DIALOG_STYLE = 0x80C808C0
BUTTON = 0x50010000
HIDDEN_BUTTON = 0x40010000
TEXT = 0x50020000
ICON = 0x50000003
BUTTON_CLASS, STATIC_CLASS = 0x80, 0x82  # ordinals of the predefined classes
RT_RCDATA = 10

# language: (dialog size, caption, font face,
#            [(id, class, style, x, y, cx, cy, text or None to skip)])
DIALOGS = {
    ZH_TW: ((277, 55), "QELVOR", "新細明體",
            [(2, BUTTON_CLASS, HIDDEN_BUTTON, 243, 31, 31, 21, None),
             (-1, STATIC_CLASS, TEXT, 40, 11, 185, 12, "正在準備安裝 QELVOR，請稍候..."),
             (1002, STATIC_CLASS, ICON, 9, 5, 21, 20, 134)]),
    EN_US: ((281, 61), "QELVOR", "Courier New",
            [(2, BUTTON_CLASS, BUTTON, 243, 37, 31, 21, "Abort"),
             (-1, STATIC_CLASS, TEXT, 40, 11, 185, 12, "Install QELVOR,please wait..."),
             (1002, STATIC_CLASS, ICON, 9, 5, 20, 20, 134)]),
    JA_JP: ((384, 77), "QELVOR", "MS UI Gothic",
            [(2, BUTTON_CLASS, BUTTON, 324, 44, 54, 21, None),
             (-1, STATIC_CLASS, TEXT, 35, 14, 284, 29, None),
             (1002, STATIC_CLASS, ICON, 11, 12, 20, 20, 134)]),
    ZH_CN: ((281, 61), "QELVOR", "宋体",
            [(2, BUTTON_CLASS, BUTTON, 243, 37, 31, 14, "取消"),
             (-1, STATIC_CLASS, TEXT, 40, 11, 185, 12, "正在准备安装 QELVOR，请稍候..."),
             (1002, STATIC_CLASS, ICON, 9, 5, 20, 20, 134)]),
}

FILE_ERROR = "安装文件损坏， \n请重新安装或重启后重新安装"
# language: {string id: text}; ids absent here must be absent in the table.
STRINGS = {
    ZH_TW: {103: "QELVOR", 104: "QELVOR"},
    EN_US: {103: "QELVOR", 104: "QELVOR"},
    JA_JP: {103: "QELVOR", 104: "QELVOR"},
    ZH_CN: {103: "QELVOR", 104: "QELVOR", 107: FILE_ERROR},
}
STRING_BLOCK = 103 // 16 + 1  # strings 96 to 111

# How an icon image is stored: a packed DIB (BITMAPINFOHEADER, palette, colour
# bitmap, mask) or a PNG file.
DIB, PNG = "DIB", "PNG"
# group id: [(width, height, bits per pixel, storage)] in directory order
ICON_GROUPS = {
    132: [(32, 32, 24, DIB)],
    134: [(16, 16, 4, DIB), (16, 16, 8, DIB), (32, 32, 8, DIB), (48, 48, 8, DIB),
          (16, 16, 32, DIB), (32, 32, 24, DIB), (48, 48, 32, PNG), (64, 64, 32, PNG)],
}
ICON_LANGUAGES = [ZH_TW, ZH_CN]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
PNG_RGBA = 6  # IHDR colour type: 8-bit red, green, blue and alpha

MANIFEST = b'<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"/>'


def class_ordinal(name):
    """Windows treats the class names "BUTTON" and "STATIC" like the ordinals."""
    if isinstance(name, str):
        return {"BUTTON": BUTTON_CLASS, "STATIC": STATIC_CLASS}.get(name.upper(), name)
    return name


def check_dialogs(res, fail):
    dialogs = {key[2]: data for key, data in res.items() if key[:2] == (pe.RT_DIALOG, 131)}
    if sorted(dialogs) != sorted(DIALOGS):
        fail("dialog 131 languages %s" % sorted(dialogs))
    for lang, (size, caption, face, controls) in DIALOGS.items():
        if lang not in dialogs:
            continue
        d = pe.parse_dialogex(dialogs[lang])
        where = "dialog 131/%d" % lang
        expected = dict(style=DIALOG_STYLE, ex_style=0, help_id=0, menu=0, window_class=0,
                        x=0, y=0, cx=size[0], cy=size[1], title=caption, points=9, weight=0,
                        italic=0, charset=1, face=face)
        for field, value in expected.items():
            if d.get(field, "<menu/class name>") not in (value, "" if value == 0 else value):
                fail("%s: %s is %r, not %r" % (where, field, d.get(field), value))
        got = [(c["id"], class_ordinal(c["window_class"]), c["style"], c["x"], c["y"], c["cx"],
                c["cy"], c["ex_style"], c["help_id"]) for c in d["controls"]]
        want = [(i, k, s, x, y, w, h, 0, 0) for i, k, s, x, y, w, h, _ in controls]
        if got != want:
            fail("%s: controls %r, not %r" % (where, got, want))
        for control, (_, _, _, _, _, _, _, text) in zip(d["controls"], controls):
            if text is not None and control["text"] != text:
                fail("%s: control %d text %r, not %r" % (where, control["id"], control["text"],
                                                        text))


def check_strings(res, fail):
    for lang, strings in STRINGS.items():
        data = res.get((pe.RT_STRING, STRING_BLOCK, lang))
        if data is None:
            fail("string block %d/%d missing" % (STRING_BLOCK, lang))
            continue
        block = pe.parse_string_block(data)
        for index, text in enumerate(block):
            sid = (STRING_BLOCK - 1) * 16 + index
            if text != strings.get(sid, ""):
                fail("string %d/%d is %r, not %r" % (sid, lang, text, strings.get(sid, "")))
    others = [key for key in res if key[0] == pe.RT_STRING and key[2] not in STRINGS]
    if others:
        fail("string blocks in other languages: %r" % others)


def row_bytes(bits):
    """A bitmap row's length: padded to a multiple of 4 bytes."""
    return (bits + 31) // 32 * 4


def dib_problem(image, width, height, bits):
    """What is wrong with a packed-DIB icon image, or None. Its header gives
    twice the height (colour bitmap and mask), and the palette holds
    biClrUsed entries, or all that the depth allows when that is 0."""
    size, w, h, planes, b, compression = struct.unpack_from("<IiiHHI", image, 0)
    colours_used = struct.unpack_from("<I", image, 32)[0]
    if (size, w, h, planes, b, compression) != (40, width, 2 * height, 1, bits, 0):
        return "header %r" % ((size, w, h, planes, b, compression),)
    palette = colours_used or (1 << bits if bits <= 8 else 0)
    if colours_used > (1 << bits if bits <= 8 else 0):
        return "%d palette entries at %d bits" % (colours_used, bits)
    length = 40 + 4 * palette + (row_bytes(width * bits) + row_bytes(width)) * height
    if len(image) != length:
        return "%d bytes, not %d" % (len(image), length)
    return None


def png_problem(image, width, height):
    """What is wrong with a PNG icon image, or None: the signature, an IHDR
    of an 8-bit RGBA image of this size, chunk CRCs, and image data that
    inflates to exactly one filter byte and the pixels of every row."""
    if not image.startswith(PNG_SIGNATURE):
        return "no PNG signature"
    pos, kinds, data = len(PNG_SIGNATURE), [], b""
    while pos + 12 <= len(image):
        length, kind = struct.unpack_from(">I4s", image, pos)
        body = image[pos + 8:pos + 8 + length]
        if struct.unpack_from(">I", image, pos + 8 + length)[0] != zlib.crc32(kind + body):
            return "chunk %r CRC" % kind
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
            if header != (width, height, 8, PNG_RGBA, 0, 0, 0):
                return "IHDR %r" % (header,)
        if kind == b"IDAT":
            data += body
        kinds.append(kind)
        pos += 12 + length
    if pos != len(image) or kinds[:1] != [b"IHDR"] or kinds[-1:] != [b"IEND"]:
        return "chunks %r" % kinds
    try:
        pixels = zlib.decompress(data)
    except zlib.error as error:
        return "image data: %s" % error
    if len(pixels) != height * (1 + 4 * width):
        return "%d bytes of image data" % len(pixels)
    return None


def check_icons(res, fail):
    """Both groups in both languages, each entry as listed, each resolving
    to a language-neutral RT_ICON image that is what the entry says; every
    image in use."""
    images = {}
    for rtype, icon_id, lang in res:
        if rtype == pe.RT_ICON:
            if lang != pe.LANG_NEUTRAL:
                fail("icon %d in language %d, not neutral" % (icon_id, lang))
            images[icon_id] = res[(rtype, icon_id, lang)]
    used = set()
    for group, listed in ICON_GROUPS.items():
        langs = sorted(key[2] for key in res if key[:2] == (pe.RT_GROUP_ICON, group))
        if langs != ICON_LANGUAGES:
            fail("icon group %d languages %r" % (group, langs))
        for lang in langs:
            entries = pe.parse_icon_group(res[(pe.RT_GROUP_ICON, group, lang)])
            where = "icon group %d/%d" % (group, lang)
            if [(e["width"], e["height"], e["bits"]) for e in entries] != [i[:3] for i in listed]:
                fail("%s images %r" % (where, entries))
                continue
            for e, (width, height, bits, storage) in zip(entries, listed):
                used.add(e["id"])
                image = images.get(e["id"])
                if image is None:
                    fail("%s: icon %d missing" % (where, e["id"]))
                    continue
                if (e["planes"], e["colours"], e["size"]) != (1, 1 << bits if bits < 8 else 0,
                                                              len(image)):
                    fail("%s: entry %r of a %d-byte image" % (where, e, len(image)))
                problem = (png_problem(image, width, height) if storage == PNG else
                           dib_problem(image, width, height, bits))
                if problem:
                    fail("%s: icon %d (%s): %s" % (where, e["id"], storage, problem))
    if sorted(images) != sorted(used):
        fail("icon images %r, of which in use %r" % (sorted(images), sorted(used)))
    groups = sorted({key[1] for key in res if key[0] == pe.RT_GROUP_ICON})
    if groups != sorted(ICON_GROUPS):
        fail("icon groups %r" % groups)


def check_manifest(res, fail):
    manifests = {key: data for key, data in res.items() if key[0] == pe.RT_MANIFEST}
    if manifests != {(pe.RT_MANIFEST, 1, EN_US): MANIFEST}:
        fail("manifest resources %r" % manifests)


def check_version(res, fail):
    versions = {key[2]: data for key, data in res.items() if key[:2] == (pe.RT_VERSION, 1)}
    if sorted(versions) != sorted(DIALOGS):
        fail("version languages %r" % sorted(versions))
    for lang, data in versions.items():
        block = ("%04x04b0" % lang).encode("utf-16-le")
        name = "ProductName".encode("utf-16-le") + b"\0\0"
        if block not in data or name not in data or "QELVOR".encode("utf-16-le") not in data:
            fail("version %d lacks its string block or product name" % lang)


def check_payload_level(res, fail):
    """RCDATA 150, language neutral: the payload level 2 as a 16-bit number,
    which the packer reads before it writes a continued file."""
    levels = {key: data for key, data in res.items() if key[0] == RT_RCDATA}
    if levels != {(RT_RCDATA, 150, 0): struct.pack("<H", 2)}:
        fail("payload level resources %r" % levels)


def main():
    res = pe.PeFile(sys.argv[1]).resources()
    failures = []
    for check in (check_dialogs, check_strings, check_icons, check_manifest, check_version,
                  check_payload_level):
        check(res, failures.append)
    for failure in failures:
        print("FAIL:", failure)
    print("%d resources read, %d problems" % (len(res), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
