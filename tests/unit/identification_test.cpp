// The identification rules, by row of their table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "discovery/identification.h"

namespace korvane {
namespace {

// Device key names as the machines carry them, written out: a chip tag alone is not enough for
// DEV_1229, which needs one of its revisions or subsystems; the stand-alone tags need nothing.
struct DeviceKeyCase {
  std::string name;
  bool supported;
};

TEST(DeviceKeyRule, AcceptsExactlyTheListedDevices) {
  std::vector<DeviceKeyCase> cases = {
      {"VEN_5AB1&DEV_1229&SUBSYS_00000000&REV_08", true}, {"VEN_5AB1&DEV_1229&SUBSYS_00000000&REV_0C", true},
      {"VEN_5AB1&DEV_1229&SUBSYS_9F47E2B6&REV_05", false}, {"VEN_5AB1&DEV_1229&SUBSYS_00000000&REV_05", false},
      {"REV_08DEV_1229", true},  // qualifiers count anywhere in the name, before the chip tag too
      {"VEN_0001&DEV_2449&SUBSYS_12345678&REV_01", true}, {"VEN_0001&DEV_103B", true},
      {"VEN_0001&DEV_9999&SUBSYS_4C6A1DE8&REV_01", true}, {"DEV_1229&SUBSYS_4C6A1DE8&REV_01", true},
      {"VEN_0001&DEV_2448&REV_0C", false},
      // Tokens are case-sensitive.
      {"ven_5ab1&dev_1229&subsys_00000000&rev_08", false}, {"ven_5ab1&dev_2449", false},
      {"ven_5ab1&dev_9999&subsys_4c6a1de8", false}, {"", false},
  };
  // Each subsystem that qualifies DEV_1229, and the same name on the chip beside it, which it does not.
  for (const char* subsystem : {"5A3C7E21", "3E91B7D4", "C4D2A6F0", "72E5B9C3", "A81F4D6E", "6B0E93F7", "D3C8172A",
                                "9F47E2B5"}) {
    cases.push_back({std::string("VEN_5AB1&DEV_1229&SUBSYS_") + subsystem + "&REV_05", true});
    cases.push_back({std::string("VEN_5AB1&DEV_1228&SUBSYS_") + subsystem + "&REV_05", false});
  }
  for (const DeviceKeyCase& c : cases) EXPECT_EQ(IsSupportedDeviceKey(c.name.c_str()), c.supported) << c.name;
}

struct ResetCase {
  const char* name;
  const char* ipsec;
  const char* powerDown;
};

class ResetNameRule : public ::testing::TestWithParam<ResetCase> {};

TEST_P(ResetNameRule, WritesOnlyTheFieldsWhoseConditionHolds) {
  AdapterRecord record;
  AssignResetNames(record, GetParam().name);
  EXPECT_STREQ(record.ipsecResetName, GetParam().ipsec);
  EXPECT_STREQ(record.powerDownResetName, GetParam().powerDown);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ResetNameRule,
    ::testing::Values(ResetCase{"VEN_5AB1&DEV_1229&SUBSYS_00000000&REV_08", "", ""},
                      ResetCase{"VEN_5AB1&DEV_1229&SUBSYS_00000000&REV_0C", "IpsecInlineReceiveEnabled", ""},
                      ResetCase{"VEN_5AB1&DEV_9999&SUBSYS_4C6A1DE8", "", "ReduceSpeedOnPowerDown"},
                      ResetCase{"VEN_5AB1&DEV_1229&SUBSYS_4C6A1DE8&REV_0C", "IpsecInlineReceiveEnabled",
                                "ReduceSpeedOnPowerDown"},
                      ResetCase{"VEN_5AB1&DEV_2449&REV_0C", "", ""},
                      ResetCase{"VEN_5AB1&DEV_103B&REV_0C", "", ""},
                      ResetCase{"ven_5ab1&dev_1229&rev_0c", "", ""}));

TEST(ResetNameRule, LeavesAFieldWhoseConditionFailsUntouched) {
  AdapterRecord record;
  std::strcpy(record.ipsecResetName, "kept");
  AssignResetNames(record, "VEN_5AB1&DEV_9999&SUBSYS_4C6A1DE8");
  EXPECT_STREQ(record.ipsecResetName, "kept");
}

TEST(ServiceNameRule, UpperCasesInPlaceAndAcceptsEitherDriverAnywhere) {
  const struct {
    const char* name;
    bool supported;
    const char* upperCased;
  } cases[] = {{"e100b", true, "E100B"},   {"Fw_e1000x2", true, "FW_E1000X2"}, {"tr8100", false, "TR8100"},
               {"E100A", false, "E100A"}, {"", false, ""}};
  for (const auto& c : cases) {
    // Exactly as long as the name, so that the sanitizer sees any read past its terminator.
    std::vector<char> name(c.name, c.name + std::strlen(c.name) + 1);
    EXPECT_EQ(IsSupportedServiceName(name.data()), c.supported) << c.name;
    EXPECT_STREQ(name.data(), c.upperCased);
  }
}

}  // namespace
}  // namespace korvane
