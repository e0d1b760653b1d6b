"""korvane-sim's machine files end to end: --save and --changes write what the run did,
--no-admin runs as a user, a target that may not be written stops the run before it starts,
instances at once lose no save, and the saves come before the report. Files no one should
hand it, and ones at the registry's limits, are run or refused with a message that names the
file and line, never a crash or a hang, and a file is changed only by --save after a
completed run."""
import itertools
import os
import shutil
import subprocess
import sys
import unittest

import simhost

SAMPLE = simhost.machine("sample-xp.reg")
digest = simhost.digest
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


class MachineFiles(unittest.TestCase):
    def setUp(self):
        self.directory = simhost.temporary_folder(self, "korvane-machine-")

    def write(self, name, data):
        return simhost.write(self.directory, name, data)

    def copy_sample(self, sample=SAMPLE):
        path = os.path.join(self.directory, "machine.reg")
        shutil.copyfile(sample, path)
        return path

    def test_save_keeps_what_the_run_wrote_and_a_rerun_writes_only_the_resets(self):
        # The rerun sample is what the all-set sample becomes: a second run on the saved file
        # writes what a run on the rerun sample writes.
        for sample, outcome, becomes in (("sample-xp.reg", 1, None),
                                         ("sample-xp-all-set.reg", 2, "sample-xp-rerun.reg")):
            with self.subTest(sample):
                path = self.copy_sample(simhost.machine(sample))
                first = simhost.report("--machine", path, "--save")
                self.assertEqual(first["outcome"], outcome)
                # Written as regedit writes a 5.00 file, whatever encoding it came in.
                self.assertTrue(simhost.read(path).startswith(b"\xff\xfe"))
                second = simhost.report("--machine", path)
                # The definition is in place: its key exists, so nothing creates it again.
                created = [w for w in second["registry"]["writes"] if w["op"] == "create"]
                self.assertTrue(all(w["disposition"] == 2 for w in created), created)
                # An existing definition counts as set: the rerun shows what the first run did.
                self.assertEqual([a["applied"] for a in second["adapters"]], [a["applied"] for a in first["adapters"]])
                self.assertEqual(second["shown"], first["shown"])
                names = {w["name"] for w in second["registry"]["writes"] if w["op"] == "set"}
                self.assertLessEqual(names, {"IpsecInlineReceiveEnabled", "ReduceSpeedOnPowerDown"})
                if becomes:
                    rerun = simhost.report("--machine", simhost.machine(becomes))
                    self.assertEqual((second["registry"]["writes"], second["shown"]),
                                     (rerun["registry"]["writes"], rerun["shown"]))

    def test_changes_hold_exactly_the_successful_writes(self):
        path = self.copy_sample()
        before = digest(path)
        changes = os.path.join(self.directory, "changes.reg")
        report = simhost.report("--machine", path, "--changes", changes)
        self.assertEqual(digest(path), before, "the machine changed without --save")
        raw = simhost.read(changes)
        self.assertTrue(raw.startswith(b"\xff\xfe" + "Windows Registry Editor Version 5.00\r\n".encode("utf-16-le")))
        text = raw.decode("utf-16")
        keys = [line[1:-1] for line in text.splitlines() if line.startswith("[")]
        written = itertools.groupby(w["root"] + "\\" + w["path"] for w in report["registry"]["writes"]
                                    if w["status"] == 0)
        self.assertEqual(keys, [key for key, _ in written])
        # Standard output carries the same changes alone: the screen is drawn on standard error.
        result = simhost.run("--machine", path, "--changes", "-")
        self.assertEqual(result.stdout, simhost.read(changes))
        self.assertIn("Fenwick FastLink 100", result.stderr.decode())

    def test_japanese_machine_lists_its_descriptions_and_saves_them_unchanged(self):
        path = os.path.join(self.directory, "japanese.reg")
        shutil.copyfile(simhost.fixture("xp-japanese.reg"), path)
        report = simhost.report("--lang", "0x0411", "--machine", path, "--save")
        self.assertEqual(report["shown"]["template"], 132)
        self.assertEqual(report["shown"]["lists"], {
            "1004": ["フェンウィック FastLink 100 イーサネット アダプタ"],
            "1005": ["フェンウィック GigaLink 1000 サーバー アダプタ（ソフト制御）"]})
        text = simhost.read(path).decode("utf-16")
        self.assertIn('"DeviceDesc"="フェンウィック GigaLink 1000 サーバー アダプタ（ソフト制御）"', text)
        self.assertIn('"ParamDesc"="リンク速度とデュプレックス表示"', text)

        # On a Western machine the same file's Japanese has no ANSI form: refused, unchanged.
        before = digest(path)
        simhost.refuse(self, "--json", "--machine", path, "--save", message="has no form in code page 1252")
        self.assertEqual(digest(path), before)

    def test_no_admin_sets_nothing_and_ten_instances_at_once_lose_no_save(self):
        # What the machine is saved as after a run with or without administrator rights; later
        # runs on it save it unchanged.
        saved_by = {}
        for args in ([], ["--no-admin"]):
            report = simhost.report("--machine", self.copy_sample(), "--save", *args)
            saved_by[bool(args)] = digest(os.path.join(self.directory, "machine.reg"))
        # The run without them (the last) sets nothing and reports every adapter failed.
        self.assertEqual((report["outcome"], report["shown"]["template"]), (3, 136))
        self.assertEqual([w for w in report["registry"]["writes"] if w["status"] == 0], [])
        self.assertEqual(report["registry"]["keysLeftOpen"], 0)
        for trial in range(5):
            with self.subTest(trial=trial):
                path = self.copy_sample()
                runs = [subprocess.Popen([simhost.SIM, "--machine", path, "--json", "--save"]
                                         + (["--no-admin"] if i % 2 else []),
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE) for i in range(10)]
                finished = [(run.args, *run.communicate(timeout=60), run.returncode) for run in runs]
                for args, out, err, code in finished:
                    self.assertIn(code, (0, 3), err)
                    if code == 3:  # stepped aside before reading the machine: nothing run, nothing written
                        self.assertIn(b"another instance", err)
                        self.assertEqual(out, b"")
                admin_ran = any(code == 0 and "--no-admin" not in args for args, *_, code in finished)
                self.assertEqual(digest(path), saved_by[not admin_ran], "a save was lost")

    def test_targets_that_may_not_be_written_stop_the_run_before_it_starts(self):
        path = self.copy_sample()
        os.symlink("machine.reg", os.path.join(self.directory, "link.reg"))
        read_only = os.path.join(self.directory, "read-only.reg")
        shutil.copyfile(SAMPLE, read_only)
        os.chmod(read_only, 0o444)
        cases = {
            "changes onto a link to the machine": (["--changes", os.path.join(self.directory, "link.reg")],
                                                   f"is the machine file {path}: the changes would replace"),
            "changes into a folder": (["--changes", self.directory], "it is a directory: only a regular file"),
            "save to a read-only file": (["--save"], "it is read-only (mode 0444)"),
        }
        for name, (args, message) in cases.items():
            with self.subTest(name):
                before = simhost.snapshot(self.directory)
                machine = read_only if "--save" in args else path
                simhost.refuse(self, "--json", "--machine", machine, *args, message=message)
                self.assertEqual(simhost.snapshot(self.directory), before)

    def test_saves_come_before_the_report_and_a_report_that_cannot_be_written_fails_the_run(self):
        read, write = os.pipe()
        os.close(read)  # a reader that has gone: SIGPIPE, then EPIPE
        outputs = {"a closed pipe": (write, "Broken pipe"),
                   "a full disk": (os.open("/dev/full", os.O_WRONLY), "No space left on device")}
        for name, (output, reason) in outputs.items():
            with self.subTest(name):
                path = self.copy_sample()
                before = digest(path)
                changes = os.path.join(self.directory, "changes.reg")
                result = subprocess.run([simhost.SIM, "--json", "--machine", path, "--save", "--changes", changes],
                                        stdout=output, stderr=subprocess.PIPE, timeout=60)
                os.close(output)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr.decode(), f"korvane-sim: cannot write to standard output: {reason}\n")
                self.assertNotEqual(digest(path), before, "not saved")
                self.assertTrue(os.path.exists(changes), "the changes were not written")

    def test_malformed_files_are_refused_with_their_line_and_left_unchanged(self):
        junk = bytes((i * 73 + 41) % 256 for i in range(4096)).replace(b"\n", b" ").replace(b"\r", b" ") \
            .replace(b"\0", b" ")
        # Each kind of fault in a file, and the limits that the tests below run at, are refused
        # by the reader (LoadMachineText.MalformedInputGivesOneErrorWithItsLine, NameLimitTest):
        # here, a fault is refused before the run with its file and line, any byte of it shown
        # printable, and nothing written.
        cases = {
            "bad hex": (HEADER + b'"x"=hex:4g\r\n', 4, ""),
            "binary junk after the header": (b"REGEDIT4\r\n" + junk, 2,
                                             "expected a key line, a value line or a comment, found "),
        }
        changes = os.path.join(self.directory, "changes.reg")
        for name, (data, line, message) in cases.items():
            with self.subTest(name):
                path = self.write("bad.reg", data)
                before = simhost.snapshot(self.directory)
                simhost.refuse(self, "--machine", path, "--save", "--changes", changes, "--json",
                               message=f"{path}:{line}: {message}")
                self.assertEqual(simhost.snapshot(self.directory), before)

    def test_endless_and_huge_inputs_end_at_once_with_an_error(self):
        limit = "the machine file is longer than the limit of 268435456 bytes (256 MiB)"
        # Zero bytes past its header, and past 4 GiB: a size cut to 32 bits would pass as 0.
        big = self.write("big.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n")
        os.truncate(big, 4 << 30)  # takes no disk
        before = os.stat(big)
        # A pipe that never ends is read up to the limit, and no further.
        writer = subprocess.Popen(["sh", "-c", "printf 'REGEDIT4\\r\\n'; exec yes '; a comment, again and again'"],
                                  stdout=subprocess.PIPE)
        # UTF-16 that turns to NUL code units for ever ends at the first, refused at its line.
        endless_nuls = ("import sys; out = sys.stdout.buffer; out.write('\\ufeffREGEDIT4\\r\\n'.encode('utf-16-le'))\n"
                        "while True: out.write(bytes(65536))")
        nuls = subprocess.Popen([sys.executable, "-c", endless_nuls], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        runs = {big: (["--save"], None, f"{big}: {limit}"),
                "/dev/stdin": ([], writer.stdout, f"/dev/stdin: {limit}"),
                "/dev/fd/0": ([], nuls.stdout, "/dev/fd/0:2: NUL character in the line"),
                "/dev/zero": ([], None, '/dev/zero:1: missing header: the first line must be "REGEDIT4"')}
        for machine, (args, stdin, message) in runs.items():
            with self.subTest(machine):
                simhost.refuse(self, "--json", "--machine", machine, *args, stdin=stdin or subprocess.DEVNULL,
                               message=message)
        for process in (writer, nuls):
            process.stdout.close()
            process.wait(timeout=60)
        self.assertEqual((os.stat(big).st_size, os.stat(big).st_mtime_ns), (4 << 30, before.st_mtime_ns))

    def test_keys_at_the_depth_limit_run_and_save(self):
        path = self.write("deep.reg", f"REGEDIT4\r\n\r\n[{DEEP}]\r\n\"Leaf\"=\"512\"\r\n")
        report = simhost.report("--machine", path, "--save")
        self.assertEqual(report["shown"]["text"], "Adapter was not found")
        self.assertIn(b"\\K511]", simhost.read(path))
        self.assertEqual(simhost.report("--machine", path)["shown"]["text"], "Adapter was not found")

    def test_a_device_key_name_of_255_characters_is_set(self):
        path = self.write("255.reg", "REGEDIT4\r\n\r\n" + adapter(DEVICE + "P" * (255 - len(DEVICE))))
        report = simhost.report("--machine", path)
        self.assertEqual(report["shown"]["lists"], {"1004": ["Limit adapter"]})
        self.assertEqual(report["registry"]["keysLeftOpen"], 0)

    def test_a_key_with_100000_values_loads_and_saves_them_all(self):
        values = "".join(f"\"Value{i}\"=dword:{i:08x}\r\n" for i in range(100000))
        path = self.write("values.reg", f"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Many]\r\n{values}"
                                        f"\"value99999\"=\"again\"\r\n")
        simhost.report("--machine", path, "--save")
        text = simhost.read(path).decode("latin-1")
        self.assertIn('"Value0"=dword:00000000', text)
        # The last line put the value again under another case: replaced where it stood.
        self.assertIn('"Value99998"=dword:0001869e\r\n"Value99999"="again"', text)
        self.assertEqual(text.count('"Value'), 100000)


if __name__ == "__main__":
    unittest.main()
