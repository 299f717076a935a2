#!/usr/bin/env python3
"""End-to-end tests of the launcher: packs the built stub with a test
setup.exe and other files, runs the real launcher under Wine on a virtual X
display, and checks the workspace, what the test setup recorded and the
launcher's exit code, for each case of the table at the bottom.

Wine runs in a prefix of its own (under --work), so the workspace
C:\\users\\<user>\\Temp\\qelvor belongs to these tests alone; the cases run
one after the other. Windows are found with xdotool and with e2e_probe.exe,
a helper that reads the error box's texts from inside Wine.
"""

import argparse
import atexit
import os
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
import hostile_cases
import pe
import screenshots

ARGS = None
ENV = {}
FAILURES = []

LOCK_WAIT_S = 30  # longest wait for a launcher or a window


class CaseFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CaseFailed(message)


def wine(*argv, env=None, **kw):
    """Starts a Windows program in the tests' prefix; returns the Popen."""
    full = dict(os.environ, **ENV)  # Wine needs DISPLAY, HOME and PATH
    full.update(env or {})
    return subprocess.Popen(["sh", ARGS.wine_run] + [str(a) for a in argv], env=full,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, **kw)


def wine_output(*argv, env=None, timeout=LOCK_WAIT_S):
    proc = wine(*argv, env=env)
    out, _ = proc.communicate(timeout=timeout)
    return proc.returncode, out.decode("utf-8", "replace")


def windows_path(path):
    """A Linux path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def windows_args(args):
    """Arguments for a Windows program: those naming existing files as Wine
    shows them, the others as they are."""
    return [windows_path(a) if os.path.exists(a) else a for a in args]


# ----------------------------------------------------------- environment

def start_display():
    """Uses $DISPLAY when set, else starts an Xvfb of its own."""
    if os.environ.get("DISPLAY"):
        return None
    for number in range(90, 190):
        if os.path.exists("/tmp/.X%d-lock" % number):
            continue
        xvfb = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24",
                                 "-nolisten", "tcp"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        if xvfb.poll() is None:
            os.environ["DISPLAY"] = ":%d" % number
            return xvfb
    raise RuntimeError("no free X display")


def prefix_temp():
    """The Linux path of Wine's temporary folder, read from the prefix."""
    with open(os.path.join(ENV["QELVOR_WINEPREFIX"], "user.reg"), encoding="utf-8",
              errors="replace") as f:
        match = re.search(r'^"TEMP"="(.*)"$', f.read(), re.M)
    windows = match.group(1).replace("\\\\", "\\")
    check(windows[1:3] == ":\\", "unexpected TEMP %r" % windows)
    drive = os.path.join(ENV["QELVOR_WINEPREFIX"], "drive_" + windows[0].lower())
    return windows, os.path.join(drive, *windows[3:].split("\\"))


# ----------------------------------------------------------- payloads

def pack(name, files, level=None, no_setup=False, extra=()):
    """Packs the given {file name: bytes or source path} into a launcher;
    `extra` holds further options of create."""
    folder = os.path.join(ARGS.work, "sets", name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for file_name, content in files.items():
        target = os.path.join(folder, file_name)
        if isinstance(content, bytes):
            with open(target, "wb") as f:
                f.write(content)
        else:
            shutil.copyfile(content, target)
    out = os.path.join(ARGS.work, name + ".exe")
    options = ["-q"] + (["--level", str(level)] if level is not None else [])
    options += ["--no-setup"] if no_setup else []
    options += list(extra)
    if ARGS.pack and os.access(ARGS.pack, os.X_OK):
        cmd = [ARGS.pack, "create", "-o", out, "--stub", ARGS.stub] + options + [folder]
        result = subprocess.run(cmd, capture_output=True, text=True)
        rc, detail = result.returncode, result.stderr
    else:
        rc, detail = wine_output(ARGS.pack_exe, "create", "-o", windows_path(out), "--stub",
                                 windows_path(ARGS.stub), *windows_args(options),
                                 windows_path(folder), timeout=300)
    check(rc == 0, "packing %s failed: %s" % (name, detail))
    return out


def damage(launcher):
    """Flips one byte in the middle of the first chunk member."""
    with open(launcher, "r+b") as f:
        data = bytearray(f.read())
        count = int.from_bytes(data[-4:], "little")
        directory = len(data) - 4 - count * 1044
        start = int.from_bytes(data[directory + 4:directory + 8], "little")  # entry 0
        first = directory + 1044
        packed = int.from_bytes(data[first + 276:first + 280], "little")
        position = start + packed // 2
        data[position] ^= 0x55
        f.seek(0)
        f.write(data)


# ----------------------------------------------------------- observations

def workspace():
    return os.path.join(TEMP_LINUX, "qelvor")


def listing():
    """Every file and folder of the workspace, relative and with '/'."""
    found = set()
    for root, dirs, files in os.walk(workspace()):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(root, name), workspace()))
    return found


def record_lines():
    try:
        with open(RECORD, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def wait_for(predicate, timeout=LOCK_WAIT_S, step=0.05):
    end = time.time() + timeout
    while time.time() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def visible_windows(name):
    result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % name],
                            capture_output=True, text=True)
    return result.stdout.split()


