#include "support/utility_test.h"

#include <iconv.h>

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

std::string Utf16File(std::u16string_view text, bool bom) {
  std::string bytes = bom ? "\xFF\xFE" : "";
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

std::string Utf16File(std::string_view latin1, bool bom) {
  std::u16string wide;
  for (char c : latin1) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
  return Utf16File(wide, bom);
}

std::string Iconv(std::string_view bytes, const char* from, const char* to) {
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "iconv cannot convert from " << from << " to " << to;
    return "";
  }
  std::string in(bytes), out(4 * bytes.size() + 4, '\0');
  char* inPointer = in.data();
  char* outPointer = out.data();
  std::size_t inLeft = in.size(), outLeft = out.size();
  const bool whole = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft) != static_cast<std::size_t>(-1);
  iconv_close(converter);
  out.resize(out.size() - outLeft);
  return whole && inLeft == 0 ? out : "";
}

std::string ValueBytes(sim::MemoryRegistry& registry, platform::RegKey root, std::string_view path,
                       std::string_view name) {
  const sim::RegNode* node = registry.Find(root, path);
  const sim::RegValue* value = node == nullptr ? nullptr : node->FindValue(name);
  return value == nullptr ? "<absent>" : std::string(value->data.begin(), value->data.end());
}

}  // namespace korvane::test
