"""The six result dialogs of korvane.exe under Wine, read by the probe: title, font, window
style, every control's class, id, style bits, rectangle in dialog units and text, the list
entries against korvane-sim's on the same machine, the big icon and the focus; and the Win32
dialog framework on one of them: where the dialog is placed, and that each way of dismissing
it ends the run."""
import json
import os
import unittest

import machine_runs
import winehost

TABLES_FILE = os.path.join(winehost.SOURCE, "tests", "data", "dialogs.json")
FIXTURES = os.path.join(winehost.SOURCE, "tests", "sim", "fixtures")
ICON = os.path.join(winehost.SOURCE, "src", "ui", "korvane.ico")
SAMPLE_XP = os.path.join(winehost.SOURCE, "machines", "sample-xp.reg")

with open(TABLES_FILE, encoding="utf-8") as tables_file:
    TABLES = json.load(tables_file)


def bits(names):
    value = 0
    for name in names:
        value |= TABLES["styleBits"][name]
    return value


# Every style bit the tables speak of: each control must have exactly its own among them
# (no horizontal scroll bar on the lists, no tab stop but the button's).
ALL_BITS = bits(TABLES["styleBits"])
# A live list box drops WS_BORDER (it draws its own) and, while its entries fit, WS_VSCROLL:
# those two are checked in the template itself.
LIVE_BITS = ALL_BITS & ~bits(["WS_BORDER", "WS_VSCROLL"])
# The predefined classes as a template names them by ordinal.
CLASS_ORDINALS = {"#128": "button", "#131": "listbox", "#130": "static"}