def screenshot(name):
    path = os.path.join(ARGS.work, name + ".png")
    problem = screenshots.capture(path)
    check(problem is None, problem)
    return path


class Launcher:
    """A launcher started through e2e_probe, as a user or a deployment tool
    starts it, so that its exit code is read on the Windows side, all 32
    bits of it (Wine's Unix exit status keeps 8). Behaves like the Popen of
    the launcher itself: returncode is the launcher's exit code, and pid its
    Unix process (for SIGSTOP)."""

    def __init__(self, launcher, typed, env):
        self.name = os.path.basename(launcher)
        self.proc = wine(ARGS.probe, "run", windows_path(launcher), typed.encode().hex() or "-",
                         env=env, cwd=ARGS.work)
        self.returncode = None
        self._pid = None

    def _parse(self, out):
        words = out.decode(errors="replace").split()
        self.returncode = int(words[1]) if words[:1] == ["exit"] and len(words) > 1 else None
        check(self.returncode is not None, "the probe could not start the launcher: %r" % out)

    def communicate(self, timeout=None):
        """Waits for the probe, then takes what it printed: the pipe stays
        open while a setup that the launcher started runs, so its end is
        not awaited."""
        if self.returncode is not None:
            return b"", b""
        self.proc.wait(timeout=timeout)
        out = b""
        fd = self.proc.stdout.fileno()
        while select.select([fd], [], [], 0.2)[0]:
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            out += chunk
        self._parse(out)
        return out, b""

    def wait(self, timeout=None):
        self.communicate(timeout=timeout)
        return self.returncode

    def poll(self):
        if self.returncode is None and self.proc.poll() is not None:
            self.wait()
        return self.returncode

    def kill(self):
        if self._pid:
            os.kill(self._pid, signal.SIGKILL)
        self.proc.kill()

    @property
    def pid(self):
        """The Unix process of the launcher, the one whose command line names
        its file (the probe's names it too, with the probe's own name)."""
        if self._pid is None:
            check(wait_for(lambda: self._find() is not None, 10), "launcher process not found")
        return self._pid

    def _find(self):
        for entry in os.listdir("/proc"):
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    line = f.read()
            except OSError:
                continue
            if self.name.encode() in line and b"e2e_probe" not in line:
                self._pid = int(entry)
                return self._pid
        return None


def start_launcher(launcher, *args, setup_env=None, typed=None):
    """The launcher with its arguments: typed as the command line's tail
    exactly, or the args joined by blanks."""
    env = {"QELVOR_TEST_RECORD": windows_path(RECORD)}
    env.update(setup_env or {})
    return Launcher(launcher, typed if typed is not None else " ".join(args), env)


def run_launcher(launcher, *args, setup_env=None, timeout=LOCK_WAIT_S, typed=None):
    """Runs the launcher to its end; returns its exit code."""
    return start_launcher(launcher, *args, setup_env=setup_env, typed=typed).wait(timeout=timeout)


def reset():
    """A clean start for each case: no workspace, no record, no Wine
    processes left over from the case before."""
    shutil.rmtree(workspace(), ignore_errors=True)
    if os.path.exists(RECORD):
        os.remove(RECORD)


def wineserver(*options):
    """Runs wineserver on the tests' prefix with the given options."""
    env = dict(os.environ, WINEPREFIX=ENV["QELVOR_WINEPREFIX"])
    subprocess.run(["/usr/lib/wine/wineserver"] + list(options), env=env, timeout=120)


# ----------------------------------------------------------- cases

SETUP_COMMAND = None  # the path of setup.exe that the launcher passes, set in main


def normal_start_case(launcher=lambda: SMALL):
    """The launcher (a function, since the launchers are packed in main)
    starts setup with its own path as command line and does not wait."""
    def run():
        rc = run_launcher(launcher(), setup_env={"QELVOR_TEST_SLEEP_MS": "3000"})
        check(rc == 0, "exit code %s" % rc)
        check(wait_for(lambda: any(l.startswith("cwd") for l in record_lines()), 10),
              "setup did not start")
        lines = record_lines()
        check("exit 0" not in lines, "launcher waited for setup: %r" % lines)
        check(lines[0] in SETUP_COMMAND_LINES, "command line %r" % lines[0])
        check(lines[1] == "cwd " + windows_path(ARGS.work), "current folder %r" % lines[1])
        check(listing() == SMALL_FILES, "workspace %r" % sorted(listing()))
        check(wait_for(lambda: "exit 0" in record_lines(), 10), "setup did not finish")
    return run


def silent_case(argument, launcher=lambda: SMALL):
    def run():
        started = time.time()
        rc = run_launcher(launcher(), argument, setup_env={"QELVOR_TEST_SLEEP_MS": "1500",
                                                      "QELVOR_TEST_EXIT_CODE": "3"})
        lines = record_lines()
        check(rc == 3, "exit code %s, not setup's own 3" % rc)
        check(lines[:1] == ["cmdline setup.exe /silent"], "record %r" % lines)
        check(lines[-1:] == ["exit 3"], "launcher ended before setup: %r" % lines)
        check(time.time() - started >= 1.5, "launcher did not wait")
        check(listing() == SMALL_FILES, "workspace %r" % sorted(listing()))
        check_private()
    return run


