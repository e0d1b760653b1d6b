"""The six result dialogs of korvane.exe under Wine, read by the probe: title, font, window
style, every control's class, id, style bits, rectangle in dialog units and text, the list
entries against korvane-sim's on the same machine, the big icon and the focus."""
import json
import os
import subprocess
import tempfile
import unittest

import winehost

TABLES_FILE = os.path.join(winehost.SOURCE, "tests", "data", "dialogs.json")
FIXTURES = os.path.join(winehost.SOURCE, "tests", "sim", "fixtures")
ICON = os.path.join(winehost.SOURCE, "src", "ui", "korvane.ico")
SIM = os.environ.get("KORVANE_SIM", os.path.join(winehost.SOURCE, "build", "native", "korvane-sim"))

with open(TABLES_FILE, encoding="utf-8") as tables_file:
    TABLES = json.load(tables_file)

# Each template, and the machine and user language that end a run with it.
CASES = {
    139: (os.path.join(winehost.SOURCE, "machines", "sample-xp.reg"), "C.UTF-8", "0x0409"),
    140: (os.path.join(FIXTURES, "xp-all-set.reg"), "C.UTF-8", "0x0409"),
    136: (os.path.join(FIXTURES, "xp-none-set.reg"), "C.UTF-8", "0x0409"),
    132: (os.path.join(winehost.SOURCE, "machines", "sample-xp.reg"), "ja_JP.UTF-8", "0x0411"),
    133: (os.path.join(FIXTURES, "xp-all-set.reg"), "ja_JP.UTF-8", "0x0411"),
    131: (os.path.join(FIXTURES, "xp-none-set.reg"), "ja_JP.UTF-8", "0x0411"),
}


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


def sim_lists(machine, language):
    """The lists korvane-sim shows for the machine, by control id."""
    with tempfile.TemporaryDirectory() as runtime:
        result = subprocess.run([SIM, "--os", "winxp", "--lang", language, "--machine", machine, "--json"],
                                capture_output=True, timeout=60, stdin=subprocess.DEVNULL,
                                env=dict(os.environ, XDG_RUNTIME_DIR=runtime), check=True)
    shown = json.loads(result.stdout)["shown"]
    return shown["template"], {int(id): entries for id, entries in shown["lists"].items()}


class ResultDialogs(unittest.TestCase):
    CASE_PREFIX = "dialog_"  # the ctest case of test_X is dialog_X

    def check_template(self, template):
        machine, locale, language = CASES[template]
        table = TABLES["templates"][str(template)]
        codepage = "cp932" if locale.startswith("ja") else "cp1252"
        texts = TABLES["texts"][table["language"]]
        sim_template, expected_lists = sim_lists(machine, language)
        self.assertEqual(sim_template, template, "korvane-sim shows another dialog for this machine")

        with winehost.Prefix("winxp", locale) as prefix:
            prefix.import_reg(machine)
            run = prefix.start_korvane()
            shown = prefix.probe("none")
            self.assertTrue(shown["found"], run.stderr()[-2000:])
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

    def test_both_lists_english(self):
        self.check_template(139)

    def test_finished_list_english(self):
        self.check_template(140)

    def test_failed_list_english(self):
        self.check_template(136)

    def test_both_lists_japanese(self):
        self.check_template(132)

    def test_finished_list_japanese(self):
        self.check_template(133)

    def test_failed_list_japanese(self):
        self.check_template(131)


if __name__ == "__main__":
    unittest.main()
