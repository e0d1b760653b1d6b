"""Every registry call of a run failed in turn: the run still ends with a notice or a
dialog, leaves no key open, and writes nowhere but under the adapters' parameter keys."""
import os
import unittest

import simhost

# (machine, Windows version) pairs, one or more per platform family.
MACHINES = [(os.path.join(simhost.MACHINES, "sample-xp.reg"), "winxp"), (simhost.fixture("xp-all-set.reg"), "winxp"),
            (os.path.join(simhost.MACHINES, "sample-98.reg"), "win98"),
            (os.path.join(simhost.MACHINES, "sample-98.reg"), "win95"),
            (os.path.join(simhost.MACHINES, "sample-nt4.reg"), "nt40")]


def under(path, keys):
    return any(path.lower() == key.lower() or path.lower().startswith(key.lower() + "\\") for key in keys)


class FaultSweep(unittest.TestCase):
    def test_each_call_failed_in_turn(self):
        for machine, os_name in MACHINES:
            clean = simhost.report("--os", os_name, "--machine", machine)
            calls = clean["registry"]["calls"]
            self.assertGreater(calls, 10)
            allowed = {a["paramKeyPath"] for a in clean["adapters"]}
            for failing in range(1, calls + 2):
                with self.subTest(machine=os.path.basename(machine), os=os_name, call=failing):
                    report = simhost.report("--os", os_name, "--machine", machine, "--fail-call", str(failing))
                    self.assertIn(report["shown"]["kind"], ("dialog", "notice"))
                    self.assertEqual(report["registry"]["keysLeftOpen"], 0)
                    self.assertLessEqual(report["adapterCount"], clean["adapterCount"])
                    for write in report["registry"]["writes"]:
                        self.assertTrue(under(write["path"], allowed), write)
                    # A failure can only cost an adapter its setting (a failed read of its description
                    # lists it without one), never set another.
                    set_now = {a["paramKeyPath"] for a in report["adapters"] if a["applied"]}
                    set_before = {a["paramKeyPath"] for a in clean["adapters"] if a["applied"]}
                    self.assertLessEqual(set_now, set_before)


if __name__ == "__main__":
    unittest.main()