def check_private():
    """The workspace and its two folders give Everyone no access: Wine
    turns their access list into Unix mode bits with nothing for others."""
    for folder in ("", "Style", "lang"):
        mode = os.stat(os.path.join(workspace(), folder)).st_mode
        check(mode & 0o007 == 0, "%s is open to everyone: %o" % (folder or "workspace", mode))


def normal_case(*args):
    """Normal mode: setup.exe gets its own quoted path and the launcher's
    arguments, whatever they say."""
    def run():
        rc = run_launcher(SMALL, *args)
        check(rc == 0, "exit code %s" % rc)
        check(wait_for(lambda: "exit 0" in record_lines(), 10), "setup did not run")
        expected = 'cmdline "%s" %s' % (SETUP_COMMAND, " ".join(args))
        check(record_lines()[0] == expected, "record %r" % record_lines())
    return run


def error_case(lang, expected_text, launcher=None):
    def run():
        proc = start_launcher(launcher or DAMAGED)
        rc, out = wine_output(ARGS.probe, "box", "Setup", "20000", env={"LANG": lang})
        try:
            check(rc == 0, "no error box titled Setup appeared")
            screenshot("error-" + lang.split(".")[0])
            lines = out.splitlines()
            owner = lines[0].split()
            check(bytes.fromhex(owner[1]).decode() == "QELVOR" and owner[2] == "1",
                  "box not owned by the visible dialog: %r" % lines[0])
            texts = [bytes.fromhex(l.split()[4]).decode() for l in lines[1:]
                     if l.startswith("child Static") and len(l.split()) > 4]
            check(expected_text in texts, "box texts %r, expected %r" % (texts, expected_text))
            check(visible_windows("Setup"), "xdotool does not see the box")
            box = visible_windows("Setup")[0]
            subprocess.run(["xdotool", "windowfocus", "--sync", box, "key", "Return"],
                           stderr=subprocess.DEVNULL, timeout=10)
            proc.communicate(timeout=15)
        finally:
            if proc.poll() is None:
                proc.kill()
        check(proc.returncode == ERROR_INSTALL_PACKAGE_INVALID, "exit code %s" % proc.returncode)
        check(record_lines() == [], "setup started: %r" % record_lines())
    return run


def case_second_while_unpacking():
    first = start_launcher(LARGE)
    check(wait_for(lambda: len(listing()) > 0, 20), "first launcher wrote nothing")
    rc = run_launcher(LARGE, timeout=20)
    check(rc == ERROR_INSTALL_ALREADY_RUNNING, "second launcher exit code %s" % rc)
    check(len(visible_windows("QELVOR")) <= 1, "a second dialog appeared")
    check(first.poll() is None or record_lines() == [],
          "first launcher was done before the second started; payload too small")
    first.communicate(timeout=120)
    check(first.returncode == 0, "first launcher exit code %s" % first.returncode)
    check(wait_for(lambda: "exit 0" in record_lines(), 20), "first launcher's setup missing")
    check(record_lines().count("exit 0") == 1, "setup ran twice: %r" % record_lines())
    check(listing() == LARGE_FILES, "workspace %r" % sorted(listing()))


def case_second_while_silent_setup_runs():
    first = start_launcher(SMALL, "/silent", setup_env={"QELVOR_TEST_SLEEP_MS": "4000"})
    check(wait_for(lambda: len(record_lines()) >= 1, 20), "first setup did not start")
    # the running setup's workspace is busy: the second deletes nothing,
    # starts nothing and ends by itself
    before = hostile_cases.tree(workspace())
    hostile_cases.expect_busy(start_launcher(SMALL, "/silent"))
    check(hostile_cases.tree(workspace()) == before, "the running setup's files changed")
    first.communicate(timeout=30)
    lines = record_lines()
    check(lines.count("cmdline setup.exe /silent") == 1 and lines[-1:] == ["exit 0"],
          "record %r" % lines)
    check(first.returncode == 0, "first launcher exit code %s" % first.returncode)


def abort_case(how):
    def run():
        proc = start_launcher(LARGE)
        try:
            check(wait_for(lambda: len(listing()) > 0, 20), "nothing was unpacked")
            # stopped while the abort is sent: the unpacking takes less than a second
            os.kill(proc.pid, signal.SIGSTOP)
            if how == "escape":
                dialogs = visible_windows("QELVOR")
                check(dialogs, "no visible dialog")
                subprocess.run(["xdotool", "windowfocus", "--sync", dialogs[0], "key", "Escape"],
                               stderr=subprocess.DEVNULL, timeout=10)
            else:
                rc, out = wine_output(ARGS.probe, "click", "QELVOR", "2", "5000")
                check(rc == 0, "button not found: %s" % out)
            os.kill(proc.pid, signal.SIGCONT)
            proc.communicate(timeout=30)
        finally:
            if proc.poll() is None:
                proc.kill()
        check(proc.returncode == ERROR_INSTALL_USEREXIT, "exit code %s" % proc.returncode)
        written = listing()
        check(written, "files written so far were removed")
        check(written != LARGE_FILES, "the unpacking finished before the abort")
        time.sleep(0.5)
        check(record_lines() == [], "setup started: %r" % record_lines())
    return run


