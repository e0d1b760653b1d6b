// Machine files of a Japanese machine: texts in code page 932, whose trail bytes can be a
// backslash (ソ is 83 5C, 表 is 95 5C) or a bracket (ゾ is 83 5D).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "machine_files/reg/reg_reader.h"
#include "machine_files/reg/reg_writer.h"
#include "platform/sim/code_pages.h"
#include "support/utility_test.h"

namespace korvane::sim {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;
using platform::kHkeyLocalMachine;
using test::Iconv;
using test::Utf16File;
using test::ValueBytes;

// Reads `text` as the file machine.reg of a machine with that ANSI code page; a failure
// carries its error.
::testing::AssertionResult Load(std::string_view text, unsigned codePage, MemoryRegistry& registry,
                                RegFileEncoding* info = nullptr) {
  registry.SetAnsiCodePage(codePage);
  LoadError error;
  if (LoadMachineText(text, "machine.reg", registry, info, &error)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << error.ToString();
}

// Why the file is refused on a machine with that code page, or "read" when it is not.
std::string Refusal(std::string_view text, unsigned codePage) {
  MemoryRegistry registry;
  const ::testing::AssertionResult loaded = Load(text, codePage, registry);
  return loaded ? "read" : loaded.message();
}

TEST(CodePage932, ConvertsAsWindowsDoes) {
  EXPECT_EQ(AnsiCharToUnicode(932, "\x82\xA0"sv), U'あ');
  EXPECT_EQ(AnsiCharToUnicode(932, "\x83\x5C"sv), U'ソ');
  EXPECT_EQ(AnsiCharToUnicode(932, "\\"sv), U'\\');  // a backslash, not a yen sign
  EXPECT_EQ(AnsiCharToUnicode(932, "\xB1"sv), U'ｱ');
  EXPECT_EQ(AnsiCharToUnicode(932, "\xA0"sv), U'\xF8F0');
  EXPECT_EQ(AnsiCharToUnicode(932, "\x82"sv), U'・');  // a lead byte on its own
  std::string bytes;
  EXPECT_TRUE(UnicodeToAnsiChar(932, U'～', &bytes));
  EXPECT_TRUE(UnicodeToAnsiChar(932, U'≒', &bytes));  // one of two pairs: the one Windows writes
  EXPECT_TRUE(UnicodeToAnsiChar(932, U'\xF8F0', &bytes));
  EXPECT_EQ(bytes, "\x81\x60\x81\xE0\xA0");
  EXPECT_FALSE(UnicodeToAnsiChar(932, U'é', &bytes));
  EXPECT_EQ(AnsiCharLength(932, "\x83\x5C"sv, 0), 2u);
  EXPECT_EQ(AnsiCharLength(932, "\x83\""sv, 0), 1u);
  EXPECT_EQ(AnsiCharLength(1252, "\x83\x5C"sv, 0), 1u);
  // Texts shown in UTF-8: a lone lead byte is the code page's default character, as Windows
  // shows it, and 1252's undefined bytes are their C1 controls, as the registry's UTF-16 has them.
  EXPECT_EQ(AnsiToUtf8("\x83\x5C\x82", 932), "ソ・");
  EXPECT_EQ(AnsiToUtf8("\xB1\xA0", 932), "ｱ\uF8F0");
  EXPECT_EQ(AnsiToUtf8("A\x81\x8D\x8F\x90\x9D\x80", 1252), "A\u0081\u008D\u008F\u0090\u009D\u20AC");
}

TEST(CodePage932, TablesAgreeWithTheCLibrarysConverterSaveWhereWindowsDiffers) {
  // The single bytes the C library leaves out, which Windows maps all the same.
  const std::string windowsOnly[] = {"\x80", "\xA0", "\xFD", "\xFE", "\xFF"};
  int characters = 0;
  const auto check = [&](const std::string& bytes) {
    const bool windowsOwn = std::find(std::begin(windowsOnly), std::end(windowsOnly), bytes) != std::end(windowsOnly);
    if (windowsOwn) {
      EXPECT_TRUE(IsAnsiCharacter(932, bytes));
      return;
    }
    std::string utf8;
    if (IsAnsiCharacter(932, bytes)) AppendUtf8(AnsiCharToUnicode(932, bytes), &utf8);
    ASSERT_EQ(utf8, Iconv(bytes, "CP932", "UTF-8")) << ::testing::PrintToString(bytes);
    if (utf8.empty()) return;
    ++characters;
    // Back to bytes: of the pairs that stand for one character, the one Windows writes.
    std::string back;
    ASSERT_TRUE(UnicodeToAnsiChar(932, AnsiCharToUnicode(932, bytes), &back));
    EXPECT_EQ(back, Iconv(utf8, "UTF-8", "CP932")) << ::testing::PrintToString(bytes);
  };
  for (unsigned byte = 0x80; byte < 0x100; ++byte)
    if (!IsLeadByte932(static_cast<unsigned char>(byte))) check(std::string(1, static_cast<char>(byte)));
  for (unsigned lead = 0x81; lead <= 0xFC; ++lead)
    for (unsigned trail = 0x40; trail <= 0xFC; ++trail)
      if (IsLeadByte932(static_cast<unsigned char>(lead)) && IsTrailByte932(static_cast<unsigned char>(trail)))
        check({static_cast<char>(lead), static_cast<char>(trail)});
  EXPECT_GT(characters, 7000);  // every assigned pair was compared, not a table of zeros
}

TEST(CodePage932, Utf16FileReadsAsShiftJisAndRoundTripsInEveryForm) {
  const std::string file = Utf16File(
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_LOCAL_MACHINE\\Software\\ソフト\\表示ゾ]\r\n"
      u"\"説明\"=\"ソ\"\r\n"
      u"\"表\"=hex(1):bd,30,68,88,00,00\r\n");
  MemoryRegistry registry;
  RegFileEncoding info;
  ASSERT_TRUE(Load(file, 932, registry, &info));
  EXPECT_EQ(info.codePage, 932u);
  // One key per name: the trail bytes 5C and 5D are no separator and no closing bracket.
  const std::string key = "Software\\\x83\x5C\x83\x74\x83\x67\\\x95\x5C\x8E\xA6\x83\x5D";
  EXPECT_EQ(registry.Find(kHkeyLocalMachine, "Software")->Subkeys().size(), 1u);
  EXPECT_EQ(ValueBytes(registry, kHkeyLocalMachine, key, "\x90\xE0\x96\xBE"), "\x83\x5C"s + '\0');
  EXPECT_EQ(ValueBytes(registry, kHkeyLocalMachine, key, "\x95\x5C"), "\x83\x5C\x95\x5C"s + '\0');

  for (const RegFileFormat format : {RegFileFormat::kRegedit4, RegFileFormat::kVersion5}) {
    RegFileEncoding written{format, format == RegFileFormat::kVersion5, 932};
    const std::string saved = FormatMachine(registry, written);
    MemoryRegistry reread;
    ASSERT_TRUE(Load(saved, 932, reread)) << saved;
    EXPECT_EQ(FormatMachine(reread, written), saved);
    EXPECT_EQ(ValueBytes(reread, kHkeyLocalMachine, key, "\x90\xE0\x96\xBE"), "\x83\x5C"s + '\0') << saved;
  }
  // In 8-bit text the trail byte stands as it is: escaped, it would be a second backslash.
  const std::string regedit4 = FormatMachine(registry, RegFileEncoding{RegFileFormat::kRegedit4, false, 932});
  EXPECT_NE(regedit4.find("\"\x90\xE0\x96\xBE\"=\"\x83\x5C\"\r\n"), std::string::npos) << regedit4;
}

TEST(CodePage932, EightBitFileIsReadACharacterAtATime) {
  // A quoted text ending in ソ (83 5C) before its closing quote, and a key line ending in ゾ.
  const std::string file =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\\x83\x5D]\r\n\"\x83\x5C\"=\"\x83\x5C\"\r\n"
      "\"Lone\"=hex(1):82,22,00\r\n\"\x82\r\rN\"=dword:00000001\r\n";
  MemoryRegistry registry;
  ASSERT_TRUE(Load(file, 932, registry));
  EXPECT_EQ(ValueBytes(registry, kHkeyLocalMachine, "Software\\\x83\x5D", "\x83\x5C"), "\x83\x5C"s + '\0');
  // A lead byte before a quote has no trail: written as text it would take the escape for
  // one, so it goes as hex(1) and comes back the same.
  const std::string saved = FormatMachine(registry, RegFileEncoding{RegFileFormat::kRegedit4, false, 932});
  EXPECT_NE(saved.find("\"Lone\"=hex(1):82,22,00"), std::string::npos) << saved;
  // A name can hold one too, before a carriage return: that stays as it is, since its escape's
  // backslash would be the lead byte's trail; the one after it is escaped.
  EXPECT_NE(saved.find("\"\x82\r\\rN\"=dword:00000001"), std::string::npos) << saved;
  MemoryRegistry reloaded;
  ASSERT_TRUE(Load(saved, 932, reloaded));
  EXPECT_EQ(ValueBytes(reloaded, kHkeyLocalMachine, "Software\\\x83\x5D", "\x82\r\rN"), "\x01\0\0\0"s);

