// The text and byte routines behind korvane.exe's own C runtime functions, held to the C
// library's at their edges: an empty token or text, a token longer than the text, a match
// that starts inside a false start, a zero inside the bytes searched, bytes above 0x7F.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/win32/runtime_text.h"

namespace korvane::win32::runtime {
namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

TEST(RuntimeText, TextRoutinesAgreeWithTheCLibrary) {
  const char* const texts[] = {"", "a", "aaab", "PCI\\VEN_8086&DEV_1229&REV_08", "\x83\\b", "Control"};
  const char* const tokens[] = {"",  "a",      "aab", "DEV_1229", "REV_080", "8", "\\", "\x83",
                                "Controls", "CONTROL", "PCI\\VEN_8086&DEV_1229&REV_08!"};
  for (const char* text : texts) {
    EXPECT_EQ(TextLength(text), std::strlen(text)) << text;
    for (const char* token : tokens) {
      EXPECT_EQ(FindText(text, token), std::strstr(text, token)) << text << " / " << token;
      EXPECT_EQ(Sign(CompareTexts(text, token)), Sign(std::strcmp(text, token))) << text << " / " << token;
    }
  }
}

TEST(RuntimeText, ByteRoutinesAgreeWithTheCLibrary) {
  const char bytes[] = {'a', '\0', 'b', '\x83', '\\', 'b'};
  for (const int value : {int{'b'}, 0, 0x83, int{'\x83'}, 0x100 + '\\', int{'z'}})
    for (std::size_t size = 0; size <= sizeof bytes; ++size)
      EXPECT_EQ(FindByte(bytes, value, size), std::memchr(bytes, value, size)) << value << " in " << size;

  char ours[8] = "1234567";
  char theirs[8] = "1234567";
  CopyBytes(ours + 1, "abc", 3);
  std::memcpy(theirs + 1, "abc", 3);
  FillBytes(ours + 2, 0x100 + '-', 4);
  std::memset(theirs + 2, 0x100 + '-', 4);
  CopyBytes(ours, "zz", 0);
  FillBytes(ours, 0, 0);
  EXPECT_EQ(std::string(ours, sizeof ours), std::string(theirs, sizeof theirs));
}

}  // namespace
}  // namespace korvane::win32::runtime
