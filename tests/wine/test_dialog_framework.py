"""The Win32 dialog framework under Wine, on a machine that ends with a result dialog: how
the dialog is placed and dressed, and that each way of dismissing it ends the run."""
import os
import unittest

import winehost

MACHINE = os.path.join(winehost.SOURCE, "machines", "sample-xp.reg")
ICON = os.path.join(winehost.SOURCE, "src", "ui", "korvane.ico")


class ResultDialog(unittest.TestCase):
    @winehost.case("dialog_placement")
    def test_dialog_is_centred_with_the_icon_and_the_focus_on_ok(self):
        with winehost.Prefix("winxp") as prefix:
            prefix.import_reg(MACHINE)
            run = prefix.start_korvane()
            shown = prefix.probe("none")
            self.assertTrue(shown["found"], run.stderr()[-2000:])
            x, y, width, height = shown["window"]
            screen_width, screen_height = shown["screen"]
            self.assertLessEqual(abs(2 * x + width - screen_width), 1, shown["window"])
            self.assertLessEqual(abs(2 * y + height - screen_height), 1, shown["window"])
            self.assertEqual(shown["focusId"], 1)
            icon = prefix.window_icon(winehost.text(shown["title"]))
            self.assertIn((32, 32), icon, "the window has no icon")
            self.assertTrue(winehost.same_image(icon[(32, 32)], winehost.icon_file_images(ICON)[(32, 32)]),
                            "the window shows another icon than group 102")
            prefix.probe("ok")
            self.assertEqual(run.wait(), 0)

    @winehost.case("dialog_dismissal")
    def test_enter_escape_and_the_close_box_each_end_the_run(self):
        with winehost.Prefix("winxp") as prefix:
            prefix.import_reg(MACHINE)
            for action in ("enter", "escape", "close"):
                with self.subTest(action=action):
                    run = prefix.start_korvane()
                    shown = prefix.probe(action)
                    self.assertTrue(shown["found"], run.stderr()[-2000:])
                    self.assertIsNotNone(shown["template"], "not one of korvane.exe's dialogs")
                    self.assertTrue(shown["dismissed"], f"the dialog stayed after {action}")
                    self.assertEqual(run.wait(), 0, f"korvane.exe did not end after {action}")


if __name__ == "__main__":
    unittest.main()
