"""Every registry call of a run failed in turn: the run still ends with a notice or a
dialog, leaves no key open, and writes nowhere but under the adapters' parameter keys."""
import os
import unittest

import simhost

MACHINES = [os.path.join(simhost.MACHINES, "sample-xp.reg"), simhost.fixture("xp-all-set.reg")]


def under(path, keys):
    return any(path.lower() == key.lower() or path.lower().startswith(key.lower() + "\\") for key in keys)


class FaultSweep(unittest.TestCase):
    def test_each_call_failed_in_turn(self):
        for machine in MACHINES:
            clean = simhost.report("--machine", machine)
            calls = clean["registry"]["calls"]
            self.assertGreater(calls, 10)
            allowed = {a["paramKeyPath"] for a in clean["adapters"]}
            for failing in range(1, calls + 2):
                with self.subTest(machine=os.path.basename(machine), call=failing):
                    report = simhost.report("--machine", machine, "--fail-call", str(failing))
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
