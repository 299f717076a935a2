#!/usr/bin/env python3
"""The two packages as a vendor gets them. The Debian package is unpacked
into a scratch root (dpkg-deb -x, which puts it under a prefix it was not
built for) and its qelvor-pack packs the sample set without --stub; the
Windows zip is unpacked and its qelvor-pack.exe does the same under Wine.
Both launchers verify, begin with the installed stub, and are the same
bytes, plain and with a stamped version; the package's control data and
files are the ones a Debian user expects; the packaged qelvor-pack carries
nothing of the tests' Win32 stand-in, and its extract writes plain files.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

FAILURES = []
# What the tests' Win32 stand-in would bring into a program: the calls it
# imitates, its test controls, and the attribute it keeps security in.
STAND_IN_MARKS = ("DialogBoxParamA", "CreateProcessA", "ShellExecuteExA", "MessageBoxA",
                  "PlatformSetCallHook", "PlatformReset", "user.qelvor.security")
STAMP = ["--file-version", "3.1.4.1", "--product-version", "3.1.0.0",
         "--version-string", "CompanyName=Acme Ltd",
         "--version-string", "FileDescription=Acme Tool Setup"]


def check(condition, message):
    if not condition:
        FAILURES.append(message)
        print("FAIL  " + message)


def run(argv, **kw):
    result = subprocess.run([str(a) for a in argv], capture_output=True, text=True, **kw)
    return result.returncode, result.stdout + result.stderr


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    parser = argparse.ArgumentParser()
    for option in ("deb", "zip", "sample", "setup", "wine-run", "version"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="qelvor-packages-")
    try:
        sample = os.path.join(work, "set")
        shutil.copytree(args.sample, sample)
        shutil.copyfile(args.setup, os.path.join(sample, "setup.exe"))

        root = os.path.join(work, "root")
        rc, out = run(["dpkg-deb", "-x", args.deb, root])
        check(rc == 0, "dpkg-deb -x: " + out)
        rc, depends = run(["dpkg-deb", "-f", args.deb, "Depends"])
        check("libdeflate0" in depends and "libc6" in depends, "Depends: " + depends)
        for path in ("usr/bin/qelvor-pack", "usr/share/qelvor/qelvor-stub.exe",
                     "usr/share/man/man1/qelvor-pack.1.gz", "usr/share/doc/qelvor/copyright",
                     "usr/share/doc/qelvor/README.md"):
            check(os.path.isfile(os.path.join(root, path)), "the package lacks /" + path)
        pack = os.path.join(root, "usr/bin/qelvor-pack")
        rc, out = run([pack, "--version"])
        check(out == "qelvor-pack %s\n" % args.version, "--version: " + out)
        rc, symbols = run(["nm", "-D", "-C", pack])
        with open(pack, "rb") as f:
            text = f.read().decode("latin-1")
        for mark in STAND_IN_MARKS:
            check(mark not in symbols and mark not in text,
                  "the packaged qelvor-pack carries the stand-in's %s" % mark)

        unzipped = os.path.join(work, "zip")
        with zipfile.ZipFile(args.zip) as archive:
            names = sorted(archive.namelist())
            archive.extractall(unzipped)
        top = "qelvor-%s-win64/" % args.version
        for name in ("qelvor-pack.exe", "qelvor-stub.exe", "README.md"):
            check(top + name in names, "the zip lacks %s: %r" % (name, names))
        pack_exe = os.path.join(unzipped, top, "qelvor-pack.exe")
        stub = read(os.path.join(root, "usr/share/qelvor/qelvor-stub.exe"))
        check(read(os.path.join(unzipped, top, "qelvor-stub.exe")) == stub,
              "the zip's stub differs from the package's")

        for label, options in (("plain", []), ("stamped", STAMP)):
            # the same base name: entry 0 carries it
            linux = os.path.join(work, "linux", label, "Setup.exe")
            windows = os.path.join(work, "windows", label, "Setup.exe")
            os.makedirs(os.path.dirname(linux))
            os.makedirs(os.path.dirname(windows))
            rc, out = run([pack, "create", "-q", "-o", linux] + options + [sample])
            check(rc == 0, "installed qelvor-pack create (%s): %s" % (label, out))
            rc, out = run([pack, "verify", "-q", linux])
            check(rc == 0 and out.startswith("OK: 5 entries"), "verify (%s): %s" % (label, out))
            extracted = os.path.join(work, "extracted", label)
            rc, out = run([pack, "extract", "-q", linux, extracted])
            check(rc == 0, "extract (%s): %s" % (label, out))
            for folder, _, files in os.walk(extracted):
                for name in [""] + files:
                    path = os.path.join(folder, name)
                    check(not os.listxattr(path, follow_symlinks=False),
                          "extract left attributes on %s" % path)
            rc, out = run(["sh", args.wine_run, pack_exe, "create", "-q", "-o",
                           windows_path(windows)] + options + [windows_path(sample)])
            check(rc == 0, "the zip's qelvor-pack.exe create (%s): %s" % (label, out))
            rc, out = run(["sh", args.wine_run, pack_exe, "verify", "-q", windows_path(windows)])
            check(rc == 0 and "OK: 5 entries" in out, "verify under Wine (%s): %s" % (label, out))
            if not (os.path.exists(linux) and os.path.exists(windows)):
                continue
            check(read(linux) == read(windows),
                  "the Linux and the Windows packer wrote different bytes (%s): %d and %d"
                  % (label, os.path.getsize(linux), os.path.getsize(windows)))
            starts = read(linux)[:len(stub)] == stub
            check(starts == (label == "plain"),
                  "the %s launcher %s with the stub's bytes" % (label, "does not begin" if
                                                                label == "plain" else "begins"))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%d failed" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
