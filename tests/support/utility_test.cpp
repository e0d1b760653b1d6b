#include "support/utility_test.h"

#include "app/adapter_table.h"
#include "app/platform_family.h"
#include "app/process_state.h"

namespace korvane::test {

void UtilityTest::SetUp() {
  system.violation = windows.violation = [](const std::string& what) { ADD_FAILURE() << what; };
  ResetProcessState();
  platform::Install({&registry, &system, &windows});
}

void UtilityTest::TearDown() {
  EXPECT_EQ(registry.OpenHandles(), 0u) << "keys left open";
  platform::Install({});
  ResetProcessState();
}

void UtilityTest::UseFamily(int family) {
  system.SetFamily(family);
  ASSERT_TRUE(DetectPlatformFamily());
  ASSERT_EQ(OsFamily, family);
}

std::vector<std::string> UtilityTest::SetsIn(const std::string& path) const {
  std::vector<std::string> sets;
  for (const sim::WriteRecord& write : registry.Writes())
    if (write.op == sim::WriteRecord::Op::kSet && write.path == path)
      sets.push_back(write.name + "=" + std::string(write.data.begin(), write.data.end()) + "/" +
                     std::to_string(write.data.size()));
  return sets;
}

void AddXpInstance(sim::MemoryRegistry& registry, const std::string& deviceKey, const std::string& instance,
                   const std::string& driver, const std::string& description, bool withControl) {
  const std::string path = std::string(kXpEnum) + deviceKey + "\\" + instance;
  registry.PutString(platform::kHkeyLocalMachine, path, "Driver", driver);
  if (!description.empty()) registry.PutString(platform::kHkeyLocalMachine, path, "DeviceDesc", description);
  if (withControl) registry.Ensure(platform::kHkeyLocalMachine, path + "\\Control");
}

void AddDriverKey(sim::MemoryRegistry& registry, const std::string& classRoot, const std::string& driver,
                  bool withDriverParams) {
  const std::string path = classRoot + driver;
  registry.PutString(platform::kHkeyLocalMachine, path, "DriverDesc", "driver " + driver);
  if (withDriverParams) registry.Ensure(platform::kHkeyLocalMachine, path + "\\PROSetNdi\\Params");
}

std::string Utf16File(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

std::string ReadString(sim::MemoryRegistry& registry, platform::RegKey root, const std::string& path,
                       const std::string& name) {
  const sim::RegNode* node = registry.Find(root, path);
  if (node == nullptr) return "<absent>";
  const sim::RegValue* value = node->FindValue(name);
  if (value == nullptr) return "<absent>";
  std::string text(value->data.begin(), value->data.end());
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

}  // namespace korvane::test