@winehost.table_cases
class ResultDialogs(unittest.TestCase):
    CASE_PREFIX = "dialog_"  # the ctest case of test_X is dialog_X
    # Each template, and the machine and user language that end a run with it.
    CASES = {
        "both_lists_english": (139, SAMPLE_XP, "C.UTF-8", "0x0409"),
        "finished_list_english": (140, os.path.join(FIXTURES, "xp-all-set.reg"), "C.UTF-8", "0x0409"),
        "failed_list_english": (136, os.path.join(FIXTURES, "xp-none-set.reg"), "C.UTF-8", "0x0409"),
        "both_lists_japanese": (132, SAMPLE_XP, "ja_JP.UTF-8", "0x0411"),
        "finished_list_japanese": (133, os.path.join(FIXTURES, "xp-all-set.reg"), "ja_JP.UTF-8", "0x0411"),
        "failed_list_japanese": (131, os.path.join(FIXTURES, "xp-none-set.reg"), "ja_JP.UTF-8", "0x0411"),
    }

    def check(self, template, machine, locale, language):
        table = TABLES["templates"][str(template)]
        codepage = "cp932" if locale.startswith("ja") else "cp1252"
        texts = TABLES["texts"][table["language"]]
        sim = machine_runs.SimRun(machine, "winxp", language)
        self.addCleanup(sim.close)
        self.assertEqual(sim.report["shown"]["template"], template, "korvane-sim shows another dialog for this machine")
        expected_lists = sim.lists()

        with winehost.Prefix("winxp", locale, [machine]) as prefix:
            run, shown = prefix.show("none")
            self.assertEqual(shown["template"], template)
            self.assertEqual(winehost.text(shown["title"], codepage), TABLES["title"])
            self.assertEqual(winehost.text(shown["fontFace"], "utf-8"), TABLES["font"]["face"])
            self.assertEqual(shown["fontPoints"], TABLES["font"]["points"])
            dialog_bits = bits(TABLES["styles"]["dialog"])
            self.assertEqual(shown["style"] & dialog_bits, dialog_bits, hex(shown["style"]))
            self.assertEqual(shown["size"], [0, 0] + table["size"])
            self.assertEqual(shown["focusId"], 1, "the OK button has not the focus")

            self.check_resource(shown["resource"], table, texts)

            controls = shown["controls"]
            self.assertEqual(len(controls), len(table["controls"]))
            notices = []
            for order, (control, (kind, id, rect, role)) in enumerate(zip(controls, table["controls"]), 1):
                with self.subTest(template=template, order=order):
                    self.assertEqual(control["class"].lower(), kind.lower())
                    self.assertEqual(control["id"], id)
                    self.assertEqual(control["style"] & LIVE_BITS, bits(TABLES["styles"][kind]) & LIVE_BITS,
                                     hex(control["style"]))
                    self.assertEqual(control["rect"], rect)
                    text = winehost.text(control["text"], codepage)
                    if role == "notice":
                        notices.append(text)
                    elif role is not None:
                        self.assertEqual(text, texts[role])
                    if kind == "ListBox":
                        entries = [winehost.text(entry, codepage) for entry in control["entries"]]
                        self.assertEqual(entries, expected_lists.get(id, []), f"list {id}")
            self.assertEqual(len(notices), 1)
            self.assertIn("(C) 2026 Korvane", notices[0])

            icon = prefix.window_icon(winehost.text(shown["title"], codepage))
            self.assertIn((32, 32), icon, "the dialog has no big icon")
            self.assertTrue(winehost.same_image(icon[(32, 32)], winehost.icon_file_images(ICON)[(32, 32)]))

            self.assertTrue(prefix.probe("ok")["dismissed"])
            self.assertEqual(run.wait(), 0)

    def check_resource(self, resource, table, texts):
        """The template in korvane.exe, byte for byte as the dialog manager reads it."""
        self.assertIsNotNone(resource, "not a classic dialog template")
        utf8 = lambda field: winehost.text(field, "utf-8")
        self.assertEqual(resource["style"], bits(TABLES["styles"]["dialog"]), hex(resource["style"]))
        self.assertEqual(resource["exStyle"], 0)
        self.assertEqual(resource["rect"], [0, 0] + table["size"])
        self.assertEqual((utf8(resource["menu"]), utf8(resource["class"])), ("", ""))
        self.assertEqual(utf8(resource["title"]), TABLES["title"])
        self.assertEqual(resource["font"]["points"], TABLES["font"]["points"])
        self.assertEqual(utf8(resource["font"]["face"]), TABLES["font"]["face"])
        self.assertEqual(len(resource["controls"]), len(table["controls"]))
        for item, (kind, id, rect, role) in zip(resource["controls"], table["controls"]):
            name = utf8(item["class"])
            self.assertEqual(CLASS_ORDINALS.get(name, name.lower()), kind.lower())
            self.assertEqual(item["id"], id)
            self.assertEqual(item["style"], bits(TABLES["styles"][kind]), hex(item["style"]))
            self.assertEqual(item["exStyle"], 0)
            self.assertEqual(item["rect"], rect)
            if role not in (None, "notice"):
                self.assertEqual(utf8(item["text"]), texts[role])


class DialogFramework(unittest.TestCase):
    # The icon and the focus on OK of this same dialog are checked with its template above.
    @winehost.case("dialog_placement")
    def test_dialog_is_centred(self):
        with winehost.Prefix("winxp", machines=[SAMPLE_XP]) as prefix:
            run, shown = prefix.show("none")
            x, y, width, height = shown["window"]
            screen_width, screen_height = shown["screen"]
            self.assertLessEqual(abs(2 * x + width - screen_width), 1, shown["window"])
            self.assertLessEqual(abs(2 * y + height - screen_height), 1, shown["window"])
            prefix.probe("ok")
            self.assertEqual(run.wait(), 0)

    @winehost.case("dialog_dismissal")
    def test_enter_escape_and_the_close_box_each_end_the_run(self):
        with winehost.Prefix("winxp", machines=[SAMPLE_XP]) as prefix:
            for action in ("enter", "escape", "close"):
                with self.subTest(action=action):
                    run, shown = prefix.show(action)
                    self.assertIsNotNone(shown["template"], "not one of korvane.exe's dialogs")
                    self.assertTrue(shown["dismissed"], f"the dialog stayed after {action}")
                    self.assertEqual(run.wait(), 0, f"korvane.exe did not end after {action}")


if __name__ == "__main__":
    unittest.main()
