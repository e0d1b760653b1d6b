"""korvane.exe's two notices under Wine: the real message box, in English and in Japanese; and
the single-instance guard, two instances in one prefix, which leaves the first one's notice."""
import os
import unittest

import winehost

EMPTY_MACHINE = os.path.join(winehost.SOURCE, "tests", "sim", "fixtures", "empty.reg")


@winehost.table_cases
class Notices(unittest.TestCase):
    # Each notice: the Windows version, locale and machines that end a run with it, and its
    # text. The caption is the same in both languages; the text comes as the bytes of the
    # locale's code page.
    CASES = {
        "unsupported_os_english": ("vista", "C.UTF-8", [], "Unsupported OS"),
        "unsupported_os_japanese": ("vista", "ja_JP.UTF-8", [], "サポート外のOSです。"),
        "no_adapter_xp": ("winxp", "C.UTF-8", [EMPTY_MACHINE], "Adapter was not found"),
    }

    def check(self, version, locale, machines, text):
        """Runs korvane.exe to its notice and presses OK."""
        codepage = "cp932" if locale.startswith("ja") else "cp1252"
        with winehost.Prefix(version, locale, machines) as prefix:
            run, shown = prefix.show("ok")
            self.assertTrue(shown["dismissed"], "the notice stayed after OK")
            self.assertEqual(run.wait(), 0, "korvane.exe did not end after OK")
            self.assertEqual(prefix.dialog_count()["count"], 0)
        self.assertEqual(winehost.text(shown["title"], codepage), "Korvane")
        statics = [c for c in shown["controls"] if c["class"].lower() == "static"]
        self.assertIn(text, [winehost.text(c["text"], codepage) for c in statics])
        self.assertIn(text.encode(codepage).hex(), [c["textHex"] for c in statics])
        self.assertEqual([c["text"] for c in shown["controls"] if c["class"].lower() == "button"], ["OK"])

    @winehost.case("guard_second_instance")
    def test_second_instance_ends_at_once_and_leaves_the_first_notice(self):
        with winehost.Prefix("vista") as prefix:
            first, notice = prefix.show("none")
            second = prefix.start_korvane()
            self.assertEqual(second.wait(timeout=30), 0, "the second instance did not end by itself")

            shown = prefix.dialog_count()
            self.assertEqual(shown["count"], 1, "the second instance left a window of its own")
            self.assertEqual(shown["hwnds"], [notice["hwnd"]])
            self.assertTrue(first.running(), "the first instance ended with the second")

            again = prefix.probe("ok")
            self.assertEqual(again["hwnd"], notice["hwnd"])
            self.assertIn("Unsupported OS", [winehost.text(c["text"]) for c in again["controls"]])
            self.assertEqual(first.wait(), 0)


if __name__ == "__main__":
    unittest.main()
