#!/usr/bin/env python3
"""Saves a picture of each of the six result dialogs under docs/: korvane.exe run under Wine
and Xvfb on a machine that ends with that dialog, captured with ImageMagick's import.

    scripts/screenshots.py [WIN64_BUILD_DIR]     (default build/win64)

Needs wine64, Xvfb, ImageMagick and a Japanese font (scripts/setup.sh installs them)."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.environ.setdefault("KORVANE_SOURCE_DIR", ROOT)
os.environ.setdefault("KORVANE_WIN64_BUILD", os.path.abspath(sys.argv[1]) if len(sys.argv) > 1
                      else os.path.join(ROOT, "build", "win64"))
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
    out = os.path.join(ROOT, "docs")
    os.makedirs(out, exist_ok=True)
    for name, machine, locale in SHOTS:
        with winehost.Prefix("winxp", locale) as prefix:
            # No window manager runs on Xvfb: Wine draws the title bar and frame itself.
            prefix.wine("reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Decorated", "/t", "REG_SZ",
                        "/d", "N", "/f")
            prefix.import_reg(machine)
            run = prefix.start_korvane()
            shown = prefix.probe("none")
            if not shown.get("found"):
                raise SystemExit(f"{name}: no dialog appeared: {run.stderr()[-2000:]}")
            path = os.path.join(out, name)
            capture(prefix, shown["window"], path)
            prefix.probe("ok")
            run.wait()
            print(f"{path}: template {shown['template']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
