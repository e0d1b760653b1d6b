#!/usr/bin/env python3
"""Saves a picture of each of the six result dialogs under docs/: korvane.exe run under Wine
and Xvfb on a machine that ends with that dialog, captured with ImageMagick's import.

    scripts/screenshots.py [BUILD_DIR]     (default build/win32)

The pictures come from the i686 build, the one every supported Windows runs, in a 32-bit Wine
prefix; a win64 build directory runs in a 64-bit prefix instead (the same dialogs, drawn by the
same Wine), for machines whose kernel does not run 32-bit programs. Needs Wine (wine32 for the
i686 build), Xvfb, ImageMagick, a Japanese font, and Wine's own fonts (fonts-wine), whose
Marlett draws the caption's close box: scripts/setup.sh installs them."""
import os
import struct
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(ROOT, "build", "win32")
WINE_FONTS = "/usr/share/wine/fonts"
MARLETT = os.path.join(WINE_FONTS, "marlett.ttf")


def prefix_arch(exe):
    """win32 for a 32-bit (PE32) program, win64 for a 64-bit one (PE32+)."""
    with open(exe, "rb") as image:
        header = image.read(4096)
    optional = struct.unpack_from("<I", header, 0x3C)[0] + 24
    return "win64" if struct.unpack_from("<H", header, optional)[0] == 0x20B else "win32"


ARCH = prefix_arch(os.path.join(BUILD, "korvane.exe"))
os.environ.setdefault("KORVANE_SOURCE_DIR", ROOT)
os.environ["KORVANE_WINE_ARCH"] = ARCH
os.environ[f"KORVANE_{ARCH.upper()}_BUILD"] = BUILD
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
import winehost  # noqa: E402

SAMPLE = os.path.join(ROOT, "machines", "sample-xp.reg")
FIXTURES = os.path.join(ROOT, "tests", "sim", "fixtures")
SHOTS = [
    ("dialog-both-en.png", SAMPLE, "C.UTF-8"),
    ("dialog-finished-en.png", os.path.join(FIXTURES, "xp-all-set.reg"), "C.UTF-8"),
    ("dialog-failed-en.png", os.path.join(FIXTURES, "xp-none-set.reg"), "C.UTF-8"),
    ("dialog-both-ja.png", SAMPLE, "ja_JP.UTF-8"),
    ("dialog-finished-ja.png", os.path.join(FIXTURES, "xp-all-set.reg"), "ja_JP.UTF-8"),
    ("dialog-failed-ja.png", os.path.join(FIXTURES, "xp-none-set.reg"), "ja_JP.UTF-8"),
]


def capture(prefix, window, path):
    """The screen region of the dialog's window, as PNG."""
    x, y, width, height = window
    subprocess.run(["import", "-window", "root", "-crop", f"{width}x{height}+{x}+{y}", "+repage", path],
                   env=prefix.environment(), check=True, timeout=60)


def main():
    reason = winehost.unavailable()
    if reason:
        raise SystemExit(f"{ARCH} prefix: {reason}. A win64 build directory runs in a 64-bit prefix.")
    if not os.path.exists(MARLETT):
        raise SystemExit(f"no {MARLETT}: without Wine's own fonts (fonts-wine) the caption's buttons are letters")
    out = os.path.join(ROOT, "docs")
    os.makedirs(out, exist_ok=True)
    for name, machine, locale in SHOTS:
        with winehost.Prefix("winxp", locale) as prefix:
            # No window manager runs on Xvfb: Wine draws the title bar and frame itself.
            prefix.wine("reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Decorated", "/t", "REG_SZ",
                        "/d", "N", "/f")
            # fonts-wine puts Wine's own fonts where Debian's Wine does not look for them (it
            # looks in /usr/share/fonts itself): the prefix is told where they are.
            prefix.wine("reg", "add", "HKCU\\Software\\Wine\\Fonts", "/v", "Path", "/t", "REG_SZ",
                        "/d", "Z:" + WINE_FONTS.replace("/", "\\"), "/f")
            prefix.import_reg(machine)
            run = prefix.start_korvane()
            shown = prefix.probe("none")
            if not shown.get("found"):
                raise SystemExit(f"{name}: no dialog appeared: {run.stderr()[-2000:]}")
            path = os.path.join(out, name)
            capture(prefix, shown["window"], path)
            prefix.probe("ok")
            run.wait()
            print(f"{path}: template {shown['template']}, {ARCH} prefix")
    return 0


if __name__ == "__main__":
    sys.exit(main())
