#!/usr/bin/env python3
"""Screen captures of the launcher under Wine, for the end-to-end tests and
for `make screenshots`, which regenerates docs/screenshots/.

capture() takes the whole X screen and says when it is blank (one colour,
or next to no variation): a capture of a display that Wine never drew on is
a fault of the test, not a picture.

As a program it runs the launcher in a Wine prefix of its own with a
virtual desktop, where Wine draws each window with its frame and title as a
user sees it, and keeps, cropped to the window: the progress dialog in the
four languages of its resources, with the bar part-way, and the error box of
a damaged launcher in en-US and zh-CN. The fonts follow what Windows uses at
that size: the dialogs' CJK faces (新細明體, 宋体, MS UI Gothic) are mapped to
WenQuanYi Zen Hei Sharp, whose 12-pixel bitmaps stand in for their bitmaps,
and Wine's own fonts (Tahoma, Marlett for the frame's buttons) are copied
into the prefix when the system has them (Debian's fonts-wine).
"""

import argparse
import glob
import os
import shutil
import signal
import struct
import subprocess
import sys
import time

BLANK_DEVIATION = 0.01  # below this a capture is taken for blank
DESKTOP = (640, 480)
MIN_WINDOW = (200, 60)  # the smallest crop that can hold a dialog
DIALOG_FILES = 96  # stored entries of the progress payload besides setup.exe
DIALOG_FILE_BYTES = 4 * 1024 * 1024
KEEPER_MS = 30 * 60 * 1000  # how long the probe that keeps the desktop up waits
ACTIVATE_S = 0.3  # for an activated window to draw its caption

PROGRESS_LANGUAGES = (("zh_TW", "zh-TW"), ("en_US", "en-US"), ("ja_JP", "ja-JP"),
                      ("zh_CN", "zh-CN"))
ERROR_LANGUAGES = (("en_US", "en-US"), ("zh_CN", "zh-CN"))
DIALOG_FONTS = ("新細明體", "宋体", "MS UI Gothic", "PMingLiU", "SimSun")
CJK_BITMAP_FONT = "WenQuanYi Zen Hei Sharp"
WINE_FONTS = "/usr/share/wine/fonts"

E2E = None  # the end-to-end driver module, whose helpers the program uses


def blank_reason(path):
    """None when the picture holds something, else why it counts as blank."""
    result = subprocess.run(["convert", path, "-format", "%[fx:standard_deviation] %k", "info:"],
                            capture_output=True, text=True)
    if result.returncode != 0:
        return "capture %s unreadable: %s" % (path, result.stderr.strip())
    deviation, colours = result.stdout.split()
    if int(colours) <= 1 or float(deviation) < BLANK_DEVIATION:
        return "blank capture %s (%s colours, deviation %s)" % (path, colours, deviation)
    return None


def capture(path):
    """Takes the X screen into path; returns None, or why the capture is
    blank or missing."""
    result = subprocess.run(["import", "-window", "root", path], capture_output=True, text=True)
    if result.returncode != 0:
        return "import failed: %s" % result.stderr.strip()
    return blank_reason(path)


# ----------------------------------------------------------- the program

def require(condition, message):
    if not condition:
        raise SystemExit("screenshots: " + message)


def message_font():
    """The message boxes' LOGFONTW: MS Shell Dlg at 9 points (12 pixels),
    the size of Windows' own message font, where the CJK bitmaps exist
    (Wine's default, 8 points, leaves CJK text as broken outlines)."""
    face = "MS Shell Dlg".encode("utf-16-le").ljust(64, b"\0")
    return struct.pack("<5l8B", -12, 0, 0, 0, 400, 0, 0, 0, 0, 0, 0, 0, 0x22) + face


def prepare_prefix():
    """Virtual desktop, CJK bitmap fonts, the message font and Wine's own
    fonts; the desktop takes effect with the next Wine session."""
    lines = ["Windows Registry Editor Version 5.00", "",
             "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]", '"Desktop"="Default"', "",
             "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]",
             '"Default"="%dx%d"' % DESKTOP, "",
             "[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]"]
    lines += ['"%s"="%s"' % (face, CJK_BITMAP_FONT) for face in DIALOG_FONTS]
    lines += ["", "[HKEY_CURRENT_USER\\Control Panel\\Desktop\\WindowMetrics]",
              '"MessageFont"=hex:' + ",".join("%02x" % b for b in message_font())]
    reg = os.path.join(E2E.ARGS.work, "screenshots.reg")
    with open(reg, "wb") as f:
        f.write(b"\xff\xfe" + ("\r\n".join(lines) + "\r\n").encode("utf-16-le"))
    rc, out = E2E.wine_output("regedit", "/S", E2E.windows_path(reg))
    require(rc == 0, "regedit failed: %s" % out)
    fonts = os.path.join(E2E.ENV["QELVOR_WINEPREFIX"], "drive_c", "windows", "Fonts")
    own = glob.glob(os.path.join(WINE_FONTS, "*.ttf"))
    if not own:
        print("screenshots: no Wine fonts in %s (fonts-wine): frames lack Marlett" % WINE_FONTS)
    for font in own:
        shutil.copy(font, fonts)
    E2E.wineserver("-k")
    E2E.wineserver("-w")


