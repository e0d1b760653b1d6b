// The text and byte routines behind korvane.exe's own C runtime functions, held to what the C
// functions do at their edges: an empty token, a token longer than the text, a match that
// starts inside a false start, a zero inside the bytes searched, bytes above 0x7F.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/win32/runtime_text.h"

namespace korvane::win32::runtime {
namespace {

TEST(RuntimeText, FindTextFindsTheFirstPlaceAndTheEmptyTokenEverywhere) {
  const char text[] = "PCI\\VEN_8086&DEV_1229&REV_08";
  EXPECT_EQ(FindText(text, "DEV_1229"), text + 13);
  EXPECT_EQ(FindText(text, "PCI"), text);
  EXPECT_EQ(FindText(text, "REV_08"), text + 22);
  EXPECT_EQ(FindText(text, "8"), text + 8);
  EXPECT_EQ(FindText(text, "DEV_1228"), nullptr);
  EXPECT_EQ(FindText(text, "REV_080"), nullptr) << "the token runs past the end of the text";
  EXPECT_EQ(FindText("aaab", "aab"), static_cast<const char*>("aaab") + 1);

  const char empty[] = "";
  EXPECT_EQ(FindText(text, ""), text);
  EXPECT_EQ(FindText(empty, ""), empty);
  EXPECT_EQ(FindText(empty, "a"), nullptr);
  // Each result agrees with the C library's.
  const char longer[] = "PCI\\VEN_8086&DEV_1229&REV_08!";
  for (const char* token : {"", "&", "REV", "08", "x", static_cast<const char*>(text), static_cast<const char*>(longer)})
    EXPECT_EQ(FindText(text, token), std::strstr(text, token)) << token;
}

TEST(RuntimeText, FindByteLooksAtExactlyTheBytesGivenAsUnsignedChar) {
  const char bytes[] = {'a', '\0', 'b', '\x83', '\\', 'b'};
  EXPECT_EQ(FindByte(bytes, 'b', sizeof bytes), bytes + 2) << "a zero does not end the search";
  EXPECT_EQ(FindByte(bytes, '\0', sizeof bytes), bytes + 1);
  EXPECT_EQ(FindByte(bytes, 0x83, sizeof bytes), bytes + 3);
  EXPECT_EQ(FindByte(bytes, '\x83', sizeof bytes), bytes + 3) << "a negative char value is its byte";
  EXPECT_EQ(FindByte(bytes, 0x100 + '\\', sizeof bytes), bytes + 4) << "only the low byte of the value counts";
  EXPECT_EQ(FindByte(bytes, 'b', 2), nullptr) << "read past the size";
  EXPECT_EQ(FindByte(bytes, 'a', 0), nullptr);
}

TEST(RuntimeText, CompareTextsOrdersBytesAsUnsignedAndLengthsByTheirEnd) {
  EXPECT_EQ(CompareTexts("Control", "Control"), 0);
  EXPECT_EQ(CompareTexts("", ""), 0);
  EXPECT_LT(CompareTexts("Contro", "Control"), 0);
  EXPECT_GT(CompareTexts("Controls", "Control"), 0);
  EXPECT_LT(CompareTexts("CONTROL", "Control"), 0);
  EXPECT_GT(CompareTexts("\x83", "a"), 0) << "bytes above 0x7F sort after ASCII";
  EXPECT_LT(CompareTexts("a", "\x83"), 0);
}

TEST(RuntimeText, LengthCopyAndFill) {
  EXPECT_EQ(TextLength(""), 0u);
  EXPECT_EQ(TextLength("E1000"), 5u);
  EXPECT_EQ(TextLength("\x83\x5C"), 2u);

  char target[8] = "1234567";
  CopyBytes(target + 1, "abc", 3);
  EXPECT_STREQ(target, "1abc567");
  CopyBytes(target, "zz", 0);
  EXPECT_STREQ(target, "1abc567");
  FillBytes(target + 2, 0x100 + '-', 4);
  EXPECT_STREQ(target, "1a----7") << "only the low byte of the value is written";
  FillBytes(target, 0, 0);
  EXPECT_EQ(target[0], '1');
}

}  // namespace
}  // namespace korvane::win32::runtime
