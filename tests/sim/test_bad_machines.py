"""korvane-sim on machine files no one should hand it, and on ones at the registry's limits:
each is run or refused with a message that names the file and line, never a crash or a hang,
and the file is changed only by --save after a completed run."""
import os
import subprocess
import unittest

import simhost

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

    @staticmethod
    def fingerprint(path):
        status = os.stat(path)
        return status.st_size, status.st_mtime_ns, simhost.digest(path)

    def assertRefused(self, path, line, message):
        before = self.fingerprint(path)
        result = simhost.run("--json", "--machine", path, "--save", check=False)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertEqual(result.stdout, b"", "a refused machine must not be run")
        text = result.stderr.decode("utf-8")  # printable text, whatever the file held
        self.assertIn(f"{path}:{line}: {message}", text)
        self.assertFalse(any((ord(c) < 0x20 and c != "\n") or 0x7F <= ord(c) < 0xA0 for c in text), ascii(text))
        self.assertEqual(self.fingerprint(path), before, "a refused machine file was changed")

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
                result = simhost.run("--json", "--machine", machine, *args, stdin=stdin or subprocess.DEVNULL,
                                     check=False)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, b"")
                self.assertIn(message, result.stderr.decode())
        writer.stdout.close()
        writer.wait(timeout=60)
        self.assertEqual((os.stat(big).st_size, os.stat(big).st_mtime_ns), (4 << 30, before.st_mtime_ns))

    def test_binary_junk_after_the_header_is_refused_with_its_line(self):
        junk = bytes((i * 73 + 41) % 256 for i in range(4096)).replace(b"\n", b" ").replace(b"\r", b" ") \
            .replace(b"\0", b" ")
        path = self.write("junk.reg", b"REGEDIT4\r\n" + junk)
        self.assertRefused(path, 2, "expected a key line, a value line or a comment, found ")

    def test_keys_at_the_depth_limit_run_and_save_and_one_level_more_is_refused(self):
        deep = "HKEY_LOCAL_MACHINE\\" + "\\".join(f"K{level}" for level in range(512))
        path = self.write("deep.reg", f"REGEDIT4\r\n\r\n[{deep}]\r\n\"Leaf\"=\"512\"\r\n")
        report = simhost.report("--machine", path, "--save")
        self.assertEqual(report["shown"]["text"], "Adapter was not found")
        with open(path, "rb") as saved:
            self.assertIn(b"\\K511]", saved.read())
        self.assertEqual(simhost.report("--machine", path)["shown"]["text"], "Adapter was not found")

        too_deep = self.write("too-deep.reg", f"REGEDIT4\r\n\r\n[{deep}\\K512]\r\n")
        self.assertRefused(too_deep, 3, "key nested 513 levels deep")

    def test_a_device_key_name_of_255_characters_is_set_and_one_of_256_is_refused(self):
        name = "VEN_5AB1&DEV_1229&SUBSYS_30015AB1&REV_0C&"
        path = self.write("255.reg", "REGEDIT4\r\n\r\n" + adapter(name + "P" * (255 - len(name))))
        report = simhost.report("--machine", path)
        self.assertEqual(report["shown"]["lists"], {"1004": ["Limit adapter"]})
        self.assertEqual(report["registry"]["keysLeftOpen"], 0)

        too_long = self.write("256.reg", "REGEDIT4\r\n\r\n" + adapter(name + "P" * (256 - len(name))))
        self.assertRefused(too_long, 3, "key name of 256 characters")

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
