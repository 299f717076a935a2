#!/usr/bin/env python3
"""Builds the launcher stub twice from scratch and checks that both builds,
and the stub under test, are the same bytes: the stub a vendor rebuilds from
a commit must match the one it was given.

The second build runs from a copy of the sources at another path, in a build
folder of another name, with another time zone and locale, as a second
machine would. Only the qelvor-stub target is built, with the mingw preset.
What it cannot vary is the clock's date and the toolchain's versions.

Usage: check_reproducible.py --source DIR [--stub BUILT_STUB.exe] [--keep]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import pe

STUB = os.path.join("res", "qelvor-stub.exe")
SHOWN_DIFFERENCES = 8


def build_stub(source, build, env):
    """Configures the mingw preset into build and builds only the stub."""
    for command in (["cmake", "-S", source, "-B", build, "--preset", "mingw",
                     "-DQELVOR_TESTS=OFF"],
                    ["cmake", "--build", build, "--target", "qelvor-stub", "-j", "2"]):
        subprocess.run(command, cwd=source, env=env, check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(build, STUB), "rb") as f:
        return f.read()


def where(path, offset):
    """The part of the PE file that holds offset: the headers or a section."""
    sections = sorted((raw, name) for name, _, _, raw in pe.PeFile(path).sections)
    name = "headers"
    for raw, section in sections:
        if raw and offset >= raw:
            name = section
    return name


def compare(name_a, a, name_b, b, path_a):
    """Prints where two builds differ; True when they are the same bytes."""
    if a == b:
        print("same: %s and %s (%d bytes)" % (name_a, name_b, len(a)))
        return True
    print("DIFFERENT: %s (%d bytes) and %s (%d bytes)" % (name_a, len(a), name_b, len(b)))
    offsets = [i for i in range(min(len(a), len(b))) if a[i] != b[i]]
    for offset in offsets[:SHOWN_DIFFERENCES]:
        print("  offset 0x%x (%s): %02x / %02x" % (offset, where(path_a, offset), a[offset],
                                                   b[offset]))
    if len(offsets) > SHOWN_DIFFERENCES:
        print("  ... %d bytes differ in all" % len(offsets))
    return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True, help="the source tree to build")
    parser.add_argument("--stub", help="a stub built from it, compared too")
    parser.add_argument("--keep", action="store_true", help="keep the build folders")
    args = parser.parse_args()
    source = os.path.abspath(args.source)
    work = tempfile.mkdtemp(prefix="qelvor-repro-")
    try:
        first = os.path.join(work, "a")
        stub = build_stub(source, first, dict(os.environ))
        # The second machine: another checkout path, build folder, zone and locale.
        copy = os.path.join(work, "second", "checkout", "qelvor")
        shutil.copytree(source, copy, ignore=shutil.ignore_patterns("build", "dist", ".git"))
        env = dict(os.environ, TZ="Pacific/Kiritimati", LC_ALL="C", LANG="C")
        again = build_stub(copy, os.path.join(work, "second", "another-build-folder"), env)
        same = compare("build 1", stub, "build 2", again, os.path.join(first, STUB))
        if args.stub:
            with open(args.stub, "rb") as f:
                same = compare("build 1", stub, args.stub, f.read(),
                               os.path.join(first, STUB)) and same
    finally:
        if args.keep:
            print("build folders kept in", work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
