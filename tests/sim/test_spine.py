"""korvane-sim end to end: the run spine on every --os, both languages, options and guard."""
import glob
import os
import pty
import re
import stat
import subprocess
import tempfile
import time
import unittest

import simhost

EMPTY_MACHINE = simhost.fixture("empty.reg")

# The notice of a run on an empty machine, on a supported family or not, in English and in Japanese.
TEXTS = {True: ("Adapter was not found", "対応アダプタが検出されませんでした。"),
         False: ("Unsupported OS", "サポート外のOSです。")}

FAMILIES = {
    "win32s": 0, "win95": 1, "win98": 2, "winme": 2, "nt351": 3, "nt40": 4,
    "win2k": 5, "winxp": 5, "win2003": 5, "vista": 3, "win7": 3, "win10": 3,
    "2.5.1": 5, "1.4.0": 1, "2.7.0": 3,
}


class EveryRelease(unittest.TestCase):
    def test_each_os_in_both_languages(self):
        # Japanese only where the machine's ANSI code page can show it: by default the one its
        # language implies, or as --codepage sets it.
        languages = (("0x0409", [], False), ("0x0411", [], True), ("1041", [], True), ("0x0C11", [], True),
                     ("0x0411", ["--codepage", "1252"], False), ("0x0409", ["--codepage", "932"], False),
                     ("0x0411", ["--codepage", "932"], True))
        for name, family in FAMILIES.items():
            for lang, codepage, japanese in languages:
                with self.subTest(os=name, lang=lang, codepage=codepage):
                    # Values in both forms: --opt=VALUE and --opt VALUE.
                    r = simhost.report("--machine=" + EMPTY_MACHINE, "--os", name, "--lang=" + lang, *codepage)
                    supported = family in (1, 2, 4, 5)
                    expected = {"osFamily": family, "japaneseUi": japanese, "outcome": 2 if supported else 0,
                                "adapterCount": 0, "shown": {"kind": "notice", "caption": "Korvane",
                                                             "text": TEXTS[supported][japanese]}}
                    self.assertEqual({field: r[field] for field in expected}, expected)
                    # Only the families it supports read the registry, and none of them wrote to it.
                    self.assertEqual(r["registry"]["calls"] > 0, supported)
                    self.assertEqual((r["registry"]["keysLeftOpen"], r["registry"]["writes"]), (0, []))


USER_OPTIONS = ("--machine", "--windows", "--hive", "--os", "--lang", "--codepage", "--json", "--save", "--changes",
                "--no-admin", "--help", "--version")


def version_line():
    """The version the build states once, in the top-level CMakeLists.txt's project()."""
    with open(os.path.join(simhost.SOURCE, "CMakeLists.txt"), encoding="utf-8") as cmake:
        return "korvane-sim " + re.search(r"project\(korvane VERSION ([0-9.]+)", cmake.read()).group(1)


