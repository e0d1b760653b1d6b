"""korvane-sim end to end on the sample machines users start from (machines/)."""
import os
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
        folder = simhost.temporary_folder(self, "korvane-samples-")
        copy = simhost.write(folder, "machine.reg", simhost.read(machine("sample-xp-all-set.reg")))
        simhost.report("--machine", copy, "--save")
        again = simhost.report("--machine", copy)
        rerun = simhost.report("--machine", machine("sample-xp-rerun.reg"))
        self.assertEqual(again["registry"]["writes"], rerun["registry"]["writes"])
        self.assertEqual(again["shown"], rerun["shown"])

    def test_sample_98_on_each_windows_of_its_family(self):
        # 95 and 98/Me walk the same keys; the Config Manager's list confirms each adapter.
        for os_name in ("win95", "win98", "winme"):
            with self.subTest(os=os_name):
                r = simhost.report("--os", os_name, "--machine", machine("sample-98.reg"))
                self.assertEqual((r["outcome"], r["shown"]["template"]), (1, 139))
                self.assertEqual(r["shown"]["lists"]["1004"], ["Fenwick FastLink 100 Ethernet Adapter"])
                self.assertEqual(r["shown"]["lists"]["1005"], ["Fenwick FastLink 100 Dual Port Adapter"])
                # No resets on these families, even for a DEV_1229 adapter.
                self.assertEqual(sets(r), [("0000", "NetworkAddress")] + [("NetworkAddress", name) for name in
                                 ("", "Type", "Default", "Base", "ParamDesc", "UpperCase", "LimitText",
                                  "Optional")] + [("0001", "NetworkAddress")])
                self.assertEqual(r["registry"]["keysLeftOpen"], 0)

    def test_sample_98_without_its_config_manager_entries_has_no_adapter(self):
        # The same machine with an empty HKEY_DYN_DATA list: no adapter is present.
        text = simhost.read(machine("sample-98.reg")).split(b"[HKEY_DYN_DATA\\Config Manager\\Enum\\")[0]
        copy = simhost.write(simhost.temporary_folder(self, "korvane-samples-"), "machine.reg", text)
        r = simhost.report("--os", "win98", "--machine", copy)
        self.assertEqual(r["registry"]["writes"], [])
        self.assertEqual((r["shown"]["kind"], r["shown"]["text"]), ("notice", "Adapter was not found"))

    def test_sample_nt4_lists_cards_by_title_and_upper_cases_the_service(self):
        r = simhost.report("--os", "nt40", "--machine", machine("sample-nt4.reg"))
        self.assertEqual((r["outcome"], r["shown"]["template"]), (1, 139))
        self.assertEqual(r["shown"]["lists"]["1004"], ["[1] Fenwick FastLink 100 Ethernet Adapter"])
        self.assertEqual(r["shown"]["lists"]["1005"], ["[3] Fenwick GigaLink 1000 Server Adapter"])
        paths = {w["path"] for w in r["registry"]["writes"]}
        self.assertIn("SYSTEM\\CurrentControlSet\\Services\\E10003\\Parameters", paths)
        self.assertFalse(any("TR81001" in path.upper() for path in paths))
        self.assertEqual(len(sets(r)), 1 + 8 + 1)
        self.assertEqual(r["registry"]["keysLeftOpen"], 0)


if __name__ == "__main__":
    unittest.main()
