// Discovery on Windows 2000/XP: device keys under the PCI enumeration, instances confirmed by
// their Driver value and "Control" subkey.
#include <gtest/gtest.h>

#include <cstdio>

#include "app/adapter_table.h"
#include "app/platform_family.h"
#include "discovery/discover.h"
#include "support/utility_test.h"

namespace korvane::test {
namespace {

constexpr char kFastLink[] = "VEN_5AB1&DEV_1229&SUBSYS_30015AB1&REV_0C";
constexpr char kGigaLink[] = "VEN_5AB1&DEV_103B&SUBSYS_00215AB1&REV_81";
constexpr char kUnsupported[] = "VEN_7C3D&DEV_8100&SUBSYS_81007C3D&REV_10";

std::string Driver(int index) {
  char text[64];
  std::snprintf(text, sizeof text, "%s\\%04d", kNetClass, index);
  return text;
}

class XpDiscoveryTest : public UtilityTest {
 protected:
  void SetUp() override {
    UtilityTest::SetUp();
    UseFamily(5);
  }
};

TEST_F(XpDiscoveryTest, RecordsInstancesInDeviceKeyThenSlotOrder) {
  AddXpInstance(registry, kGigaLink, "4&2&0&10F0", Driver(3), "GigaLink");
  AddXpInstance(registry, kFastLink, "3&1&0&48", Driver(1), "FastLink B");
  AddXpInstance(registry, kFastLink, "3&1&0&40", Driver(0), "FastLink A");
  AddXpInstance(registry, kUnsupported, "4&1&0&28F0", Driver(2), "Unsupported");
  DiscoverAdapters();

  ASSERT_EQ(adapterCount, 3);
  // Device keys enumerate sorted: ..._DEV_103B before ..._DEV_1229.
  EXPECT_STREQ(adapterTable[0].description, "GigaLink");
  EXPECT_STREQ(adapterTable[1].description, "FastLink A");
  EXPECT_STREQ(adapterTable[2].description, "FastLink B");
  EXPECT_EQ(std::string(adapterTable[1].paramKeyPath.c_str()), std::string(kXpClass) + Driver(0));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(adapterTable[i].supported, 1);
    EXPECT_EQ(adapterTable[i].applied, 0);
  }
  // Both FastLink records carry the reset of their device key; GigaLink none.
  EXPECT_STREQ(adapterTable[1].ipsecResetName, "IpsecInlineReceiveEnabled");
  EXPECT_STREQ(adapterTable[2].ipsecResetName, "IpsecInlineReceiveEnabled");
  EXPECT_STREQ(adapterTable[0].ipsecResetName, "");
  EXPECT_EQ(adapterTable[3].supported, 0);
}

TEST_F(XpDiscoveryTest, ControlMustBeAmongTheFirstSixteenSubkeysAndSpelledExactly) {
  // Fifteen subkeys sort before "Control" ("A00".."A14"), so it is the sixteenth: found.
  AddXpInstance(registry, kFastLink, "slot0", Driver(0), "sixteenth");
  AddXpInstance(registry, kFastLink, "slot1", Driver(1), "seventeenth");
  AddXpInstance(registry, kFastLink, "slot2", Driver(2), "small letters", false);
  const std::string base = std::string(kXpEnum) + kFastLink + "\\";
  for (int i = 0; i < 15; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "A%02d", i);
    registry.Ensure(platform::kHkeyLocalMachine, base + "slot0\\" + name);
    registry.Ensure(platform::kHkeyLocalMachine, base + "slot1\\" + name);
  }
  registry.Ensure(platform::kHkeyLocalMachine, base + "slot1\\B00");  // pushes Control to 17th
  registry.Ensure(platform::kHkeyLocalMachine, base + "slot2\\control");
  DiscoverAdapters();
  ASSERT_EQ(adapterCount, 1);
  EXPECT_STREQ(adapterTable[0].description, "sixteenth");
}

TEST_F(XpDiscoveryTest, SlotsWithoutDriverOrControlYieldNothing) {
  AddXpInstance(registry, kFastLink, "empty-driver", "", "empty driver");
  // Backslashes alone name the class root itself, no driver key.
  AddXpInstance(registry, kFastLink, "backslash-driver", "\\\\\\", "backslashes for a driver");
  AddXpInstance(registry, kFastLink, "no-control", Driver(1), "no control", false);
  const std::string noDriver = std::string(kXpEnum) + kFastLink + "\\no-driver";
  registry.PutString(platform::kHkeyLocalMachine, noDriver, "DeviceDesc", "no driver");
  registry.Ensure(platform::kHkeyLocalMachine, noDriver + "\\Control");
  DiscoverAdapters();
  EXPECT_EQ(adapterCount, 0);
  EXPECT_EQ(adapterTable[0].description[0], '\0');  // nothing written into the next record
}

TEST_F(XpDiscoveryTest, MissingDeviceDescIsRecordedWithAnEmptyDescription) {
  AddXpInstance(registry, kFastLink, "3&1&0&40", Driver(0), "");
  DiscoverAdapters();
  ASSERT_EQ(adapterCount, 1);
  EXPECT_STREQ(adapterTable[0].description, "");
}

TEST_F(XpDiscoveryTest, OnlyTheFirstSixteenInstancesAreExamined) {
  for (int i = 0; i < 20; ++i) {
    char instance[8];
    std::snprintf(instance, sizeof instance, "I%02d", i);
    AddXpInstance(registry, kFastLink, instance, Driver(i), instance);
  }
  DiscoverAdapters();
  ASSERT_EQ(adapterCount, 16);
  EXPECT_STREQ(adapterTable[15].description, "I15");
}

TEST_F(XpDiscoveryTest, SlotsPastTheLastInstanceNeverExamineTheDeviceKeyItself) {
  // A device key that carries Driver and Control itself would be counted once per empty slot.
  const std::string device = std::string(kXpEnum) + kFastLink;
  registry.PutString(platform::kHkeyLocalMachine, device, "Driver", Driver(0));
  registry.PutString(platform::kHkeyLocalMachine, device, "DeviceDesc", "the device key");
  registry.Ensure(platform::kHkeyLocalMachine, device + "\\Control");
  DiscoverAdapters();
  EXPECT_EQ(adapterCount, 0);
}

TEST_F(XpDiscoveryTest, UnsupportedDeviceKeysAreNeverOpened) {
  AddXpInstance(registry, kUnsupported, "4&1&0&28F0", Driver(2), "Unsupported");
  registry.FailPaths("*DEV_8100*", 5);  // any access to it would fail and count as a fault
  DiscoverAdapters();
  EXPECT_EQ(adapterCount, 0);
  // enumRoot opened twice (index 0 and 1), enumerated twice, closed twice: nothing else.
  EXPECT_EQ(registry.Calls(), 6u);
}

TEST_F(XpDiscoveryTest, DeviceKeyThatCannotBeOpenedYieldsNothing) {
  AddXpInstance(registry, kFastLink, "3&1&0&40", Driver(0), "FastLink");
  AddXpInstance(registry, kGigaLink, "4&2&0&10F0", Driver(1), "GigaLink");
  registry.FailPaths("*DEV_103B*", 5);
  DiscoverAdapters();
  ASSERT_EQ(adapterCount, 1);
  EXPECT_STREQ(adapterTable[0].description, "FastLink");
}

}  // namespace
}  // namespace korvane::test
