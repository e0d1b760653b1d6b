// Discovery on Windows 95/98/Me (the PCI enumeration confirmed against the Config Manager
// entries under HKEY_DYN_DATA), on NT 4.0 (the installed network cards and their driver
// service names) and on 2000/XP (instances confirmed by their Driver value and "Control"
// subkey), the limits that every family's walk shares, and whole runs on the older families
// through provisioning to the result dialog.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/adapter_table.h"
#include "app/platform_family.h"
#include "app/run_sequence.h"
#include "discovery/discover.h"
#include "support/utility_test.h"

namespace korvane::test {
namespace {

using sim::WriteRecord;
using platform::kHkeyDynData;
using platform::kHkeyLocalMachine;
using platform::RegKey;

// Forwards every call to the in-memory registry and notes which keys were opened and which
// values were read from which key, so that a test can tell what the walk looked at.
class TracingRegistry final : public ForwardingRegistry {
 public:
  using ForwardingRegistry::ForwardingRegistry;

  std::vector<std::string> opens;    // "LM path" or "DD path", as passed, successful or not
  std::vector<std::string> queries;  // "LM path|value" for the key the handle was opened as

  std::int32_t OpenKey(RegKey key, const char* path, std::uint32_t access, RegKey* result) override {
    const std::string opened = PathOf(key) + (path == nullptr ? "" : path);
    opens.push_back(opened);
    const std::int32_t status = inner_.OpenKey(key, path, access, result);
    if (status == platform::kErrorSuccess) paths_[*result] = opened;
    return status;
  }
  std::int32_t QueryValue(RegKey key, const char* valueName, std::uint32_t* type, char* data,
                          std::uint32_t* dataSize) override {
    queries.push_back(PathOf(key) + "|" + (valueName == nullptr ? "" : valueName));
    return inner_.QueryValue(key, valueName, type, data, dataSize);
  }
  std::int32_t CloseKey(RegKey key) override {
    paths_.erase(key);
    return inner_.CloseKey(key);
  }

  std::size_t OpensOf(const std::string& path) const { return std::count(opens.begin(), opens.end(), path); }
  std::size_t OpensContaining(const std::string& text) const {
    return std::count_if(opens.begin(), opens.end(),
                         [&](const std::string& open) { return open.find(text) != std::string::npos; });
  }
  std::size_t QueriesOf(const std::string& valueName) const {
    return std::count_if(queries.begin(), queries.end(), [&](const std::string& query) {
      return query.size() > valueName.size() && query.compare(query.size() - valueName.size() - 1,
                                                              std::string::npos, "|" + valueName) == 0;
    });
  }

 private:
  std::string PathOf(RegKey key) const {
    if (key == kHkeyLocalMachine) return "LM ";
    if (key == kHkeyDynData) return "DD ";
    const auto found = paths_.find(key);
    return found == paths_.end() ? "<not open> " : found->second;
  }

  std::map<RegKey, std::string> paths_;
};

// The walk of one family, with the trace in front of the registry: a fixed family, or the
// family that is the test's parameter.
template <int kFamily, typename Param = int>
class WalkTest : public UtilityTest, public ::testing::WithParamInterface<Param> {
 protected:
  void SetUp() override {
    UtilityTest::SetUp();
    if constexpr (kFamily == 0) {
      UseFamily(this->GetParam());
    } else {
      UseFamily(kFamily);
    }
    platform::Install({&trace, &system, &windows});
  }

