"""korvane-sim end to end on the sample machines users start from (machines/), and on the
Windows 98 and NT 4.0 machines built to sit on the walks' edges. The edge fixtures run under
Wine (tests/wine/test_writes.py) must give the same lists and writes."""
import unittest

import simhost

DEFINITION = ("", "Type", "Default", "Base", "ParamDesc", "UpperCase", "LimitText", "Optional")
FASTLINK, GIGALINK = "Fenwick FastLink 100 Ethernet Adapter", "Fenwick GigaLink 1000 Server Adapter"


def sets(report):
    return [(w["path"].rsplit("\\", 1)[-1], w["name"]) for w in report["registry"]["writes"] if w["op"] == "set"]


def parameter_keys(report):
    """The parameter keys that got a NetworkAddress value, in order."""
    return [w["path"].rsplit("\\", 1)[-1] if "Class" in w["path"] else w["path"].split("\\")[3]
            for w in report["registry"]["writes"] if w["op"] == "set" and w["name"] == "NetworkAddress"]


# What each row names of a report.
SEEN = {
    "outcome": lambda r: r["outcome"],
    "template": lambda r: r["shown"]["template"],
    "lists": lambda r: r["shown"]["lists"],
    "sets": sets,
    "set count": lambda r: len(sets(r)),
    "resets": lambda r: {name for _, name in sets(r)} & {"IpsecInlineReceiveEnabled", "ReduceSpeedOnPowerDown"},
    "parameter keys": parameter_keys,
    "written keys": lambda r: sorted({w["path"] for w in r["registry"]["writes"]}),
    "created dispositions": lambda r: [w["disposition"] for w in r["registry"]["writes"] if w["op"] == "create"],
}
SAMPLE_98 = {"outcome": 1, "template": 139,
             "lists": {"1004": [FASTLINK], "1005": ["Fenwick FastLink 100 Dual Port Adapter"]},
             # No resets on these families, even for a DEV_1229 adapter.
             "sets": [("0000", "NetworkAddress")] + [("NetworkAddress", name) for name in DEFINITION]
             + [("0001", "NetworkAddress")]}

CASES = {
    "sample XP sets one and fails one": (
        ["--machine", simhost.machine("sample-xp.reg")],
        {"outcome": 1, "template": 139, "lists": {"1004": [FASTLINK], "1005": [GIGALINK]}}),
    # Two NetworkAddress values, one reset and two full definitions.
    "sample with every adapter set": (
        ["--machine", simhost.machine("sample-xp-all-set.reg")],
        {"outcome": 2, "template": 140, "lists": {"1004": [GIGALINK, FASTLINK]}, "set count": 2 + 1 + 2 * 8}),
    "rerun machine writes only the reset": (
        ["--machine", simhost.machine("sample-xp-rerun.reg")],
        {"outcome": 2, "template": 140, "sets": [("0000", "IpsecInlineReceiveEnabled")],
         "created dispositions": [2, 2]}),
    # 95 and 98/Me walk the same keys; the Config Manager's list confirms each adapter.
    **{f"sample 98 on {name}": (["--os", name, "--machine", simhost.machine("sample-98.reg")], SAMPLE_98)
       for name in ("win95", "win98", "winme")},
    # NT 4.0 lists cards by title and upper-cases the service (never the TR81001 of another maker).
    "sample NT 4.0": (
        ["--os", "nt40", "--machine", simhost.machine("sample-nt4.reg")],
        {"outcome": 1, "template": 139, "set count": 1 + 8 + 1,
         "lists": {"1004": ["[1] " + FASTLINK], "1005": ["[3] " + GIGALINK]},
         "written keys": [f"SYSTEM\\CurrentControlSet\\Services\\{key}" for key in (
             "E10003\\Parameters", "E100B1\\Parameters", "E100B1\\Parameters\\Ndi\\Params\\NetworkAddress")]}),
    # In device-key order: SUBSYS_0031 (confirmed by the entry naming its path, not by the one
    # named like its slot; no PROSetNdi), REV_0C (slot 1, not slot 2), DEV_2449 (its path inside
    # a longer HardWareKey). SUBSYS_0032 is a device key without an instance; REV_08's slot
    # holds another maker's card; SUBSYS_0033 has an empty Driver.
    "98 edges: each device key gives at most its first driven instance": (
        ["--os", "win98", "--machine", simhost.fixture("98-edges.reg")],
        {"parameter keys": ["0002", "0000", "0001"], "resets": set(), "lists": {
            "1004": ["Fenwick FastLink 100 (second function)", "Fenwick FastLink 100 Dual Port Adapter"],
            "1005": [GIGALINK]}}),
    # Cards in enumeration order with upper-cased services; one without a title is listed
    # empty, not under the card before it.
    "NT 4.0 edges": (
        ["--os", "nt40", "--machine", simhost.fixture("nt4-edges.reg")],
        {"parameter keys": ["E100B2", "E1000"],
         "lists": {"1004": ["[1] " + FASTLINK, "[10] " + GIGALINK], "1005": [""]}}),
    "a Japanese 98 machine's 8-bit text, read a character at a time": (
        ["--os", "win98", "--lang", "0x0411", "--machine", simhost.fixture("98-japanese.reg")],
        {"lists": {"1004": ["フェンウィック FastLink 100 イーサネット アダプタ"],
                   "1005": ["フェンウィック FastLink 100 デュアル ポート 代表"]}}),
}


class SampleMachines(unittest.TestCase):
    def test_each_machine_lists_and_writes_what_it_should(self):
        for name, (args, expected) in CASES.items():
            with self.subTest(name):
                report = simhost.report(*args)
                seen = {what: SEEN[what](report) for what in expected}
                self.assertEqual(seen, expected)
                self.assertEqual(report["registry"]["keysLeftOpen"], 0)

    def test_sample_98_without_its_config_manager_entries_has_no_adapter(self):
        # The same machine with an empty HKEY_DYN_DATA list: no adapter is present.
        text = simhost.read(simhost.machine("sample-98.reg")).split(b"[HKEY_DYN_DATA\\Config Manager\\Enum\\")[0]
        copy = simhost.write(simhost.temporary_folder(self, "korvane-samples-"), "machine.reg", text)
        r = simhost.report("--os", "win98", "--machine", copy)
        self.assertEqual(r["registry"]["writes"], [])
        self.assertEqual((r["shown"]["kind"], r["shown"]["text"]), ("notice", "Adapter was not found"))


if __name__ == "__main__":
    unittest.main()
