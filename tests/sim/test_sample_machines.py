"""korvane-sim end to end on the sample machines users start from (machines/)."""
import os
import shutil
import tempfile
import unittest

import simhost


def machine(name):
    return os.path.join(simhost.MACHINES, name)


def sets(report):
    return [(w["path"].rsplit("\\", 1)[-1], w["name"]) for w in report["registry"]["writes"] if w["op"] == "set"]


class SampleMachines(unittest.TestCase):
    def test_sample_xp_sets_one_and_fails_one(self):
        r = simhost.report("--machine", machine("sample-xp.reg"))
        self.assertEqual((r["outcome"], r["shown"]["template"]), (1, 139))
        self.assertEqual(r["shown"]["lists"]["1004"], ["Fenwick FastLink 100 Ethernet Adapter"])
        self.assertEqual(r["shown"]["lists"]["1005"], ["Fenwick GigaLink 1000 Server Adapter"])

    def test_sample_with_every_adapter_set(self):
        r = simhost.report("--machine", machine("sample-xp-all-set.reg"))
        self.assertEqual((r["outcome"], r["shown"]["template"]), (2, 140))
        self.assertEqual(sorted(r["shown"]["lists"]["1004"]),
                         ["Fenwick FastLink 100 Ethernet Adapter", "Fenwick GigaLink 1000 Server Adapter"])
        # Two NetworkAddress values, one reset and two full definitions.
        self.assertEqual(len(sets(r)), 2 + 1 + 2 * 8)

    def test_rerun_machine_writes_only_the_reset(self):
        r = simhost.report("--machine", machine("sample-xp-rerun.reg"))
        self.assertEqual((r["outcome"], r["shown"]["template"]), (2, 140))
        self.assertEqual(sets(r), [("0000", "IpsecInlineReceiveEnabled")])
        creates = [w for w in r["registry"]["writes"] if w["op"] == "create"]
        self.assertEqual([w["disposition"] for w in creates], [2, 2])

    def test_saved_run_of_the_all_set_sample_is_the_rerun_sample(self):
        # The rerun sample is what the all-set sample becomes: a second run on the saved file
        # writes what a run on the rerun sample writes.
        folder = tempfile.mkdtemp(prefix="korvane-samples-")
        try:
            copy = os.path.join(folder, "machine.reg")
            shutil.copyfile(machine("sample-xp-all-set.reg"), copy)
            simhost.report("--machine", copy, "--save")
            again = simhost.report("--machine", copy)
            rerun = simhost.report("--machine", machine("sample-xp-rerun.reg"))
            self.assertEqual(again["registry"]["writes"], rerun["registry"]["writes"])
            self.assertEqual(again["shown"], rerun["shown"])
        finally:
            shutil.rmtree(folder)


if __name__ == "__main__":
    unittest.main()
