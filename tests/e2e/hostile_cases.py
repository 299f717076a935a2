"""End-to-end cases for what real users' machines throw at the launcher:
a temporary folder named outside the ANSI code page, a stale setup.exe or a
planted DLL that another process holds open, payloads whose entry names Windows treats
specially (devices, a trailing dot, an 8.3 alias shape) or the launcher
keeps for itself (lang), and a certificate table the launcher refuses. Each case checks the workspace, the
error box where one belongs and whether a setup started.

The cases use the driver's helpers and its prepared launchers; cases(driver)
returns them as rows of the driver's case table.
"""

import os
import select
import shutil

D = None  # the driver module (run_e2e), set by cases()

BOX_WAIT_MS = 20000
HOLD_MS = 60000  # the holder lets go by itself after this, should the driver die
DEVICE_MARKER = b"QELVOR-BYTES-FOR-A-DEVICE\r\n"


def expect_error_box(proc, code=1620):
    """Checks that the launcher shows the error box titled "Setup" over its
    visible dialog, with the file error text; presses OK and waits for the
    launcher to end with the code (a damaged payload's by default)."""
    try:
        rc, out = D.wine_output(D.ARGS.probe, "box", "Setup", str(BOX_WAIT_MS))
        D.check(rc == 0, "no error box titled Setup appeared")
        lines = out.splitlines()
        owner = lines[0].split()
        D.check(bytes.fromhex(owner[1]).decode() == "QELVOR" and owner[2] == "1",
                "box not owned by the visible dialog: %r" % lines[0])
        texts = [bytes.fromhex(l.split()[4]).decode() for l in lines[1:]
                 if l.startswith("child Static") and len(l.split()) > 4]
        D.check("File error" in texts, "box texts %r" % texts)
        rc, out = D.wine_output(D.ARGS.probe, "click", "Setup", "1", "5000")
        D.check(rc == 0, "cannot press OK: %s" % out)
        proc.wait(timeout=15)
    finally:
        if proc.poll() is None:
            proc.kill()
    D.check(proc.returncode == code, "exit code %s" % proc.returncode)


def expect_busy(proc):
    """Checks that the launcher ends by itself, as it does when it finds
    another launcher's lock, with the code that deployment tools retry
    (1618): no box waits for anyone."""
    try:
        proc.wait(timeout=D.LOCK_WAIT_S)
    finally:
        if proc.poll() is None:
            proc.kill()
    D.check(proc.returncode == 1618, "exit code %s" % proc.returncode)


def tree(folder):
    """{relative path: content} of every file below folder."""
    found = {}
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = f.read()
    return found


# ----------------------------------------------------------- temporary folder

OUTSIDE_1252 = "\u6d4b\u8bd5"  # two Chinese characters, no equivalent in code page 1252


def set_temp(windows_folder):
    """Sets TEMP and TMP of the prefix's user through regedit and a UTF-16
    .reg file, which carries the name as it is."""
    escaped = windows_folder.replace("\\", "\\\\")
    text = ("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Environment]\r\n"
            '"TEMP"="%s"\r\n"TMP"="%s"\r\n' % (escaped, escaped))
    reg = os.path.join(D.ARGS.work, "temp.reg")
    with open(reg, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))
    rc, out = D.wine_output("regedit", "/S", D.windows_path(reg))
    D.check(rc == 0, "regedit failed: %s" % out)


def case_temp_outside_codepage():
    """Wine maps a Unix name outside code page 1252 only under a UTF-8 Unix
    locale, and gives such a folder an ASCII 8.3 name (like __~~~X3D): the
    launcher reaches the folder through it, unpacks and starts setup."""
    temp_windows, _ = D.prefix_temp()
    folder = os.path.join(D.TEMP_LINUX, OUTSIDE_1252)
    workspace = os.path.join(folder, "qelvor")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    try:
        set_temp(temp_windows + "\\" + OUTSIDE_1252)
        rc = D.run_launcher(D.SMALL, "/silent")
        D.check(rc == 0, "exit code %s" % rc)
        lines = D.record_lines()
        D.check(lines[:1] == ["cmdline setup.exe /silent"] and lines[-1:] == ["exit 0"],
                "setup did not run: %r" % lines)
        found = set()
        for root, dirs, files in os.walk(workspace):
            found |= {os.path.relpath(os.path.join(root, n), workspace) for n in dirs + files}
        D.check(found == D.SMALL_FILES, "workspace %r" % sorted(found))
        D.check(not os.path.exists(D.workspace()), "unpacked into the usual temporary folder")
    finally:
        set_temp(temp_windows)
        shutil.rmtree(folder, ignore_errors=True)


