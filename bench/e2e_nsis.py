#!/usr/bin/env python3
"""End to end under Wine: the launcher against an NSIS installer of the same
set, both unpacking about 2,000 real files (95 MB) into the temporary folder
and then running setup.exe /silent and waiting for it.

The set comes from this machine (bench/make_set.py, spread over /usr/share
and /usr/lib) plus the test setup program, which ends at once. qelvor-pack
packs it at its default level; makensis builds an amd64 Unicode installer
with zlib, not solid, silent, that puts every file into $TEMP\\nsisbench and
then runs setup.exe /silent with ExecWait. Both run in a Wine prefix of
their own, with Wine's virtual desktop, on an Xvfb display of their own:
`qelvor.exe /silent` and `nsis.exe /S`, in turn, several times. Before each
run its target folder is removed and the disks are synced, outside the
timing, so both write into an empty folder. Each run is checked: setup.exe
recorded its /silent command line, and the first run of each wrote the set
exactly.

Prints the median wall time of each and the ratio beside the goal. With
--phases, each then runs once more under strace (execve, openat and
exit_group only, filtered in the kernel), and the trace is cut into
phases: from the start to the first file created in its folder (Wine's
start, and the launcher's pauses and workspace), from there to the last
file created (unpacking), to setup.exe's start, and to the end.

  e2e_nsis.py --pack QELVOR_PACK --stub STUB --setup SETUP --work DIR [--runs N] [--phases]
"""

import argparse
import filecmp
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
NSIS_FOLDER = "nsisbench"    # the NSIS installer's folder under %TEMP%
LAUNCHER_FOLDER = "qelvor"   # the launcher's workspace under %TEMP%
SET_FILES = 2000             # with setup.exe, one more
SET_BYTES = 95 * 1000 * 1000
RUN_TIMEOUT_S = 600
GOAL = 0.80                  # qelvor time / NSIS time at most

NSIS_SCRIPT = r"""Unicode true
Target amd64-unicode
SetCompressor zlib
Name "nsisbench"
OutFile "{out}"
RequestExecutionLevel user
SilentInstall silent
Section
  SetOutPath "$TEMP\{folder}"
  File "{set}/*"
  ExecWait '"$TEMP\{folder}\setup.exe" /silent'
SectionEnd
"""