  TracingRegistry trace{registry};
};

// ---------------------------------------------------------------------------------------
// Families 1 and 2
// ---------------------------------------------------------------------------------------

constexpr char kEnum9x[] = "Enum\\PCI\\";
constexpr char kClass9x[] = "System\\CurrentControlSet\\Services\\Class\\";
constexpr char kConfigManager[] = "Config Manager\\Enum\\";

// Would carry both reset names on XP.
constexpr char kFastLink[] = "VEN_5AB1&DEV_1229&SUBSYS_4C6A1DE8&REV_0C";
constexpr char kGigaLink[] = "VEN_5AB1&DEV_103B&SUBSYS_00215AB1&REV_81";
constexpr char kSlotA[] = "BUS_00&DEV_0A&FUNC_00";
constexpr char kSlotB[] = "BUS_00&DEV_0B&FUNC_00";
constexpr char kSlotC[] = "BUS_00&DEV_0C&FUNC_00";

std::string LegacyFamilyName(const ::testing::TestParamInfo<int>& info) { return info.param == 1 ? "Win95" : "Win98"; }

std::string HardwarePath(const std::string& device, const std::string& slot) {
  return "PCI\\" + device + "\\" + slot;
}

class LegacyDiscoveryTest : public WalkTest<0> {
 protected:
  // An instance key under a device key; a null driver leaves the value out.
  void AddSlot(const std::string& device, const std::string& slot, const char* driver,
               const std::string& description) {
    const std::string path = std::string(kEnum9x) + device + "\\" + slot;
    registry.Ensure(kHkeyLocalMachine, path);
    if (driver != nullptr) registry.PutString(kHkeyLocalMachine, path, "Driver", driver);
    registry.PutString(kHkeyLocalMachine, path, "DeviceDesc", description);
  }
  // Driver and DeviceDesc on the device key itself, read when no instance has a Driver.
  void SetDeviceKeyValues(const std::string& device, const char* driver) {
    const std::string path = std::string(kEnum9x) + device;
    registry.PutString(kHkeyLocalMachine, path, "Driver", driver);
    registry.PutString(kHkeyLocalMachine, path, "DeviceDesc", "the device key itself");
  }
  // A Config Manager entry; a null hardware key leaves the value out.
  void AddEntry(const std::string& entry, const char* hardwareKey) {
    const std::string path = std::string(kConfigManager) + entry;
    registry.Ensure(kHkeyDynData, path);
    if (hardwareKey != nullptr) registry.PutString(kHkeyDynData, path, "HardWareKey", hardwareKey);
    registry.PutString(kHkeyDynData, path, "Status", "0000000A");
  }
  std::string EntryOpen(const std::string& entry) const { return std::string("DD ") + kConfigManager + entry; }
};

TEST_P(LegacyDiscoveryTest, FirstSlotWithADriverIsConfirmedByTheEntryThatNamesIt) {
  AddSlot(kFastLink, kSlotA, nullptr, "no driver value");
  AddSlot(kFastLink, kSlotB, "", "empty driver");
  // Backslashes alone collapse to the class root: no driver either.
  AddSlot(kFastLink, "BUS_00&DEV_0B&FUNC_01", "\\\\", "backslashes for a driver");
  AddSlot(kFastLink, kSlotC, "Net\\0002", "Fenwick FastLink 100");
  // The instance name stands after the device part of the hardware path. The entry's own
  // Driver and DeviceDesc are decoys: the record comes from the instance key alone.
  AddEntry("C1000000", HardwarePath(kFastLink, kSlotC).c_str());
  registry.PutString(kHkeyDynData, std::string(kConfigManager) + "C1000000", "Driver", "Net\\0009");
  registry.PutString(kHkeyDynData, std::string(kConfigManager) + "C1000000", "DeviceDesc", "from the entry");
  DiscoverAdapters();

  ASSERT_EQ(adapterCount, 1);
  const AdapterRecord& record = adapterTable[0];
  EXPECT_STREQ(record.description, "Fenwick FastLink 100");
  EXPECT_STREQ(record.paramKeyPath.c_str(), "System\\CurrentControlSet\\Services\\Class\\Net\\0002");
  EXPECT_EQ(record.supported, 1);
  EXPECT_EQ(record.applied, 0);
  // No reset names on these families, whatever the device key name holds.
  EXPECT_STREQ(record.ipsecResetName, "");
  EXPECT_STREQ(record.powerDownResetName, "");
  EXPECT_EQ(adapterTable[1].supported, 0);
  EXPECT_STREQ(adapterTable[1].description, "");
}

TEST_P(LegacyDiscoveryTest, SlotLoopStopsAtTheFirstSlotWithADriver) {
  // Both instances have a Driver and both are named by an entry: only the first counts, and
  // the device key yields a single record.
  AddSlot(kFastLink, kSlotA, "Net\\0000", "first");
  AddSlot(kFastLink, kSlotB, "Net\\0001", "second");
  AddEntry("C1000000", HardwarePath(kFastLink, kSlotB).c_str());
  AddEntry("C2000000", HardwarePath(kFastLink, kSlotA).c_str());
  DiscoverAdapters();

  ASSERT_EQ(adapterCount, 1);
  EXPECT_STREQ(adapterTable[0].description, "first");
  EXPECT_STREQ(adapterTable[0].paramKeyPath.c_str(), "System\\CurrentControlSet\\Services\\Class\\Net\\0000");
  EXPECT_EQ(trace.OpensContaining(kSlotB), 0u) << "the second slot was examined";
}

TEST_P(LegacyDiscoveryTest, FirstSlotWithADriverUnconfirmedYieldsNothingAndLaterSlotsAreNotTried) {
  AddSlot(kFastLink, kSlotA, "Net\\0000", "first");
  AddSlot(kFastLink, kSlotB, "Net\\0001", "second");
  AddEntry("C1000000", HardwarePath(kFastLink, kSlotB).c_str());
  DiscoverAdapters();
  EXPECT_EQ(adapterCount, 0);
}

TEST_P(LegacyDiscoveryTest, EntriesOfAnotherCardOrInOtherLettersDoNotConfirmAndThePassRunsThroughAll1024Indexes) {
  // The card was taken out: its key stays, and another maker's card now sits in its slot,
  // under the same bus location.
  AddSlot(kFastLink, kSlotA, "Net\\0000", "FastLink");
  AddEntry("C1000000", HardwarePath(kFastLink, kSlotB).c_str());
  AddEntry("C2000000", HardwarePath("VEN_7C3D&DEV_8100&SUBSYS_81007C3D&REV_10", kSlotA).c_str());
  AddEntry("C3000000", "ROOT\\*PNP0C01\\0000");
  // The search for the instance name is case-sensitive: the path in small letters does not confirm.
  AddEntry("C4000000", "PCI\\ven_5ab1&dev_1229&subsys_4c6a1de8&rev_0c\\bus_00&dev_0a&func_00");
  DiscoverAdapters();

  EXPECT_EQ(adapterCount, 0);
  EXPECT_EQ(trace.QueriesOf("HardWareKey"), 1024u);
  // Each index opens the root to list it, then the entry; past the last entry the name is
  // empty and the second open is the root again.
  EXPECT_EQ(trace.OpensOf(std::string("DD ") + kConfigManager), 1024u + 1020u);
  // The Driver of the instance is read by the slot loop only: no entry matched.
  EXPECT_EQ(trace.QueriesOf("Driver"), 1u);
  EXPECT_STREQ(adapterTable[0].description, "");
}

TEST_P(LegacyDiscoveryTest, EntryWithTheLowerIndexConfirmsAndTheOtherIsNeverReached) {
  AddSlot(kFastLink, kSlotA, "Net\\0000", "FastLink");
  AddEntry("A0000000", "ROOT\\*PNP0C01\\0000");
  AddEntry("C1000000", HardwarePath(kFastLink, kSlotA).c_str());
  AddEntry("C2000000", HardwarePath(kFastLink, kSlotA).c_str());
  DiscoverAdapters();

  ASSERT_EQ(adapterCount, 1);
  EXPECT_EQ(trace.OpensOf(EntryOpen("C1000000")), 1u);
  EXPECT_EQ(trace.OpensOf(EntryOpen("C2000000")), 0u);
  EXPECT_EQ(trace.QueriesOf("HardWareKey"), 2u);
}

TEST_P(LegacyDiscoveryTest, EntryWithoutAReadableHardWareKeyIsTestedOnItsOwnNameWhichHoldsNoPath) {
  // A key's name cannot hold the backslash of a device path: named after the slot, the entry
  // still does not confirm. A HardWareKey longer than the 1024-byte buffer fails to read
  // although its text holds the path, and the entry's name, which does not, is what gets
  // tested. The next entry, naming the path, confirms.
  AddSlot(kFastLink, kSlotA, "Net\\0000", "FastLink");
  AddEntry(std::string("A_") + kSlotA, nullptr);
  AddEntry("B0000000", (std::string(1100, 'X') + HardwarePath(kFastLink, kSlotA)).c_str());
  AddEntry("C1000000", HardwarePath(kFastLink, kSlotA).c_str());
  DiscoverAdapters();
  ASSERT_EQ(adapterCount, 1);
  EXPECT_STREQ(adapterTable[0].description, "FastLink");
  EXPECT_EQ(trace.QueriesOf("HardWareKey"), 3u);
}

// A device key none of whose instances has a Driver has nothing to confirm, even when the
// device key itself carries a Driver (the empty name past the last instance is no instance),
// and whatever the Config Manager list holds: no pass runs for it.
TEST_P(LegacyDiscoveryTest, DeviceKeyWithoutADrivenInstanceYieldsNothingAndRunsNoPass) {
  AddSlot(kGigaLink, kSlotA, nullptr, "instance without driver");
  SetDeviceKeyValues(kGigaLink, "Net\\0003");
  SetDeviceKeyValues(kFastLink, "Net\\0004");  // no instance key at all
  AddEntry("C1000000", "ROOT\\*PNP0C01\\0000");
  AddEntry("C2000000", HardwarePath(kGigaLink, "").c_str());
  DiscoverAdapters();

  EXPECT_EQ(adapterCount, 0);
  EXPECT_STREQ(adapterTable[0].paramKeyPath.c_str(), "");
  EXPECT_STREQ(adapterTable[0].description, "");
  EXPECT_EQ(trace.QueriesOf("HardWareKey"), 0u);
  EXPECT_EQ(trace.OpensOf(std::string("DD ") + kConfigManager), 0u);
  // Only the one instance's Driver was read, never the device keys' own.
  EXPECT_EQ(trace.QueriesOf("Driver"), 1u);
}

TEST_P(LegacyDiscoveryTest, EachSupportedDeviceKeyYieldsAtMostOneRecordInDeviceKeyOrder) {
  AddSlot(kGigaLink, kSlotA, "Net\\0001", "GigaLink");
  AddSlot(kFastLink, kSlotA, "Net\\0000", "FastLink");
  AddSlot("VEN_7C3D&DEV_8100&SUBSYS_81007C3D&REV_10", kSlotA, "Net\\0002", "unsupported");
  AddEntry("C1000000", HardwarePath(kFastLink, kSlotA).c_str());
  AddEntry("C2000000", HardwarePath(kGigaLink, kSlotA).c_str());
  AddEntry("C3000000", HardwarePath("VEN_7C3D&DEV_8100&SUBSYS_81007C3D&REV_10", kSlotA).c_str());
  DiscoverAdapters();

  ASSERT_EQ(adapterCount, 2);
  EXPECT_STREQ(adapterTable[0].description, "GigaLink");  // ..._DEV_103B sorts before ..._DEV_1229
  EXPECT_STREQ(adapterTable[1].description, "FastLink");
  EXPECT_EQ(trace.OpensContaining("DEV_8100"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Families, LegacyDiscoveryTest, ::testing::Values(1, 2), LegacyFamilyName);

// ---------------------------------------------------------------------------------------
// Family 4
// ---------------------------------------------------------------------------------------

constexpr char kCards[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\\";
constexpr char kServices[] = "SYSTEM\\CurrentControlSet\\Services\\";

// Network cards in enumeration order (a null service name or title leaves that value out),
// and what the table holds afterwards: a record per accepted card, its service name upper-cased
// in the path, then the scratch record, which holds the title of the last card rejected after
// them and stays unsupported. A card without a service name is opened once, its title never read.
struct NtCardsCase {
  const char* label;
  std::vector<std::pair<const char*, const char*>> cards;           // service name, title
  std::vector<std::pair<std::string, std::string>> records;         // description, service
  const char* scratch;
  std::size_t titleQueries;
};

void PrintTo(const NtCardsCase& row, std::ostream* out) { *out << row.label; }

using NtDiscoveryTest = WalkTest<4, NtCardsCase>;

TEST_P(NtDiscoveryTest, RecordsTheAcceptedCardsInOrderThenTheScratchRecord) {
  const NtCardsCase& row = GetParam();
  for (std::size_t i = 0; i < row.cards.size(); ++i) {
    const std::string path = kCards + std::to_string(i + 1);
    registry.PutString(kHkeyLocalMachine, path, "Manufacturer", "Fenwick");
    if (row.cards[i].first != nullptr) registry.PutString(kHkeyLocalMachine, path, "ServiceName", row.cards[i].first);
    if (row.cards[i].second != nullptr) registry.PutString(kHkeyLocalMachine, path, "Title", row.cards[i].second);
  }
  DiscoverAdapters();

  ASSERT_EQ(adapterCount, static_cast<int>(row.records.size()));
  for (std::size_t i = 0; i < row.records.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(adapterTable[i].description, row.records[i].first);
    EXPECT_EQ(std::string(adapterTable[i].paramKeyPath.c_str()),
              std::string(kServices) + row.records[i].second + "\\Parameters");
    EXPECT_EQ(adapterTable[i].supported, 1);
    EXPECT_EQ(adapterTable[i].applied, 0);
    EXPECT_STREQ(adapterTable[i].ipsecResetName, "");
    EXPECT_STREQ(adapterTable[i].powerDownResetName, "");
  }
  const AdapterRecord& scratch = adapterTable[adapterCount];
  EXPECT_STREQ(scratch.description, row.scratch);
  EXPECT_EQ(scratch.supported, 0);
  EXPECT_STREQ(scratch.paramKeyPath.c_str(), "");
  EXPECT_EQ(cursor, static_cast<int>(row.cards.size()));  // the enumeration failed past the last card
  for (std::size_t i = 0; i < row.cards.size(); ++i) {
    if (row.cards[i].first == nullptr) {
      EXPECT_EQ(trace.OpensOf(std::string("LM ") + kCards + std::to_string(i + 1)), 1u);
    }
  }
  EXPECT_EQ(trace.QueriesOf("Title"), row.titleQueries);
}

INSTANTIATE_TEST_SUITE_P(
    Cards, NtDiscoveryTest,
    ::testing::Values(
        NtCardsCase{"AcceptedRejectedAccepted",
                    {{"E100B", "[1] Fenwick FastLink 100"}, {"Tr8100", "[2] Tarrow TR-8100"},
                     {"E1000", "[3] Fenwick GigaLink 1000"}},
                    {{"[1] Fenwick FastLink 100", "E100B"}, {"[3] Fenwick GigaLink 1000", "E1000"}},
                    "",
                    3},
        NtCardsCase{"ServiceNamesInAnyCase",
                    {{"e100bnt", "small letters"}, {"fwE1000x", "mixed, driver name inside"},
                     {"e100", "neither driver name"}, {"E10B00", "neither either"}},
                    {{"small letters", "E100BNT"}, {"mixed, driver name inside", "FWE1000X"}},
                    "neither either",
                    4},
        NtCardsCase{"CardWithoutServiceNameIsSkipped", {{nullptr, "no service"}, {"E1000", "GigaLink"}},
                    {{"GigaLink", "E1000"}}, "", 1},
        // The rejected card's title lands in the next free record; the accepted card after it,
        // which has no title, must not be listed under it.
        NtCardsCase{"AcceptedCardWithoutTitle", {{"Tr8100", "Tarrow TR-8100"}, {"E100B", nullptr}},
                    {{"", "E100B"}}, "", 2}),
    [](const ::testing::TestParamInfo<NtCardsCase>& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------------------
// Family 5
// ---------------------------------------------------------------------------------------

constexpr char kXpFastLink[] = "VEN_5AB1&DEV_1229&SUBSYS_30015AB1&REV_0C";
constexpr char kUnsupported[] = "VEN_7C3D&DEV_8100&SUBSYS_81007C3D&REV_10";

std::string Driver(int index) {
  char text[64];
  std::snprintf(text, sizeof text, "%s\\%04d", kNetClass, index);
  return text;
}

using XpDiscoveryTest = WalkTest<5>;

TEST_F(XpDiscoveryTest, RecordsInstancesInDeviceKeyThenSlotOrder) {
  AddXpInstance(registry, kGigaLink, "4&2&0&10F0", Driver(3), "GigaLink");
  AddXpInstance(registry, kXpFastLink, "3&1&0&48", Driver(1), "FastLink B");
  AddXpInstance(registry, kXpFastLink, "3&1&0&40", Driver(0), "FastLink A");
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
  AddXpInstance(registry, kXpFastLink, "slot0", Driver(0), "sixteenth");
  AddXpInstance(registry, kXpFastLink, "slot1", Driver(1), "seventeenth");
  AddXpInstance(registry, kXpFastLink, "slot2", Driver(2), "small letters", false);
  const std::string base = std::string(kXpEnum) + kXpFastLink + "\\";
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

// Neither does the device key itself in the slots past its last instance: carrying Driver and
// Control, it would be counted once per empty slot.
TEST_F(XpDiscoveryTest, SlotsWithoutDriverOrControlYieldNothing) {
  const std::string device = std::string(kXpEnum) + kXpFastLink;
  registry.PutString(platform::kHkeyLocalMachine, device, "Driver", Driver(0));
  registry.PutString(platform::kHkeyLocalMachine, device, "DeviceDesc", "the device key");
  registry.Ensure(platform::kHkeyLocalMachine, device + "\\Control");
  AddXpInstance(registry, kXpFastLink, "empty-driver", "", "empty driver");
  // Backslashes alone name the class root itself, no driver key.
  AddXpInstance(registry, kXpFastLink, "backslash-driver", "\\\\\\", "backslashes for a driver");
  AddXpInstance(registry, kXpFastLink, "no-control", Driver(1), "no control", false);
  const std::string noDriver = std::string(kXpEnum) + kXpFastLink + "\\no-driver";
  registry.PutString(platform::kHkeyLocalMachine, noDriver, "DeviceDesc", "no driver");
  registry.Ensure(platform::kHkeyLocalMachine, noDriver + "\\Control");
  DiscoverAdapters();
  EXPECT_EQ(adapterCount, 0);
  EXPECT_EQ(adapterTable[0].description[0], '\0');  // nothing written into the next record
}

TEST_F(XpDiscoveryTest, MissingDeviceDescIsRecordedWithAnEmptyDescription) {
  AddXpInstance(registry, kXpFastLink, "3&1&0&40", Driver(0), "");
  DiscoverAdapters();
  ASSERT_EQ(adapterCount, 1);
  EXPECT_STREQ(adapterTable[0].description, "");
}

TEST_F(XpDiscoveryTest, OnlyTheFirstSixteenInstancesAreExamined) {
  for (int i = 0; i < 20; ++i) {
    char instance[8];
    std::snprintf(instance, sizeof instance, "I%02d", i);
    AddXpInstance(registry, kXpFastLink, instance, Driver(i), instance);
  }
  DiscoverAdapters();
  ASSERT_EQ(adapterCount, 16);
  EXPECT_STREQ(adapterTable[15].description, "I15");
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
  AddXpInstance(registry, kXpFastLink, "3&1&0&40", Driver(0), "FastLink");
  AddXpInstance(registry, kGigaLink, "4&2&0&10F0", Driver(1), "GigaLink");
  registry.FailPaths("*DEV_103B*", 5);
  DiscoverAdapters();
  ASSERT_EQ(adapterCount, 1);
  EXPECT_STREQ(adapterTable[0].description, "FastLink");
}

// ---------------------------------------------------------------------------------------
// The limits every family's walk shares: 1,024 enumeration indexes, 100 records
// ---------------------------------------------------------------------------------------

std::string Numbered(const char* format, int i) {
  char text[96];
  std::snprintf(text, sizeof text, format, i);
  return text;
}

class WalkLimitsTest : public WalkTest<0> {
 protected:
  bool Nt() const { return GetParam() == 4; }
  bool Xp() const { return GetParam() == 5; }
  std::string Root() const { return Nt() ? kCards : Xp() ? kXpEnum : kEnum9x; }
  // The ith key the walk enumerates: its number comes first, so keys enumerate in that order.
  std::string KeyName(int i, bool supported) const {
    return Numbered(Nt() ? "%04d" : supported ? "%04d&VEN_5AB1&DEV_103B" : "%04d&VEN_5AB1&DEV_0001", i);
  }
  // The ith adapter, described by its number, with everything its family confirms it by.
  void Add(int i, bool supported) {
    const std::string name = KeyName(i, supported), number = Numbered("%04d", i);
    if (Nt()) {
      registry.PutString(kHkeyLocalMachine, kCards + name, "ServiceName", supported ? "E1000" : "Tr8100");
      registry.PutString(kHkeyLocalMachine, kCards + name, "Title", number);
    } else if (!supported) {
      registry.Ensure(kHkeyLocalMachine, Root() + name);
    } else if (Xp()) {
      AddXpInstance(registry, name, "I00", std::string(kNetClass) + "\\" + number, number);
    } else {
      const std::string slot = std::string(kEnum9x) + name + "\\" + kSlotA;
      registry.PutString(kHkeyLocalMachine, slot, "Driver", "Net\\" + number);
      registry.PutString(kHkeyLocalMachine, slot, "DeviceDesc", number);
      registry.PutString(kHkeyDynData, kConfigManager + Numbered("C%07d", i), "HardWareKey", HardwarePath(name, kSlotA));
    }
  }
  std::string ParamKeyPath(int i) const {
    return Nt()   ? std::string(kServices) + "E1000\\Parameters"
           : Xp() ? std::string(kXpClass) + kNetClass + Numbered("\\%04d", i)
                  : std::string(kClass9x) + Numbered("Net\\%04d", i);
  }
};

TEST_P(WalkLimitsTest, AFullTableEndsTheWalkBeforeAnyFurtherKey) {
  for (int i = 0; i < 105; ++i) Add(i, true);
  DiscoverAdapters();
  EXPECT_EQ(adapterCount, kTableSize);
  EXPECT_EQ(cursor, kTableSize);
  EXPECT_STREQ(adapterTable[99].description, "0099");
  EXPECT_EQ(std::string(adapterTable[99].paramKeyPath.c_str()), ParamKeyPath(99));
  EXPECT_EQ(trace.QueriesOf(Nt() ? "Title" : "DeviceDesc"), 100u);
  EXPECT_EQ(trace.OpensContaining(KeyName(100, true)), 0u);
}

TEST_P(WalkLimitsTest, VisitsNoMoreThan1024Keys) {
  // Supported from the 1,024th key on: only that one is visited.
  for (int i = 0; i < 1030; ++i) Add(i, i >= 1023);
  DiscoverAdapters();
  EXPECT_EQ(cursor, 1024);
  ASSERT_EQ(adapterCount, 1);
  EXPECT_STREQ(adapterTable[0].description, "1023");
}

TEST_P(WalkLimitsTest, EmptyOrMissingRootEndsAtIndexZero) {
  for (bool present : {false, true}) {
    if (present) registry.Ensure(kHkeyLocalMachine, Root());
    DiscoverAdapters();
    EXPECT_EQ(adapterCount, 0) << present;
    EXPECT_EQ(cursor, 0) << present;
  }
}

INSTANTIATE_TEST_SUITE_P(Families, WalkLimitsTest, ::testing::Values(1, 2, 4, 5),
                         [](const ::testing::TestParamInfo<int>& info) { return "Family" + std::to_string(info.param); });

// ---------------------------------------------------------------------------------------
// Whole runs: discovery, provisioning and the dialog on each of these families
// ---------------------------------------------------------------------------------------

class LegacyRunTest : public LegacyDiscoveryTest {};

TEST_P(LegacyRunTest, OneAdapterIsSetWithNetworkAddressAndDefinitionButNoResets) {
  AddSlot(kFastLink, kSlotA, "Net\\0000", "Fenwick FastLink 100");
  AddEntry("C1000000", HardwarePath(kFastLink, kSlotA).c_str());
  const std::string driverKey = std::string(kClass9x) + "Net\\0000";
  registry.PutString(kHkeyLocalMachine, driverKey, "IpsecInlineReceiveEnabled", "1");
  registry.Ensure(kHkeyLocalMachine, driverKey + "\\PROSetNdi\\Params");

  EXPECT_FALSE(theApp.InitInstance());

  EXPECT_EQ(Outcome, 2);
  ASSERT_EQ(windows.templatesRun, std::vector<unsigned>{140});
  EXPECT_EQ(windows.lists[1004], std::vector<std::string>{"Fenwick FastLink 100"});
  EXPECT_EQ(SetsIn(driverKey), std::vector<std::string>{"NetworkAddress=0/1"});
  const std::string definition = driverKey + "\\Ndi\\Params\\NetworkAddress";
  EXPECT_EQ(SetsIn(definition), kDefinitionSets);
  ASSERT_EQ(registry.Writes().size(), 1u + 1u + 8u);
  EXPECT_EQ(registry.Writes()[1].op, WriteRecord::Op::kCreate);
  EXPECT_EQ(registry.Writes()[1].path, definition);
  EXPECT_EQ(registry.Writes()[1].disposition, 1u);
  for (const WriteRecord& write : registry.Writes()) EXPECT_EQ(write.root, kHkeyLocalMachine);
  EXPECT_EQ(ValueBytes(registry, kHkeyLocalMachine, driverKey, "IpsecInlineReceiveEnabled"), std::string("1", 2));
}

INSTANTIATE_TEST_SUITE_P(Families, LegacyRunTest, ::testing::Values(1, 2), LegacyFamilyName);

TEST_F(UtilityTest, Nt4RunSetsTheServiceParametersKeyAndReportsBothLists) {
  UseFamily(4);
  const std::string cards = kCards;
  registry.PutString(kHkeyLocalMachine, cards + "1", "ServiceName", "e100b");
  registry.PutString(kHkeyLocalMachine, cards + "1", "Title", "[1] Fenwick FastLink 100");
  registry.PutString(kHkeyLocalMachine, cards + "2", "ServiceName", "E1000");
  registry.PutString(kHkeyLocalMachine, cards + "2", "Title", "[2] Fenwick GigaLink 1000");
  const std::string fastLink = std::string(kServices) + "E100B\\Parameters";
  registry.PutString(kHkeyLocalMachine, fastLink, "NetworkAddress", "02AABBCCDDEE");
  registry.Ensure(kHkeyLocalMachine, fastLink + "\\PROSetNdi\\Params");
  // E1000 has a Parameters key but no PROSetNdi\Params: it fails.
  const std::string gigaLink = std::string(kServices) + "E1000\\Parameters";
  registry.Ensure(kHkeyLocalMachine, gigaLink);

  EXPECT_FALSE(theApp.InitInstance());

  EXPECT_EQ(Outcome, 1);
  ASSERT_EQ(windows.templatesRun, std::vector<unsigned>{139});
  EXPECT_EQ(windows.lists[1004], std::vector<std::string>{"[1] Fenwick FastLink 100"});
  EXPECT_EQ(windows.lists[1005], std::vector<std::string>{"[2] Fenwick GigaLink 1000"});
  EXPECT_EQ(SetsIn(fastLink), std::vector<std::string>{});  // its NetworkAddress stays
  EXPECT_EQ(SetsIn(fastLink + "\\Ndi\\Params\\NetworkAddress"), kDefinitionSets);
  EXPECT_EQ(SetsIn(gigaLink), std::vector<std::string>{"NetworkAddress=0/1"});
  EXPECT_EQ(registry.Find(kHkeyLocalMachine, gigaLink + "\\Ndi"), nullptr);
  EXPECT_EQ(registry.Writes().size(), 1u + 8u + 1u);
  EXPECT_EQ(ValueBytes(registry, kHkeyLocalMachine, fastLink, "NetworkAddress"), std::string("02AABBCCDDEE", 13));
}

}  // namespace
}  // namespace korvane::test