def keep(raw, out):
    """Crops a capture to the windows on the desktop (what differs from
    the desktop's colour, with a margin of it) and writes out."""
    reason = capture(raw)
    require(reason is None, reason)
    desktop = subprocess.run(["convert", raw, "-format", "%[pixel:p{0,0}]", "info:"],
                             capture_output=True, text=True, check=True).stdout
    subprocess.run(["convert", raw, "-crop", "%dx%d+0+0" % DESKTOP, "+repage", "-trim",
                    "+repage", "-bordercolor", desktop, "-border", "8", "-strip", out],
                   check=True)
    size = subprocess.run(["convert", out, "-format", "%w %h", "info:"], capture_output=True,
                          text=True, check=True).stdout.split()
    require(int(size[0]) >= MIN_WINDOW[0] and int(size[1]) >= MIN_WINDOW[1],
            "no window on the desktop in %s" % raw)
    print("wrote %s (%sx%s)" % (out, size[0], size[1]))


def activate(title):
    """Makes the dialog the active window, as it is for a user who just
    started the launcher. Without a window manager nobody does: a click on
    the desktop's corner hands Wine the input focus, and e2e_probe then
    brings the dialog to the foreground, once it shows."""
    desktop = lambda: subprocess.run(["xdotool", "search", "--name", " - Wine desktop$"],
                                     capture_output=True, text=True).stdout.split()
    require(E2E.wait_for(desktop, 30), "no Wine desktop window")
    subprocess.run(["xdotool", "mousemove", "2", "2", "click", "1"], check=True)
    rc, text = E2E.wine_output(E2E.ARGS.probe, "activate", title, "20000")
    require(rc == 0, "cannot activate %s: %s" % (title, text.strip()))
    time.sleep(ACTIVATE_S)


def shoot_progress(launcher, locale, out):
    """Starts the launcher, stops its process while the bar is part-way,
    captures the dialog, then lets it finish. The dialog is left as Wine
    draws it without a window manager, with an inactive caption: an
    activation takes longer than the unpacking does, and Wine draws the
    caption active only when the activation meets the dialog's own."""
    shutil.rmtree(E2E.workspace(), ignore_errors=True)
    lang = locale + ".UTF-8"
    proc = E2E.wine(launcher, env={"LANG": lang, "LC_ALL": lang})
    try:
        total = DIALOG_FILES + 1
        files = lambda: len(E2E.listing() - {"Style", "lang"})
        require(E2E.wait_for(lambda: files() >= total // 2, 60), "unpacking did not get going")
        os.kill(proc.pid, signal.SIGSTOP)
        try:
            require(files() < total, "the payload was unpacked before it could be caught")
            keep(os.path.join(E2E.ARGS.work, "raw.png"), out)
        finally:
            os.kill(proc.pid, signal.SIGCONT)
        proc.wait(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()


def shoot_error(launcher, locale, out):
    """Runs a damaged launcher, captures its error box and presses OK."""
    shutil.rmtree(E2E.workspace(), ignore_errors=True)
    lang = locale + ".UTF-8"
    proc = E2E.wine(launcher, env={"LANG": lang, "LC_ALL": lang})
    try:
        rc, text = E2E.wine_output(E2E.ARGS.probe, "box", "Setup", "20000")
        require(rc == 0, "no error box")
        activate("Setup")
        keep(os.path.join(E2E.ARGS.work, "raw.png"), out)
        rc, text = E2E.wine_output(E2E.ARGS.probe, "click", "Setup", "1", "5000")
        require(rc == 0, "cannot press OK: %s" % text)
        proc.wait(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()


def main():
    global E2E
    sys.dont_write_bytecode = True
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import run_e2e
    E2E = run_e2e
    parser = argparse.ArgumentParser()
    for option in ("stub", "setup", "probe", "pack", "pack-exe", "wine-run", "work", "out"):
        parser.add_argument("--" + option, required=option != "pack")
    args = parser.parse_args()
    for name in ("stub", "setup", "probe", "pack", "pack_exe", "wine_run", "work", "out"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    E2E.ARGS = args
    os.makedirs(args.work, exist_ok=True)
    os.makedirs(args.out, exist_ok=True)
    E2E.ENV.update(QELVOR_WINEPREFIX=os.path.join(args.work, "wineprefix"), WINEDEBUG="-all")
    os.environ.pop("DISPLAY", None)  # a screen of its own, never the user's
    xvfb = E2E.start_display()
    keeper = None
    try:
        E2E.wine_output("cmd", "/c", "exit", timeout=300)
        prepare_prefix()
        E2E.wineserver("-p")
        # The desktop ends with the session's last program, and a launcher
        # started while it goes down shows nothing: a waiting probe keeps it.
        keeper = E2E.wine(args.probe, "box", "no such window", str(KEEPER_MS))
        E2E.TEMP_LINUX = E2E.prefix_temp()[1]
        part = os.path.join(args.work, "part.bin")
        with open(part, "wb") as f:
            f.write(os.urandom(DIALOG_FILE_BYTES))
        progress = {"setup.exe": args.setup}
        progress.update(("part%02d.bin" % i, part) for i in range(DIALOG_FILES))
        progress = E2E.pack("progress", progress, level=0)
        shutil.rmtree(os.path.join(args.work, "sets"))
        damaged = E2E.pack("damaged", {"setup.exe": args.setup, "a.txt": b"x" * 5000})
        E2E.damage(damaged)
        for locale, tag in PROGRESS_LANGUAGES:
            shoot_progress(progress, locale, os.path.join(args.out, "progress-%s.png" % tag))
        for locale, tag in ERROR_LANGUAGES:
            shoot_error(damaged, locale, os.path.join(args.out, "error-%s.png" % tag))
        shutil.rmtree(E2E.workspace(), ignore_errors=True)
    finally:
        if keeper is not None:
            keeper.kill()
        E2E.wineserver("-k")
        if xvfb is not None:
            xvfb.terminate()
    return 0


if __name__ == "__main__":
    sys.exit(main())
