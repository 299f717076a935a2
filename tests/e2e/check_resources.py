#!/usr/bin/env python3
"""Reads the resource section of the built launcher stub and compares the
compiled templates with what the launcher relies on: dialog 131 in four
languages bit for bit (styles, font, controls, positions), the strings, both
icon groups with their images, the manifest and the version records.

The resource compiler adds styles of its own unless told not to, so these
checks read the bytes it wrote rather than the script.

Usage: check_resources.py STUB.exe
"""

import struct
import sys

import pe

ZH_TW, EN_US, JA_JP, ZH_CN = 1028, 1033, 1041, 2052
DIALOG_STYLE = 0x80C808C0
BUTTON = 0x50010000
HIDDEN_BUTTON = 0x40010000
TEXT = 0x50020000
ICON = 0x50000003
BUTTON_CLASS, STATIC_CLASS = 0x80, 0x82  # ordinals of the predefined classes

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

# group id: [(width, height, bits per pixel)] in directory order
ICON_GROUPS = {
    132: [(32, 32, 24)],
    134: [(16, 16, 4), (16, 16, 8), (32, 32, 8), (48, 48, 8), (16, 16, 32), (32, 32, 24),
          (48, 48, 32), (64, 64, 32)],
}
ICON_LANGUAGES = [ZH_TW, ZH_CN]

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


def check_icons(res, fail):
    for group, images in ICON_GROUPS.items():
        langs = sorted(key[2] for key in res if key[:2] == (pe.RT_GROUP_ICON, group))
        if langs != ICON_LANGUAGES:
            fail("icon group %d languages %r" % (group, langs))
        for lang in langs:
            entries = pe.parse_icon_group(res[(pe.RT_GROUP_ICON, group, lang)])
            if [e[:3] for e in entries] != images:
                fail("icon group %d/%d images %r" % (group, lang, entries))
            for width, height, bits, icon_id in entries:
                image = res.get((pe.RT_ICON, icon_id, lang))
                if image is None:
                    fail("icon %d of group %d/%d missing" % (icon_id, group, lang))
                    continue
                # BMP form: the header gives the width, twice the height, and the depth.
                size, w, h, _, b = struct.unpack_from("<IiiHH", image, 0)
                if (size, w, h, b) != (40, width, 2 * height, bits):
                    fail("icon %d/%d header %r" % (icon_id, lang, (size, w, h, b)))
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


def main():
    res = pe.PeFile(sys.argv[1]).resources()
    failures = []
    for check in (check_dialogs, check_strings, check_icons, check_manifest, check_version):
        check(res, failures.append)
    for failure in failures:
        print("FAIL:", failure)
    print("%d resources read, %d problems" % (len(res), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