def windows_path(path):
    """A Linux path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def start_display():
    """An Xvfb of its own on the first free display number from 90."""
    for number in range(90, 190):
        if os.path.exists("/tmp/.X%d-lock" % number):
            continue
        xvfb = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24",
                                 "-nolisten", "tcp"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        if xvfb.poll() is None:
            return xvfb, ":%d" % number
    raise RuntimeError("no free X display")


class Wine:
    """The benchmark's prefix: its environment and the calls into it."""

    def __init__(self, prefix, display):
        self.prefix = prefix
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=display)

    def run(self, *argv, extra_env=None, timeout=RUN_TIMEOUT_S):
        env = dict(self.env)
        env.update(extra_env or {})
        return subprocess.run([WINE] + [str(a) for a in argv], env=env, timeout=timeout,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode

    def server(self, *options):
        subprocess.run([WINESERVER] + list(options), env=self.env, timeout=RUN_TIMEOUT_S)

    def prepare(self):
        """Creates the prefix when needed and turns on the virtual desktop:
        without a window manager, hiding a window stalls Wine for seconds,
        which a virtual desktop avoids."""
        os.makedirs(self.prefix, exist_ok=True)
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            self.run("wineboot", "--init")
            self.server("-w")
        self.run("reg", "add", r"HKCU\Software\Wine\Explorer", "/v", "Desktop", "/d",
                 "Default", "/f")
        self.run("reg", "add", r"HKCU\Software\Wine\Explorer\Desktops", "/v", "Default", "/d",
                 "800x600", "/f")
        self.server("-w")  # the settings are saved when the server ends
        self.server("-p")  # one server for all runs
        self.run("cmd", "/c", "exit")

    def temp_folder(self):
        """The Linux path of the prefix's %TEMP%, read from user.reg."""
        with open(os.path.join(self.prefix, "user.reg"), encoding="utf-8",
                  errors="replace") as f:
            match = re.search(r'^"TEMP"="(.*)"$', f.read(), re.M)
        windows = match.group(1).replace("\\\\", "\\")
        drive = os.path.join(self.prefix, "drive_" + windows[0].lower())
        return os.path.join(drive, *windows[3:].split("\\"))


def build_set(work, setup):
    folder = os.path.join(work, "set")
    shutil.rmtree(folder, ignore_errors=True)
    here = os.path.dirname(os.path.abspath(__file__))
    counts = subprocess.run([sys.executable, os.path.join(here, "make_set.py"), folder,
                             "--bytes", str(SET_BYTES), "--files", str(SET_FILES), "--spread",
                             "/usr/share", "/usr/lib"],
                            check=True, capture_output=True, text=True).stdout.split()
    shutil.copyfile(setup, os.path.join(folder, "setup.exe"))
    files = int(counts[0]) + 1
    size = int(counts[1]) + os.path.getsize(setup)
    return folder, files, size


def phases(trace, target):
    """The phase lengths, in seconds, of one strace -f -ttt trace: the start
    to the first file created in the target folder, to the last one, to the
    exec of setup.exe, to the last exit."""
    first = last = setup = end = None
    start = None
    created = re.compile(r'openat\(.*[\\/]%s[\\/][^"]*", [^)]*O_CREAT' % re.escape(target),
                         re.I)
    with open(trace, encoding="utf-8", errors="replace") as f:
        for line in f:
            fields = line.split(None, 2)
            if len(fields) < 3:
                continue
            when = float(fields[1])
            start = when if start is None else start
            end = when
            if created.search(fields[2]):
                first = when if first is None else first
                last = when
            elif fields[2].startswith("execve(") and "setup.exe" in fields[2] and setup is None:
                setup = when
    if None in (first, setup):
        raise RuntimeError("the trace shows no file created in %s, or no setup.exe" % target)
    return [first - start, last - first, setup - last, end - setup]


def same_files(expected, actual):
    """True when actual holds exactly the files of expected, byte for byte
    (the launcher's own Style and lang folders aside, empty here)."""
    names = sorted(os.listdir(expected))
    found = sorted(n for n in os.listdir(actual) if n not in ("Style", "lang"))
    if names != found:
        return False
    match, mismatch, errors = filecmp.cmpfiles(expected, actual, names, shallow=False)
    return not mismatch and not errors


def main():
    parser = argparse.ArgumentParser()
    for option in ("pack", "stub", "setup", "work"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--phases", action="store_true")
    args = parser.parse_args()
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)

    folder, files, size = build_set(work, args.setup)
    print("end-to-end set: %d files, %d bytes, flat" % (files, size))
    launcher = os.path.join(work, "qelvor.exe")
    subprocess.run([args.pack, "create", "-q", "-o", launcher, "--stub", args.stub, folder],
                   check=True)
    installer = os.path.join(work, "nsis.exe")
    script = os.path.join(work, "nsisbench.nsi")
    with open(script, "w", encoding="utf-8") as f:
        f.write(NSIS_SCRIPT.format(out=installer, folder=NSIS_FOLDER, set=folder))
    subprocess.run(["makensis", "-V1", script], check=True)
    print("qelvor.exe %d bytes (stub %d); nsis.exe %d bytes (NSIS %s, zlib, amd64-unicode)"
          % (os.path.getsize(launcher), os.path.getsize(args.stub), os.path.getsize(installer),
             subprocess.run(["makensis", "-VERSION"], capture_output=True,
                            text=True).stdout.strip()))

    xvfb, display = start_display()
    wine = Wine(os.path.join(work, "wineprefix"), display)
    record = os.path.join(work, "record.txt")
    times = {"qelvor": [], "nsis": []}
    temp = None  # the prefix's %TEMP%, once known
    try:
        wine.prepare()
        temp = wine.temp_folder()
        tools = [("qelvor", launcher, "/silent", LAUNCHER_FOLDER),
                 ("nsis", installer, "/S", NSIS_FOLDER)]
        for run in range(args.runs):
            for name, program, argument, target in tools:
                shutil.rmtree(os.path.join(temp, target), ignore_errors=True)
                if os.path.exists(record):
                    os.remove(record)
                os.sync()
                started = time.perf_counter()
                wine.run(program, argument,
                         extra_env={"QELVOR_TEST_RECORD": windows_path(record)})
                times[name].append(time.perf_counter() - started)
                with open(record, encoding="utf-8", errors="replace") as f:
                    lines = f.read().splitlines()
                if not any(l.startswith("cmdline") and l.endswith("/silent") for l in lines) or \
                        "exit 0" not in lines:
                    raise RuntimeError("%s: setup.exe did not run silently: %r" % (name, lines))
                if run == 0 and not same_files(folder, os.path.join(temp, target)):
                    raise RuntimeError("%s did not write the set exactly" % name)
        for name, program, argument, target in tools if args.phases else []:
            shutil.rmtree(os.path.join(temp, target), ignore_errors=True)
            os.sync()
            trace = os.path.join(work, name + ".trace")
            subprocess.run(["strace", "-f", "-ttt", "--seccomp-bpf", "-o", trace,
                            "-e", "trace=execve,openat,exit_group", WINE, program, argument],
                           env=dict(wine.env, QELVOR_TEST_RECORD=windows_path(record)),
                           timeout=RUN_TIMEOUT_S, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True)
            print("%-6s phases under strace: to the first file %.2f s, unpacking %.2f s, "
                  "to setup.exe %.2f s, setup and exit %.2f s" % ((name,) + tuple(
                      phases(trace, target))))
            os.remove(trace)
    finally:
        wine.server("-k")
        xvfb.terminate()
        xvfb.wait()
        # The prefix stays for the next run; the 95 MB copies do not.
        shutil.rmtree(folder, ignore_errors=True)
        for path in (launcher, installer):
            os.remove(path)
        if temp:
            for target in (LAUNCHER_FOLDER, NSIS_FOLDER):
                shutil.rmtree(os.path.join(temp, target), ignore_errors=True)

    for name in ("qelvor", "nsis"):
        print("%-6s median %.2f s of %d runs (%s)" % (
            name, statistics.median(times[name]), len(times[name]),
            " ".join("%.2f" % t for t in times[name])))
    ratio = statistics.median(times["qelvor"]) / statistics.median(times["nsis"])
    print("end to end, qelvor time / NSIS time: %.2f (goal <= %.2f) %s"
          % (ratio, GOAL, "met" if ratio <= GOAL else "MISSED"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
