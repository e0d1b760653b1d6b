"""The two Windows builds of korvane.exe as files: what they import, what they ask of the
loader, their version resource, their size, and the i686 build's instruction set. Reads them
with objdump and wrestool; needs no Wine."""
import os
import re
import struct
import subprocess
import unittest

import winehost

WIN32 = os.environ.get("KORVANE_WIN32_BUILD", "")
IMPORTS_LIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "imports.txt")
# No unwind tables and no C runtime: the i686 build, VERSIONINFO included, stays within this.
I686_SIZE_LIMIT = 25600
SIZE_LIMIT = 200 * 1024
BUILDS = {"x86_64": (os.path.join(winehost.BUILDS["win64"], "korvane.exe"), "x86_64-w64-mingw32-objdump"),
          "i686": (os.path.join(winehost.BUILDS["win32"], "korvane.exe"), "i686-w64-mingw32-objdump")}


# What the i686 build may not hold: anything beyond the 80386, the CPU of Windows 95, since
# 98 and NT 4.0 run on a 486, 2000 on a Pentium and XP on a Pentium MMX. Each row: a pattern
# that a mnemonic (or a prefix) matches whole, and the first CPU that has the instruction.
LATER_INSTRUCTIONS = [
    (r"cmov\w+", "Pentium Pro (CMOV)"),
    (r"fcmov\w+", "Pentium Pro (FCMOV)"),
    (r"fu?comip?", "Pentium Pro (FCOMI)"),
    (r"nop[wl]", "Pentium Pro (the multi-byte NOP, 0f 1f)"),
    (r"bswap|xadd|cmpxchg|invd|wbinvd|invlpg", "486"),
    (r"cmpxchg8b|cpuid|rdtsc|rdmsr|wrmsr|rdpmc|rsm", "Pentium"),
    (r"ud2", "Pentium Pro"),
    (r"sysenter|sysexit|syscall|sysret", "Pentium II"),
    (r"f?emms|prefetch\w*|[lms]fence|clflush|fxsave|fxrstor|ldmxcsr|stmxcsr|movnti", "MMX or SSE"),
]
LATER_REGISTERS = (re.compile(r"%[xyz]?mm\d+"), "MMX or SSE (register %s)")


def later_instructions(disassembly):
    """'address: instruction: CPU' for each instruction of objdump -d's listing beyond the 80386."""
    found = []
    for line in disassembly.splitlines():
        fields = line.split("\t")
        if len(fields) < 3 or not re.fullmatch(r"\s*[0-9a-f]+:", fields[0]):
            continue
        instruction = fields[2].strip()
        cpu = None
        for word in instruction.split():
            cpu = next((cpu for pattern, cpu in LATER_INSTRUCTIONS if re.fullmatch(pattern, word)), None)
            if cpu:
                break
        register = LATER_REGISTERS[0].search(instruction)
        if not cpu and register:
            cpu = LATER_REGISTERS[1] % register.group(0)
        if cpu:
            found.append(f"{fields[0].strip()} {instruction}: {cpu}")
    return found


def code_end(exe, objdump):
    """Where the code in the i686 build's .text ends: the linker puts the lists of static
    constructors and destructors (each -1, the functions' four-byte addresses, 0) at its end,
    and those bytes, read as instructions, could look like anything. None where they are not
    found."""
    dump = subprocess.run([objdump, "-s", "-j", ".text", exe], capture_output=True, check=True, text=True).stdout
    start, data = None, bytearray()
    for line in dump.splitlines():
        fields = line[1:].split("  ")[0].split()
        if len(fields) < 2 or not all(re.fullmatch(r"[0-9a-f]+", field) for field in fields):
            continue
        start = int(fields[0], 16) if start is None else start
        data += bytes.fromhex("".join(fields[1:]))
    position = len(data) - 4
    for _ in ("destructors", "constructors"):
        if position < 0 or data[position:position + 4] != bytes(4):
            return None
        while position >= 0 and data[position:position + 4] != b"\xff" * 4:
            position -= 4
        position -= 4
    return None if position < -4 else start + position + 4


def version_node(data, offset):
    """One node of a VS_VERSIONINFO tree at offset: (key, value, children), and where it ends."""
    length, value_length, text = struct.unpack_from("<HHH", data, offset)
    end, key_end = offset + length, offset + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le")
    position = (key_end + 2 + 3) & ~3
    size = value_length * 2 if text else value_length
    value = data[position:position + size]
    if text:
        value = value.decode("utf-16-le").rstrip("\0")
    position = (position + size + 3) & ~3
    children = {}
    while position < end:
        child, position = version_node(data, position)
        children[child[0]] = child
        position = (position + 3) & ~3
    return (key, value, children), end