def case_stale_workspace():
    os.makedirs(os.path.join(workspace(), "Style", "deeper"))
    os.makedirs(os.path.join(workspace(), "lang"))
    for stale in ("old.txt", "Style/old.jvs", "Style/deeper/x.bin", "lang/old.lng"):
        with open(os.path.join(workspace(), stale), "wb") as f:
            f.write(b"stale")
    rc = run_launcher(SMALL, "/silent")
    check(rc == 0, "exit code %s" % rc)
    check(listing() == SMALL_FILES, "workspace %r" % sorted(listing()))
    with open(os.path.join(workspace(), "lang", "english.lng"), "rb") as f:
        check(f.read() == LNG_CONTENT, "lang copy differs")


def case_no_setup():
    rc = run_launcher(NO_SETUP)
    check(rc == 0, "exit code %s" % rc)
    check(listing() == {"readme.txt", "Style", "lang"}, "workspace %r" % sorted(listing()))
    check(not visible_windows("Setup"), "a message appeared")


def case_loadstring_missing():
    """What the platform's LoadStringA does to the buffer when the user's
    language has no string 107 (a fact the worker's error text rests on)."""
    for lang, expect_text in (("en_US.UTF-8", None), ("zh_CN.UTF-8", FILE_ERROR_ZH)):
        rc, out = wine_output(ARGS.probe, "loadstring", windows_path(ARGS.stub), "107",
                              env={"LANG": lang, "LC_ALL": lang})
        check(rc == 0, out)
        parts = out.split()
        text = bytes.fromhex(parts[2]).decode("cp936" if expect_text else "latin-1") \
            if len(parts) > 2 else ""
        print("    LoadStringA(107) under %s: result %s, buffer %r" % (lang, parts[1], text))
        if expect_text:
            check(text == expect_text, "zh-CN string 107 read as %r" % text)


FILE_ERROR_ZH = "安装文件损坏， \n请重新安装或重启后重新安装"

# The launcher's own exit codes (shell/shell.h).
ERROR_INSTALL_USEREXIT = 1602
ERROR_INSTALL_ALREADY_RUNNING = 1618
ERROR_INSTALL_PACKAGE_INVALID = 1620


def case_setups_codes_come_back():
    """Silent mode: setup.exe's own exit code, all 32 bits, is the
    launcher's: a reboot request, a failure, a crash."""
    for code in (3010, 1641, 1603, 0xC0000005):
        reset()
        rc = run_launcher(SMALL, "/silent", setup_env={"QELVOR_TEST_EXIT_CODE": str(code)})
        check(rc == code, "setup's code %d came back as %s" % (code, rc))
        check(record_lines()[-1:] == ["exit %d" % code], "record %r" % record_lines())


def case_damaged_silent():
    """A damaged payload in silent mode: no box waits for anyone; the
    launcher ends by itself with its code, and nothing starts."""
    rc = run_launcher(DAMAGED, "/silent")
    check(rc == ERROR_INSTALL_PACKAGE_INVALID, "exit code %s" % rc)
    check(not visible_windows("Setup"), "a box is showing")
    check(record_lines() == [], "setup started: %r" % record_lines())


def arguments_case(typed, expected):
    """The launcher's arguments reach setup.exe as typed: behind
    "setup.exe /silent" (all but /silent), or behind setup's own path."""
    def run():
        rc = run_launcher(SMALL, typed=typed)
        check(rc in (0, 3), "exit code %s" % rc)
        check(wait_for(lambda: "exit 0" in record_lines(), 10), "setup did not run")
        line = record_lines()[0]
        check(line in [expected.replace("<setup>", c[len("cmdline "):])
                       for c in SETUP_COMMAND_LINES], "record %r" % line)
    return run


# ----------------------------------------------------------- signed launchers

SIGNED = {}  # kind -> signed launcher made from SMALL, by make_signed_launchers
SIGNING = {}  # the throwaway certificate: "cert", "key"


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def write_bytes(path, data):
    with open(path, "wb") as f:
        f.write(data)


def grow_stub(launcher, out, extra):
    """The launcher with its stub part (entry 0) `extra` zero bytes longer and
    every field still true: a sound launcher of another length, as a packer
    that does not align its output writes. Signing it needs padding."""
    data = bytearray(read_bytes(launcher))
    count = int.from_bytes(data[-4:], "little")
    directory = len(data) - 4 - count * 1044
    stub = int.from_bytes(data[directory + 4:directory + 8], "little")
    fields = [directory + at for at in (4, 8, 276, 280)]  # entry 0's S, four times
    fields += [directory + 1044 * j for j in range(1, count)]  # data_offset of the others
    for at in fields:
        data[at:at + 4] = (int.from_bytes(data[at:at + 4], "little") + extra).to_bytes(4, "little")
    data[stub:stub] = bytes(extra)
    write_bytes(out, data)


