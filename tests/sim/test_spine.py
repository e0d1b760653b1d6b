"""korvane-sim end to end: the run spine on every --os, both languages, options and guard."""
import os
import pty
import select
import subprocess
import time
import unittest

import simhost

EMPTY_MACHINE = simhost.fixture("empty.reg")

UNSUPPORTED_JA = "サポート外のOSです。"
NO_ADAPTER_JA = "対応アダプタが検出されませんでした。"

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
                    r = simhost.report("--machine", EMPTY_MACHINE, "--os", name, "--lang", lang, *codepage)
                    self.assertEqual(r["osFamily"], family)
                    self.assertEqual(r["japaneseUi"], japanese)
                    shown = r["shown"]
                    self.assertEqual(shown["kind"], "notice")
                    self.assertEqual(shown["caption"], "Korvane")
                    if family in (1, 2, 4, 5):
                        self.assertEqual(shown["text"], NO_ADAPTER_JA if japanese else "Adapter was not found")
                        self.assertEqual(r["outcome"], 2)
                        self.assertGreater(r["registry"]["calls"], 0)
                    else:
                        self.assertEqual(shown["text"], UNSUPPORTED_JA if japanese else "Unsupported OS")
                        self.assertEqual(r["registry"]["calls"], 0)
                        self.assertEqual(r["outcome"], 0)
                    self.assertEqual(r["adapterCount"], 0)
                    self.assertEqual(r["registry"]["keysLeftOpen"], 0)
                    self.assertEqual(r["registry"]["writes"], [])

    def test_vista_japanese_on_the_sample_machine(self):
        r = simhost.report("--os", "vista", "--lang", "0x0411")
        self.assertEqual(r["osFamily"], 3)
        self.assertEqual(r["shown"], {"kind": "notice", "caption": "Korvane", "text": UNSUPPORTED_JA})
        self.assertEqual(r["registry"]["calls"], 0)


class Options(unittest.TestCase):
    def test_help(self):
        out = simhost.run("--help").stdout.decode()
        for option in ("--machine", "--os", "--lang", "--json", "--save", "--changes", "--no-admin"):
            self.assertIn(option, out)

    def test_bad_options_give_one_line_and_exit_2(self):
        for args in (["--bogus"], ["--os", "win3"], ["--os", "2.5"], ["--lang", "0x1ffff"], ["--lang", "ja"],
                     ["--machine"], ["--save"]):
            with self.subTest(args=args):
                result = simhost.run(*args, check=False)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, b"")
                self.assertEqual(len(result.stderr.decode().strip().splitlines()), 1)

    def test_missing_machine_file_is_an_error(self):
        result = simhost.run("--machine", "/nonexistent/machine.reg", "--json", check=False)
        self.assertEqual(result.returncode, 2)
        self.assertIn("/nonexistent/machine.reg", result.stderr.decode())
        self.assertEqual(result.stdout, b"")

    def test_drawn_notice_without_a_terminal_ends_at_once(self):
        result = simhost.run("--machine", EMPTY_MACHINE, "--os", "vista", "--lang", "0x0411")
        self.assertIn(UNSUPPORTED_JA, result.stdout.decode("utf-8"))
        self.assertIn("Korvane", result.stdout.decode("utf-8"))


class Guard(unittest.TestCase):
    def test_second_instance_steps_aside_while_the_first_shows_its_notice(self):
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(simhost.SIM, [simhost.SIM, "--machine", EMPTY_MACHINE, "--os", "winxp"])
        try:
            output = self._read_until(fd, "Adapter was not found")
            self.assertIn("Adapter was not found", output)
            second = simhost.report("--machine", EMPTY_MACHINE)
            self.assertEqual(second["shown"], {"kind": "none"})
            self.assertEqual(second["registry"]["calls"], 0)
            self.assertEqual(second["osFamily"], 0)
            plain = simhost.run("--machine", EMPTY_MACHINE)
            self.assertEqual(plain.stdout, b"")
            # The first instance redraws its notice as brought to the front.
            redrawn = self._read_until(fd, "front")
            self.assertIn("front", redrawn)
            os.write(fd, b"\r")
            _, status = os.waitpid(pid, 0)
            self.assertEqual(os.waitstatus_to_exitcode(status), 0)
            pid = 0
        finally:
            if pid:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
            os.close(fd)
        # With the first gone, a new run is a first instance again.
        self.assertEqual(simhost.report("--machine", EMPTY_MACHINE)["shown"]["kind"], "notice")

    def test_instances_on_different_machines_do_not_meet(self):
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(simhost.SIM, [simhost.SIM, "--machine", EMPTY_MACHINE, "--os", "vista"])
        try:
            self._read_until(fd, "Unsupported OS")
            other = simhost.report("--os", "vista")  # the built-in machine: another PC
            self.assertEqual(other["shown"]["kind"], "notice")
            os.write(fd, b"\x1b")
            os.waitpid(pid, 0)
            pid = 0
        finally:
            if pid:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
            os.close(fd)

    @staticmethod
    def _read_until(fd, text, timeout=20):
        seen = b""
        deadline = time.time() + timeout
        while time.time() < deadline and text.encode() not in seen:
            ready, _, _ = select.select([fd], [], [], 0.2)
            if ready:
                try:
                    seen += os.read(fd, 4096)
                except OSError:
                    break
        return seen.decode("utf-8", "replace")


if __name__ == "__main__":
    unittest.main()