class Options(unittest.TestCase):
    def test_help_and_version(self):
        help_text = simhost.run("--help").stdout.decode()
        lines = help_text.splitlines()
        for option in USER_OPTIONS:
            self.assertIn(option, help_text)
        self.assertNotIn("--fail", help_text, "the testing hooks are for tests/README.md")
        self.assertEqual([line for line in lines if len(line) > 80], [])
        # It ends with examples, each a command that runs.
        examples = lines[lines.index("Examples:") + 1:]
        self.assertTrue(examples and all(line.startswith("  korvane-sim --") for line in examples), examples)
        self.assertEqual(simhost.run("--json", *examples[0].split()[1:]).returncode, 0)

        version = simhost.run("--version")
        self.assertEqual(version.stdout.decode().splitlines(),
                         [version_line(), "Copyright (c) 2026 Korvane developers",
                          "MIT License: free to use, copy, change and pass on. There is NO WARRANTY."])
        self.assertEqual(version.stderr, b"")

    def test_bad_options_and_a_missing_machine_file_give_one_line_and_exit_2(self):
        for args in (["--bogus"], ["--os", "win3"], ["--os", "2.5"], ["--lang", "0x1ffff"], ["--lang", "ja"],
                     ["--machine"], ["--save"],
                     # Empty values, once taken for "not given"; numbers strtoull alone would take.
                     ["--machine", ""], ["--changes", ""], ["--fail-path", ""], ["--lang", "0x0x411"],
                     ["--lang", " 1041"], ["--os", "2. 5.1"], ["--fail-call", " 3"], ["--json", "--changes", "-"],
                     # Hives: named once each, by SYSTEM or SOFTWARE, in one way only.
                     ["--windows", ""], ["--hive", "SYSTEM"], ["--hive", "SYSTEM="], ["--hive", "BOOT=x"],
                     ["--hive", "system=a", "--hive", "SYSTEM=b"], ["--windows", "w", "--hive", "SOFTWARE=x"],
                     # The attached form: a value where none is taken, an empty one, a bad one.
                     ["--json=yes"], ["--version=2"], ["--machine="], ["--hive=BOOT=x"], ["--os=win3"],
                     ["--bogus=1"]):
            with self.subTest(args=args):
                simhost.refuse(self, *args, message="")
        simhost.refuse(self, "--machine", "/nonexistent/machine.reg", "--json", message="/nonexistent/machine.reg")



# A description with two of the bytes code page 1252 leaves undefined, which Windows maps to
# the C1 controls U+0081 and U+009D, and an accented letter.
ODD_DESCRIPTION = b"Fenwick Fast\x81Link \x9d\xe9 Adapter"


class Screen(unittest.TestCase):
    def setUp(self):
        self.folder = simhost.temporary_folder(self, "korvane-screen-")
        data = simhost.read(simhost.fixture("xp-none-set.reg"))
        self.machine = simhost.write(self.folder, "machine.reg",
                                     data.replace(b"Fenwick FastLink 10/100 Desktop Adapter", ODD_DESCRIPTION))

    def test_the_report_converts_ansi_text_as_the_registry_stores_it(self):
        text = simhost.run("--json", "--machine", self.machine).stdout.decode("utf-8")
        self.assertIn('"Fenwick Fast\\u0081Link \\u009d\u00e9 Adapter"', text)
        self.assertIn("Fenwick Fast\x81Link \x9d\u00e9 Adapter", simhost.check_report(text)["shown"]["lists"]["1004"])

    def test_a_screen_nobody_can_answer_is_drawn_and_ends_as_if_ok_were_pressed(self):
        utf8 = ("┌", "Fenwick Fast\\x81Link \\x9D\u00e9 Adapter")
        ascii_only = ("+-----", "|", "Fenwick Fast\\x81Link \\x9D? Adapter")
        # (standard input, standard output, environment, what the screen shows)
        cases = {
            "no terminal at all": ("null", "pipe", {}, utf8),
            "a keyboard, the screen into a pipe": ("terminal", "pipe", {}, utf8),
            "a keyboard, the screen into a file": ("terminal", "file", {}, utf8),
            "the C locale": ("null", "pipe", {"LC_ALL": "C"}, ascii_only),
            "a locale that is not installed, in UTF-8": ("null", "pipe", {"LC_ALL": "xx_YY.UTF-8"}, utf8),
        }
        for name, (stdin, stdout, env, shown) in cases.items():
            with self.subTest(name):
                keyboard, terminal = pty.openpty()
                self.addCleanup(os.close, keyboard)
                self.addCleanup(os.close, terminal)
                with open(os.path.join(self.folder, "screen.txt"), "w+b") as screen_file:
                    result = subprocess.run([simhost.SIM, "--machine", self.machine], timeout=20,
                                            stdin=terminal if stdin == "terminal" else subprocess.DEVNULL,
                                            stdout=screen_file if stdout == "file" else subprocess.PIPE,
                                            stderr=subprocess.PIPE, env={**os.environ, "LC_ALL": "C.UTF-8", **env})
                    screen_file.seek(0)
                    picture = result.stdout if stdout == "pipe" else screen_file.read()
                self.assertEqual((result.returncode, result.stderr), (0, b""))
                for part in shown:
                    self.assertIn(part, picture.decode("utf-8"))
                self.assertIn("LAN Adapter setting failed", picture.decode("utf-8"))
                # No escape sequence and no raw C1 control reaches the terminal.
                self.assertNotIn(b"\x1b", picture)
                self.assertNotRegex(picture.decode("utf-8"), "[\x80-\x9f]")
                if shown is ascii_only:
                    self.assertTrue(picture.isascii())