def sign(unsigned, out, nest=False):
    """Signs with osslsigncode and the throwaway certificate; -nest adds a
    second signature inside the first one's certificate table."""
    if os.path.exists(out):
        os.remove(out)  # osslsigncode does not overwrite
    result = subprocess.run(["osslsigncode", "sign"] + (["-nest"] if nest else []) +
                            ["-certs", SIGNING["cert"], "-key", SIGNING["key"], "-h", "sha256",
                             "-n", "qelvor test", "-in", unsigned, "-out", out],
                            capture_output=True, text=True)
    check(result.returncode == 0, "osslsigncode sign: %s" % (result.stdout + result.stderr))
    return out


def damage_signed(unsigned, signed, out):
    """The signed launcher with the payload byte changed that damage()
    changes in the unsigned one: the payload keeps its offsets when signed."""
    probe = out + ".probe"
    shutil.copyfile(unsigned, probe)
    damage(probe)
    before, after = read_bytes(unsigned), read_bytes(probe)
    os.remove(probe)
    position = next(i for i in range(len(before)) if before[i] != after[i])
    data = bytearray(read_bytes(signed))
    data[position] = after[position]
    write_bytes(out, data)
    return out


def certificate_table(path):
    """(file offset, size) of the certificate table that the PE headers name."""
    return pe.PeFile(path).directories[4]


def make_signed_launchers():
    """Signs copies of SMALL with a self-signed certificate made for this run
    (in a temporary folder, removed at exit): as packed (the packer leaves
    nothing to pad), grown by 3 bytes (signing pads 5), with a nested second
    signature, and as packed with a payload byte changed afterwards."""
    folder = tempfile.mkdtemp(prefix="qelvor-signing-")
    atexit.register(shutil.rmtree, folder, True)
    SIGNING.update(cert=os.path.join(folder, "cert.pem"), key=os.path.join(folder, "key.pem"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=qelvor test signer", "-keyout", SIGNING["key"],
                    "-out", SIGNING["cert"]], check=True, capture_output=True)
    work = lambda name: os.path.join(ARGS.work, name + ".exe")
    grow_stub(SMALL, work("small-grown"), 3)
    SIGNED["plain"] = sign(SMALL, work("signed"))
    SIGNED["padded"] = sign(work("small-grown"), work("signed-padded"))
    SIGNED["nested"] = sign(SIGNED["plain"], work("signed-nested"), nest=True)
    SIGNED["damaged"] = damage_signed(SMALL, SIGNED["plain"], work("signed-damaged"))
    # The shapes these cases stand for.
    size = os.path.getsize
    check(size(SMALL) % 8 == 0, "the packer left %d bytes to pad" % (size(SMALL) % 8))
    check(certificate_table(SIGNED["plain"])[0] == size(SMALL), "signing padded a packed launcher")
    check(certificate_table(SIGNED["padded"])[0] == size(work("small-grown")) + 5,
          "signing the grown launcher did not pad 5 bytes")
    check(certificate_table(SIGNED["nested"])[1] > certificate_table(SIGNED["plain"])[1],
          "the nested signature did not grow the table")


def signed_case(kind, silent):
    """A signed launcher unpacks and starts setup as the unsigned one does."""
    if silent:
        return silent_case("/silent", lambda: SIGNED[kind])
    return normal_start_case(lambda: SIGNED[kind])


def run_pack(*argv):
    """qelvor-pack with the given arguments: (exit code, output and errors)."""
    if ARGS.pack and os.access(ARGS.pack, os.X_OK):
        result = subprocess.run([ARGS.pack] + list(argv), capture_output=True, text=True)
        return result.returncode, result.stdout + result.stderr
    return wine_output(ARGS.pack_exe, *windows_args(argv), timeout=120)


def case_signature_covers_payload():
    """The signature covers the whole payload: osslsigncode verify accepts
    the signed launchers and refuses the one with a payload byte changed,
    which qelvor-pack verify names by its chunk."""
    for kind in ("plain", "padded", "nested"):
        result = subprocess.run(["osslsigncode", "verify", "-CAfile", SIGNING["cert"],
                                 "-in", SIGNED[kind]], capture_output=True, text=True)
        check(result.returncode == 0, "osslsigncode verify %s: %s" % (kind, result.stdout))
        rc, out = run_pack("verify", "-q", SIGNED[kind])
        table = certificate_table(SIGNED[kind])[1]
        check(rc == 0 and "signed: certificate table of %d bytes" % table in out,
              "qelvor-pack verify %s: %s" % (kind, out))
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", SIGNING["cert"],
                             "-in", SIGNED["damaged"]], capture_output=True, text=True)
    check(result.returncode != 0, "osslsigncode accepts a changed payload: %s" % result.stdout)
    rc, out = run_pack("verify", "-q", SIGNED["damaged"])
    check(rc == 1 and "entry 1 'data.bin': chunk 0: " in out, "qelvor-pack verify: %s" % out)


# ----------------------------------------------------------- stamped launchers

# The stamped launchers' options; main adds --icon with the vendor's icon.
STAMP = ["--file-version", "2.5.0.17", "--product-version", "2.5.0.0",
         "--version-string", "CompanyName=Acme Ltd",
         "--version-string", "ProductName=Acme Tool",
         "--version-string", "LegalCopyright=(c) 2026 Acme Ltd",
         "--version-string", "SpecialBuild=nightly"]
