// A key's values past the size where they are found by index rather than by a scan: the
// same answers as a scan, in the order they were put, through removals. And the order of
// subkeys taken from a hive, kept through later additions and removals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace korvane::sim
