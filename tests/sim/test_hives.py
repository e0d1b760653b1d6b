"""korvane-sim on an offline installation's hives end to end: the same report as on the
machine file the hives were made from, the definitions where Samba's regtree finds them after
--save, the first original kept as .bak, refusals that leave every file as it was, and one
installation as one PC."""
import functools
import hashlib
import operator
import os
import re
import shutil
import stat
import struct
import subprocess
import tempfile
import time
import unittest

import simhost

MAKE_HIVES = os.environ.get("KORVANE_MAKE_HIVES", "build/native/tests/korvane-make-hives")
# The eight values of the parameter definition, under the driver's Ndi\Params\NetworkAddress.
DEFINITION = sorted(["", "Type", "Default", "Base", "ParamDesc", "UpperCase", "LimitText", "Optional"])
NET_CLASS = "control\\class\\{4d36e972-e325-11ce-bfc1-08002be10318}"
WINDOWS = ("WINDOWS", "system32", "config", "SYSTEM", "SOFTWARE")


def machine(name):
    return os.path.join(simhost.MACHINES, name)


def read(path):
    with open(path, "rb") as file:
        return file.read()


def definition_keys(path):
    """{key path below the root, lower case: sorted value names} of each Ndi\\Params\\NetworkAddress,
    as Samba's regtree reads the hive."""
    listing = subprocess.run(["regtree", "-F", path], capture_output=True, check=True, timeout=60).stdout.decode()
    keys, stack = {}, []
    for line in filter(str.strip, listing.splitlines()):
        indent = len(line) - len(line.lstrip(" "))
        value = re.match(r" *(.*?) = REG_\w+ :", line)
        if value:
            keys["\\".join(stack[:indent - 1])].append(value.group(1))
        else:
            stack[indent - 1:] = [line.strip().lower()]
            keys.setdefault("\\".join(stack), [])
    return {key: sorted(values) for key, values in keys.items() if key.endswith("\\ndi\\params\\networkaddress")}


def patch(path, offset, data):
    with open(path, "r+b") as file:
        file.seek(offset)
        file.write(data)


