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


@winehost.table_cases
class SameRunUnderWine(unittest.TestCase):
    CASE_PREFIX = "writes_"  # the ctest case of test_X is writes_X

    def check(self, machine, version, os_name, language="0x0409", locale="C.UTF-8"):
        sim = machine_runs.SimRun(machine, os_name, language)
        self.addCleanup(sim.close)
        keys = sim.written_keys()
        self.assertTrue(keys, "korvane-sim wrote nothing on this machine")

        with winehost.Prefix(version, locale, [machine]) as prefix:
            run, shown = prefix.show("ok", trace=True)
            self.assertEqual(run.wait(), 0)
            self.assertEqual(run.registry_writes(), sim.writes())
            codepage = "cp932" if language == "0x0411" else "cp1252"
            lists = {c["id"]: [winehost.text(e, codepage) for e in c["entries"]]
                     for c in shown["controls"] if "entries" in c}
            self.assertEqual(lists, sim.lists())
            after_run = machine_runs.dump_keys(prefix, keys)

        def imported(*files):
            with winehost.Prefix(version, locale, files) as prefix:
                return machine_runs.dump_keys(prefix, keys)
        with_changes = imported(machine, sim.changes)
        saved = imported(sim.saved)

        for key in keys:
            with self.subTest(key=key):
                self.assertEqual(with_changes[key], saved[key], "--changes and --save disagree")
                self.assertEqual(machine_runs.without_text_terminator(after_run[key]),
                                 machine_runs.without_text_terminator(saved[key]),
                                 "korvane.exe left another registry than korvane-sim")

    # Each case: the machine, the Windows version of the prefix and of korvane-sim, and the
    # user language and locale where not English.
    CASES = {
        "sample_xp_machine": (os.path.join(MACHINES, "sample-xp.reg"), "winxp", "winxp"),
        "sample_xp_machine_on_windows_2000": (os.path.join(MACHINES, "sample-xp.reg"), "win2k", "win2k"),
        "sample_xp_all_set_machine": (os.path.join(MACHINES, "sample-xp-all-set.reg"), "winxp", "winxp"),
        # Its definitions are hex(1) texts: UTF-16 bytes, as they stand in a UTF-16 file.
        "sample_xp_rerun_machine": (os.path.join(MACHINES, "sample-xp-rerun.reg"), "winxp", "winxp"),
        # One definition key holds two of its values: the six others are written, by byte count.
        "xp_definition_to_complete": (os.path.join(FIXTURES, "xp-all-set.reg"), "winxp", "winxp"),
        "sample_98_machine_on_windows_98": (os.path.join(MACHINES, "sample-98.reg"), "win98", "win98"),
        "sample_98_machine_on_windows_95": (os.path.join(MACHINES, "sample-98.reg"), "win95", "win95"),
        "sample_nt4_machine": (os.path.join(MACHINES, "sample-nt4.reg"), "nt40", "nt40"),
        # Descriptions in code page 932, some with a backslash for a trail byte (ソ is 83 5C).
        "japanese_xp_machine": (os.path.join(FIXTURES, "xp-japanese.reg"), "winxp", "winxp", "0x0411", "ja_JP.UTF-8"),
        # REGEDIT4 in code page 932: a description ends in a trail byte 5C before its quote.
        "japanese_98_machine": (os.path.join(FIXTURES, "98-japanese.reg"), "win98", "win98", "0x0411", "ja_JP.UTF-8"),
        "windows_98_edges": (os.path.join(FIXTURES, "98-edges.reg"), "win98", "win98"),
        "windows_95_edges": (os.path.join(FIXTURES, "98-edges.reg"), "win95", "win95"),
        "nt4_edges": (os.path.join(FIXTURES, "nt4-edges.reg"), "nt40", "nt40"),
    }


if __name__ == "__main__":
    unittest.main()
