"""The registry contract tests, built for Windows, on Wine's registry."""
import re
import unittest

import winehost


class RegistryContractUnderWine(unittest.TestCase):
    @winehost.case("registry_contract")
    def test_every_contract_test_passes(self):
        with winehost.Prefix("winxp") as prefix:
            run = prefix.start(winehost.CONTRACT_EXE, "--gtest_color=no")
            code = run.wait(timeout=120)
            output = run.stdout()
        self.assertEqual(code, 0, output[-4000:])
        passed = re.search(r"\[  PASSED  \] (\d+) tests?", output)
        self.assertIsNotNone(passed, output[-4000:])
        self.assertGreater(int(passed.group(1)), 0, "no contract test ran")


if __name__ == "__main__":
    unittest.main()
