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
--phases, each then runs once more under strace (its execs and exit, and
the Wine server's openat and mkdir, which create every file and folder for
it; filtered in the kernel), and the traces are cut into phases: from the
start to its folder's creation (Wine's start, and the launcher's pauses and
workspace), to the first file, to the last one (unpacking), to setup.exe's
start, and to the end.

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


def server_pid(prefix):
    """The process id of the Wine server of the prefix."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                command = f.read().split(b"\0")[0]
            with open("/proc/%s/environ" % pid, "rb") as f:
                environment = f.read().split(b"\0")
        except OSError:
            continue
        if os.path.basename(command).startswith(b"wineserver") and \
                ("WINEPREFIX=" + prefix).encode() in environment:
            return int(pid)
    raise RuntimeError("no Wine server runs for " + prefix)


def traced_run(wine, program, argument, record, work, name):
    """Runs the installer once under strace, and its prefix's Wine server
    (which creates every file and folder for it) under a second strace;
    returns the two traces' lines."""
    traces = [os.path.join(work, name + part + ".trace") for part in ("", "-server")]
    server = subprocess.Popen(["strace", "-f", "-ttt", "-s", "256", "--seccomp-bpf", "-o", traces[1], "-e",
                               "trace=openat,mkdir", "-p", str(server_pid(wine.prefix))],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)  # attached
    subprocess.run(["strace", "-f", "-ttt", "-s", "256", "--seccomp-bpf", "-o", traces[0],
                    "-e", "trace=execve,exit_group", WINE, program, argument],
                   env=dict(wine.env, QELVOR_TEST_RECORD=windows_path(record)),
                   timeout=RUN_TIMEOUT_S, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    server.terminate()
    server.wait()
    lines = []
    for trace in traces:
        with open(trace, encoding="utf-8", errors="replace") as f:
            lines.append(f.read().splitlines())
        os.remove(trace)
    return lines


def phases(installer, server, target):
    """The phase lengths, in seconds, of one traced run: from the start to
    the target folder's creation (Wine's start, and for the launcher its
    pauses and workspace), to the first file created in it, to the last
    one (unpacking), to the exec of setup.exe, to the installer's end."""
    def when(line):
        return float(line.split(None, 2)[1])
    start, end = when(installer[0]), when(installer[-1])
    setup = next(when(l) for l in installer if "execve(" in l and "setup.exe" in l)
    folder = re.compile(r'mkdir\(".*[\\/]%s"' % re.escape(target), re.I)
    created = re.compile(r'openat\(.*[\\/]%s[\\/][^"]*", [^)]*O_CREAT' % re.escape(target),
                         re.I)
    made = [when(l) for l in server if folder.search(l) and " = 0" in l]
    files = [when(l) for l in server if created.search(l)]
    if not made or not files:
        raise RuntimeError("the Wine server made no %s folder or no file in it" % target)
    return [made[-1] - start, files[0] - made[-1], files[-1] - files[0], setup - files[-1],
            end - setup]


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
            own, server = traced_run(wine, program, argument, record, work, name)
            print("%-6s phases under strace: to its folder %.2f s, to the first file %.2f s, "
                  "unpacking %.2f s, to setup.exe %.2f s, setup and exit %.2f s"
                  % ((name,) + tuple(phases(own, server, target))))
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