  // The same bytes on a Western machine are two characters each: the quoted text ends early.
  EXPECT_EQ(Refusal(file, 1252).rfind("machine.reg:4: ", 0), 0u) << Refusal(file, 1252);
}

TEST(CodePage932, EightBitVersion5TextIsTakenThroughUnicodeAsWindowsNtTakesIt) {
  const std::string header = "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\Q]\r\n";
  // 87 90 is the second form of U+2252; Windows NT gives it back as 81 E0.
  MemoryRegistry registry;
  ASSERT_TRUE(Load(header + "; \x82 in a comment\r\n\"A\"=\"\x87\x90\"\r\n", 932, registry));
  EXPECT_EQ(ValueBytes(registry, kHkeyLocalMachine, "Q", "A"), "\x81\xE0"s + '\0');

  EXPECT_EQ(Refusal(header + "\"A\"=\"\x82\"\r\n", 932),
            "machine.reg:3: byte 82 is no character in code page 932, the machine's ANSI code page");
  EXPECT_EQ(Refusal(header + "\"A\"=\"\x85\x40\"\r\n", 932),
            "machine.reg:3: bytes 85 40 are no character in code page 932, the machine's ANSI code page");

  // A REGEDIT4 file keeps the bytes, as Windows 95 and 98 do.
  MemoryRegistry kept;
  ASSERT_TRUE(Load("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Q]\r\n\"A\"=\"\x87\x90\x82\"\r\n", 932, kept));
  EXPECT_EQ(ValueBytes(kept, kHkeyLocalMachine, "Q", "A"), "\x87\x90\x82"s + '\0');
}

TEST(CodePage932, CharactersOutsideTheMachinesCodePageAreRefusedWithIt) {
  const std::string japanese = Utf16File(u"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n\"Name\"=\"ソフト\"\r\n");
  EXPECT_EQ(Refusal(japanese, 1252),
            "machine.reg:3: character U+30BD has no form in code page 1252, the machine's ANSI code page");

  const std::string accented = Utf16File(u"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n\"Name\"=\"Caf\u00e9\"\r\n");
  EXPECT_EQ(Refusal(accented, 932),
            "machine.reg:3: character U+00E9 has no form in code page 932, the machine's ANSI code page");
}

TEST(CodePage932, ErrorExcerptsShowTheCharacters) {
  const std::string refusal = Refusal("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Q]\r\n\x83\x5C\x82\r\n", 932);
  EXPECT_NE(refusal.find("found '\xE3\x82\xBD\\x82'"), std::string::npos) << refusal;
}

}  // namespace
}  // namespace korvane::sim