# ----------------------------------------------------------- stale setup.exe

def hold(path, share):
    """Starts hold_file on path; returns its Popen and the release file once
    it holds the file."""
    holder_exe = os.path.join(os.path.dirname(D.ARGS.probe), "hold_file.exe")
    release = os.path.join(D.ARGS.work, "release-holder")
    if os.path.exists(release):
        os.remove(release)
    holder = D.wine(holder_exe, D.windows_path(path), share, D.windows_path(release),
                    str(HOLD_MS))
    ready, _, _ = select.select([holder.stdout], [], [], D.LOCK_WAIT_S)
    line = holder.stdout.readline().decode(errors="replace").strip() if ready else ""
    if line != "held":
        holder.kill()
        raise D.CaseFailed("holder did not take the file: %r" % line)
    return holder, release


def held_file_case(name, share):
    """A file of an earlier workspace that another process holds open (a
    setup.exe still in use, a version.dll someone planted for setup.exe to
    load): the workspace is busy. The launcher deletes nothing, writes
    nothing, starts nothing and ends by itself, without a box."""
    def run():
        os.makedirs(os.path.join(D.workspace(), "lang"))
        held_path = os.path.join(D.workspace(), name)
        with open(held_path, "wb") as f:
            f.write(open(D.ARGS.setup, "rb").read() + b"stale copy")
        with open(os.path.join(D.workspace(), "lang", "old.lng"), "wb") as f:
            f.write(b"old language file")
        before = tree(D.workspace())
        holder, release = hold(held_path, share)
        try:
            expect_busy(D.start_launcher(D.SMALL, "/silent"))
            D.check(D.record_lines() == [], "a setup started: %r" % D.record_lines())
            D.check(tree(D.workspace()) == before, "the workspace changed: %r"
                    % sorted(tree(D.workspace())))
        finally:
            open(release, "wb").close()
            holder.wait(timeout=D.LOCK_WAIT_S)
    return run


# ----------------------------------------------------------- names

NAME_OFFSET = 12
NAME_FIELD = 260
RECORD_SIZE = 1044


def rename_entry(launcher, old, new):
    """Replaces an entry's name in a packed launcher's directory (the packer
    refuses the names these cases need), NUL-padding the field."""
    with open(launcher, "r+b") as f:
        data = bytearray(f.read())
        count = int.from_bytes(data[-4:], "little")
        directory = len(data) - 4 - count * RECORD_SIZE
        for index in range(1, count):
            field = directory + index * RECORD_SIZE + NAME_OFFSET
            if data[field:field + NAME_FIELD].split(b"\0")[0] == old:
                data[field:field + NAME_FIELD] = new.ljust(NAME_FIELD, b"\0")
                f.seek(0)
                f.write(data)
                return
    raise D.CaseFailed("no entry %r in %s" % (old, launcher))


PORTS_KEY = "HKLM\\Software\\Wine\\Ports"  # Wine's table of serial and parallel ports


def redirect_device(device):
    """Points the prefix's DOS device (COM1, normally a serial port) at an
    empty file of the work folder: through Wine's port table, which its
    mount manager applies whenever the session's services start again, and
    through the dosdevices link itself for a session already running.
    Returns the file, the link and the link's old target."""
    capture = os.path.join(D.ARGS.work, "device-" + device)
    open(capture, "wb").close()
    rc, out = D.wine_output("reg", "add", PORTS_KEY, "/v", device.upper(), "/d", capture, "/f")
    D.check(rc == 0, "reg add failed: %s" % out)
    link = os.path.join(D.ENV["QELVOR_WINEPREFIX"], "dosdevices", device)
    old = os.readlink(link) if os.path.islink(link) else None
    if old is not None:
        os.remove(link)
    os.symlink(capture, link)
    return capture, link, old


