"""korvane-sim's machine files end to end: --save and --changes write what the run did, --no-admin runs as a user, a target that may
not be written stops the run before it starts, instances at once lose no save, and the saves
come before the report."""
import os
import shutil
import subprocess
import unittest

import simhost

SAMPLE = simhost.machine("sample-xp.reg")

digest = simhost.digest


class MachineFiles(unittest.TestCase):
    def setUp(self):
        self.directory = simhost.temporary_folder(self, "korvane-machine-")

    def copy_sample(self):
        path = os.path.join(self.directory, "machine.reg")
        shutil.copyfile(SAMPLE, path)
        return path

    def test_save_keeps_what_the_run_wrote_and_a_rerun_writes_only_the_resets(self):
        path = self.copy_sample()
        first = simhost.report("--machine", path, "--save")
        self.assertEqual(first["outcome"], 1)
        with open(path, "rb") as saved:
            # Written as regedit writes a 5.00 file, whatever encoding it came in.
            self.assertTrue(saved.read(2) == b"\xff\xfe")
        second = simhost.report("--machine", path)
        # The definition is in place: its key exists, so nothing creates it again.
        created = [w for w in second["registry"]["writes"] if w["op"] == "create"]
        self.assertTrue(all(w["disposition"] == 2 for w in created), created)
        # An existing definition counts as set: the rerun shows what the first run did.
        self.assertEqual([a["applied"] for a in second["adapters"]], [a["applied"] for a in first["adapters"]])
        self.assertEqual(second["shown"], first["shown"])
        names = {w["name"] for w in second["registry"]["writes"] if w["op"] == "set"}
        self.assertLessEqual(names, {"IpsecInlineReceiveEnabled", "ReduceSpeedOnPowerDown"})

    def test_changes_hold_exactly_the_successful_writes(self):
        path = self.copy_sample()
        before = digest(path)
        changes = os.path.join(self.directory, "changes.reg")
        report = simhost.report("--machine", path, "--changes", changes)
        self.assertEqual(digest(path), before, "the machine changed without --save")
        with open(changes, "rb") as written:
            raw = written.read()
        self.assertTrue(raw.startswith(b"\xff\xfe" + "Windows Registry Editor Version 5.00\r\n".encode("utf-16-le")))
        text = raw.decode("utf-16")
        keys = [line[1:-1] for line in text.splitlines() if line.startswith("[")]
        written = []
        for write in report["registry"]["writes"]:
            key = write["root"] + "\\" + write["path"]
            if write["status"] == 0 and (not written or written[-1] != key):
                written.append(key)
        self.assertEqual(keys, written)
        # Standard output carries the same changes alone: the screen is drawn on standard error.
        result = simhost.run("--machine", path, "--changes", "-")
        with open(changes, "rb") as written:
            self.assertEqual(result.stdout, written.read())
        self.assertIn("Fenwick FastLink 100", result.stderr.decode())

    def test_japanese_machine_lists_its_descriptions_and_saves_them_unchanged(self):
        path = os.path.join(self.directory, "japanese.reg")
        shutil.copyfile(simhost.fixture("xp-japanese.reg"), path)
        report = simhost.report("--lang", "0x0411", "--machine", path, "--save")
        self.assertEqual(report["shown"]["template"], 132)
        self.assertEqual(report["shown"]["lists"], {
            "1004": ["フェンウィック FastLink 100 イーサネット アダプタ"],
            "1005": ["フェンウィック GigaLink 1000 サーバー アダプタ（ソフト制御）"]})
        with open(path, "rb") as saved:
            text = saved.read().decode("utf-16")
        self.assertIn('"DeviceDesc"="フェンウィック GigaLink 1000 サーバー アダプタ（ソフト制御）"', text)
        self.assertIn('"ParamDesc"="リンク速度とデュプレックス表示"', text)

        # On a Western machine the same file's Japanese has no ANSI form: refused, unchanged.
        before = digest(path)
        simhost.refuse(self, "--json", "--machine", path, "--save", message="has no form in code page 1252")
        self.assertEqual(digest(path), before)

    def test_japanese_98_machine_reads_its_8_bit_text_a_character_at_a_time(self):
        report = simhost.report("--os", "win98", "--lang", "0x0411", "--machine", simhost.fixture("98-japanese.reg"))
        self.assertEqual(report["shown"]["lists"], {
            "1004": ["フェンウィック FastLink 100 イーサネット アダプタ"],
            "1005": ["フェンウィック FastLink 100 デュアル ポート 代表"]})

    def test_no_admin_sets_nothing_and_reports_every_adapter_failed(self):
        path = self.copy_sample()
        report = simhost.report("--machine", path, "--no-admin", "--save")
        self.assertEqual(report["outcome"], 3)
        self.assertEqual(report["shown"]["template"], 136)
        self.assertEqual([w for w in report["registry"]["writes"] if w["status"] == 0], [])
        self.assertEqual(report["registry"]["keysLeftOpen"], 0)

    def test_ten_instances_at_once_lose_no_save(self):
        # What the machine is saved as after a run with or without administrator rights; later
        # runs on it save it unchanged.
        saved_by = {}
        for args in ([], ["--no-admin"]):
            simhost.report("--machine", self.copy_sample(), "--save", *args)
            saved_by[bool(args)] = digest(os.path.join(self.directory, "machine.reg"))
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
                before = {entry: digest(os.path.join(self.directory, entry)) for entry in os.listdir(self.directory)}
                machine = read_only if "--save" in args else path
                simhost.refuse(self, "--json", "--machine", machine, *args, message=message)
                after = {entry: digest(os.path.join(self.directory, entry)) for entry in os.listdir(self.directory)}
                self.assertEqual(after, before)

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


if __name__ == "__main__":
    unittest.main()
