"""Every registry call of a run failed in turn: the run still ends with a notice or a
dialog, leaves no key open, writes nowhere but under the adapters' parameter keys, reports
no adapter set whose definition is not whole, and leaves a machine that the next run sets."""
import os
import shutil
import unittest

import simhost

# (machine, Windows version) pairs, one or more per platform family.
MACHINES = [(simhost.machine("sample-xp.reg"), "winxp"), (simhost.fixture("xp-all-set.reg"), "winxp"),
            (simhost.machine("sample-98.reg"), "win98"), (simhost.machine("sample-98.reg"), "win95"),
            (simhost.machine("sample-nt4.reg"), "nt40")]
DEFINITION = "\\Ndi\\Params\\NetworkAddress"
DEFINITION_VALUES = {"@", "type", "default", "base", "paramdesc", "uppercase", "limittext", "optional"}


def under(path, keys):
    return any(path.lower() == key.lower() or path.lower().startswith(key.lower() + "\\") for key in keys)


def saved_keys(path):
    """{key path in lower case, without its root: set of value names in lower case} of a
    machine file as korvane-sim saves it ("@" for a default value)."""
    data = simhost.read(path)
    text = data[2:].decode("utf-16-le") if data.startswith(b"\xff\xfe") else data.decode("latin-1")
    keys, current = {}, None
    for line in text.splitlines():
        if line.startswith("["):
            current = keys.setdefault(line[1:line.rindex("]")].split("\\", 1)[-1].lower(), set())
        elif current is not None and (line.startswith('"') or line.startswith("@")):
            current.add("@" if line.startswith("@") else line[1:line.index('"=')].lower())
    return keys


def set_adapters(report):
    return {a["paramKeyPath"] for a in report["adapters"] if a["applied"]}


class FaultSweep(unittest.TestCase):
    def test_each_call_failed_in_turn(self):
        copy = os.path.join(simhost.temporary_folder(self, "korvane-faults-"), "machine.reg")
        for machine, os_name in MACHINES:
            clean = simhost.report("--os", os_name, "--machine", machine)
            calls = clean["registry"]["calls"]
            self.assertGreater(calls, 10)
            allowed = {a["paramKeyPath"] for a in clean["adapters"]}
            for failing in range(1, calls + 2):
                with self.subTest(machine=os.path.basename(machine), os=os_name, call=failing):
                    shutil.copyfile(machine, copy)
                    report = simhost.report("--os", os_name, "--machine", copy, "--save", "--fail-call", str(failing))
                    self.assertIn(report["shown"]["kind"], ("dialog", "notice"))
                    self.assertEqual(report["registry"]["keysLeftOpen"], 0)
                    self.assertLessEqual(report["adapterCount"], clean["adapterCount"])
                    for write in report["registry"]["writes"]:
                        self.assertTrue(under(write["path"], allowed), write)
                    # A failure can only cost an adapter its setting (a failed read of its description
                    # lists it without one), never set another.
                    self.assertLessEqual(set_adapters(report), set_adapters(clean))
                    saved = saved_keys(copy)
                    for path in set_adapters(report):
                        self.assertEqual(saved.get((path + DEFINITION).lower()), DEFINITION_VALUES,
                                         f"{path} reported set without its whole definition")
                    if set_adapters(report) != set_adapters(clean):
                        rerun = simhost.report("--os", os_name, "--machine", copy)
                        self.assertEqual(set_adapters(rerun), set_adapters(clean), "the next run did not set them")


if __name__ == "__main__":
    unittest.main()
