// The key-path text of the roots and parameter keys.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "app/key_path.h"

namespace korvane {
namespace {

TEST(KeyPath, JoinsAssignsAndCopiesWithoutSharingText) {
  KeyPath root = "System\\Class\\";
  const KeyPath joined = root + "{guid}\\0001" + "\\Ndi";
  EXPECT_STREQ(joined.c_str(), "System\\Class\\{guid}\\0001\\Ndi");
  EXPECT_EQ(joined.size(), std::strlen("System\\Class\\{guid}\\0001\\Ndi"));

  KeyPath copy = joined;
  root = "Enum\\";
  EXPECT_STREQ(copy.c_str(), joined.c_str());
  EXPECT_STREQ(root.c_str(), "Enum\\");

  KeyPath moved = std::move(copy);
  EXPECT_TRUE(moved == joined.c_str());
  EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): a moved-from path is empty
  EXPECT_STREQ(copy.c_str(), "");
}

TEST(KeyPath, EmptyPathsReadAsTheEmptyText) {
  KeyPath path;
  EXPECT_TRUE(path.empty());
  EXPECT_STREQ(path.c_str(), "");
  path = "";
  EXPECT_STREQ((path + "").c_str(), "");
  path = nullptr;
  EXPECT_TRUE(path.empty());
  path = "x";
  path.clear();
  EXPECT_STREQ(path.c_str(), "");
}

TEST(KeyPath, AppendingAPathToItselfOrAssigningItsOwnTextIsSafe) {
  KeyPath path = "ab";
  path += path.c_str();
  EXPECT_STREQ(path.c_str(), "abab");
  path = path.c_str() + 1;
  EXPECT_STREQ(path.c_str(), "bab");
  const KeyPath& same = path;
  path = same;
  EXPECT_STREQ(path.c_str(), "bab");
}

}  // namespace
}  // namespace korvane