class Install(unittest.TestCase):
    MAN_SECTIONS = ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "FILES", "EXAMPLES", "SEE ALSO")

    def test_an_install_runs_from_any_folder_with_its_manual_and_documents(self):
        build = os.environ.get("KORVANE_BUILD_DIR", os.path.dirname(os.path.abspath(simhost.SIM)))
        prefix = simhost.temporary_folder(self, "korvane-install-")
        installing = subprocess.run(["cmake", "--install", build, "--prefix", prefix], capture_output=True,
                                    timeout=120)
        self.assertEqual(installing.returncode, 0, installing.stderr)
        installed = {os.path.relpath(os.path.join(folder, name), prefix)
                     for folder, _, names in os.walk(prefix) for name in names}
        expected = {"bin/korvane-sim", "share/man/man1/korvane-sim.1", "share/doc/korvane/README.md",
                    "share/doc/korvane/report.schema.json"}
        self.assertEqual(installed - {"share/doc/korvane/LICENSE"}, expected)

        # The manual renders without a warning, has its sections and describes every option.
        page = os.path.join(prefix, "share/man/man1/korvane-sim.1")
        rendering = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", page], capture_output=True, timeout=60)
        self.assertEqual((rendering.returncode, rendering.stderr.decode()), (0, ""))
        with open(page, encoding="utf-8") as manual:
            source = manual.read()
        sections = re.findall(r"^\.SH (.+)$", source, re.M)
        self.assertEqual([s for s in sections if s in self.MAN_SECTIONS], list(self.MAN_SECTIONS))
        self.assertIn(f'"{version_line()}"', source.splitlines()[1])
        needed = ("hivexsh (1)", "regedit", "MIT License", "korvane-sim\\- UID",
                  *(option.replace("-", "\\-") for option in USER_OPTIONS))
        self.assertEqual([text for text in needed if text not in source], [])
        self.assertFalse("\\-\\-fail" in source, "the testing hooks are for tests/README.md")

        # The installed program needs nothing from the source tree: its default machine is in it.
        program = os.path.join(prefix, "bin", "korvane-sim")
        elsewhere = simhost.temporary_folder(self, "korvane-elsewhere-")
        run = subprocess.run([program, "--json"], cwd=elsewhere, capture_output=True, timeout=60,
                             stdin=subprocess.DEVNULL)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(simhost.check_report(run.stdout.decode())["outcome"], 1)