def build_version(exe):
    """(major, minor) of the version that the build generated into version.h."""
    with open(os.path.join(os.path.dirname(exe), "generated", "version.h"), encoding="utf-8") as header:
        text = header.read()
    return tuple(int(re.search(rf"KORVANE_VERSION_{part} (\d+)", text).group(1)) for part in ("MAJOR", "MINOR"))


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
    def check_build(self, machine):
        exe, objdump = BUILDS[machine]
        if machine == "i686" and not WIN32:
            self.skipTest("no i686 build given (KORVANE_WIN32_BUILD)")
        text = subprocess.run([objdump, "-p", exe], capture_output=True, check=True, text=True).stdout
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
        # The same bytes from any folder: no path of the source or the build tree inside.
        with open(exe, "rb") as image:
            data = image.read()
        for folder in (winehost.SOURCE, os.path.dirname(exe)):
            self.assertNotIn(folder.encode(), data, f"{exe} holds the path {folder}")
        self.check_version(exe, text)
        return text

    def check_version(self, exe, text):
        major, minor = build_version(exe)
        fields = dict(re.findall(r"^(M\w+ImageVersion)\s+(\d+)", text, re.MULTILINE))
        self.assertEqual((fields["MajorImageVersion"], fields["MinorImageVersion"]), (str(major), str(minor)))
        raw = subprocess.run(["wrestool", "-x", "--raw", "--type=16", exe], capture_output=True, check=True).stdout
        (key, fixed, children), _ = version_node(raw, 0)
        self.assertEqual(key, "VS_VERSION_INFO")
        signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
        self.assertEqual(signature, 0xFEEF04BD)
        self.assertEqual((file_ms, file_ls, product_ms, product_ls), (major << 16 | minor, 0, major << 16 | minor, 0))
        translations = children["VarFileInfo"][2]["Translation"][1]
        self.assertEqual(struct.unpack("<4H", translations), (0x0409, 1252, 0x0411, 932))
        tables = children["StringFileInfo"][2]
        self.assertEqual(sorted(tables), ["040904E4", "041103A4"])
        for language, (_, _, strings) in tables.items():
            values = {name: value for name, (_, value, _) in strings.items()}
            expected = {"ProductName": "Korvane", "OriginalFilename": "KORVANE.EXE",
                        "LegalCopyright": "(C) 2026 Korvane developers",
                        "FileVersion": f"{major}.{minor}", "ProductVersion": f"{major}.{minor}"}
            with self.subTest(language=language):
                self.assertEqual({name: values.get(name) for name in expected}, expected)
                for name in ("CompanyName", "InternalName", "FileDescription"):
                    self.assertTrue(values.get(name), f"no {name}")
        # The Japanese description is in Japanese, not a copy of the English one.
        japanese = tables["041103A4"][2]["FileDescription"][1]
        self.assertTrue(any(0x3040 <= ord(c) <= 0x30FF or 0x4E00 <= ord(c) <= 0x9FFF for c in japanese), japanese)

    def test_x86_64_build(self):
        self.check_build("x86_64")

    def test_i686_build_loads_on_windows_95_and_nt_4(self):
        text = self.check_build("i686")
        fields = dict(re.findall(r"^(Major\w+Version|Minor\w+Version)\s+(\d+)", text, re.MULTILINE))
        self.assertEqual((fields["MajorOSystemVersion"], fields["MinorOSystemVersion"]), ("4", "0"))
        self.assertEqual((fields["MajorSubsystemVersion"], fields["MinorSubsystemVersion"]), ("4", "0"))
        self.assertIn("i386", text)
        exe, _ = BUILDS["i686"]
        self.assertLessEqual(os.path.getsize(exe), I686_SIZE_LIMIT)

    def test_i686_build_runs_on_an_80386(self):
        exe, objdump = BUILDS["i686"]
        if not WIN32:
            self.skipTest("no i686 build given (KORVANE_WIN32_BUILD)")
        end = code_end(exe, objdump)
        self.assertIsNotNone(end, "no constructor and destructor lists at the end of .text")
        listing = subprocess.run([objdump, "-d", f"--stop-address={end:#x}", exe],
                                 capture_output=True, check=True, text=True).stdout
        self.assertGreater(len(listing.splitlines()), 1000, "objdump -d disassembled next to nothing")
        later = later_instructions(listing)
        self.assertEqual(later, [], f"{exe} holds {len(later)} instructions that an 80386 does not have")


if __name__ == "__main__":
    unittest.main()
