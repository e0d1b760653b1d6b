// Provisioning: the NetworkAddress value, the resets of family 5 and the parameter
// definition, with the exact bytes and order of every write.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/adapter_table.h"
#include "app/platform_family.h"
#include "provision/provision.h"
#include "support/utility_test.h"

namespace korvane::test {
namespace {

using platform::kHkeyLocalMachine;
using sim::WriteRecord;

constexpr char kDriverPath[] = "System\\CurrentControlSet\\Control\\Class\\{4D36E972}\\0000";
const std::string kDefinition = std::string(kDriverPath) + "\\Ndi\\Params\\NetworkAddress";

// The in-memory registry, with one value name whose writes fail, or whose queries fail with a
// given status, and, when asked, every delete failing too.
class RefusingRegistry final : public ForwardingRegistry {
 public:
  RefusingRegistry(sim::MemoryRegistry& inner, std::string refusedValue, bool refuseDelete,
                   std::int32_t queryStatus = platform::kErrorSuccess)
      : ForwardingRegistry(inner),
        refusedValue_(std::move(refusedValue)),
        refuseDelete_(refuseDelete),
        queryStatus_(queryStatus) {}

  std::int32_t QueryValue(platform::RegKey key, const char* name, std::uint32_t* type, char* data,
                          std::uint32_t* size) override {
    if (queryStatus_ != platform::kErrorSuccess && (name == nullptr ? "" : name) == refusedValue_)
      return queryStatus_;
    return inner_.QueryValue(key, name, type, data, size);
  }
  std::int32_t SetValue(platform::RegKey key, const char* name, std::uint32_t type, const void* data,
                        std::uint32_t size) override {
    if (queryStatus_ == platform::kErrorSuccess && (name == nullptr ? "" : name) == refusedValue_)
      return 31;  // ERROR_GEN_FAILURE
    return inner_.SetValue(key, name, type, data, size);
  }
  std::int32_t DeleteKey(platform::RegKey key, const char* path) override {
    return refuseDelete_ ? platform::kErrorAccessDenied : inner_.DeleteKey(key, path);
  }

 private:
  std::string refusedValue_;
  bool refuseDelete_;
  std::int32_t queryStatus_;
};

class ProvisionTest : public UtilityTest {
 protected:
  void SetUp() override {
    UtilityTest::SetUp();
    UseFamily(5);
  }
  AdapterRecord& Add(const std::string& path) {
    AdapterRecord& record = adapterTable[adapterCount++];
    record.supported = 1;
    record.paramKeyPath = path.c_str();
    return record;
  }
  // The adapter of kDriverPath, its driver with PROSetNdi\Params (which takes the definition) or without.
  AdapterRecord& AddDriver(bool withDriverParams = true) {
    registry.Ensure(kHkeyLocalMachine, std::string(kDriverPath) + (withDriverParams ? "\\PROSetNdi\\Params" : ""));
    return Add(kDriverPath);
  }
  // One provisioning pass on the registry that refuses as asked; the plain one is back afterwards.
  void ProvisionRefusing(const std::string& value, bool refuseDelete = false,
                         std::int32_t queryStatus = platform::kErrorSuccess) {
    RefusingRegistry refusing(registry, value, refuseDelete, queryStatus);
    platform::Install({&refusing, &system, &windows});
    ProvisionAdapters();
    platform::Install({&registry, &system, &windows});
  }
};

TEST_F(ProvisionTest, NewDefinitionGetsItsEightValuesInOrderWithoutTerminators) {
  AddDriver();
  ProvisionAdapters();

  EXPECT_EQ(adapterTable[0].applied, 1);
  EXPECT_EQ(cursor, 1);
  EXPECT_EQ(SetsIn(kDriverPath), std::vector<std::string>{"NetworkAddress=0/1"});
  EXPECT_EQ(SetsIn(kDefinition), kDefinitionSets);
  for (const WriteRecord& write : registry.Writes()) {
    EXPECT_EQ(write.status, 0);
    if (write.op == WriteRecord::Op::kSet) {
      EXPECT_EQ(write.type, platform::kRegSz);
    }
  }
  ASSERT_EQ(registry.Writes()[1].op, WriteRecord::Op::kCreate);
  EXPECT_EQ(registry.Writes()[1].path, kDefinition);
  EXPECT_EQ(registry.Writes()[1].disposition, 1u);
}

class IncompleteDefinitionTest : public ProvisionTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(IncompleteDefinitionTest, IsTakenAwayAgainAndTheNextRunWritesItWhole) {
  registry.Ensure(kHkeyLocalMachine, std::string(kDriverPath) + "\\Ndi\\Params");
  AddDriver();
  ProvisionRefusing(GetParam());
  EXPECT_EQ(adapterTable[0].applied, 0);
  EXPECT_EQ(registry.Find(kHkeyLocalMachine, kDefinition), nullptr);
  ASSERT_EQ(registry.Writes().back().op, WriteRecord::Op::kDelete);
  EXPECT_EQ(registry.Writes().back().path, kDefinition);
  EXPECT_EQ(registry.Writes().back().status, 0);