class Guard(unittest.TestCase):
    def test_second_instance_steps_aside_while_the_first_shows_its_notice_unless_on_another_machine(self):
        # A dumb terminal: the redraw below comes without any escape sequence.
        with simhost.on_terminal("--machine", EMPTY_MACHINE, "--os", "winxp", env={"TERM": "dumb"}) as first:
            output = first.read_until("Adapter was not found")
            self.assertIn("Adapter was not found", output)
            other = simhost.report("--os", "vista")  # the built-in machine: another PC
            self.assertEqual(other["shown"]["kind"], "notice")
            second = simhost.report("--machine", EMPTY_MACHINE)
            self.assertEqual(second["shown"], {"kind": "none"})
            self.assertEqual(second["registry"]["calls"], 0)
            self.assertEqual(second["osFamily"], 0)
            plain = simhost.run("--machine", EMPTY_MACHINE)
            self.assertEqual(plain.stdout, b"")
            # The first instance redraws its notice as brought to the front.
            redrawn = first.read_until("front")
            self.assertIn("front", redrawn)
            self.assertNotIn("\x1b", output + redrawn)
            self.assertEqual(first.press(b"\r"), 0)
        # With the first gone, a new run is a first instance again.
        self.assertEqual(simhost.report("--machine", EMPTY_MACHINE)["shown"]["kind"], "notice")

    def test_a_window_file_left_behind_names_no_one(self):
        machine = os.path.join(simhost.temporary_folder(self, "korvane-guard-"), "machine.fifo")
        os.mkfifo(machine)
        stranger = subprocess.Popen(["sleep", "60"])
        self.addCleanup(stranger.wait)
        self.addCleanup(stranger.kill)
        # The first instance has the machine, and waits for its FIFO to be written: it has no window.
        first = simhost.start(self, "--json", "--machine", machine, stdout=subprocess.DEVNULL)
        simhost.wait_for(lambda: glob.glob(os.path.join(simhost.LOCKS, "*.lock")) or None, timeout=20)
        time.sleep(0.3)
        # Whatever files there say, no process is showing a window.
        for path in glob.glob(os.path.join(simhost.LOCKS, "*")):
            with open(path, "w") as planted:
                planted.write(f"{stranger.pid}\n")
        self.assertEqual(simhost.report("--machine", machine)["shown"], {"kind": "none"})
        time.sleep(0.2)
        self.assertIsNone(stranger.poll(), "a process that shows no window was signalled")
        simhost.write(os.path.dirname(machine), "machine.fifo", simhost.read(EMPTY_MACHINE))
        self.assertEqual(first.wait(timeout=20), 0)

    def test_the_runtime_directory_must_be_the_users_own(self):
        base = simhost.temporary_folder(self, "korvane-runtime-")
        shared = os.path.join(base, "shared")
        os.mkdir(shared, 0o755)
        os.chmod(shared, 0o755)
        name = f"korvane-sim-{os.geteuid()}"

        def run_in(temporary):
            return simhost.run("--json", "--machine", EMPTY_MACHINE, check=False,
                               env={"XDG_RUNTIME_DIR": shared, "TMPDIR": temporary})

        # An XDG_RUNTIME_DIR that others may enter is passed over for a folder made 0700.
        own = os.path.join(base, "own")
        os.mkdir(own)
        self.assertEqual(run_in(own).returncode, 0)
        self.assertEqual(os.listdir(shared), [])
        made = os.lstat(os.path.join(own, name))
        self.assertEqual((stat.S_IMODE(made.st_mode), made.st_uid, stat.S_ISDIR(made.st_mode)),
                         (0o700, os.geteuid(), True))

        plants = {"a symbolic link": (lambda path: os.symlink(own, path), "it is a symbolic link"),
                  "a folder others may enter": (lambda path: (os.mkdir(path), os.chmod(path, 0o755)),
                                                "its mode is 0755, not 0700")}
        if os.geteuid() == 0:
            plants["another user's folder"] = (lambda path: (os.mkdir(path, 0o700), os.chown(path, 65534, 65534)),
                                               "it belongs to uid 65534, not to uid 0")
        for what, (plant, reason) in plants.items():
            with self.subTest(what):
                temporary = tempfile.mkdtemp(dir=base)
                plant(os.path.join(temporary, name))
                result = run_in(temporary)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, b"")
                self.assertIn(f"unsafe runtime directory {temporary}/{name}: {reason}", result.stderr.decode())
                self.assertEqual(sorted(os.listdir(own)), [name], "files were made through the planted link")


if __name__ == "__main__":
    unittest.main()
