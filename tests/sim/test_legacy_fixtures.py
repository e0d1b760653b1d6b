"""korvane-sim on the Windows 98 and NT 4.0 machines built to sit on the walks' edges. The
same fixtures run under Wine (tests/wine/test_writes.py) must give the same lists and writes."""
import unittest

import simhost


def parameter_keys(report):
    """The parameter keys that got a NetworkAddress value, in order."""
    return [w["path"].rsplit("\\", 1)[-1] if "Class" in w["path"] else w["path"].split("\\")[3]
            for w in report["registry"]["writes"] if w["op"] == "set" and w["name"] == "NetworkAddress"]


class Windows98Edges(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.report = simhost.report("--os", "win98", "--machine", simhost.fixture("98-edges.reg"))

    def test_each_device_key_gives_at_most_its_first_driven_instance(self):
        # In device-key order: SUBSYS_0031 (confirmed by the entry naming its path, not by
        # the one named like its slot; no PROSetNdi), REV_0C (slot 1, not slot 2), DEV_2449
        # (its path inside a longer HardWareKey). SUBSYS_0032 is a device key without an
        # instance; REV_08's slot holds another maker's card; SUBSYS_0033 has an empty Driver.
        self.assertEqual(parameter_keys(self.report), ["0002", "0000", "0001"])
        self.assertEqual(self.report["shown"]["lists"], {
            "1004": ["Fenwick FastLink 100 (second function)", "Fenwick FastLink 100 Dual Port Adapter"],
            "1005": ["Fenwick GigaLink 1000 Server Adapter"]})

    def test_no_reset_and_nothing_left_open(self):
        names = {w["name"] for w in self.report["registry"]["writes"] if w["op"] == "set"}
        self.assertFalse(names & {"IpsecInlineReceiveEnabled", "ReduceSpeedOnPowerDown"})
        self.assertEqual(self.report["registry"]["keysLeftOpen"], 0)


class WindowsNt4Edges(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.report = simhost.report("--os", "nt40", "--machine", simhost.fixture("nt4-edges.reg"))

    def test_cards_in_enumeration_order_with_upper_cased_services(self):
        self.assertEqual(parameter_keys(self.report), ["E100B2", "E1000"])

    def test_a_card_without_title_is_listed_empty_not_under_the_card_before(self):
        self.assertEqual(self.report["shown"]["lists"], {
            "1004": ["[1] Fenwick FastLink 100 Ethernet Adapter", "[10] Fenwick GigaLink 1000 Server Adapter"],
            "1005": [""]})
        self.assertEqual(self.report["registry"]["keysLeftOpen"], 0)


if __name__ == "__main__":
    unittest.main()
