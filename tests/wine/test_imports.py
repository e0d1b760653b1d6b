"""korvane.exe needs nothing but the system's own DLLs, and the i686 build loads on
Windows 95 and NT 4.0. Reads the executables' headers; needs no Wine."""
import os
import re
import subprocess
import unittest

import winehost

ALLOWED = {"KERNEL32.dll", "USER32.dll", "ADVAPI32.dll", "msvcrt.dll"}
WIN32 = os.environ.get("KORVANE_WIN32_BUILD", "")


def headers(exe, objdump):
    return subprocess.run([objdump, "-p", exe], capture_output=True, check=True, text=True).stdout


def imported_dlls(text):
    return [line.split(":", 1)[1].strip() for line in text.splitlines() if "DLL Name:" in line]


class Imports(unittest.TestCase):
    def check_system_dlls_only(self, exe, objdump):
        dlls = imported_dlls(headers(exe, objdump))
        self.assertTrue(dlls, "no import table found")
        self.assertLessEqual(set(dlls), ALLOWED, f"{exe} imports {sorted(set(dlls) - ALLOWED)}")

    def test_win64_imports_system_dlls_only(self):
        self.check_system_dlls_only(winehost.KORVANE_EXE, "x86_64-w64-mingw32-objdump")

    @unittest.skipUnless(WIN32, "no i686 build given (KORVANE_WIN32_BUILD)")
    def test_win32_imports_system_dlls_only_and_asks_for_version_4(self):
        exe = os.path.join(WIN32, "korvane.exe")
        self.check_system_dlls_only(exe, "i686-w64-mingw32-objdump")
        text = headers(exe, "i686-w64-mingw32-objdump")
        fields = dict(re.findall(r"^(Major\w+Version|Minor\w+Version)\s+(\d+)", text, re.MULTILINE))
        self.assertEqual((fields["MajorOSystemVersion"], fields["MinorOSystemVersion"]), ("4", "0"))
        self.assertEqual((fields["MajorSubsystemVersion"], fields["MinorSubsystemVersion"]), ("4", "0"))
        self.assertIn("(Windows GUI)", text)


if __name__ == "__main__":
    unittest.main()
