"""korvane-sim on an offline installation's hives end to end: the same report as on the
machine file the hives were made from, the definitions where Samba's regtree finds them after
--save, the first original kept as .bak, refusals that leave every file as it was, and one
installation as one PC."""
import functools
import operator
import os
import re
import shutil
import stat
import struct
import subprocess
import unittest

import simhost

MAKE_HIVES = os.environ.get("KORVANE_MAKE_HIVES", "build/native/tests/korvane-make-hives")
# The eight values of the parameter definition, under the driver's Ndi\Params\NetworkAddress.
DEFINITION = sorted(["", "Type", "Default", "Base", "ParamDesc", "UpperCase", "LimitText", "Optional"])
NET_CLASS = "control\\class\\{4d36e972-e325-11ce-bfc1-08002be10318}"
WINDOWS = ("WINDOWS", "system32", "config", "SYSTEM", "SOFTWARE")
machine, read = simhost.machine, simhost.read


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
        self.directory = simhost.temporary_folder(self, "korvane-hives-")

    def install(self, machine_file, *options, names=WINDOWS, base=None):
        """Hives made from a machine file in the Windows folder NAMES[0] (in base, or the test's
        folder), in place of any made before; returns that folder and the SYSTEM and SOFTWARE hives."""
        base = base or self.directory
        shutil.rmtree(os.path.join(base, names[0]), True)
        config = os.path.join(base, *names[:3])
        os.makedirs(config)
        system, software = os.path.join(config, names[3]), os.path.join(config, names[4])
        subprocess.run([MAKE_HIVES, machine(machine_file), system, software, *options], check=True, timeout=60)
        return os.path.join(base, names[0]), system, software

    def test_each_sample_gives_the_report_of_its_machine_file(self):
        # The installation's version, language and code page stand where no option is given,
        # each option over them; its folder's names are found in any letter case.
        for machine_file, made_with, same_as, names in (
                ("sample-xp.reg", ["version=5.1"], ["--os", "winxp"], WINDOWS),
                ("sample-xp.reg", ["language=0411", "acp=932"], ["--lang", "0x0411", "--codepage", "932"],
                 ("WINNT", "System32", "CONFIG", "system", "Software"))):
            with self.subTest(made_with=made_with):
                windows, system, software = self.install(machine_file, *made_with, names=names)
                before = simhost.snapshot(self.directory)
                same = simhost.report("--machine", machine(machine_file), *same_as)
                for option in ([], ["--os", "win2k"], ["--lang", "0x0409"], ["--codepage", "1252"]):
                    self.assertEqual(simhost.report("--windows", windows, *option),
                                     simhost.report("--machine", machine(machine_file), *same_as, *option), option)
                self.assertEqual(simhost.report("--hive", "SYSTEM=" + system, "--hive", "software=" + software), same)
                # A hive on a stream is read no further than its header says it holds.
                with subprocess.Popen(["cat", system, "/dev/zero"], stdout=subprocess.PIPE) as stream:
                    self.assertEqual(simhost.report("--hive", "SYSTEM=/dev/stdin", "--hive", "SOFTWARE=" + software,
                                                    stdin=stream.stdout), same)
                self.assertEqual(simhost.snapshot(self.directory), before, "a preview wrote a file")

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

    def test_a_save_on_ntfs_3g_keeps_the_hives_security_descriptor_and_attributes(self):
        """On the mount the README recommends, the hive and its backup keep the Windows security
        descriptor and DOS attributes of the original: ntfs-3g's default gives Everyone full
        control of a hive that holds the boot key's parts."""
        why = ("no /dev/fuse" if not os.path.exists("/dev/fuse") else
               "no ntfs-3g or mkntfs (Debian's ntfs-3g)" if not (shutil.which("ntfs-3g") and shutil.which("mkntfs"))
               else None)
        if why:
            self.skipTest(why)
        image, mount = os.path.join(self.directory, "disk.ntfs"), os.path.join(self.directory, "ntfs")
        os.mkdir(mount)
        with open(image, "wb") as file:
            file.truncate(16 << 20)
        subprocess.run(["mkntfs", "-F", "-Q", image], check=True, capture_output=True, timeout=60)
        mounted = subprocess.run(["ntfs-3g", image, mount], capture_output=True, timeout=60)
        if mounted.returncode != 0:
            self.skipTest("ntfs-3g cannot mount here: " + mounted.stderr.decode().strip())
        fusermount = shutil.which("fusermount3") or shutil.which("fusermount")
        self.addCleanup(subprocess.run, [fusermount, "-u", mount] if fusermount else ["umount", mount], check=True)

        def sid(*parts):
            return struct.pack("<BB", 1, len(parts) - 1) + parts[0].to_bytes(6, "big") + struct.pack(
                f"<{len(parts) - 1}I", *parts[1:])
        administrators, local_system = sid(5, 32, 544), sid(5, 18)
        # Full control for SYSTEM and the Administrators only, as Windows sets it on its hives.
        aces = b"".join(struct.pack("<BBHI", 0, 0, 8 + len(who), 0x001F01FF) + who
                        for who in (local_system, administrators))
        dacl = struct.pack("<BBHHH", 2, 0, 8 + len(aces), 2, 0) + aces
        descriptor = struct.pack("<BBHIIII", 1, 0, 0x8004, 20, 20 + len(administrators), 0,
                                 20 + len(administrators) + len(local_system)) + administrators + local_system + dacl
        hidden_system_archive = struct.pack(">I", 0x26)

        windows, system, software = self.install("sample-xp.reg", base=mount)
        os.setxattr(system, "system.ntfs_acl", descriptor)
        os.setxattr(system, "system.ntfs_attrib_be", hidden_system_archive)
        original = read(system)

        simhost.report("--windows", windows, "--save")
        self.assertEqual(read(system + ".bak"), original)
        self.assertEqual(list(definition_keys(system).values()), [DEFINITION])
        for path in (system, system + ".bak"):
            self.assertEqual((os.getxattr(path, "system.ntfs_acl"), os.getxattr(path, "system.ntfs_attrib_be")),
                             (descriptor, hidden_system_archive), path)
        self.assertEqual(sorted(os.listdir(os.path.dirname(system))), ["SOFTWARE", "SYSTEM", "SYSTEM.bak"])

    def test_refusals_leave_every_file_as_it_was(self):
        def missing_control_set(windows, system, software):
            hivexsh(system, "cd \\Select\nsetval 1\nCurrent\ndword:0x5\n")

        def unfinished(windows, system, software):
            # Windows raises the first sequence number before it writes and the second after.
            set_header(system, 4, struct.unpack_from("<I", read(system), 8)[0] + 1)

        def free_security(windows, system, software):
            # The root's security cell, which every key made under it shares, marked free (a
            # positive size): a hive that reads, and that hivex cannot add a key to.
            hive = read(system)
            cell = 0x1000 + struct.unpack_from("<I", hive, 0x1000 + struct.unpack_from("<I", hive, 0x24)[0] + 48)[0]
            patch(system, cell, struct.pack("<i", abs(struct.unpack_from("<i", hive, cell)[0])))

        def driver_key_values(system):
            """The value list of the first key the run sets a value of: the driver key 0001."""
            hive = read(system)
            for name in re.finditer(b"0001", hive):
                cell = name.start() - 80
                parent = 0x1000 + struct.unpack_from("<I", hive, cell + 20)[0]
                if hive[cell + 4:cell + 6] == b"nk" and hive[parent + 80:parent + 89] == b"{4D36E972":
                    return hive, 0x1000 + struct.unpack_from("<I", hive, cell + 44)[0]
            self.fail("no driver key 0001 in " + system)

        def a_value_listed_twice(windows, system, software):
            # Its value list naming its first value twice: a hive that reads, where hivex would
            # free that value's cells twice.
            hive, values = driver_key_values(system)
            patch(system, values + 8, hive[values + 4:values + 8])

        def a_value_shared_with_another_key(windows, system, software):
            # Another key's value list naming the driver key's first value: a hive that reads,
            # where hivex, replacing the driver key's values, would free a value the other key
            # still lists, and the saved hive would no longer read.
            hivexsh(system, "add Sharer\ncd Sharer\nsetval 1\nSharedValue\nstring:x\n")
            _, values = driver_key_values(system)
            hive = read(system)
            sharer = 0x1000 + struct.unpack_from("<I", hive, key_cell(system, "Sharer") + 44)[0]
            patch(system, sharer + 4, hive[values + 4:values + 8])

        def control_characters(windows, system, software):
            hivexsh(system, "add Bad\x1b]0;PWNED\x07\x1b[2J\n")
            patch(system, key_cell(system, "Bad\x1b]0;") + 40, struct.pack("<II", 1, 0x7FFFFFF0))  # no value list

        def a_key_linked_in_twice(windows, system, software):
            hivexsh(system, "add Twice\ncd Twice\nadd First\nadd Second\n")
            hive = read(system)
            subkeys = 0x1000 + struct.unpack_from("<I", hive, key_cell(system, "Twice") + 32)[0]
            patch(system, subkeys + 16, hive[subkeys + 8:subkeys + 16])  # the second entry names the first key

        def a_name_of_no_utf16(windows, system, software):
            # A name beyond Latin-1 is stored as UTF-16LE: its second character made half of a pair.
            hivexsh(system, "add B\u3042\n")
            patch(system, read(system).index("B\u3042".encode("utf-16-le")) + 2, b"\x00\xd8")

        def value_data_in_no_cell(windows, system, software):
            hivexsh(system, "add Spoiled\ncd Spoiled\nsetval 1\nSpoiledValue\nstring:more than fits in a value\n")
            patch(system, read(system).index(b"SpoiledValue") - 24 + 12, struct.pack("<I", 0x7FFFFFF0))

        def line_breaks_in_a_class_key(windows, system, software):
            # An adapter's driver key whose name would end the patch's key line and start
            # lines of its own; hivexsh reads its names a line at a time, so @@ stands for CR LF
            # until the file is patched.
            name = '0003]@@"Injected"="yes"@@@@[HKEY_LOCAL_MACHINE'
            enum = "\\ControlSet001\\Enum\\PCI\\VEN_5AB1&DEV_103B&SUBSYS_00215AB1&REV_81\\4&2a77c1e&0&10F0"
            hivexsh(system, f"cd \\ControlSet001\\{NET_CLASS}\nadd {name}\ncd \\\ncd {enum}\nsetval 1\nDriver\n"
                            f"string:{NET_CLASS[-38:]}\\{name}\n")
            simhost.write(os.path.dirname(system), os.path.basename(system), read(system).replace(b"@@", b"\r\n").replace(
                "@@".encode("utf-16-le"), "\r\n".encode("utf-16-le")))

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
            "bins of no whole 4096": (lambda w, system, s: set_header(system, 0x28, 12288 - 512), [],
                                      "11776 bytes of hive data, which is no multiple of 4096"),
            "a bin missing": (lambda w, system, s: patch(system, 0x2000, b"hbim"), [], "no hive bin at 0x2000"),
            "Current of type 0x20": (lambda w, system, s: hivexsh(system, "cd \\Select\nsetval 1\nCurrent\n"
                                                                  "hex:32:01,00,00,00\n"), [],
                                     "no DWORD value Current under Select"),
            "a free security cell with --save": (free_security, [], "damaged hive: cannot add the key"),
            "a value listed twice with --save": (a_value_listed_twice, [],
                                                 "damaged hive: cannot set the value NetworkAddress of ControlSet001"
                                                 "\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0001: "),
            "a value shared with another key with --save": (
                a_value_shared_with_another_key, [], "damaged hive: cannot set the value NetworkAddress of "
                "ControlSet001\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0001: "),
            **{device: (None, ["--hive", "SYSTEM=" + device, "--hive", "SOFTWARE={SOFTWARE}"],
                        'not a registry hive: it does not start with "regf"') for device in ("/dev/zero", "/dev/urandom")},
            "control characters in a name": (control_characters, [],
                                             "the values of Bad\\x1B]0;PWNED\\x07\\x1B[2J cannot be read"),
            # Every key and value is read before the run, whichever of them the run asks for.
            "a subkey list in no cell": (lambda w, system, s: (
                hivexsh(system, "add Spoiled\ncd Spoiled\nadd Below\n"),
                patch(system, key_cell(system, "Spoiled") + 32, struct.pack("<I", 0x7FFFFFF0))), [],
                "damaged hive: the subkeys of Spoiled cannot be read"),
            "a key linked in twice": (a_key_linked_in_twice, [], "damaged hive: the key Twice\\First is linked in twice"),
            "a name of no UTF-16": (a_name_of_no_utf16, [], "damaged hive: a subkey name of the root key cannot be read"),
            "value data in no cell": (value_data_in_no_cell, [], "damaged hive: a value of Spoiled cannot be read"),
            "keys nested deeper than 512 levels": (lambda w, system, s: hivexsh(system, "add level\ncd level\n" * 513),
                                                   [], "keys nested deeper than 512 levels under level\\level"),
            "line breaks in a key's name": (line_breaks_in_a_class_key, [],
                                            '0003]\\x0D\\x0A"Injected"="yes"\\x0D\\x0A\\x0D\\x0A[HKEY_LOCAL_MACHINE, whose name '
                                            'holds a line break or a NUL, which a .reg file cannot carry'),
            # The backup, kept or still to come, in any letter case and through a link to it.
            "changes onto the backup to come": (None, ["--changes", "{SYSTEM}.bak"], "is the backup"),
            "changes onto the backup in another case": (None, ["--changes", "{CONFIG}/system.BAK"], "is the backup"),
            "changes through a link to the backup": (
                lambda w, system, s: (shutil.copyfile(system, system + ".bak"),
                                      os.symlink(system + ".bak", os.path.join(w, "changes.reg"))),
                ["--changes", "{CONFIG}/../../changes.reg"], "is the backup"),
            # What stands as the backup is never written: anything but a hive of the kind would
            # keep the original nowhere.
            "backup a directory": (lambda w, system, s: os.mkdir(system + ".bak"), [],
                                   "SYSTEM.bak is no backup of it (it is a directory); move it away"),
            "backup a dangling link": (lambda w, system, s: os.symlink("gone", system + ".bak"), [],
                                       "(it is a symbolic link to gone)"),
            "backup a link to a hive": (lambda w, system, software: os.symlink(software, system + ".bak"), [],
                                        "(it is a symbolic link to "),
            "backup empty": (lambda w, system, s: open(system + ".bak", "wb").close(), [], "(it is empty)"),
            "backup no hive": (lambda w, system, s: shutil.copyfile(machine("sample-xp.reg"), system + ".bak"), [],
                               "(it holds no hive: "),
            "backup of the other hive": (lambda w, system, software: shutil.copyfile(software, system + ".bak"), [],
                                         "(it holds a SOFTWARE hive, not a SYSTEM one)"),
            # Names whose backup, or whose temporary file, the folder cannot hold.
            "hive name too long": (
                lambda w, system, s: shutil.copyfile(system, os.path.join(os.path.dirname(system), "S" * 252)),
                ["--hive", "SYSTEM={CONFIG}/" + "S" * 252, "--hive", "SOFTWARE={SOFTWARE}"],
                "SS: its name is 252 bytes long, and the temporary file it is written through (272 bytes) would be"),
            "backup name too long": (
                lambda w, system, s: shutil.copyfile(system, os.path.join(os.path.dirname(system), "S" * 234)),
                ["--hive", "SYSTEM={CONFIG}/" + "S" * 234, "--hive", "SOFTWARE={SOFTWARE}"],
                "SS.bak: its name is 238 bytes long, and the temporary file it is written through (258 bytes)"),
        }
        for name, (spoil, options, message) in cases.items():
            with self.subTest(name):
                windows, system, software = self.install("sample-xp.reg")
                if spoil:
                    spoil(windows, system, software)
                before = simhost.snapshot(self.directory)
                hives = [] if "--hive" in options else ["--windows", windows]
                options = [o.replace("{SYSTEM}", system).replace("{SOFTWARE}", software)
                           .replace("{CONFIG}", os.path.dirname(system)) for o in options]
                # A device is read as a hive, and refused as one to save before it is read.
                save = [] if any(o.startswith("SYSTEM=/dev/") for o in options) else ["--save"]
                text = simhost.refuse(self, *hives, "--json", *save, "--changes",
                                      os.path.join(self.directory, "changes.reg"), *options, message=message)
                # A short line, whatever the files hold (the paths it was given may stand in it whole, twice).
                self.assertLess(len(text.encode()), 400 + 2 * max(map(len, options), default=0), text)
                self.assertEqual(simhost.snapshot(self.directory), before)

    def test_one_installation_is_one_pc_whichever_way_its_hives_are_named(self):
        windows, system, software = self.install("sample-xp.reg")
        config = os.path.dirname(system)
        hive = read(system)
        # A second way to the installation: a bind mount, where the machine allows one.
        bound = os.path.join(self.directory, "bound")
        os.mkdir(bound)
        mounted = subprocess.run(["mount", "--bind", config, bound], capture_output=True).returncode == 0
        if mounted:
            self.addCleanup(subprocess.run, ["umount", bound], check=True)
        # Temporary files that runs ended by SIGKILL left where no unnamed one could be made,
        # and files of the user's that only look like them.
        left = [".SYSTEM.korvane-sim-Ab12yZ", ".SYSTEM.bak.korvane-sim-000000", ".SOFTWARE.korvane-sim-xyzXYZ"]
        alike = [".SYSTEM.korvane-sim-Ab12y", ".SYSTEM.korvane-sim-Ab12y!", ".SYSTEM.backup", ".system.korvane-sim-Ab12yZ"]
        for name in left + alike:
            simhost.write(config, name, b"x" * 4096)
        os.symlink(software, os.path.join(config, ".SOFTWARE.korvane-sim-linked"))
        alike.append(".SOFTWARE.korvane-sim-linked")
        # The first instance has the installation while it waits for its SYSTEM hive to come:
        # it takes the lock before it reads, and a FIFO opens for writing once it reads.
        os.remove(system)
        os.mkfifo(system)
        first = simhost.start(self, "--json", "--windows", windows, stdout=subprocess.DEVNULL)

        def open_to_write():
            try:
                return os.open(system, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                return None
        writer = simhost.wait_for(open_to_write)
        self.assertIsNotNone(writer, "the first instance never read its hive")
        self.assertEqual(sorted(n for n in os.listdir(config) if n.startswith(".")), sorted(alike),
                         "the run that has the installation left a killed run's temporary file")
        # Planted while the first has the installation: only a run that has it may remove them.
        for name in left:
            simhost.write(config, name, b"x")
        with open(writer, "wb") as fifo:
            link = os.path.join(self.directory, "SYSTEM.link")
            os.symlink(system, link)
            ways = {"a symbolic link": link}
            if mounted:
                ways["a bind mount"] = os.path.join(bound, "SYSTEM")
            for way, path in ways.items():
                with self.subTest(way):
                    second = simhost.run("--hive", "SYSTEM=" + path, "--hive", "SOFTWARE=" + software,
                                         "--changes", os.path.join(self.directory, "changes.reg"), check=False)
                    self.assertEqual(second.returncode, 3, second.stderr)
                    self.assertIn("another instance", second.stderr.decode())
            self.assertTrue(all(os.path.exists(os.path.join(config, name)) for name in left))
            os.set_blocking(writer, True)
            fifo.write(hive)
        self.assertEqual(first.wait(timeout=30), 0)
        self.assertTrue(all(os.path.exists(os.path.join(config, name)) for name in left))
        # The run that had the installation removed its lock file as it ended.
        self.assertEqual(os.listdir(simhost.LOCKS), [])
        os.remove(system)
        simhost.write(config, "SYSTEM", hive)
        removed = simhost.run("--json", "--windows", windows).stderr.decode()
        self.assertEqual(sorted(n for n in os.listdir(config) if n.startswith(".")), sorted(alike))
        self.assertEqual(sorted(re.findall(r"removed .*/(\S+), a temporary file left by a run that was ended", removed)),
                         sorted(left))
        if not mounted:
            self.skipTest("no bind mount here (needs root): the second instance came through a symbolic link only")

if __name__ == "__main__":
    unittest.main()
