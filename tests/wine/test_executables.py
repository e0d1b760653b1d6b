"""The two Windows builds of korvane.exe as files: what they import, what they ask of the
loader, and their size. Reads the PE headers with objdump; needs no Wine."""
import os
import re
import subprocess
import unittest

import winehost

WIN32 = os.environ.get("KORVANE_WIN32_BUILD", "")
IMPORTS_LIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "imports.txt")
SIZE_LIMIT = 200 * 1024
BUILDS = {"x86_64": (os.path.join(winehost.BUILDS["win64"], "korvane.exe"), "x86_64-w64-mingw32-objdump"),
          "i686": (os.path.join(winehost.BUILDS["win32"], "korvane.exe"), "i686-w64-mingw32-objdump")}


def expected_imports(machine):
    """(DLL, function) pairs that imports.txt gives for this build."""
    pairs = set()
    with open(IMPORTS_LIST, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            if not line.strip() or line.startswith("#"):
                continue
            fields = line.split(None, 3)
            if len(fields) < 4 or fields[2] not in ("all", "i686", "x86_64"):
                raise AssertionError(f"{IMPORTS_LIST}:{number}: want DLL, function, build and reason")
            if fields[2] in ("all", machine):
                pairs.add((fields[0], fields[1]))
    return pairs


def imports(text):
    """(DLL, function) pairs of objdump -p's import tables."""
    pairs, dll = set(), None
    for line in text.splitlines():
        match = re.match(r"\s*DLL Name: (\S+)", line)
        if match:
            dll = match.group(1)
            continue
        match = re.match(r"\t[0-9a-f]+\t +\d+ +(\S+)$", line)
        if dll and match:
            pairs.add((dll, match.group(1)))
    return pairs


def data_directory(text, name):
    """(address, size) of a PE data directory entry, e.g. "Thread Storage Directory"."""
    match = re.search(r"^Entry [0-9a-f] ([0-9a-f]+) ([0-9a-f]+) " + re.escape(name), text, re.MULTILINE)
    if not match:
        raise AssertionError(f"no {name} entry in the headers")
    return int(match.group(1), 16), int(match.group(2), 16)


class Executables(unittest.TestCase):
    def headers(self, machine):
        exe, objdump = BUILDS[machine]
        if machine == "i686" and not WIN32:
            self.skipTest("no i686 build given (KORVANE_WIN32_BUILD)")
        return exe, subprocess.run([objdump, "-p", exe], capture_output=True, check=True, text=True).stdout

    def check_build(self, machine):
        exe, text = self.headers(machine)
        found = imports(text)
        self.assertTrue(found, "no import table found")
        wanted = expected_imports(machine)
        self.assertEqual(sorted(found - wanted), [], f"{exe} imports what imports.txt does not give")
        self.assertEqual(sorted(wanted - found), [], f"imports.txt gives what {exe} no longer imports")
        # Only the system's own DLLs, none of a C runtime: a first-release Windows 95 has none.
        self.assertLessEqual({dll for dll, _ in found}, {"ADVAPI32.dll", "KERNEL32.dll", "USER32.dll"})
        self.assertIn("(Windows GUI)", text)
        # No thread-local storage, and so no TLS callbacks for the loader to call.
        self.assertEqual(data_directory(text, "Thread Storage Directory"), (0, 0))
        self.assertLess(os.path.getsize(exe), SIZE_LIMIT)
        return text

    def test_x86_64_build(self):
        self.check_build("x86_64")

    def test_i686_build_loads_on_windows_95_and_nt_4(self):
        text = self.check_build("i686")
        fields = dict(re.findall(r"^(Major\w+Version|Minor\w+Version)\s+(\d+)", text, re.MULTILINE))
        self.assertEqual((fields["MajorOSystemVersion"], fields["MinorOSystemVersion"]), ("4", "0"))
        self.assertEqual((fields["MajorSubsystemVersion"], fields["MinorSubsystemVersion"]), ("4", "0"))
        self.assertIn("i386", text)


if __name__ == "__main__":
    unittest.main()
