#!/usr/bin/env python3
"""Fails when the launcher stub imports a DLL that the system does not always
load from its own folder. A DLL outside that set would be searched for next
to the launcher first, where anyone who can drop a file (a download folder)
could plant one. The common controls are loaded at run time from the system
folder, so they must not appear in the import table either.

Usage: check_imports.py STUB.exe
"""

import fnmatch
import sys

import pe

ALLOWED = ["kernel32.dll", "user32.dll", "msvcrt.dll", "api-ms-win-crt-*.dll", "ntdll.dll",
           "advapi32.dll", "gdi32.dll"]
FORBIDDEN = ["comctl32.dll"]
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2


def problems_of(path):
    image = pe.PeFile(path)
    dlls = [name.lower() for name in image.imported_dlls()]
    problems = []
    if not dlls:
        problems.append("no import table found")
    for name in dlls:
        if name in FORBIDDEN:
            problems.append("imports %s, which must be loaded from the system folder" % name)
        elif not any(fnmatch.fnmatch(name, pattern) for pattern in ALLOWED):
            problems.append("imports %s, which is not a known system DLL" % name)
    if image.subsystem != IMAGE_SUBSYSTEM_WINDOWS_GUI:
        problems.append("subsystem %d, not the GUI subsystem" % image.subsystem)
    return dlls, problems


def main():
    dlls, problems = problems_of(sys.argv[1])
    print("imports:", ", ".join(dlls))
    for problem in problems:
        print("FAIL:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
