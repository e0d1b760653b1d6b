"""korvane-sim on machine files no one should hand it, and on ones at the registry's limits:
each is run or refused with a message that names the file and line, never a crash or a hang,
and the file is changed only by --save after a completed run."""
import os
import subprocess
import unittest

import simhost

HEADER = b"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n"
DEEP = "HKEY_LOCAL_MACHINE\\" + "\\".join(f"K{level}" for level in range(512))
DEVICE = "VEN_5AB1&DEV_1229&SUBSYS_30015AB1&REV_0C&"
XP_PCI = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\PCI"
XP_CLASS = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}"


def adapter(device_key, driver="0000"):
    """A supported XP adapter under device_key whose driver key takes the definition."""
    return (f"[{XP_PCI}\\{device_key}\\3&1&0&40]\r\n\"DeviceDesc\"=\"Limit adapter\"\r\n"
            f"\"Driver\"=\"{{4D36E972-E325-11CE-BFC1-08002BE10318}}\\\\{driver}\"\r\n"
            f"[{XP_PCI}\\{device_key}\\3&1&0&40\\Control]\r\n"
            f"[{XP_CLASS}\\{driver}\\PROSetNdi\\Params]\r\n")


class BadMachines(unittest.TestCase):
    def setUp(self):
        self.folder = simhost.temporary_folder(self, "korvane-bad-machines-")

    def write(self, name, data):
        return simhost.write(self.folder, name, data)

    def test_malformed_files_are_refused_with_their_line_and_left_unchanged(self):
        junk = bytes((i * 73 + 41) % 256 for i in range(4096)).replace(b"\n", b" ").replace(b"\r", b" ") \
            .replace(b"\0", b" ")
        cases = {
            "bad hex": (HEADER + b'"x"=hex:4g\r\n', 4, ""),
            "open string": (HEADER + b'"x"="open\r\n', 4, ""),
            "truncated hex": (HEADER + b'"x"=hex(1):30,\\\r\n', 4, ""),
            "bad escape": (HEADER + b'"x"="a\\qb"\r\n', 4, ""),
            "unknown type": (HEADER + b'"x"=bogus:1\r\n', 4, ""),
            "other root": (HEADER + b'\r\n[HKEY_CURRENT_USER\\X]\r\n', 5, ""),
            "no header": (b"[HKEY_LOCAL_MACHINE\\Software]\r\n", 1, ""),
            "junk after the header": (HEADER + b"\x00\xff\xfe junk\r\n", 4, ""),
            "binary junk after the header": (b"REGEDIT4\r\n" + junk, 2,
                                             "expected a key line, a value line or a comment, found "),
            # One past the limits that the tests below run at.
            "keys nested one level too deep": (f"REGEDIT4\r\n\r\n[{DEEP}\\K512]\r\n", 3, "key nested 513 levels deep"),
            "a key name of 256 characters": ("REGEDIT4\r\n\r\n" + adapter(DEVICE + "P" * (256 - len(DEVICE))), 3,
                                             "key name of 256 characters"),
        }
        changes = os.path.join(self.folder, "changes.reg")
        for name, (data, line, message) in cases.items():
            with self.subTest(name):
                path = self.write("bad.reg", data)
                status = os.stat(path)
                before = status.st_size, status.st_mtime_ns, simhost.digest(path)
                simhost.refuse(self, "--machine", path, "--save", "--changes", changes, "--json",
                               message=f"{path}:{line}: {message}")
                status = os.stat(path)
                self.assertEqual((status.st_size, status.st_mtime_ns, simhost.digest(path)), before)
                self.assertEqual(os.listdir(self.folder), ["bad.reg"], "a file was left behind")

    def test_endless_and_huge_inputs_end_at_once_with_an_error(self):
        limit = "the machine file is longer than the limit of 268435456 bytes (256 MiB)"
        # Zero bytes past its header, and past 4 GiB: a size cut to 32 bits would pass as 0.
        big = self.write("big.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n")
        os.truncate(big, 4 << 30)  # takes no disk
        before = os.stat(big)
        # A pipe that never ends is read up to the limit, and no further.
        writer = subprocess.Popen(["sh", "-c", "printf 'REGEDIT4\\r\\n'; exec yes '; a comment, again and again'"],
                                  stdout=subprocess.PIPE)
        runs = {big: (["--save"], None, f"{big}: {limit}"),
                "/dev/stdin": ([], writer.stdout, f"/dev/stdin: {limit}"),
                "/dev/zero": ([], None, '/dev/zero:1: missing header: the first line must be "REGEDIT4"')}
        for machine, (args, stdin, message) in runs.items():
            with self.subTest(machine):
                simhost.refuse(self, "--json", "--machine", machine, *args, stdin=stdin or subprocess.DEVNULL,
                               message=message)
        writer.stdout.close()
        writer.wait(timeout=60)
        self.assertEqual((os.stat(big).st_size, os.stat(big).st_mtime_ns), (4 << 30, before.st_mtime_ns))

    def test_keys_at_the_depth_limit_run_and_save(self):
        path = self.write("deep.reg", f"REGEDIT4\r\n\r\n[{DEEP}]\r\n\"Leaf\"=\"512\"\r\n")
        report = simhost.report("--machine", path, "--save")
        self.assertEqual(report["shown"]["text"], "Adapter was not found")
        with open(path, "rb") as saved:
            self.assertIn(b"\\K511]", saved.read())
        self.assertEqual(simhost.report("--machine", path)["shown"]["text"], "Adapter was not found")

    def test_a_device_key_name_of_255_characters_is_set(self):
        path = self.write("255.reg", "REGEDIT4\r\n\r\n" + adapter(DEVICE + "P" * (255 - len(DEVICE))))
        report = simhost.report("--machine", path)
        self.assertEqual(report["shown"]["lists"], {"1004": ["Limit adapter"]})
        self.assertEqual(report["registry"]["keysLeftOpen"], 0)

    def test_100000_subkeys_under_the_device_keys_stop_the_walk_at_1024(self):
        # The supported adapter sorts after the first 1024 device keys: it is never reached.
        keys = "".join(f"[{XP_PCI}\\VEN_0000&DEV_{i:05d}]\r\n" for i in range(100000))
        path = self.write("wide.reg", "REGEDIT4\r\n\r\n" + keys + adapter("VEN_5AB1&DEV_1229&REV_0C"))
        report = simhost.report("--machine", path)
        self.assertEqual(report["shown"]["text"], "Adapter was not found")
        self.assertEqual(report["registry"]["keysLeftOpen"], 0)
        self.assertEqual(report["registry"]["writes"], [])

    def test_a_key_with_100000_values_loads_and_saves_them_all(self):
        values = "".join(f"\"Value{i}\"=dword:{i:08x}\r\n" for i in range(100000))
        path = self.write("values.reg", f"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Many]\r\n{values}"
                                        f"\"value99999\"=\"again\"\r\n")
        simhost.report("--machine", path, "--save")
        with open(path, "rb") as saved:
            text = saved.read().decode("latin-1")
        self.assertIn('"Value0"=dword:00000000', text)
        # The last line put the value again under another case: replaced where it stood.
        self.assertIn('"Value99998"=dword:0001869e\r\n"Value99999"="again"', text)
        self.assertEqual(text.count('"Value'), 100000)


if __name__ == "__main__":
    unittest.main()
