// The identification rules, by row of their table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "discovery/identification.h"

namespace korvane {
namespace {

constexpr const char* kSubsystemTagsWith1229[] = {"5A3C7E21", "3E91B7D4", "C4D2A6F0", "72E5B9C3",
                                                  "A81F4D6E", "6B0E93F7", "D3C8172A", "9F47E2B5"};

TEST(DeviceKeyRule, Chip1229NeedsARevisionOrSubsystemQualifier) {
  EXPECT_TRUE(IsSupportedDeviceKey("VEN_5AB1&DEV_1229&SUBSYS_00000000&REV_08"));
  EXPECT_TRUE(IsSupportedDeviceKey("VEN_5AB1&DEV_1229&SUBSYS_00000000&REV_0C"));
  for (const char* tag : kSubsystemTagsWith1229) {
    const std::string name = std::string("VEN_5AB1&DEV_1229&SUBSYS_") + tag + "&REV_05";
    EXPECT_TRUE(IsSupportedDeviceKey(name.c_str())) << name;
    const std::string without = std::string("VEN_5AB1&DEV_1228&SUBSYS_") + tag + "&REV_05";
    EXPECT_FALSE(IsSupportedDeviceKey(without.c_str())) << without;
  }
  EXPECT_FALSE(IsSupportedDeviceKey("VEN_5AB1&DEV_1229&SUBSYS_00000000&REV_05"));
  // Qualifiers count anywhere in the name, before the chip tag too.
  EXPECT_TRUE(IsSupportedDeviceKey("REV_08DEV_1229"));
}

TEST(DeviceKeyRule, StandaloneTagsAcceptAnyVendorAndRevision) {
  EXPECT_TRUE(IsSupportedDeviceKey("VEN_0001&DEV_2449&SUBSYS_12345678&REV_01"));
  EXPECT_TRUE(IsSupportedDeviceKey("VEN_0001&DEV_103B"));
  EXPECT_TRUE(IsSupportedDeviceKey("VEN_0001&DEV_9999&SUBSYS_4C6A1DE8&REV_01"));
  // DEV_1229 without a qualifier is still supported through the stand-alone tags.
  EXPECT_TRUE(IsSupportedDeviceKey("DEV_1229&SUBSYS_4C6A1DE8&REV_01"));
  EXPECT_FALSE(IsSupportedDeviceKey("VEN_0001&DEV_2448&REV_0C"));
}

TEST(DeviceKeyRule, TokensAreCaseSensitiveAndTheEmptyNameIsRejected) {
  EXPECT_FALSE(IsSupportedDeviceKey("ven_5ab1&dev_1229&subsys_00000000&rev_08"));
  EXPECT_FALSE(IsSupportedDeviceKey("ven_5ab1&dev_2449"));
  EXPECT_FALSE(IsSupportedDeviceKey("ven_5ab1&dev_9999&subsys_4c6a1de8"));
  EXPECT_FALSE(IsSupportedDeviceKey(""));
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
  char lower[64] = "e100b";
  EXPECT_TRUE(IsSupportedServiceName(lower));
  EXPECT_STREQ(lower, "E100B");
  char mixed[64] = "Fw_e1000x2";
  EXPECT_TRUE(IsSupportedServiceName(mixed));
  EXPECT_STREQ(mixed, "FW_E1000X2");
  char other[64] = "tr8100";
  EXPECT_FALSE(IsSupportedServiceName(other));
  EXPECT_STREQ(other, "TR8100");
  char near[64] = "E100A";
  EXPECT_FALSE(IsSupportedServiceName(near));
  char empty[4] = "";
  EXPECT_FALSE(IsSupportedServiceName(empty));
}

}  // namespace
}  // namespace korvane