STAMPED_STRINGS = {"CompanyName": "Acme Ltd", "ProductName": "Acme Tool",
                   "LegalCopyright": "(c) 2026 Acme Ltd", "SpecialBuild": "nightly",
                   "FileVersion": "2.5.0.17", "ProductVersion": "2.5.0.0",
                   "InternalName": "qelvor"}  # the last one kept from the stub
VS_FF_SPECIALBUILD = 0x20


def version_case(lang, langid):
    """What Explorer's Details tab shows for a stamped launcher, read under
    each of the stub's four languages with GetFileVersionInfoA and
    VerQueryValueA."""
    def run():
        rc, out = wine_output(ARGS.probe, "version", windows_path(STAMPED),
                              env={"LANG": lang, "LC_ALL": lang})
        check(rc == 0, "probe: %s" % out)
        lines = out.splitlines()
        check(lines[0] == "translation %04x04b0" % langid, "language: %r" % lines[0])
        fields = lines[1].split()
        check(fields[1:3] == ["2.5.0.17", "2.5.0.0"], "fixed part: %r" % lines[1])
        check(int(fields[3], 16) & VS_FF_SPECIALBUILD, "SpecialBuild flag: %r" % lines[1])
        strings = {l.split()[1]: bytes.fromhex(l.split()[2] if len(l.split()) > 2 else "")
                   .decode() for l in lines[2:]}
        for name, value in STAMPED_STRINGS.items():
            check(strings.get(name) == value, "%s: %r" % (name, strings.get(name)))
    return run


def case_stamped_signed():
    """A stamped launcher signs and verifies like any other, and runs."""
    signed = sign(STAMPED, os.path.join(ARGS.work, "stamped-signed.exe"))
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", SIGNING["cert"], "-in", signed],
                            capture_output=True, text=True)
    check(result.returncode == 0, "osslsigncode verify: %s" % result.stdout)
    rc, out = run_pack("verify", "-q", signed)
    check(rc == 0 and "OK: 6 entries" in out, "qelvor-pack verify: %s" % out)
    silent_case("/silent", lambda: signed)()


def case_stamped_begins_with_stamped_stub():
    """The stamp command with the same options gives the bytes a stamped
    launcher begins with: how a vendor checks it against its stub."""
    stamped_stub = os.path.join(ARGS.work, "stamped-stub.exe")
    rc, out = run_pack("stamp", "-q", "-o", stamped_stub, "--stub", ARGS.stub, *STAMP)
    check(rc == 0, "qelvor-pack stamp: %s" % out)
    stub = read_bytes(stamped_stub)
    check(stub != read_bytes(ARGS.stub), "stamping changed nothing")
    check(read_bytes(STAMPED)[:len(stub)] == stub, "the launcher does not begin with the stamped stub")


# ----------------------------------------------------------- the vendor's icon

# The icon the stamped launchers get, as (side, bits per pixel, PNG): sizes
# the stub's own icons lack, so that a stub image left in a group shows.
VENDOR_IMAGES = [(16, 32, False), (24, 8, False), (40, 24, False), (256, 32, True)]
VENDOR = []  # their bytes, written into vendor.ico by main


