#!/usr/bin/env python3
"""Builds a flat folder of real files from this machine for the benchmarks.

The selection depends only on the machine's files, never on chance or on the
order of a folder listing: candidates are sorted by path, or by a hash of
the path when --spread asks for files from all over the roots rather than
from the first folders. Every name is made acceptable to the packer and to
Windows: a running number, then the file's own name reduced to ASCII letters,
digits, '.', '_', '-' and '+', at most 100 bytes in all, so names are unique
in any case. Names that the launcher would also copy into Style\\ or lang\\
(".jvs", ".lng") are left out, as are formats that are compressed already and
Python's byte-code caches, which change as programs run.

  make_set.py OUT --bytes N [--files N] [--elf] [--spread] ROOT...

--bytes: stop once this many bytes are copied. --files: aim for this many
files as well; a file is then taken only when its size is within a factor
of three of the average size that the rest of the set needs. --elf: ELF binaries
only. Prints "FILES BYTES".
"""

import argparse
import hashlib
import os
import re
import shutil
import stat
import sys

MIN_SIZE = 4096             # smaller files say little about throughput
MAX_SIZE = 8 * 1024 * 1024  # far below the packer's 48 MiB per file
NAME_BYTES = 100            # the packer takes up to 120
COMPRESSED = (".gz", ".xz", ".bz2", ".zst", ".lz4", ".png", ".jpg", ".jpeg", ".gif",
              ".zip", ".jar", ".woff", ".woff2", ".ogg", ".mp3", ".deb")
COPIED_BY_LAUNCHER = (".jvs", ".lng")
ELF_MAGIC = b"\x7fELF"


def candidates(roots, elf):
    """Regular readable files within the size limits, as (path, size)."""
    found = []
    for root in roots:
        for folder, subfolders, files in os.walk(root):
            # Python's byte-code caches come and go as programs run.
            subfolders[:] = sorted(d for d in subfolders if d != "__pycache__")
            for name in sorted(files):
                lower = name.lower()
                if lower.endswith(COMPRESSED) or any(s in lower for s in COPIED_BY_LAUNCHER):
                    continue
                path = os.path.join(folder, name)
                try:
                    info = os.lstat(path)
                except OSError:
                    continue
                if not stat.S_ISREG(info.st_mode) or not MIN_SIZE <= info.st_size <= MAX_SIZE:
                    continue
                if not os.access(path, os.R_OK):
                    continue
                if elf:
                    with open(path, "rb") as f:
                        if f.read(4) != ELF_MAGIC:
                            continue
                found.append((path, info.st_size))
    return found


def stored_name(number, path):
    base = re.sub(r"[^A-Za-z0-9._+-]", "_", os.path.basename(path)).rstrip(". ")
    name = "%05d_%s" % (number, base)
    return name[:NAME_BYTES].rstrip(". ")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("roots", nargs="+")
    parser.add_argument("--bytes", type=int, required=True)
    parser.add_argument("--files", type=int, default=0)
    parser.add_argument("--elf", action="store_true")
    parser.add_argument("--spread", action="store_true")
    args = parser.parse_args()

    found = candidates(args.roots, args.elf)
    if args.spread:
        found.sort(key=lambda item: hashlib.sha1(item[0].encode("utf-8", "surrogateescape"))
                   .hexdigest())
    os.makedirs(args.out, exist_ok=True)
    total = 0
    count = 0
    for path, size in found:
        if total >= args.bytes or (args.files and count >= args.files):
            break
        if args.files:
            # Within a factor of three of the average that the rest of the
            # set needs, so that both goals are met together.
            needed = (args.bytes - total) / (args.files - count)
            if not needed / 3 <= size <= 3 * needed:
                continue
        try:
            shutil.copyfile(path, os.path.join(args.out, stored_name(count, path)))
        except OSError:
            continue
        total += size
        count += 1
    print(count, total)
    return 0


if __name__ == "__main__":
    sys.exit(main())
