"""The single-instance guard of korvane.exe under Wine: two instances in one prefix."""
import unittest

import winehost


class Guard(unittest.TestCase):
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