def vendor_image(side, bits, png):
    """A square of blue and white quarters: a PNG, or a packed DIB (header,
    the palette of an 8-bit image, colour rows bottom-up, an empty mask)."""
    def colour(x, y):
        return (40, 90, 200) if (x < side // 2) == (y < side // 2) else (250, 250, 250)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    def stride(row_bits):
        return (row_bits + 31) // 32 * 4

    if png:
        raw = b"".join(b"\0" + b"".join(bytes(colour(x, y)) + b"\xff" for x in range(side))
                       for y in range(side))
        return (b"\x89PNG\r\n\x1a\n"
                + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 6, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
    palette = [(40, 90, 200), (250, 250, 250)] if bits == 8 else []
    image = struct.pack("<IiiHHIIiiII", 40, side, 2 * side, 1, bits, 0, 0, 0, 0, len(palette), 0)
    image += b"".join(bytes((blue, green, red, 0)) for red, green, blue in palette)
    for y in reversed(range(side)):
        if bits == 8:
            line = bytes(palette.index(colour(x, y)) for x in range(side))
        else:
            line = b"".join(bytes(reversed(colour(x, y))) + b"\xff" * (bits == 32)
                            for x in range(side))
        image += line + bytes(stride(side * bits) - len(line))
    return image + bytes(stride(side) * side)


def vendor_icon(path):
    """Writes the .ico file of VENDOR_IMAGES and keeps their bytes in VENDOR."""
    VENDOR[:] = [vendor_image(*image) for image in VENDOR_IMAGES]
    directory = struct.pack("<HHH", 0, 1, len(VENDOR))
    offset = len(directory) + 16 * len(VENDOR)
    for (side, bits, _), image in zip(VENDOR_IMAGES, VENDOR):
        directory += struct.pack("<BBBBHHII", side % 256, side % 256, 0, 0, 1, bits, len(image),
                                 offset)
        offset += len(image)
    write_bytes(path, directory + b"".join(VENDOR))
    return path


def case_icon_groups():
    """The stamped launcher's icon groups 132 and 134, in both their
    languages, list the vendor's images as the loader finds them, and the
    system makes an icon of each; 132 is still the first group, and no
    other icon image is left in the file."""
    want = [(str(side), str(side), str(bits), "1", image.hex())
            for (side, bits, _), image in zip(VENDOR_IMAGES, VENDOR)]
    for group in (132, 134):
        for lang in (1028, 2052):
            rc, out = wine_output(ARGS.probe, "icon", windows_path(STAMPED), str(group), str(lang))
            lines = out.splitlines()
            check(rc == 0 and lines, "probe icon %d/%d: %s" % (group, lang, out[:200]))
            check(lines[0] == "first group 132", "the first group: %r" % lines[0])
            got = [tuple(line.split()[1:]) for line in lines[1:]]
            check(got == want, "icon group %d/%d lists %r, decoded %r" %
                  (group, lang, [g[:3] for g in got], [g[3:4] for g in got]))
    icons = sorted(key for key in pe.PeFile(STAMPED).resources() if key[0] == pe.RT_ICON)
    check(len(icons) == len(VENDOR), "icon images in the launcher: %r" % icons)


def case_icon_same_bytes_both_packers():
    """qelvor-pack.exe under Wine writes the stamped launcher, icon and all,
    with the same bytes as the Linux qelvor-pack."""
    check(ARGS.pack and os.access(ARGS.pack, os.X_OK), "no Linux packer to compare with")
    out = os.path.join(ARGS.work, "windows", "stamped.exe")  # entry 0 carries the base name
    os.makedirs(os.path.dirname(out), exist_ok=True)
    rc, detail = wine_output(ARGS.pack_exe, "create", "-q", "-o", windows_path(out), "--stub",
                             *windows_args([ARGS.stub] + STAMP +
                                           [os.path.join(ARGS.work, "sets", "stamped")]),
                             timeout=300)
    check(rc == 0, "qelvor-pack.exe create: %s" % detail)
    check(read_bytes(out) == read_bytes(STAMPED), "the two packers wrote different launchers")


# ----------------------------------------------------------- continued files

def case_continued_files():
    """Files over one record's 48 MiB: a 130 MiB random file (three records)
    and a 70 MiB compressible one (two) go through create, list, verify and
    extract as two files, and the launcher unpacks them whole in silent mode
    and starts setup. Packed here, not in main, as they are large."""
    rng = random.Random(27)
    words = [b"qelvor ", b"continued ", b"record ", b"setup ", b"\x00\x01"]
    block = b"".join(rng.choice(words) for _ in range(200000))[:1 << 20]
    files = {"setup.exe": ARGS.setup, "noise.cab": rng.randbytes(130 << 20),
             "text.dat": block * 70}
    launcher = pack("continued", files, level=1)
    rc, out = run_pack("list", launcher)
    check(rc == 0, "list: %s" % out)
    rows = {line.split()[0]: line.split()[1:] for line in out.splitlines() if line.strip()}
    check(rows.get("noise.cab", [])[:1] == [str(130 << 20)] and rows["noise.cab"][2] == "260",
          "list: %s" % out)
    check(rows.get("text.dat", [])[:1] == [str(70 << 20)] and rows["text.dat"][2] == "140",
          "list: %s" % out)
    check("3 files, launcher" in out, "list: %s" % out)
    rc, out = run_pack("verify", launcher)
    check(rc == 0 and out.startswith("OK: 7 entries, "), "verify: %s" % out)
    folder = os.path.join(ARGS.work, "continued-out")
    shutil.rmtree(folder, ignore_errors=True)
    rc, out = run_pack("extract", "-q", launcher, folder)
    check(rc == 0, "extract: %s" % out)
    for name in ("noise.cab", "text.dat"):
        check(read_bytes(os.path.join(folder, name)) == files[name], "extract: %s differs" % name)
    rc = run_launcher(launcher, "/silent", timeout=600)
    check(rc == 0, "exit code %s" % rc)
    check(record_lines()[:1] == ["cmdline setup.exe /silent"], "record %r" % record_lines())
    check(listing() == set(files) | {"Style", "lang"}, "workspace %r" % sorted(listing()))
    for name in ("noise.cab", "text.dat"):
        check(read_bytes(os.path.join(workspace(), name)) == files[name],
              "the launcher's %s differs" % name)


# ----------------------------------------------------------- main

def main():
    global ARGS, RECORD, TEMP_LINUX, SMALL, LARGE, DAMAGED, NO_SETUP, STAMPED
    global SMALL_FILES, LARGE_FILES, SETUP_COMMAND, SETUP_COMMAND_LINES, LNG_CONTENT
    parser = argparse.ArgumentParser()
    for option in ("stub", "setup", "probe", "pack", "pack-exe", "wine-run", "work"):
        parser.add_argument("--" + option, required=option != "pack")
    parser.add_argument("cases", nargs="*", help="names of the cases to run (default: all)")
    ARGS = parser.parse_args()
    os.makedirs(ARGS.work, exist_ok=True)
    ENV.update(QELVOR_WINEPREFIX=os.path.join(ARGS.work, "wineprefix"), WINEDEBUG="-all")
    xvfb = start_display()
    try:
        wine_output("cmd", "/c", "exit", timeout=300)  # creates the prefix the first time
        wineserver("-p")  # one server for all cases: each start of Wine is quicker
        temp_windows, TEMP_LINUX = prefix_temp()
        SETUP_COMMAND = temp_windows + "\\qelvor\\setup.exe"
        # Wine quotes the application path that stands in for a null command line
        SETUP_COMMAND_LINES = ("cmdline " + SETUP_COMMAND, 'cmdline "%s"' % SETUP_COMMAND)
        RECORD = os.path.join(ARGS.work, "record.txt")

        rng = random.Random(1)
        LNG_CONTENT = b"[Language]\r\nName=English\r\n"
        small = {"setup.exe": ARGS.setup, "readme.txt": b"hello\r\n" * 100,
                 "english.lng": LNG_CONTENT, "default.jvs": b"[Style]\r\n" * 50,
                 "data.bin": bytes(rng.getrandbits(8) for _ in range(600000))}
        SMALL = pack("small", small)
        STAMP.extend(["--icon", vendor_icon(os.path.join(ARGS.work, "vendor.ico"))])
        STAMPED = pack("stamped", small, extra=STAMP)
        SMALL_FILES = set(small) | {"Style", "lang", "Style/default.jvs", "lang/english.lng"}
        large = {"setup.exe": ARGS.setup}
        for i in range(6):
            large["big%d.bin" % i] = rng.randbytes(24 * 1024 * 1024)
        LARGE = pack("large", large, level=0)
        LARGE_FILES = set(large) | {"Style", "lang"}
        DAMAGED = pack("damaged", {"setup.exe": ARGS.setup, "a.txt": b"x" * 5000})
        damage(DAMAGED)
        NO_SETUP = pack("nosetup", {"readme.txt": b"no setup here"}, no_setup=True)
        make_signed_launchers()

        cases = [
            ("loadstring_missing", case_loadstring_missing, None),
            ("normal_start", normal_start_case(), None),
            ("silent_slash", silent_case("/silent"), None),
            ("silent_dash_upper", silent_case("-SILENT"), None),
            ("double_dash_is_normal", normal_case("--silent"), None),
            ("setups_codes_come_back", case_setups_codes_come_back, None),
            ("damaged_silent", case_damaged_silent, None),
            ("arguments_silent", arguments_case(
                '/silent /norestart INSTALLDIR="C:\\Program Files\\X y"',
                'cmdline setup.exe /silent /norestart INSTALLDIR="C:\\Program Files\\X y"'), None),
            ("arguments_normal", arguments_case('a "b c" d\\\\', 'cmdline <setup> a "b c" d\\\\'),
             None),
            ("silent_second_is_normal", normal_case("x", "/silent"), None),
            ("damaged_en", error_case("en_US.UTF-8", "File error"), "en_US.UTF-8"),
            ("damaged_zh", error_case("zh_CN.UTF-8", FILE_ERROR_ZH), "zh_CN.UTF-8"),
            ("second_while_unpacking", case_second_while_unpacking, None),
            ("second_while_silent_setup", case_second_while_silent_setup_runs, None),
            ("escape_aborts", abort_case("escape"), None),
            ("button_aborts", abort_case("button"), None),
            ("stale_workspace", case_stale_workspace, None),
            ("no_setup", case_no_setup, None),
            ("signed_normal", signed_case("plain", silent=False), None),
            ("signed_silent_padded", signed_case("padded", silent=True), None),
            ("signed_nested", signed_case("nested", silent=False), None),
            ("signed_damaged", error_case("en_US.UTF-8", "File error", SIGNED["damaged"]),
             "en_US.UTF-8"),
            ("signature_covers_payload", case_signature_covers_payload, None),
            ("stamped_normal", normal_start_case(lambda: STAMPED), None),
            ("stamped_version_zh_TW", version_case("zh_TW.UTF-8", 0x0404), None),
            ("stamped_version_en_US", version_case("en_US.UTF-8", 0x0409), None),
            ("stamped_version_ja_JP", version_case("ja_JP.UTF-8", 0x0411), None),
            ("stamped_version_zh_CN", version_case("zh_CN.UTF-8", 0x0804), None),
            ("stamped_signed", case_stamped_signed, None),
            ("stamped_begins_with_stamped_stub", case_stamped_begins_with_stamped_stub, None),
            ("icon_groups", case_icon_groups, None),
            ("icon_silent", silent_case("/silent", lambda: STAMPED), None),
            ("icon_same_bytes_both_packers", case_icon_same_bytes_both_packers, None),
            ("continued_files", case_continued_files, None),
        ]
        cases += hostile_cases.cases(sys.modules[__name__])
        for name, run, lang in cases:
            if ARGS.cases and name not in ARGS.cases:
                continue
            reset()
            saved = dict(ENV)
            if lang:
                ENV.update(LANG=lang, LC_ALL=lang)
            started = time.time()
            try:
                run()
                print("ok    %-28s %.1fs" % (name, time.time() - started))
            except (CaseFailed, subprocess.TimeoutExpired) as failure:
                FAILURES.append(name)
                print("FAIL  %-28s %s" % (name, failure))
            finally:
                ENV.clear()
                ENV.update(saved)
        reset()
    finally:
        wineserver("-k")
        if xvfb is not None:
            xvfb.terminate()
    print("%d failed" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
