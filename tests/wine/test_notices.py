"""korvane.exe under Wine: the real message box in both languages, and the guard."""
import os
import subprocess
import unittest

import winehost

EMPTY = os.path.join(winehost.SOURCE, "tests", "sim", "fixtures", "empty.reg")


def tearDownModule():
    winehost.shutdown()


class Notices(unittest.TestCase):
    def run_notice(self, version, locale="C.UTF-8", fixture=None):
        prefix = winehost.Prefix(version, locale)
        try:
            if fixture:
                prefix.import_reg(fixture)
            korvane = prefix.start_korvane()
            shown = prefix.probe_window("ok")
            self.assertTrue(shown["found"], "no notice appeared")
            self.assertEqual(winehost.wait_exit(korvane), 0, "korvane.exe did not end after OK")
            return shown
        finally:
            prefix.close()

    @staticmethod
    def static_texts(shown, codepage):
        return [winehost.text(c["text"], codepage) for c in shown["controls"] if c["class"].lower() == "static"]

    def test_unsupported_os_in_english(self):
        shown = self.run_notice("vista")
        self.assertEqual(winehost.text(shown["title"]), "Korvane")
        self.assertIn("Unsupported OS", self.static_texts(shown, "cp1252"))

    def test_unsupported_os_in_japanese(self):
        shown = self.run_notice("vista", locale="ja_JP.UTF-8")
        self.assertEqual(winehost.text(shown["title"], "cp932"), "Korvane")
        self.assertIn("サポート外のOSです。", self.static_texts(shown, "cp932"))

    def test_no_adapter_on_an_empty_xp_machine(self):
        shown = self.run_notice("winxp", fixture=EMPTY)
        self.assertIn("Adapter was not found", self.static_texts(shown, "cp1252"))


class Guard(unittest.TestCase):
    def test_second_instance_exits_at_once_without_a_window(self):
        prefix = winehost.Prefix("vista")
        try:
            first = prefix.start_korvane()
            shown = prefix.probe_window("none")
            self.assertTrue(shown["found"])
            second = prefix.start_korvane()
            self.assertEqual(winehost.wait_exit(second, timeout=30), 0, "the second instance did not end")
            self.assertEqual(prefix.dialog_count(), 1)
            self.assertIsNone(first.poll(), "the first instance ended too")
            again = prefix.probe_window("ok")
            self.assertIn("Unsupported OS", [winehost.text(c["text"]) for c in again["controls"]])
            self.assertEqual(winehost.wait_exit(first), 0)
        finally:
            prefix.close()


class Imports(unittest.TestCase):
    ALLOWED = {"KERNEL32.dll", "USER32.dll", "ADVAPI32.dll", "msvcrt.dll"}

    def test_korvane_exe_imports_system_dlls_only(self):
        for build, objdump in ((winehost.WIN64, "x86_64-w64-mingw32-objdump"),
                               (os.environ.get("KORVANE_WIN32_BUILD", ""), "i686-w64-mingw32-objdump")):
            exe = os.path.join(build, "korvane.exe")
            if not build or not os.path.exists(exe):
                continue
            with self.subTest(exe=exe):
                headers = subprocess.run([objdump, "-p", exe], capture_output=True, check=True).stdout.decode()
                dlls = {line.split(":", 1)[1].strip() for line in headers.splitlines() if "DLL Name:" in line}
                self.assertTrue(dlls)
                self.assertLessEqual(dlls, self.ALLOWED)


if __name__ == "__main__":
    unittest.main()
