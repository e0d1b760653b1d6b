// Provisioning: the NetworkAddress value, the resets of family 5 and the parameter
// definition, with the exact bytes and order of every write.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/adapter_table.h"
#include "app/platform_family.h"
#include "provision/provision.h"
#include "test_support.h"

namespace korvane::testing {
namespace {

using hosted::WriteRecord;

constexpr char kDriverPath[] = "System\\CurrentControlSet\\Control\\Class\\{4D36E972}\\0000";

std::string Bytes(const std::vector<std::uint8_t>& data) { return std::string(data.begin(), data.end()); }

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
  std::vector<std::string> SetsIn(const std::string& path) const {
    std::vector<std::string> sets;
    for (const WriteRecord& write : registry.Writes())
      if (write.op == WriteRecord::Op::kSet && write.path == path)
        sets.push_back(write.name + "=" + Bytes(write.data) + "/" + std::to_string(write.data.size()));
    return sets;
  }
};

TEST_F(ProvisionTest, NewDefinitionGetsItsEightValuesInOrderWithoutTerminators) {
  registry.Ensure(platform::kHkeyLocalMachine, std::string(kDriverPath) + "\\PROSetNdi\\Params");
  Add(kDriverPath);
  ProvisionAdapters();

  EXPECT_EQ(adapterTable[0].applied, 1);
  EXPECT_EQ(cursor, 1);
  const std::vector<std::string> expectedDriverKey = {std::string("NetworkAddress=0/1")};
  EXPECT_EQ(SetsIn(kDriverPath), expectedDriverKey);
  const std::string definition = std::string(kDriverPath) + "\\Ndi\\Params\\NetworkAddress";
  const std::vector<std::string> expected = {
      "=0/1",         "Type=edit/4", "Default=0/1", "Base=16/2", "ParamDesc=Locally Administered Address/28",
      "UpperCase=1/1", "LimitText=12/2", "Optional=1/1"};
  EXPECT_EQ(SetsIn(definition), expected);
  for (const WriteRecord& write : registry.Writes()) {
    EXPECT_EQ(write.status, 0);
    if (write.op == WriteRecord::Op::kSet) {
      EXPECT_EQ(write.type, platform::kRegSz);
    }
  }
  ASSERT_EQ(registry.Writes()[1].op, WriteRecord::Op::kCreate);
  EXPECT_EQ(registry.Writes()[1].path, definition);
  EXPECT_EQ(registry.Writes()[1].disposition, 1u);
  EXPECT_EQ(registry.OpenHandles(), 0u);
}

TEST_F(ProvisionTest, ExistingDefinitionIsLeftAsItIsAndCountsAsSet) {
  registry.Ensure(platform::kHkeyLocalMachine, std::string(kDriverPath) + "\\PROSetNdi\\Params");
  registry.Ensure(platform::kHkeyLocalMachine, std::string(kDriverPath) + "\\Ndi\\Params\\NetworkAddress");
  registry.PutString(platform::kHkeyLocalMachine, kDriverPath, "NetworkAddress", "02AABBCCDDEE");
  Add(kDriverPath);
  ProvisionAdapters();
  EXPECT_EQ(adapterTable[0].applied, 1);
  ASSERT_EQ(registry.Writes().size(), 1u);  // the create alone
  EXPECT_EQ(registry.Writes()[0].disposition, 2u);
  EXPECT_EQ(ReadString(registry, platform::kHkeyLocalMachine, kDriverPath, "NetworkAddress"), "02AABBCCDDEE");
}

TEST_F(ProvisionTest, NetworkAddressLongerThanTheBufferIsReplaced) {
  hosted::RegNode& key = registry.Ensure(platform::kHkeyLocalMachine, kDriverPath);
  key.PutValue("NetworkAddress", platform::kRegBinary, std::vector<std::uint8_t>(1025, 'A'));
  registry.Ensure(platform::kHkeyLocalMachine, std::string(kDriverPath) + "\\PROSetNdi\\Params");
  Add(kDriverPath);
  ProvisionAdapters();
  const std::vector<std::string> expected = {"NetworkAddress=0/1"};
  EXPECT_EQ(SetsIn(kDriverPath), expected);
  // Exactly 1024 bytes still fit, whatever the type.
  key.PutValue("NetworkAddress", platform::kRegBinary, std::vector<std::uint8_t>(1024, 'A'));
  adapterTable[0].applied = 0;
  const std::size_t before = registry.Writes().size();
  ProvisionAdapters();
  for (std::size_t i = before; i < registry.Writes().size(); ++i) EXPECT_NE(registry.Writes()[i].name, "NetworkAddress");
}

TEST_F(ProvisionTest, ResetsAreWrittenWithTwoBytesInOrderOnlyForTheExactNames) {
  registry.Ensure(platform::kHkeyLocalMachine, std::string(kDriverPath) + "\\PROSetNdi\\Params");
  registry.PutString(platform::kHkeyLocalMachine, kDriverPath, "NetworkAddress", "");
  AdapterRecord& both = Add(kDriverPath);
  std::strcpy(both.ipsecResetName, "IpsecInlineReceiveEnabled");
  std::strcpy(both.powerDownResetName, "ReduceSpeedOnPowerDown");
  const std::string other = "System\\CurrentControlSet\\Control\\Class\\{4D36E972}\\0001";
  registry.Ensure(platform::kHkeyLocalMachine, other);
  AdapterRecord& near = Add(other);
  std::strcpy(near.ipsecResetName, "ipsecinlinereceiveenabled");
  std::strcpy(near.powerDownResetName, "ReduceSpeed");
  ProvisionAdapters();

  const std::vector<std::string> expected = {std::string("IpsecInlineReceiveEnabled=0") + '\0' + "/2",
                                             std::string("ReduceSpeedOnPowerDown=0") + '\0' + "/2"};
  EXPECT_EQ(SetsIn(kDriverPath), expected);
  const std::vector<std::string> onlyAddress = {"NetworkAddress=0/1"};
  EXPECT_EQ(SetsIn(other), onlyAddress);
  EXPECT_EQ(adapterTable[1].applied, 0);  // no PROSetNdi\Params
}

TEST_F(ProvisionTest, OtherFamiliesNeverReset) {
  registry.Ensure(platform::kHkeyLocalMachine, kDriverPath);
  AdapterRecord& record = Add(kDriverPath);
  std::strcpy(record.ipsecResetName, "IpsecInlineReceiveEnabled");
  std::strcpy(record.powerDownResetName, "ReduceSpeedOnPowerDown");
  OsFamily = 2;
  ProvisionAdapters();
  const std::vector<std::string> expected = {"NetworkAddress=0/1"};
  EXPECT_EQ(SetsIn(kDriverPath), expected);
}

TEST_F(ProvisionTest, MissingDriverParamsCreatesNoDefinition) {
  registry.Ensure(platform::kHkeyLocalMachine, kDriverPath);
  Add(kDriverPath);
  ProvisionAdapters();
  EXPECT_EQ(adapterTable[0].applied, 0);
  for (const WriteRecord& write : registry.Writes()) EXPECT_NE(write.op, WriteRecord::Op::kCreate);
  EXPECT_EQ(registry.Find(platform::kHkeyLocalMachine, std::string(kDriverPath) + "\\Ndi"), nullptr);
}

TEST_F(ProvisionTest, WithoutAdminRightsNothingIsWrittenAndNothingApplied) {
  registry.Ensure(platform::kHkeyLocalMachine, std::string(kDriverPath) + "\\PROSetNdi\\Params");
  registry.RefuseWriteAccess(true);
  Add(kDriverPath);
  ProvisionAdapters();
  EXPECT_EQ(adapterTable[0].applied, 0);
  for (const WriteRecord& write : registry.Writes()) EXPECT_NE(write.status, 0);
  EXPECT_EQ(registry.Find(platform::kHkeyLocalMachine, std::string(kDriverPath) + "\\Ndi"), nullptr);
  EXPECT_EQ(registry.OpenHandles(), 0u);
}

TEST_F(ProvisionTest, PassesOverAppliedAndUnsupportedRecordsWithoutRegistryAccess) {
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
}

TEST_F(ProvisionTest, EmptyTableLeavesTheCursorAtZero) {
  cursor = 17;
  ProvisionAdapters();
  EXPECT_EQ(cursor, 0);
  EXPECT_EQ(registry.Calls(), 0u);
}

}  // namespace
}  // namespace korvane::testing
