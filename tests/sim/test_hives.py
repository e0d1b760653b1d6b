"""korvane-sim on an offline installation's hives end to end: the same report as on the
machine file the hives were made from, the definitions where Samba's regtree finds them after
--save, the first original kept as .bak, and refusals that leave every file as it was."""
import hashlib
import os
import re
import shutil
import stat
import subprocess
import tempfile
import time
import unittest

import simhost

MAKE_HIVES = os.environ.get("KORVANE_MAKE_HIVES", "build/native/tests/korvane-make-hives")
# The eight values of the parameter definition, under the driver's Ndi\Params\NetworkAddress.
DEFINITION = sorted(["", "Type", "Default", "Base", "ParamDesc", "UpperCase", "LimitText", "Optional"])
NET_CLASS = "control\\class\\{4d36e972-e325-11ce-bfc1-08002be10318}"


def machine(name):
    return os.path.join(simhost.MACHINES, name)


def regtree(path):
    """{key path below the root, lower case: {value name: text}}, as Samba's regtree reads the hive."""
    result = subprocess.run(["regtree", "-F", path], capture_output=True, check=True, timeout=60)
    keys, stack = {}, []
    for line in result.stdout.decode("utf-8").splitlines():
        if not line.strip():
            continue
        value = re.match(r"^( *)(.*?) = (REG_\w+) : ?(.*)$", line)
        indent = len((value or re.match(r"^( *)", line)).group(1))
        if value:
            keys["\\".join(stack[:indent - 1])][value.group(2)] = value.group(4)
        else:
            del stack[indent - 1:]
            stack.append(line.strip().lower())
            keys.setdefault("\\".join(stack), {})
    return keys


def definition_keys(path):
    return {key: sorted(values) for key, values in regtree(path).items()
            if key.endswith("\\ndi\\params\\networkaddress")}


