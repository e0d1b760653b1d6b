"""korvane.exe under Wine and korvane-sim on the same machine file: the same registry writes
in the same order with the same byte counts, the same dialog lists, and the same registry
afterwards; and the --changes file that korvane-sim writes, imported by Wine's regedit,
gives the registry that --save wrote."""
import os
import unittest

import machine_runs
import winehost

MACHINES = os.path.join(winehost.SOURCE, "machines")
FIXTURES = os.path.join(winehost.SOURCE, "tests", "sim", "fixtures")


class SameRunUnderWine(unittest.TestCase):
    CASE_PREFIX = "writes_"  # the ctest case of test_X is writes_X

    def compare(self, machine, version, os_name, language="0x0409", locale="C.UTF-8"):
        sim = machine_runs.SimRun(machine, os_name, language)
        self.addCleanup(sim.close)
        keys = sim.written_keys()
        self.assertTrue(keys, "korvane-sim wrote nothing on this machine")

        with winehost.Prefix(version, locale) as prefix:
            prefix.import_reg(machine)
            run = prefix.start_korvane(trace=True)
            shown = prefix.probe("ok")
            self.assertTrue(shown["found"], run.stderr()[-2000:])
            self.assertEqual(run.wait(), 0)
            self.assertEqual(machine_runs.trace_writes(run.registry_writes()), sim.writes())
            codepage = "cp932" if language == "0x0411" else "cp1252"
            lists = {c["id"]: [winehost.text(e, codepage) for e in c["entries"]]
                     for c in shown["controls"] if "entries" in c}
            self.assertEqual(lists, sim.lists())
            after_run = machine_runs.dump_keys(prefix, keys)

        with winehost.Prefix(version, locale) as prefix:
            prefix.import_reg(machine)
            prefix.import_reg(sim.changes)
            with_changes = machine_runs.dump_keys(prefix, keys)
        with winehost.Prefix(version, locale) as prefix:
            prefix.import_reg(sim.saved)
            saved = machine_runs.dump_keys(prefix, keys)

        for key in keys:
            with self.subTest(key=key):
                self.assertEqual(with_changes[key], saved[key], "--changes and --save disagree")
                self.assertEqual(machine_runs.without_text_terminator(after_run[key]),
                                 machine_runs.without_text_terminator(saved[key]),
                                 "korvane.exe left another registry than korvane-sim")

    def test_sample_xp_machine(self):
        self.compare(os.path.join(MACHINES, "sample-xp.reg"), "winxp", "winxp")

    def test_sample_xp_machine_on_windows_2000(self):
        self.compare(os.path.join(MACHINES, "sample-xp.reg"), "win2k", "win2k")

    def test_sample_xp_all_set_machine(self):
        self.compare(os.path.join(MACHINES, "sample-xp-all-set.reg"), "winxp", "winxp")

    def test_sample_xp_rerun_machine(self):
        # Its definitions are hex(1) texts: UTF-16 bytes, as they stand in a UTF-16 file.
        self.compare(os.path.join(MACHINES, "sample-xp-rerun.reg"), "winxp", "winxp")

    def test_xp_definition_to_complete(self):
        # One definition key holds two of its values: the six others are written, by byte count.
        self.compare(os.path.join(FIXTURES, "xp-all-set.reg"), "winxp", "winxp")

    def test_sample_98_machine_on_windows_98(self):
        self.compare(os.path.join(MACHINES, "sample-98.reg"), "win98", "win98")

    def test_sample_98_machine_on_windows_95(self):
        self.compare(os.path.join(MACHINES, "sample-98.reg"), "win95", "win95")

    def test_sample_nt4_machine(self):
        self.compare(os.path.join(MACHINES, "sample-nt4.reg"), "nt40", "nt40")

    def test_japanese_xp_machine(self):
        # Descriptions in code page 932, some with a backslash for a trail byte (ソ is 83 5C).
        self.compare(os.path.join(FIXTURES, "xp-japanese.reg"), "winxp", "winxp", "0x0411", "ja_JP.UTF-8")

    def test_japanese_98_machine(self):
        # REGEDIT4 in code page 932: a description ends in a trail byte 5C before its quote.
        self.compare(os.path.join(FIXTURES, "98-japanese.reg"), "win98", "win98", "0x0411", "ja_JP.UTF-8")

    def test_windows_98_edges(self):
        self.compare(os.path.join(FIXTURES, "98-edges.reg"), "win98", "win98")

    def test_windows_95_edges(self):
        self.compare(os.path.join(FIXTURES, "98-edges.reg"), "win95", "win95")

    def test_nt4_edges(self):
        self.compare(os.path.join(FIXTURES, "nt4-edges.reg"), "nt40", "nt40")


if __name__ == "__main__":
    unittest.main()