  ProvisionAdapters();
  EXPECT_EQ(adapterTable[0].applied, 1);
  const sim::RegNode* written = registry.Find(kHkeyLocalMachine, kDefinition);
  ASSERT_NE(written, nullptr);
  EXPECT_EQ(written->Values().size(), 8u);
}

INSTANTIATE_TEST_SUITE_P(EachValue, IncompleteDefinitionTest,
                         ::testing::Values("", "Type", "Default", "Base", "ParamDesc", "UpperCase", "LimitText",
                                           "Optional"));

TEST_F(ProvisionTest, IncompleteDefinitionThatCannotBeDeletedStillFails) {
  AddDriver();
  ProvisionRefusing("Type", /*refuseDelete=*/true);
  EXPECT_EQ(adapterTable[0].applied, 0);
}

// A definition key that already exists: the values it lacks are written as a new definition
// writes them, the ones it has are left whatever they hold, and the adapter counts as set only
// when every value is there afterwards. The key is never taken away: this run did not make it.
struct ExistingDefinitionCase {
  const char* label;
  std::vector<std::string> present;  // names already in the key, each with an administrator's data
  const char* refused;               // a value whose write (or query, with queryStatus) fails; "-" none
  std::int32_t queryStatus;
  std::vector<std::string> expectedSets;
  int expectedApplied;
};

void PrintTo(const ExistingDefinitionCase& row, std::ostream* out) { *out << row.label; }

class ExistingDefinitionTest : public ProvisionTest, public ::testing::WithParamInterface<ExistingDefinitionCase> {};

TEST_P(ExistingDefinitionTest, IsFilledInWhereItLacksValues) {
  const ExistingDefinitionCase& row = GetParam();
  sim::RegNode& key = registry.Ensure(kHkeyLocalMachine, kDefinition);
  for (const std::string& name : row.present) {
    // Another type, and for one of them data longer than the query's buffer: still there.
    const std::size_t size = name == "ParamDesc" ? 2000 : 3;
    key.PutValue(name, platform::kRegBinary, std::vector<std::uint8_t>(size, 'x'));
  }
  registry.PutString(kHkeyLocalMachine, kDriverPath, "NetworkAddress", "02AABBCCDDEE");
  AddDriver();
  ProvisionRefusing(row.refused, /*refuseDelete=*/false, row.queryStatus);

  EXPECT_EQ(adapterTable[0].applied, row.expectedApplied);
  EXPECT_EQ(SetsIn(kDefinition), row.expectedSets);
  EXPECT_TRUE(SetsIn(kDriverPath).empty());
  for (const WriteRecord& write : registry.Writes()) EXPECT_NE(write.op, WriteRecord::Op::kDelete);
  ASSERT_NE(registry.Find(kHkeyLocalMachine, kDefinition), nullptr);
  for (const std::string& name : row.present) {
    const std::size_t size = name == "ParamDesc" ? 2000 : 3;
    const auto* value = key.FindValue(name);
    ASSERT_NE(value, nullptr) << name;
    EXPECT_EQ(value->type, platform::kRegBinary) << name;
    EXPECT_EQ(value->data.size(), size) << name;
  }
}

const std::vector<std::string> kAllEight = {"", "Type", "Default", "Base", "ParamDesc", "UpperCase", "LimitText",
                                            "Optional"};

INSTANTIATE_TEST_SUITE_P(
    Cases, ExistingDefinitionTest,
    ::testing::Values(
        ExistingDefinitionCase{"Complete", kAllEight, "-", 0, {}, 1},
        ExistingDefinitionCase{"Empty", {}, "-", 0, kDefinitionSets, 1},
        ExistingDefinitionCase{"TwoOfEight",
                               {"Type", "ParamDesc"},
                               "-",
                               0,
                               {"=0/1", "Default=0/1", "Base=16/2", "UpperCase=1/1", "LimitText=12/2", "Optional=1/1"},
                               1},
        // The fill-in stops at the write that fails; the key stays for the next run to complete.
        ExistingDefinitionCase{"FailedWrite", {"Type", "ParamDesc"}, "Base", 0, {"=0/1", "Default=0/1"}, 0},
        // A query that fails for another reason than absence says nothing about the value.
        ExistingDefinitionCase{"FailedQuery", {"Type"}, "Default", platform::kErrorAccessDenied, {"=0/1"}, 0}),
    [](const ::testing::TestParamInfo<ExistingDefinitionCase>& info) { return std::string(info.param.label); });

TEST_F(ProvisionTest, NetworkAddressLongerThanTheBufferIsReplaced) {
  sim::RegNode& key = registry.Ensure(kHkeyLocalMachine, kDriverPath);
  key.PutValue("NetworkAddress", platform::kRegBinary, std::vector<std::uint8_t>(1025, 'A'));
  AddDriver();
  ProvisionAdapters();
  EXPECT_EQ(SetsIn(kDriverPath), std::vector<std::string>{"NetworkAddress=0/1"});
  // Exactly 1024 bytes still fit, whatever the type.
  key.PutValue("NetworkAddress", platform::kRegBinary, std::vector<std::uint8_t>(1024, 'A'));
  adapterTable[0].applied = 0;
  const std::size_t before = registry.Writes().size();
  ProvisionAdapters();
  for (std::size_t i = before; i < registry.Writes().size(); ++i) EXPECT_NE(registry.Writes()[i].name, "NetworkAddress");
}

TEST_F(ProvisionTest, ResetsAreWrittenWithTwoBytesInOrderOnlyForTheExactNames) {
  registry.PutString(kHkeyLocalMachine, kDriverPath, "NetworkAddress", "");
  AdapterRecord& both = AddDriver();
  std::strcpy(both.ipsecResetName, "IpsecInlineReceiveEnabled");
  std::strcpy(both.powerDownResetName, "ReduceSpeedOnPowerDown");
  const std::string other = "System\\CurrentControlSet\\Control\\Class\\{4D36E972}\\0001";
  registry.Ensure(kHkeyLocalMachine, other);
  AdapterRecord& near = Add(other);
  std::strcpy(near.ipsecResetName, "ipsecinlinereceiveenabled");
  std::strcpy(near.powerDownResetName, "ReduceSpeed");
  ProvisionAdapters();

  const std::vector<std::string> expected = {std::string("IpsecInlineReceiveEnabled=0") + '\0' + "/2",
                                             std::string("ReduceSpeedOnPowerDown=0") + '\0' + "/2"};
  EXPECT_EQ(SetsIn(kDriverPath), expected);
  EXPECT_EQ(SetsIn(other), std::vector<std::string>{"NetworkAddress=0/1"});
  EXPECT_EQ(adapterTable[1].applied, 0);  // no PROSetNdi\Params
}

TEST_F(ProvisionTest, OtherFamiliesNeverReset) {
  AdapterRecord& record = AddDriver(false);
  std::strcpy(record.ipsecResetName, "IpsecInlineReceiveEnabled");
  std::strcpy(record.powerDownResetName, "ReduceSpeedOnPowerDown");
  OsFamily = 2;
  ProvisionAdapters();
  EXPECT_EQ(SetsIn(kDriverPath), std::vector<std::string>{"NetworkAddress=0/1"});
}

TEST_F(ProvisionTest, MissingDriverParamsCreatesNoDefinition) {
  AddDriver(false);
  ProvisionAdapters();
  EXPECT_EQ(adapterTable[0].applied, 0);
  for (const WriteRecord& write : registry.Writes()) EXPECT_NE(write.op, WriteRecord::Op::kCreate);
  EXPECT_EQ(registry.Find(kHkeyLocalMachine, std::string(kDriverPath) + "\\Ndi"), nullptr);
}

TEST_F(ProvisionTest, WithoutAdminRightsNothingIsWrittenAndNothingApplied) {
  AddDriver();
  registry.RefuseWriteAccess(true);
  ProvisionAdapters();
  EXPECT_EQ(adapterTable[0].applied, 0);
  for (const WriteRecord& write : registry.Writes()) EXPECT_NE(write.status, 0);
  EXPECT_EQ(registry.Find(kHkeyLocalMachine, std::string(kDriverPath) + "\\Ndi"), nullptr);
}

TEST_F(ProvisionTest, PassesOverAppliedUnsupportedAndAbsentRecordsWithoutRegistryAccess) {
  AdapterRecord& applied = Add(kDriverPath);
  applied.applied = 1;
  AdapterRecord& scratch = Add(kDriverPath);
  scratch.supported = 0;
  adapterTable[2].supported = 1;  // beyond adapterCount: never visited
  adapterTable[2].paramKeyPath = kDriverPath;
  ProvisionAdapters();
  EXPECT_EQ(registry.Calls(), 0u);
  EXPECT_EQ(cursor, 2);
  EXPECT_EQ(applied.applied, 1);
  EXPECT_EQ(adapterTable[2].applied, 0);

  // An empty table leaves the cursor at zero.
  adapterCount = 0;
  cursor = 17;
  ProvisionAdapters();
  EXPECT_EQ(cursor, 0);
  EXPECT_EQ(registry.Calls(), 0u);
}

}  // namespace
}  // namespace korvane::test