class OfflineInstallations(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="korvane-hives-")
        self.addCleanup(shutil.rmtree, self.directory, True)

    def install(self, machine_file, version, *options, folder="WINDOWS", names=("system32", "config", "SYSTEM",
                                                                               "SOFTWARE")):
        """Hives made from a machine file in FOLDER/system32/config; returns the Windows folder."""
        config = os.path.join(self.directory, folder, *names[:2])
        os.makedirs(config)
        subprocess.run([MAKE_HIVES, machine(machine_file), "--system", os.path.join(config, names[2]), "--software",
                        os.path.join(config, names[3]), "--version", version, *options], check=True, timeout=60)
        return os.path.join(self.directory, folder)

    def hive(self, windows, name):
        return os.path.join(windows, "system32", "config", name)

    def files(self):
        """Every file below the test's folder with the digest of its bytes."""
        found = {}
        for folder, _, names in os.walk(self.directory):
            for name in names:
                with open(os.path.join(folder, name), "rb") as file:
                    found[os.path.relpath(os.path.join(folder, name), self.directory)] = \
                        hashlib.sha256(file.read()).hexdigest()
        return found

    def test_each_sample_gives_the_report_of_its_machine_file(self):
        for machine_file, version, os_name in (("sample-xp.reg", "5.1", "winxp"), ("sample-xp.reg", "5.0", "win2k"),
                                               ("sample-nt4.reg", "4.0", "nt40")):
            with self.subTest(os=os_name):
                shutil.rmtree(os.path.join(self.directory, "WINDOWS"), True)
                windows = self.install(machine_file, version)
                before = self.files()
                expected = simhost.report("--machine", machine(machine_file), "--os", os_name)
                self.assertEqual(simhost.report("--windows", windows), expected)
                self.assertEqual(simhost.report("--hive", "SYSTEM=" + self.hive(windows, "SYSTEM"), "--hive",
                                                "software=" + self.hive(windows, "SOFTWARE")), expected)
                self.assertEqual(self.files(), before, "a preview wrote a file")

    def test_save_puts_the_definition_into_the_current_control_set_and_keeps_the_first_original(self):
        for machine_file, version, folder, definition in (
                ("sample-xp.reg", "5.1", "WINDOWS", f"{NET_CLASS}\\0000\\ndi\\params\\networkaddress"),
                ("sample-nt4.reg", "4.0", "WINNT", "services\\e100b1\\parameters\\ndi\\params\\networkaddress")):
            with self.subTest(version=version):
                windows = self.install(machine_file, version, "--control-set", "2", "--copy-control-set", "1",
                                       folder=folder)
                system, software = self.hive(windows, "SYSTEM"), self.hive(windows, "SOFTWARE")
                os.chmod(system, 0o640)
                with open(system, "rb") as file:
                    original = file.read()
                software_before = self.files()[os.path.relpath(software, self.directory)]

                simhost.report("--windows", windows, "--save")
                self.assertEqual(definition_keys(system), {f"controlset002\\{definition}": DEFINITION})
                with open(system + ".bak", "rb") as file:
                    self.assertEqual(file.read(), original)
                self.assertEqual(stat.S_IMODE(os.stat(system).st_mode), 0o640)
                self.assertEqual(self.files()[os.path.relpath(software, self.directory)], software_before)
                self.assertFalse(os.path.exists(software + ".bak"), "an unchanged hive was saved")

                # A rerun finds the definition there; the first original survives its save.
                again = simhost.report("--windows", windows, "--save")
                self.assertEqual([w for w in again["registry"]["writes"]
                                  if w["op"] == "set" and w["path"].lower().endswith("\\ndi\\params\\networkaddress")],
                                 [])
                self.assertEqual(len(definition_keys(system)), 1)
                with open(system + ".bak", "rb") as file:
                    self.assertEqual(file.read(), original)

    def test_refusals_leave_every_file_as_it_was(self):
        def not_a_hive(windows):
            shutil.copyfile(machine("sample-xp.reg"), self.hive(windows, "SYSTEM"))

        def missing_control_set(windows):
            subprocess.run(["hivexsh", "-w", self.hive(windows, "SYSTEM")], check=True, timeout=60,
                           input=b"cd \\Select\nsetval 1\nCurrent\ndword:0x5\ncommit\n")

        def read_only(windows):
            os.chmod(self.hive(windows, "SYSTEM"), 0o444)

        cases = {
            "not a hive": (not_a_hive, [], [], "not a registry hive"),
            "unfinished": (None, ["--unfinished"], [], "two sequence numbers differ"),
            "missing control set": (missing_control_set, [], [], "Select\\Current names ControlSet005"),
            "SOFTWARE as SYSTEM": (None, [], ["--hive", "SYSTEM={SOFTWARE}"], "no DWORD value Current under Select"),
            "read-only with --save": (read_only, [], ["--save"], "read-only"),
            "with --machine": (None, [], ["--machine", machine("sample-xp.reg")], "--machine"),
            "Windows 98": (None, [], ["--os", "win98"], "Windows 95, 98 and Me"),
            "changes onto the hive": (None, [], ["--changes", "{SYSTEM}"], "is the hive"),
        }
        for name, (spoil, make_options, run_options, message) in cases.items():
            with self.subTest(name):
                shutil.rmtree(os.path.join(self.directory, "WINDOWS"), True)
                windows = self.install("sample-xp.reg", "5.1", *make_options)
                if spoil:
                    spoil(windows)
                before = self.files()
                hives = [] if "--hive" in run_options else ["--windows", windows]
                run_options = [o.replace("{SYSTEM}", self.hive(windows, "SYSTEM"))
                               .replace("{SOFTWARE}", self.hive(windows, "SOFTWARE")) for o in run_options]
                result = simhost.run(*hives, "--json", "--save", "--changes", os.path.join(self.directory, "changes.reg"),
                                     *run_options, check=False)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(result.stdout, b"", "a run started")
                self.assertIn(message, result.stderr.decode())
                self.assertEqual(self.files(), before)

    def test_one_installation_is_one_pc_whichever_way_its_hives_are_named(self):
        windows = self.install("sample-xp.reg", "5.1")
        system = self.hive(windows, "SYSTEM")
        with open(system, "rb") as file:
            hive = file.read()
        # The first instance has the installation while it waits for its SYSTEM hive to come:
        # it takes the lock before it reads, and a FIFO opens for writing once it reads.
        os.remove(system)
        os.mkfifo(system)
        first = subprocess.Popen([simhost.SIM, "--json", "--windows", windows], stdout=subprocess.PIPE)
        writer = None
        try:
            deadline = time.time() + 30
            while writer is None and time.time() < deadline:
                try:
                    writer = os.open(system, os.O_WRONLY | os.O_NONBLOCK)
                except OSError:
                    time.sleep(0.05)
            self.assertIsNotNone(writer, "the first instance never read its hive")
            link = os.path.join(self.directory, "SYSTEM.link")
            os.symlink(system, link)
            second = simhost.run("--hive", "SYSTEM=" + link, "--hive", "SOFTWARE=" + self.hive(windows, "SOFTWARE"),
                                 "--changes", os.path.join(self.directory, "changes.reg"), check=False)
            self.assertEqual(second.returncode, 3, second.stderr)
            self.assertIn("another instance", second.stderr.decode())
            os.set_blocking(writer, True)
            os.write(writer, hive)
            os.close(writer)
            writer = None
            self.assertEqual(first.wait(timeout=30), 0)
        finally:
            if writer is not None:
                os.close(writer)
            if first.poll() is None:
                first.kill()
            first.wait()
            first.stdout.close()

    def test_windows_folder_in_any_letter_case_and_the_installations_language(self):
        windows = self.install("sample-xp.reg", "5.1", "--language", "0411", "--acp", "932", folder="WINNT",
                               names=("System32", "CONFIG", "system", "Software"))
        self.assertTrue(simhost.report("--windows", windows)["japaneseUi"])
        self.assertFalse(simhost.report("--windows", windows, "--lang", "0x0409")["japaneseUi"])


if __name__ == "__main__":
    unittest.main()