def restore_device(device, link, old):
    D.wine_output("reg", "delete", PORTS_KEY, "/v", device.upper(), "/f")
    if os.path.lexists(link):
        os.remove(link)
    if old is not None:
        os.symlink(old, link)


def bad_name_case(name, device=None):
    """A payload whose last entry has a name Windows does not take as a plain
    file name; entries before it are good, so anything written before the
    names are checked shows in the workspace. For a serial device the device
    is redirected to a file, which must stay empty (Wine opens no CON for a
    program without a console, so CON's bytes could not be seen)."""
    def run():
        launcher = D.pack("badname", {"a.txt": b"first entry\r\n", "setup.exe": D.ARGS.setup,
                                      "zz.txt": DEVICE_MARKER})
        rename_entry(launcher, b"zz.txt", name)
        redirected = redirect_device(device) if device else None
        try:
            expect_error_box(D.start_launcher(launcher))
            if redirected:
                D.check(os.path.getsize(redirected[0]) == 0, "entry bytes reached " + device)
        finally:
            if redirected:
                restore_device(device, *redirected[1:])
        # the workspace's two folders come with it; no file is written
        D.check(D.listing() == {"Style", "lang"}, "workspace %r" % sorted(D.listing()))
        D.check(D.record_lines() == [], "a setup started: %r" % D.record_lines())
    return run


SECURITY_ENTRY = 24 + 112 + 4 * 8  # from the PE signature: PE32+ data directory 4


def case_table_not_ending_the_file():
    """The PE headers name a certificate table that a copy of the payload's
    directory and count follows, so that the plain rule would find a whole
    payload: the launcher refuses the file, shows the error box and starts
    nothing."""
    launcher = D.pack("tail", {"a.txt": b"first entry\r\n", "setup.exe": D.ARGS.setup})
    with open(launcher, "r+b") as f:
        data = bytearray(f.read())
        count = int.from_bytes(data[-4:], "little")
        tail = data[len(data) - 4 - count * RECORD_SIZE:]
        data += b"\0" * (-len(data) % 8)
        table = len(data)
        data += b"\x30" * 2048 + tail
        entry = int.from_bytes(data[0x3C:0x40], "little") + SECURITY_ENTRY
        data[entry:entry + 8] = table.to_bytes(4, "little") + (2048).to_bytes(4, "little")
        f.seek(0)
        f.write(data)
    expect_error_box(D.start_launcher(launcher))
    D.check(D.listing() == {"Style", "lang"}, "workspace %r" % sorted(D.listing()))
    D.check(D.record_lines() == [], "a setup started: %r" % D.record_lines())


def cases(driver):
    global D
    D = driver
    return [
        ("temp_outside_codepage", case_temp_outside_codepage, "C.UTF-8"),
        ("held_setup_share_none", held_file_case("setup.exe", "none"), "en_US.UTF-8"),
        ("held_setup_share_read", held_file_case("setup.exe", "read"), "en_US.UTF-8"),
        ("held_planted_dll", held_file_case("version.dll", "all"), "en_US.UTF-8"),
        ("name_con", bad_name_case(b"CON"), "en_US.UTF-8"),
        ("name_com1_lng", bad_name_case(b"COM1.lng", "com1"), "en_US.UTF-8"),
        ("name_trailing_dot", bad_name_case(b"setup.exe."), "en_US.UTF-8"),
        ("name_lang", bad_name_case(b"LANG"), "en_US.UTF-8"),
        ("name_short_alias", bad_name_case(b"SETUP~1.EXE"), "en_US.UTF-8"),
        ("name_superscript_1252", bad_name_case(b"LPT\xb2.txt"), "en_US.UTF-8"),
        ("table_not_ending_the_file", case_table_not_ending_the_file, "en_US.UTF-8"),
    ]
