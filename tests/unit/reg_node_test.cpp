// A key's values and subkeys past the size where they are found by index rather than by a
// scan or a search: the same answers, in the order they were put, through removals. The order
// of subkeys taken from a hive, kept through later additions and removals. And the in-memory
// registry's handle slots, taken again once closed: the closed handle never names the new one,
// and a handle's full path, which faults are injected by, whichever way the key was opened.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/sim/memory_registry.h"

namespace korvane::sim {
namespace {

std::vector<std::uint8_t> Data(int n) { return {static_cast<std::uint8_t>(n), 0}; }

std::vector<std::string> Names(const RegNode& node) {
  std::vector<std::string> names;
  for (const RegValue& value : node.Values()) names.push_back(value.name);
  return names;
}

TEST(RegNodeValues, ManyValuesAreFoundWithoutRegardToCaseAndKeepTheirOrder) {
  RegNode node("Key");
  std::vector<std::string> expected;
  for (int i = 0; i < 40; ++i) {
    expected.push_back("Value" + std::to_string(i));
    node.PutValue(expected.back(), 1, Data(i));
  }
  EXPECT_EQ(Names(node), expected);
  ASSERT_NE(node.FindValue("VALUE7"), nullptr);
  EXPECT_EQ(node.FindValue("value7")->data, Data(7));
  EXPECT_EQ(node.FindValue("Value40"), nullptr);

  // Putting a name again in other letters replaces the value where it stands.
  node.PutValue("VALUE3", 4, Data(99));
  EXPECT_EQ(Names(node), expected);
  EXPECT_EQ(node.FindValue("Value3")->type, 4u);
  EXPECT_EQ(node.FindValue("Value3")->data, Data(99));
}

TEST(RegNodeValues, RemovingOneKeepsEveryOtherFindable) {
  RegNode node("Key");
  for (int i = 0; i < 30; ++i) node.PutValue("V" + std::to_string(i), 3, Data(i));
  ASSERT_NE(node.FindValue("V29"), nullptr);  // the index is in use
  EXPECT_TRUE(node.RemoveValue("v10"));
  EXPECT_FALSE(node.RemoveValue("V10"));
  EXPECT_EQ(node.FindValue("V10"), nullptr);
  for (int i = 0; i < 30; ++i) {
    if (i == 10) continue;
    const RegValue* value = node.FindValue("V" + std::to_string(i));
    ASSERT_NE(value, nullptr) << i;
    EXPECT_EQ(value->data, Data(i)) << i;
  }
  node.PutValue("V10", 3, Data(10));
  EXPECT_EQ(node.Values().back().name, "V10");
  EXPECT_EQ(node.FindValue("V10")->data, Data(10));
  // Dropping back under the indexed size still finds what is left.
  for (int i = 0; i < 25; ++i) node.RemoveValue("V" + std::to_string(i));
  EXPECT_EQ(Names(node), (std::vector<std::string>{"V25", "V26", "V27", "V28", "V29"}));
  EXPECT_EQ(node.FindValue("v27")->data, Data(27));
}

std::string SubkeyNames(const RegNode& node) {
  std::string names;
  for (const RegNode* subkey : node.Subkeys()) names += subkey->Name() + " ";
  return names;
}

TEST(RegNodeSubkeys, AHivesOrderIsKeptAndNewKeysGoWhereTheirNamesSort) {
  RegNode node("Key");
  // A hive sorts by upper-cased UTF-16: U+00C9 ("\xE9" folded) before U+20AC ("\x80" in code
  // page 1252); by their ANSI bytes they would come the other way round.
  for (const char* name : {"b", "F", "x", "\xE9", "\x80"}) node.AppendSubkey(name);
  EXPECT_EQ(SubkeyNames(node), "b F x \xE9 \x80 ");
  EXPECT_EQ(&node.AppendSubkey("B"), node.FindSubkey("b"));  // no second "b"
  node.EnsureSubkey("c");
  node.EnsureSubkey("Z");
  node.EnsureSubkey("a");
  EXPECT_TRUE(node.RemoveSubkey("f"));
  EXPECT_EQ(SubkeyNames(node), "a b c x Z \xE9 \x80 ");
}

TEST(RegNodeSubkeys, ManySubkeysAreFoundWithoutRegardToCaseThroughAdditionsAndRemovals) {
  RegNode node("Key");
  for (int i = 0; i < 70; ++i) node.EnsureSubkey("Sub" + std::to_string(i));
  ASSERT_NE(node.FindSubkey("SUB69"), nullptr);  // the index is in use
  EXPECT_EQ(node.FindSubkey("sub7")->Name(), "Sub7");
  EXPECT_EQ(node.FindSubkey("Sub70"), nullptr);
  EXPECT_TRUE(node.RemoveSubkey("SUB10"));
  EXPECT_EQ(node.FindSubkey("Sub10"), nullptr);
  node.EnsureSubkey("Late");
  node.AppendSubkey("Later");
  EXPECT_EQ(node.FindSubkey("LATE")->Name(), "Late");
  EXPECT_EQ(node.FindSubkey("later")->Name(), "Later");
  const RegNode* again = &node.EnsureSubkey("sub10");
  EXPECT_EQ(node.FindSubkey("SUB10"), again);  // made again, found again
  for (int i = 0; i < 80; ++i) node.EnsureSubkey("More" + std::to_string(i));  // past what the index held
  for (int i = 0; i < 80; ++i) ASSERT_NE(node.FindSubkey("MORE" + std::to_string(i)), nullptr) << i;
  for (int i = 0; i < 70; ++i) ASSERT_NE(node.FindSubkey("sub" + std::to_string(i)), nullptr) << i;
  EXPECT_EQ(node.FindSubkey("More80"), nullptr);
  EXPECT_EQ(node.Subkeys().size(), 152u);
}

using platform::RegKey;

RegKey OpenOn(MemoryRegistry& registry, RegKey key, const char* path) {
  RegKey result = platform::kNullKey;
  registry.OpenKey(key, path, platform::kKeyAllAccess, &result);
  return result;
}

TEST(MemoryRegistryHandles, AClosedHandleFailsAfterItsSlotIsTakenAgain) {
  MemoryRegistry registry;
  registry.PutString(platform::kHkeyLocalMachine, "First", "Which", "first");
  registry.PutString(platform::kHkeyLocalMachine, "Second", "Which", "second");
  const RegKey first = OpenOn(registry, platform::kHkeyLocalMachine, "First");
  ASSERT_NE(first, platform::kNullKey);
  ASSERT_EQ(registry.CloseKey(first), platform::kErrorSuccess);
  const RegKey second = OpenOn(registry, platform::kHkeyLocalMachine, "Second");
  ASSERT_NE(second, platform::kNullKey);
  EXPECT_NE(second, first);

  char buffer[16] = "untouched";
  std::uint32_t size = sizeof buffer;
  RegKey child = platform::kNullKey;
  std::uint32_t disposition = 0;
  EXPECT_EQ(registry.QueryValue(first, "Which", nullptr, buffer, &size), platform::kErrorInvalidHandle);
  EXPECT_EQ(registry.EnumKey(first, 0, buffer, &size), platform::kErrorInvalidHandle);
  EXPECT_EQ(registry.SetValue(first, "Which", platform::kRegSz, "x", 2), platform::kErrorInvalidHandle);
  EXPECT_EQ(registry.CreateKey(first, "Child", platform::kKeyAllAccess, &child, &disposition),
            platform::kErrorInvalidHandle);
  EXPECT_EQ(registry.OpenKey(first, "", platform::kKeyRead, &child), platform::kErrorInvalidHandle);
  EXPECT_EQ(registry.CloseKey(first), platform::kErrorInvalidHandle);
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(registry.Find(platform::kHkeyLocalMachine, "Second\\Child"), nullptr);

  // The new handle is still open, on its own key.
  EXPECT_EQ(registry.OpenHandles(), 1u);
  ASSERT_EQ(registry.QueryValue(second, "Which", nullptr, buffer, &size), platform::kErrorSuccess);
  EXPECT_STREQ(buffer, "second");
  EXPECT_EQ(registry.CloseKey(second), platform::kErrorSuccess);
  EXPECT_EQ(registry.OpenHandles(), 0u);
}

TEST(MemoryRegistryHandles, FaultsFollowTheFullPathWhicheverWayTheKeyWasOpened) {
  struct Way {
    const char* parent;  // opened on the root first, or nullptr
    const char* path;
    std::int32_t status;
  };
  for (const Way& way : {Way{nullptr, "Outer\\Inner", 31}, Way{nullptr, "Outer\\Inner\\\\", 31},
                         Way{nullptr, "Outer\\\\Inner", 31}, Way{"Outer", "Inner", 31}, Way{"Outer\\", "Inner\\", 31},
                         Way{"Outer\\Inner\\", "", 31}, Way{nullptr, "Outer\\InnerMost", platform::kErrorSuccess},
                         Way{"Outer\\\\", "InnerMost\\", platform::kErrorSuccess}}) {
    SCOPED_TRACE(std::string(way.parent == nullptr ? "" : way.parent) + " | " + way.path);
    MemoryRegistry registry;
    registry.Ensure(platform::kHkeyLocalMachine, "Outer\\Inner");
    registry.Ensure(platform::kHkeyLocalMachine, "Outer\\InnerMost");
    const RegKey parent =
        way.parent == nullptr ? platform::kHkeyLocalMachine : OpenOn(registry, platform::kHkeyLocalMachine, way.parent);
    ASSERT_NE(parent, platform::kNullKey);
    registry.FailPaths("outer\\inner", 31);
    RegKey key = platform::kNullKey;
    EXPECT_EQ(registry.OpenKey(parent, way.path, platform::kKeyRead, &key), way.status);
    EXPECT_EQ(key == platform::kNullKey, way.status != platform::kErrorSuccess);
  }
}

TEST(MemoryRegistryHandles, ASetIsLoggedWithThePathTheHandleWasOpenedWith) {
  MemoryRegistry registry;
  registry.Ensure(platform::kHkeyLocalMachine, "Outer\\Inner");
  RegKey outer = OpenOn(registry, platform::kHkeyLocalMachine, "outer\\");
  RegKey inner = OpenOn(registry, outer, "INNER");
  ASSERT_NE(inner, platform::kNullKey);
  registry.FailPaths("OUTER\\INNER", 31);  // set with both open: it follows their full paths
  EXPECT_EQ(registry.SetValue(outer, "Name", platform::kRegSz, "a", 2), platform::kErrorSuccess);
  EXPECT_EQ(registry.SetValue(inner, "Name", platform::kRegSz, "b", 2), 31);
  EXPECT_EQ(registry.CloseKey(inner), 31);
  EXPECT_EQ(registry.CloseKey(outer), platform::kErrorSuccess);
  ASSERT_EQ(registry.Writes().size(), 2u);
  EXPECT_EQ(registry.Writes()[0].path, "outer\\");
  EXPECT_EQ(registry.Writes()[1].path, "INNER");
  EXPECT_EQ(registry.OpenHandles(), 0u);
}

}  // namespace
}  // namespace korvane::sim
