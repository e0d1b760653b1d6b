"""korvane.exe's two notices under Wine: the real message box, in English and in Japanese; and
the single-instance guard, two instances in one prefix, which leaves the first one's notice."""
import os
import unittest

import winehost

EMPTY_MACHINE = os.path.join(winehost.SOURCE, "tests", "sim", "fixtures", "empty.reg")


def static_texts(shown, codepage="cp1252"):
    return [winehost.text(c["text"], codepage) for c in shown["controls"] if c["class"].lower() == "static"]


class Notices(unittest.TestCase):
    def show_notice(self, version, locale="C.UTF-8", machine=None):
        """Runs korvane.exe to its notice, presses OK; returns what the notice showed."""
        with winehost.Prefix(version, locale) as prefix:
            if machine:
                prefix.import_reg(machine)
            run = prefix.start_korvane()
            shown = prefix.probe("ok")
            self.assertTrue(shown["found"], f"no notice appeared; korvane.exe: {run.stderr()[-2000:]}")
            self.assertTrue(shown["dismissed"], "the notice stayed after OK")
            self.assertEqual(run.wait(), 0, "korvane.exe did not end after OK")
            self.assertEqual(prefix.dialog_count()["count"], 0)
        return shown

    @winehost.case("unsupported_os_english")
    def test_unsupported_os_in_english(self):
        shown = self.show_notice("vista")
        self.assertEqual(winehost.text(shown["title"]), "Korvane")
        self.assertIn("Unsupported OS", static_texts(shown))
        self.assertEqual([c["text"] for c in shown["controls"] if c["class"].lower() == "button"], ["OK"])

    @winehost.case("unsupported_os_japanese")
    def test_unsupported_os_in_japanese(self):
        shown = self.show_notice("vista", locale="ja_JP.UTF-8")
        # The caption is the same in both languages; the text comes as code page 932 bytes.
        self.assertEqual(winehost.text(shown["title"], "cp932"), "Korvane")
        self.assertIn("サポート外のOSです。", static_texts(shown, "cp932"))
        self.assertIn("サポート外のOSです。".encode("cp932").hex(),
                      [c["textHex"] for c in shown["controls"]])

    @winehost.case("no_adapter_xp")
    def test_no_adapter_on_an_empty_xp_machine(self):
        shown = self.show_notice("winxp", machine=EMPTY_MACHINE)
        self.assertEqual(winehost.text(shown["title"]), "Korvane")
        self.assertIn("Adapter was not found", static_texts(shown))

    @winehost.case("guard_second_instance")
    def test_second_instance_ends_at_once_and_leaves_the_first_notice(self):
        with winehost.Prefix("vista") as prefix:
            first = prefix.start_korvane()
            notice = prefix.probe("none")
            self.assertTrue(notice["found"], "the first instance showed no notice")

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
