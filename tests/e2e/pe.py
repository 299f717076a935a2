"""Reads the parts of a 64-bit PE file that the launcher's tests look at:
the section table, the import table's DLL names and the resource tree.

Only what the checks need is decoded, and a malformed file raises an
exception instead of being reported in detail; the tests read executables
built by this project's own toolchain.
"""

import struct

IMAGE_DIRECTORY_IMPORT = 1
IMAGE_DIRECTORY_RESOURCE = 2
PE32_PLUS_MAGIC = 0x20B
SUBDIRECTORY_FLAG = 0x80000000

RT_ICON = 3
RT_STRING = 6
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_DIALOG = 5
RT_MANIFEST = 24
LANG_NEUTRAL = 0


class PeFile:
    """A PE file held in memory, with its sections and data directories."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, optional_size = struct.unpack_from("<H12xH", self.data, pe + 6)
        optional = pe + 24
        if struct.unpack_from("<H", self.data, optional)[0] != PE32_PLUS_MAGIC:
            raise ValueError("not a 64-bit image")
        self.subsystem = struct.unpack_from("<H", self.data, optional + 68)[0]
        directories = optional + 112
        self.directories = [struct.unpack_from("<II", self.data, directories + 8 * i)
                            for i in range(16)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, vaddr, raw_size, raw_ptr = struct.unpack_from("<8sIIII", self.data,
                                                                       table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), vaddr, max(vsize, raw_size),
                                  raw_ptr))

    def offset(self, rva):
        """File offset of a relative virtual address."""
        for _, vaddr, size, raw_ptr in self.sections:
            if vaddr <= rva < vaddr + size:
                return raw_ptr + rva - vaddr
        raise ValueError("address 0x%x is in no section" % rva)

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imported_dlls(self):
        """Names of the DLLs in the import table, as written there."""
        rva, _ = self.directories[IMAGE_DIRECTORY_IMPORT]
        names = []
        if rva == 0:
            return names
        pos = self.offset(rva)
        while True:
            descriptor = struct.unpack_from("<IIIII", self.data, pos)
            if descriptor == (0, 0, 0, 0, 0):
                return names
            names.append(self.cstring(descriptor[3]))
            pos += 20

    def resources(self):
        """Every resource as {(type, id, language): bytes}; named types and
        ids are keyed by their names."""
        rva, _ = self.directories[IMAGE_DIRECTORY_RESOURCE]
        base = self.offset(rva)
        found = {}

        def entries(offset):
            named, ids = struct.unpack_from("<HH", self.data, base + offset + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, base + offset + 16 + 8 * i)
                if key & SUBDIRECTORY_FLAG:
                    length = struct.unpack_from("<H", self.data, base + (key & 0x7FFFFFFF))[0]
                    start = base + (key & 0x7FFFFFFF) + 2
                    key = self.data[start:start + 2 * length].decode("utf-16-le")
                yield key, target

        for rtype, type_dir in entries(0):
            for rid, id_dir in entries(type_dir & 0x7FFFFFFF):
                for lang, data_entry in entries(id_dir & 0x7FFFFFFF):
                    data_rva, size = struct.unpack_from("<II", self.data, base + data_entry)
                    start = self.offset(data_rva)
                    found[(rtype, rid, lang)] = self.data[start:start + size]
        return found


def read_sz_or_ord(data, pos):
    """A dialog template's name field: 0xFFFF and an ordinal, or a
    NUL-terminated UTF-16 string. Returns (value, next position)."""
    first = struct.unpack_from("<H", data, pos)[0]
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, pos + 2)[0], pos + 4
    end = pos
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[pos:end].decode("utf-16-le"), end + 2


def parse_dialogex(data):
    """An extended dialog template as a dict, with its controls in order."""
    version, signature, help_id, ex_style, style, count, x, y, cx, cy = struct.unpack_from(
        "<HHIIIHhhhh", data, 0)
    if (version, signature) != (1, 0xFFFF):
        raise ValueError("not an extended dialog template")
    pos = 26
    menu, pos = read_sz_or_ord(data, pos)
    window_class, pos = read_sz_or_ord(data, pos)
    title, pos = read_sz_or_ord(data, pos)
    dialog = dict(help_id=help_id, ex_style=ex_style, style=style, x=x, y=y, cx=cx, cy=cy,
                  menu=menu, window_class=window_class, title=title, controls=[])
    DS_SETFONT = 0x40
    if style & DS_SETFONT:
        points, weight, italic, charset = struct.unpack_from("<HHBB", data, pos)
        face, pos = read_sz_or_ord(data, pos + 6)
        dialog.update(points=points, weight=weight, italic=italic, charset=charset, face=face)
    for _ in range(count):
        pos = (pos + 3) & ~3
        help_id, ex_style, style, x, y, cx, cy, control_id = struct.unpack_from(
            "<IIIhhhhi", data, pos)
        control_class, pos = read_sz_or_ord(data, pos + 24)
        text, pos = read_sz_or_ord(data, pos)
        extra = struct.unpack_from("<H", data, pos)[0]
        pos += 2 + extra
        dialog["controls"].append(dict(help_id=help_id, ex_style=ex_style, style=style, x=x,
                                       y=y, cx=cx, cy=cy, id=control_id,
                                       window_class=control_class, text=text))
    return dialog


def parse_string_block(data):
    """The 16 strings of one string-table block."""
    strings = []
    pos = 0
    for _ in range(16):
        length = struct.unpack_from("<H", data, pos)[0]
        strings.append(data[pos + 2:pos + 2 + 2 * length].decode("utf-16-le"))
        pos += 2 + 2 * length
    return strings


def parse_icon_group(data):
    """An icon group's directory (NEWHEADER, then one 14-byte RESDIR per
    image) as [dict(width, height, colours, planes, bits, size, id)]; width
    and height 0 stand for 256."""
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    if kind != 1 or len(data) != 6 + 14 * count:
        raise ValueError("not an icon group")
    images = []
    for i in range(count):
        width, height, colours, _, planes, bits, size, icon_id = struct.unpack_from(
            "<BBBBHHIH", data, 6 + 14 * i)
        images.append(dict(width=width or 256, height=height or 256, colours=colours,
                           planes=planes, bits=bits, size=size, id=icon_id))
    return images