def set_header(path, offset, value):
    """Sets a 32-bit field of the hive's header and its checksum, the XOR of the first 127 words."""
    with open(path, "r+b") as file:
        words = list(struct.unpack("<128I", file.read(0x200)))
        words[offset // 4] = value
        words[127] = functools.reduce(operator.xor, words[:127])
        file.seek(0)
        file.write(struct.pack("<128I", *words))


def hivexsh(path, commands):
    subprocess.run(["hivexsh", "-w", path], check=True, timeout=60, input=commands.encode() + b"commit\n")


def key_cell(path, name):
    """The offset of the key cell named NAME (stored in 8-bit characters) in the hive file."""
    return read(path).index(name.encode()) - 80


class OfflineInstallations(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="korvane-hives-")
        self.addCleanup(shutil.rmtree, self.directory, True)

    def install(self, machine_file, *options, names=WINDOWS):
        """Hives made from a machine file in the Windows folder NAMES[0], in place of any made
        before; returns that folder and the SYSTEM and SOFTWARE hives."""
        shutil.rmtree(os.path.join(self.directory, names[0]), True)
        config = os.path.join(self.directory, *names[:3])
        os.makedirs(config)
        system, software = os.path.join(config, names[3]), os.path.join(config, names[4])
        subprocess.run([MAKE_HIVES, machine(machine_file), system, software, *options], check=True, timeout=60)
        return os.path.join(self.directory, names[0]), system, software

    def files(self):
        """Every file below the test's folder with the digest of its bytes."""
        return {os.path.relpath(os.path.join(folder, name), self.directory):
                hashlib.sha256(read(os.path.join(folder, name))).hexdigest()
                for folder, _, names in os.walk(self.directory) for name in names}

    def test_each_sample_gives_the_report_of_its_machine_file(self):
        # The installation's version, language and code page stand where no option is given,
        # each option over them; its folder's names are found in any letter case.
        for machine_file, made_with, same_as, names in (
                ("sample-xp.reg", ["version=5.1"], ["--os", "winxp"], WINDOWS),
                ("sample-xp.reg", ["language=0411", "acp=932"], ["--lang", "0x0411", "--codepage", "932"],
                 ("WINNT", "System32", "CONFIG", "system", "Software")),
                ("sample-nt4.reg", ["version=4.0"], ["--os", "nt40"], WINDOWS)):
            with self.subTest(made_with=made_with):
                windows, system, software = self.install(machine_file, *made_with, names=names)
                before = self.files()
                for option in ([], ["--os", "win2k"], ["--lang", "0x0409"], ["--codepage", "1252"]):
                    self.assertEqual(simhost.report("--windows", windows, *option),
                                     simhost.report("--machine", machine(machine_file), *same_as, *option), option)
                self.assertEqual(simhost.report("--hive", "SYSTEM=" + system, "--hive", "software=" + software),
                                 simhost.report("--machine", machine(machine_file), *same_as))
                # A hive on a stream is read no further than its header says it holds.
                stream = subprocess.Popen(["cat", system, "/dev/zero"], stdout=subprocess.PIPE)
                self.addCleanup(stream.wait)
                self.addCleanup(stream.kill)
                self.addCleanup(stream.stdout.close)
                self.assertEqual(simhost.report("--hive", "SYSTEM=/dev/stdin", "--hive", "SOFTWARE=" + software,
                                                stdin=stream.stdout),
                                 simhost.report("--machine", machine(machine_file), *same_as))
                self.assertEqual(self.files(), before, "a preview wrote a file")

    def test_save_puts_the_definition_into_the_current_control_set_and_keeps_the_first_original(self):
        for machine_file, version, definition in (
                ("sample-xp.reg", "5.1", f"{NET_CLASS}\\0000\\ndi\\params\\networkaddress"),
                ("sample-nt4.reg", "4.0", "services\\e100b1\\parameters\\ndi\\params\\networkaddress")):
            with self.subTest(version=version):
                windows, system, software = self.install(machine_file, "version=" + version, "control-set=2")
                os.chmod(system, 0o640)
                original, software_before = read(system), read(software)

                simhost.report("--windows", windows, "--save")
                self.assertEqual(definition_keys(system), {f"controlset002\\{definition}": DEFINITION})
                self.assertEqual(read(system + ".bak"), original)
                self.assertEqual(stat.S_IMODE(os.stat(system).st_mode), 0o640)
                self.assertEqual(read(software), software_before)
                self.assertFalse(os.path.exists(software + ".bak"), "an unchanged hive was saved")

                # A rerun finds the definition there, and changes nothing.
                saved = read(system)
                again = simhost.report("--windows", windows, "--save")
                self.assertEqual([w for w in again["registry"]["writes"]
                                  if w["op"] == "set" and w["path"].lower().endswith("\\ndi\\params\\networkaddress")],
                                 [])
                self.assertEqual(read(system), saved)

    def test_refusals_leave_every_file_as_it_was(self):
        def missing_control_set(windows, system, software):
            subprocess.run(["hivexsh", "-w", system], check=True, timeout=60,
                           input=b"cd \\Select\nsetval 1\nCurrent\ndword:0x5\ncommit\n")

        def unfinished(windows, system, software):
            # Windows raises the first sequence number before it writes and the second after.
            with open(system, "r+b") as file:
                words = list(struct.unpack("<128I", file.read(0x200)))
                words[1] = words[2] + 1
                words[127] = functools.reduce(operator.xor, words[:127])  # the header's checksum
                file.seek(0)
                file.write(struct.pack("<128I", *words))

        def free_security(windows, system, software):
            # The root's security cell, which every key made under it shares, marked free (a
            # positive size): a hive that reads, and that hivex cannot add a key to.
            hive = read(system)
            cell = 0x1000 + struct.unpack_from("<I", hive, 0x1000 + struct.unpack_from("<I", hive, 0x24)[0] + 48)[0]
            patch(system, cell, struct.pack("<i", abs(struct.unpack_from("<i", hive, cell)[0])))

        def control_characters(windows, system, software):
            hivexsh(system, "add Bad\x1b]0;PWNED\x07\x1b[2J\n")
            patch(system, key_cell(system, "Bad\x1b]0;") + 40, struct.pack("<II", 1, 0x7FFFFFF0))  # no value list

        cases = {  # what spoils the installation (given its Windows folder, SYSTEM and SOFTWARE), the options
            "not a hive": (lambda w, system, s: shutil.copyfile(machine("sample-xp.reg"), system), [],
                           "not a registry hive"),
            "unfinished": (unfinished, [], "two sequence numbers differ"),
            "missing control set": (missing_control_set, [], "Select\\Current names ControlSet005"),
            "SOFTWARE as SYSTEM": (None, ["--hive", "SYSTEM={SOFTWARE}"], "no DWORD value Current under Select"),
            "no SOFTWARE": (lambda w, s, software: os.remove(software), [], "no SOFTWARE in"),
            "two system32 folders": (lambda windows, *_: os.makedirs(os.path.join(windows, "SYSTEM32")), [],
                                     "2 entries named system32 in"),
            "read-only with --save": (lambda w, system, s: os.chmod(system, 0o444), ["--save"], "read-only"),
            "with --machine": (None, ["--machine", machine("sample-xp.reg")], "--machine"),
            "Windows 98": (None, ["--os", "win98"], "Windows 95, 98 and Me"),
            "changes onto the hive": (None, ["--changes", "{SYSTEM}"], "is the hive"),
            "header says more than the file": (lambda w, system, s: set_header(system, 0x28, os.path.getsize(system)),
                                               [], "the header says 16384 bytes of hive data, the file holds 12288"),
            "cut short": (lambda w, system, s: os.truncate(system, 12288), [],
                          "the header says 12288 bytes of hive data, the file holds 8192"),
            "bins of no whole 4096": (lambda w, system, s: set_header(system, 0x28, 12288 - 512), [],
                                      "11776 bytes of hive data, which is no multiple of 4096"),
            "a bin missing": (lambda w, system, s: patch(system, 0x2000, b"hbim"), [], "no hive bin at 0x2000"),
            "Current of type 0x20": (lambda w, system, s: hivexsh(system, "cd \\Select\nsetval 1\nCurrent\n"
                                                                  "hex:32:01,00,00,00\n"), [],
                                     "no DWORD value Current under Select"),
            "a free security cell with --save": (free_security, [], "damaged hive: cannot add the key"),
            "/dev/zero": (None, ["--hive", "SYSTEM=/dev/zero", "--hive", "SOFTWARE={SOFTWARE}"],
                          'not a registry hive: it does not start with "regf"'),
            "/dev/urandom": (None, ["--hive", "SYSTEM=/dev/urandom", "--hive", "SOFTWARE={SOFTWARE}"],
                             'not a registry hive: it does not start with "regf"'),
            "control characters in a name": (control_characters, [],
                                             "the values of Bad\\x1B]0;PWNED\\x07\\x1B[2J cannot be read"),
            "keys nested deeper than 512 levels": (lambda w, system, s: hivexsh(system, "add level\ncd level\n" * 513),
                                                   [], "keys nested deeper than 512 levels under level\\level"),
        }
        for name, (spoil, options, message) in cases.items():
            with self.subTest(name):
                windows, system, software = self.install("sample-xp.reg")
                if spoil:
                    spoil(windows, system, software)
                before = self.files()
                hives = [] if "--hive" in options else ["--windows", windows]
                options = [o.replace("{SYSTEM}", system).replace("{SOFTWARE}", software) for o in options]
                # A device is read as a hive, and refused as one to save before it is read.
                save = [] if any(o.startswith("SYSTEM=/dev/") for o in options) else ["--save"]
                result = simhost.run(*hives, "--json", *save, "--changes", os.path.join(self.directory, "changes.reg"),
                                     *options, check=False)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertEqual(result.stdout, b"", "a run started")
                self.assertIn(message, result.stderr.decode())
                # One short line, whatever the files hold, and nothing that drives a terminal.
                self.assertLess(len(result.stderr), 400, result.stderr)
                self.assertNotRegex(result.stderr[:-1], rb"[\x00-\x1f\x7f]")
                self.assertEqual(self.files(), before)

    def test_one_installation_is_one_pc_whichever_way_its_hives_are_named(self):
        windows, system, software = self.install("sample-xp.reg")
        hive = read(system)
        # The first instance has the installation while it waits for its SYSTEM hive to come:
        # it takes the lock before it reads, and a FIFO opens for writing once it reads.
        os.remove(system)
        os.mkfifo(system)
        first = subprocess.Popen([simhost.SIM, "--json", "--windows", windows], stdout=subprocess.DEVNULL)
        self.addCleanup(first.wait)
        self.addCleanup(first.kill)
        writer, deadline = None, time.time() + 30
        while writer is None and time.time() < deadline:
            try:
                writer = os.open(system, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                time.sleep(0.05)
        self.assertIsNotNone(writer, "the first instance never read its hive")
        with open(writer, "wb") as fifo:
            link = os.path.join(self.directory, "SYSTEM.link")
            os.symlink(system, link)
            second = simhost.run("--hive", "SYSTEM=" + link, "--hive", "SOFTWARE=" + software,
                                 "--changes", os.path.join(self.directory, "changes.reg"), check=False)
            self.assertEqual(second.returncode, 3, second.stderr)
            self.assertIn("another instance", second.stderr.decode())
            os.set_blocking(writer, True)
            fifo.write(hive)
        self.assertEqual(first.wait(timeout=30), 0)

if __name__ == "__main__":
    unittest.main()
