// Machine files: reading .reg text into the in-memory registry, writing it back, and the
// changes file of a run.
#include "machine_files/reg/reg_reader.h"
#include "machine_files/reg/reg_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "platform/sim/code_pages.h"
#include "support/utility_test.h"

namespace korvane::sim {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;
using platform::kHkeyDynData;
using platform::kHkeyLocalMachine;
using test::Iconv;
using test::Utf16File;

constexpr RegFileEncoding kRegedit4{RegFileFormat::kRegedit4, false};
constexpr RegFileEncoding kVersion5Ansi{RegFileFormat::kVersion5, false};
constexpr RegFileEncoding kVersion5Utf16{RegFileFormat::kVersion5, true};

::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << text << "\" does not contain \"" << part << "\"";
}

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

// Every key, value, type and byte, in enumeration and stored order.
void DumpNode(const RegNode& node, const std::string& path, std::string* out) {
  *out += path + "\n";
  for (const RegValue& value : node.Values()) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value.type));
    *out += "  \"" + value.name + "\" " + text + ":";
    for (std::uint8_t byte : value.data) {
      std::snprintf(text, sizeof text, " %02x", byte);
      *out += text;
    }
    *out += "\n";
  }
  for (const RegNode* subkey : node.Subkeys()) DumpNode(*subkey, path + "\\" + subkey->Name(), out);
}

std::string Dump(const MemoryRegistry& registry) {
  std::string out;
  DumpNode(registry.Root(kHkeyLocalMachine), "HKLM", &out);
  DumpNode(registry.Root(kHkeyDynData), "HKDD", &out);
  return out;
}

const RegValue* ValueAt(MemoryRegistry& registry, platform::RegKey root, std::string_view path,
                        std::string_view name) {
  RegNode* node = registry.Find(root, path);
  return node == nullptr ? nullptr : node->FindValue(name);
}

::testing::AssertionResult HasValue(MemoryRegistry& registry, platform::RegKey root, std::string_view path,
                                    std::string_view name, std::uint32_t type, std::string_view bytes) {
  const RegValue* value = ValueAt(registry, root, path, name);
  if (value == nullptr) return ::testing::AssertionFailure() << path << " / " << name << " is missing";
  if (value->type != type || value->data != Bytes(bytes))
    return ::testing::AssertionFailure()
           << path << " / " << name << " has type " << value->type << " and " << value->data.size()
           << " bytes '" << std::string(value->data.begin(), value->data.end()) << "'";
  return ::testing::AssertionSuccess();
}

// Reads `text` as the file machine.reg; a failure carries its error, which *error gets as well.
::testing::AssertionResult Load(std::string_view text, MemoryRegistry& registry, RegFileEncoding* info = nullptr,
                                LoadError* error = nullptr) {
  LoadError unused;
  LoadError* out = error == nullptr ? &unused : error;
  if (LoadMachineText(text, "machine.reg", registry, info, out)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << out->ToString();
}

// --- Round trips ---

// One value of every kind the writer distinguishes, in both roots, with an empty key.
void FillEveryKind(MemoryRegistry& registry) {
  RegNode& values = registry.Ensure(kHkeyLocalMachine, "Software\\Quillfeather\\Values");
  values.PutValue("", 1, Bytes("Lantern\0"sv));
  values.PutValue("Text", 1, Bytes("Brass \"Lantern\" at C:\\Lamps\0"sv));
  values.PutValue("Say \"hi\"\\there", 1, Bytes("x\0"sv));
  values.PutValue("Accents \xE9", 1, Bytes("Caf\xE9 \x80 \x81 \x9F\xFF\0"sv));
  values.PutValue("EmptyText", 1, Bytes("\0"sv));
  values.PutValue("NoTerminator", 1, Bytes("0"));
  values.PutValue("EmbeddedZero", 1, Bytes("a\0b\0"sv));
  values.PutValue("NoData", 1, {});
  values.PutValue("Lines", 1, Bytes("two\r\nlines\0"sv));
  values.PutValue("Name\nbroken", 1, Bytes("x\0"sv));
  values.PutValue("\r\n", 4, Bytes("\x01\0\0\0"sv));
  values.PutValue("Count", 4, Bytes("\x2A\0\0\0"sv));
  values.PutValue("ShortDword", 4, Bytes("\x01\x02"));
  std::vector<std::uint8_t> blob;
  for (int i = 0; i < 100; ++i) blob.push_back(static_cast<std::uint8_t>(i * 7));
  values.PutValue("Blob", 3, blob);
  values.PutValue("EmptyBlob", 3, {});
  values.PutValue("None", 0, {});
  values.PutValue("Qword", 0xB, Bytes("\xEF\xCD\xAB\x89\x67\x45\x23\x01"));
  values.PutValue("Large type", 0x12345678, Bytes("\xFF"));
  values.PutValue("Expand", 2, Bytes("%SystemRoot%\\W\xE9\x80\0"sv));
  values.PutValue("ExpandNoTerminator", 2, Bytes("ab"));
  values.PutValue("Multi", 7, Bytes("Cotton\0Lin\xE9n\0\0"sv));
  registry.Ensure(kHkeyLocalMachine, "Software\\Quillfeather\\Values\\Empty Subkey");
  registry.Root(kHkeyLocalMachine).PutValue("At the root", 1, Bytes("r\0"sv));
  registry.Ensure(kHkeyDynData, "Config Manager\\Enum\\C29A3B40").PutValue("Problem", 3, Bytes("\0\0\0\0"sv));
}

TEST(MachineFileRoundTrip, EveryValueKeepsItsTypeAndBytesInEveryFormatAndEncoding) {
  MemoryRegistry original;
  FillEveryKind(original);
  for (const RegFileEncoding& info : {kRegedit4, kVersion5Utf16}) {
    SCOPED_TRACE(std::string(info.format == RegFileFormat::kRegedit4 ? "REGEDIT4" : "5.00") +
                 (info.utf16 ? " UTF-16" : " 8-bit"));
    const std::string text = FormatMachine(original, info);
    MemoryRegistry reread;
    RegFileEncoding readInfo{RegFileFormat::kRegedit4, !info.utf16};
    ASSERT_TRUE(Load(text, reread, &readInfo));
    EXPECT_EQ(readInfo.format, info.format);
    EXPECT_EQ(readInfo.utf16, info.utf16);
    EXPECT_EQ(Dump(reread), Dump(original));
    EXPECT_EQ(FormatMachine(reread, readInfo), text);
  }
}

TEST(MachineFileRoundTrip, ReadsWineRegeditExportAndWritesItBackAsRegeditDoes) {
  const std::string path = KORVANE_SOURCE_DIR "/tests/unit/data/wine_export.reg";
  MemoryRegistry registry;
  RegFileEncoding info;
  LoadError error;
  ASSERT_TRUE(LoadMachineFile(path, registry, &info, &error)) << error.ToString();
  EXPECT_EQ(info.format, RegFileFormat::kVersion5);
  EXPECT_TRUE(info.utf16);

  const std::string key = "Software\\Quillfeather\\Lantern Works";
  EXPECT_TRUE(HasValue(registry, kHkeyLocalMachine, key, "", 1, "Lantern default\0"sv));
  EXPECT_TRUE(HasValue(registry, kHkeyLocalMachine, key, "Title", 1, "Brass \"Lantern\" at C:\\Lamps\0"sv));
  EXPECT_TRUE(HasValue(registry, kHkeyLocalMachine, key, "Caf", 1,
                       "Caf\xE9 \x80"
                       "5\0"sv));
  EXPECT_TRUE(HasValue(registry, kHkeyLocalMachine, key, "Empty", 1, "\0"sv));
  EXPECT_TRUE(HasValue(registry, kHkeyLocalMachine, key, "Note", 1, "two\nlines\0"sv));
  EXPECT_TRUE(HasValue(registry, kHkeyLocalMachine, key, "Count", 4, "\x2A\0\0\0"sv));
  EXPECT_TRUE(HasValue(registry, kHkeyLocalMachine, key, "Home", 2, "%SystemRoot%\\Wick\0"sv));
  EXPECT_TRUE(HasValue(registry, kHkeyLocalMachine, key, "Wicks", 7, "Cotton\0Linen\0\0"sv));
  EXPECT_TRUE(HasValue(registry, kHkeyLocalMachine, key, "Serial", 0xB, "\xEF\xCD\xAB\x89\x67\x45\x23\x01"));
  EXPECT_TRUE(HasValue(registry, kHkeyLocalMachine, key, "Raw", 0, ""));
  const RegValue* blob = ValueAt(registry, kHkeyLocalMachine, key, "Blob");
  ASSERT_NE(blob, nullptr);
  ASSERT_EQ(blob->data.size(), 0x31u);
  for (std::size_t i = 0; i < blob->data.size(); ++i) EXPECT_EQ(blob->data[i], i);
  EXPECT_TRUE(
      HasValue(registry, kHkeyLocalMachine, key + "\\Spare Wicks\\Cotton", "Length", 4, "\x07\0\0\0"sv));
  ASSERT_NE(registry.Find(kHkeyLocalMachine, key + "\\Spare Wicks"), nullptr);
  EXPECT_TRUE(registry.Find(kHkeyLocalMachine, key + "\\Spare Wicks")->Values().empty());

  // Written back: the same bytes, wrapping included, except that the store also holds the
  // Software key the export starts below, and that a text with a line break goes out as
  // hex(1), which every regedit reads.
  std::ifstream file(path, std::ios::binary);
  std::string expected{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  const std::string header = Utf16File("Windows Registry Editor Version 5.00\r\n\r\n");
  ASSERT_EQ(expected.compare(0, header.size(), header), 0);
  expected.insert(header.size(), Utf16File("[HKEY_LOCAL_MACHINE\\Software]\r\n\r\n", false));
  const std::string note = Utf16File("\"Note\"=\"two\\nlines\"", false);
  const std::size_t at = expected.find(note);
  ASSERT_NE(at, std::string::npos);
  expected.replace(
      at, note.size(),
      Utf16File("\"Note\"=hex(1):74,00,77,00,6f,00,0a,00,6c,00,69,00,6e,00,65,00,73,00,00,00", false));
  EXPECT_EQ(FormatMachine(registry, info), expected);
}

TEST(FormatMachine, WritesEachKindAsRegeditDoes) {
  MemoryRegistry registry;
  registry.Root(kHkeyLocalMachine).PutValue("Owner", 1, Bytes("x\0"sv));
  RegNode& key = registry.Ensure(kHkeyLocalMachine, "Software\\Quillfeather");
  key.PutValue("", 1, Bytes("Lamp\0"sv));
  key.PutValue("Home", 2, Bytes("%A%\xE9\x80\0"sv));
  key.PutValue("Odd", 1, Bytes("0"));
  key.PutValue("Cr", 1, Bytes("a\rb\0"sv));
  key.PutValue("Count", 4, Bytes("\x2A\0\0\0"sv));
  key.PutValue("Two", 4, Bytes("\x01\x02"));
  key.PutValue("Blob", 3, Bytes("\xDE\xAD"));
  registry.Ensure(kHkeyLocalMachine, "Software\\Quillfeather\\Empty");
  registry.Ensure(kHkeyDynData, "Config Manager").PutValue("Problem", 4, Bytes("\0\0\0\0"sv));

  const auto expected = [](std::string_view header, std::string_view home, std::string_view odd,
                           std::string_view cr) {
    return std::string(header) +
           "\r\n\r\n"
           "[HKEY_LOCAL_MACHINE]\r\n\"Owner\"=\"x\"\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\Software]\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\Software\\Quillfeather]\r\n"
           "@=\"Lamp\"\r\n" +
           std::string(home) + "\r\n" + std::string(odd) + "\r\n" + std::string(cr) +
           "\r\n"
           "\"Count\"=dword:0000002a\r\n"
           "\"Two\"=hex(4):01,02\r\n"
           "\"Blob\"=hex:de,ad\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\Software\\Quillfeather\\Empty]\r\n\r\n"
           "[HKEY_DYN_DATA\\Config Manager]\r\n\"Problem\"=dword:00000000\r\n\r\n";
  };
  // REGEDIT4 holds the ANSI bytes; 5.00 holds text types as UTF-16LE (0x80 is the euro sign).
  EXPECT_EQ(FormatMachine(registry, kRegedit4), expected("REGEDIT4", "\"Home\"=hex(2):25,41,25,e9,80,00",
                                                         "\"Odd\"=hex(1):30", "\"Cr\"=hex(1):61,0d,62,00"));
  const std::string version5 =
      expected("Windows Registry Editor Version 5.00", "\"Home\"=hex(2):25,00,41,00,25,00,e9,00,ac,20,00,00",
               "\"Odd\"=hex(1):30,00", "\"Cr\"=hex(1):61,00,0d,00,62,00,00,00");
  EXPECT_EQ(FormatMachine(registry, kVersion5Utf16), Utf16File(version5));
  // 5.00 is written as UTF-16LE as regedit writes it, and REGEDIT4 as 8-bit text, which its
  // readers need, whatever the file read was.
  EXPECT_EQ(FormatMachine(registry, kVersion5Ansi), Utf16File(version5));
  EXPECT_EQ(FormatMachine(registry, RegFileEncoding{RegFileFormat::kRegedit4, true}),
            FormatMachine(registry, kRegedit4));

  MemoryRegistry empty;
  EXPECT_EQ(FormatMachine(empty, kRegedit4), "REGEDIT4\r\n\r\n");
}

// glibc's converter is the reference; it has no character for the five bytes the code page
// leaves undefined, which MultiByteToWideChar maps to the C1 control of the same number. The
// file's UTF-16 and the texts shown in UTF-8 agree on every byte.
TEST(FormatMachine, ConvertsAnsiTextThroughCodePage1252) {
  std::string high;
  for (int byte = 0x80; byte <= 0xFF; ++byte) high += static_cast<char>(byte);
  MemoryRegistry registry;
  registry.Ensure(kHkeyLocalMachine, "Q").PutValue("High", 1, Bytes(high + '\0'));
  const std::string text = FormatMachine(registry, kVersion5Utf16);
  const std::string prefix = Utf16File("\"High\"=\"", false);
  const std::size_t at = text.find(prefix);
  ASSERT_NE(at, std::string::npos);
  const std::string written = text.substr(at + prefix.size(), 2 * high.size());
  for (std::size_t i = 0; i < high.size(); ++i) {
    const std::string in = high.substr(i, 1);
    const unsigned byte = static_cast<unsigned char>(in[0]);
    const bool undefined = byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D;
    const std::string expected = undefined ? Utf16File(in, false) : Iconv(in, "CP1252", "UTF-16LE");
    EXPECT_EQ(written.substr(2 * i, 2), expected) << "byte " << byte;
    EXPECT_EQ(AnsiToUtf8(in, 1252), Iconv(expected, "UTF-16LE", "UTF-8")) << "byte " << byte;
  }

  MemoryRegistry reread;
  ASSERT_TRUE(Load(text, reread));
  EXPECT_TRUE(HasValue(reread, kHkeyLocalMachine, "Q", "High", 1, high + '\0'));
}

// --- Reading ---

TEST(LoadMachineText, ReadsCommentsContinuationsEscapesAndAbbreviatedRoots) {
  MemoryRegistry registry;
  ASSERT_TRUE(
      Load("Windows Registry Editor Version 5.00  \n"
           "\n"
           "; a comment\n"
           "   ; an indented comment, and one the code page cannot hold would be refused\n"
           "[HKLM\\Software\\Quillfeather\\]\n"
           "\"Spaced\" = \"yes\"   ; a comment after the value\n"
           "@=\"default\"\n"
           "\"Quote\\\"Back\\\\slash\"=\"say \\\"hi\\\" C:\\\\\"\n"
           "\"Wrapped\"=hex:01,02,\\\n"
           "    03,04,\\\n"
           "  05\n"
           "\"OneDigit\"=hex:1,A,fF\n"
           "\"Small\"=DWORD:2A\n"
           "\"Expand\"=hex(2):41,00,e9,00,ac,20,00,00\n"
           "\"Replaced\"=\"first\"\n"
           "\"replaced\"=\"second\"\n"
           "[hkey_local_machine\\SOFTWARE\\quillfeather]\n"
           "\"Merged\"=\"yes\"\n"
           "[HKLM\\Config Manager]\n"
           "[HKDD\\Config Manager\\Enum\\C29A3B40]\n"
           "\"HardWareKey\"=\"PCI\\\\VEN_5AB1\"\n",
           registry));
  EXPECT_EQ(Dump(registry),
            "HKLM\n"
            "HKLM\\Config Manager\n"
            "HKLM\\Software\n"
            "HKLM\\Software\\Quillfeather\n"
            "  \"Spaced\" 1: 79 65 73 00\n"
            "  \"\" 1: 64 65 66 61 75 6c 74 00\n"
            "  \"Quote\"Back\\slash\" 1: 73 61 79 20 22 68 69 22 20 43 3a 5c 00\n"
            "  \"Wrapped\" 3: 01 02 03 04 05\n"
            "  \"OneDigit\" 3: 01 0a ff\n"
            "  \"Small\" 4: 2a 00 00 00\n"
            "  \"Expand\" 2: 41 e9 80 00\n"
            "  \"Replaced\" 1: 73 65 63 6f 6e 64 00\n"
            "  \"Merged\" 1: 79 65 73 00\n"
            "HKDD\n"
            "HKDD\\Config Manager\n"
            "HKDD\\Config Manager\\Enum\n"
            "HKDD\\Config Manager\\Enum\\C29A3B40\n"
            "  \"HardWareKey\" 1: 50 43 49 5c 56 45 4e 5f 35 41 42 31 00\n");
}

// Names are limited in characters, as Windows limits them: in code page 932 a double-byte
// character counts once, whatever its trail byte (ソ is 83 5C, a backslash).
struct NameLimitCase {
  unsigned codePage;
  const char* keyCharacter;
  const char* valueCharacter;
  const char* lastValueCharacter;  // the 16,384th
};

class NameLimitTest : public ::testing::TestWithParam<NameLimitCase> {};

TEST_P(NameLimitTest, KeyNamesHold255CharactersAndValueNames16383) {
  const auto repeat = [](const char* character, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += character;
    return text;
  };
  const std::string key = repeat(GetParam().keyCharacter, 255), value = repeat(GetParam().valueCharacter, 16383);
  const auto load = [&](const std::string& body, LoadError* error) {
    MemoryRegistry registry;
    registry.SetAnsiCodePage(GetParam().codePage);
    return Load("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\" + body, registry, nullptr, error) &&
           registry.Find(kHkeyLocalMachine, key) != nullptr;
  };
  LoadError error;
  EXPECT_TRUE(load(key + "]\r\n\"" + value + "\"=\"x\"\r\n", &error)) << error.ToString();
  EXPECT_FALSE(load(key + GetParam().keyCharacter + "]\r\n", &error));
  EXPECT_TRUE(Contains(error.ToString(), "machine.reg:2: key name of 256 characters")) << error.ToString();
  EXPECT_FALSE(load(key + "]\r\n\"" + value + GetParam().lastValueCharacter + "\"=\"x\"\r\n", &error));
  EXPECT_TRUE(Contains(error.ToString(), "machine.reg:3: value name of 16384 characters")) << error.ToString();
}

INSTANTIATE_TEST_SUITE_P(CodePages, NameLimitTest,
                         ::testing::Values(NameLimitCase{1252, "K", "V", "V"},
                                           NameLimitCase{932, "\x83\x5C", "\x82\xA0", "\xB1"}),
                         [](const auto& info) { return "CodePage" + std::to_string(info.param.codePage); });

TEST(LoadMachineText, MalformedInputGivesOneErrorWithItsLine) {
  const std::string header = "Windows Registry Editor Version 5.00\n\n";
  const std::string key = header + "[HKEY_LOCAL_MACHINE\\Software\\Q]\n";  // lines 1 to 3
  // Keys nest at most 512 levels deep, as in the registry.
  std::string deep = "[HKEY_LOCAL_MACHINE";
  for (int level = 0; level < 512; ++level) deep += "\\K" + std::to_string(level);
  struct Case {
    std::string text;
    int line;
    std::string message;
  };
  const Case cases[] = {
      {"", 0, "empty"},
      {"REGEDIT5\n", 1, "missing header"},
      {"\n" + header, 1, "missing header"},
      {"\xEF\xBB\xBFREGEDIT4\n", 1, "UTF-8"},
      {Utf16File("REGEDIT4\n", false), 1, "byte-order mark"},
      {header + "\"Early\"=\"x\"\n", 3, "value line before any key line"},
      {header + "[HKEY_CURRENT_USER\\Software]\n", 3, "HKEY_CURRENT_USER"},
      {header + "[HKCR\\.reg]\n", 3, "HKCR"},
      {header + "[HKEY_LOKAL_MACHINE\\Software]\n", 3, "unknown root key 'HKEY_LOKAL_MACHINE'"},
      {header + "[HKEY_LOCAL_MACHINE\\Software\n", 3, "closing ']'"},
      {header + "[HKEY_LOCAL_MACHINE\\Software] x\n", 3, "junk after the key line"},
      {header + "[-HKEY_LOCAL_MACHINE]\n", 3, "root key cannot be deleted"},
      {header + deep + "\\K512]\n", 3, "key nested 513 levels deep"},
      {key + "[-HKEY_LOCAL_MACHINE\\Software\\Q]\n\"A\"=\"x\"\n", 5, "after a key deletion"},
      {key + "Text=1\n", 4, "expected a key line, a value line or a comment"},
      {key + "\"Name\n", 4, "unterminated value name"},
      {key + "\"Name\" \"x\"\n", 4, "expected '='"},
      {key + "\"Name\"=\n", 4, "no value data"},
      {key + "\"Text\"=\"open\n", 4, "unterminated string"},
      {key + "\"Text\"=\"C:\\temp\"\n", 4, "bad escape '\\t'"},
      {key + "\"Text\"=\"a\" b\n", 4, "junk after the value: 'b'"},
      {key + "\"Size\"=qword:1\n", 4, "unknown value type 'qword:'"},
      {key + "\"Size\"=dword:123456789\n", 4, "bad dword"},
      {key + "\"Size\"=dword:\n", 4, "bad dword"},
      {key + "\"Size\"=dword:12 34\n", 4, "junk after the value"},
      {key + "\"T\"=hex(zz):00\n", 4, "bad value type 'hex(zz):'"},
      {key + "\"Blob\"=hex:01,0\\\n", 4, "truncated hex data"},
      {key + "\"Blob\"=hex:01,02,\\\n\n\"Next\"=\"x\"\n", 5, "truncated hex data"},
      {key + "\"Blob\"=hex:01,02,\\\n[HKEY_LOCAL_MACHINE\\X]\n", 5, "truncated hex data"},
      {key + "\"Blob\"=hex:01,02,\n", 4, "truncated hex data"},
      {key + "\"Blob\"=hex:01,\\\n  02,1g\n", 5, "bad hex byte '1g'"},
      {key + "\"Blob\"=hex:123\n", 4, "more than two digits"},
      {key + "\"Blob\"=hex:01 02\n", 4, "junk after the hex data"},
      {key + "\"Blob\"=hex:01,\\ 02\n", 4, "junk after the '\\'"},
      {key + "\"Blob\"=hex:01,\\\n 02,\\\n 03\n\"Bad\"=\n", 7, "no value data"},
      {key + "\"Home\"=hex(2):41,00,42\n", 4, "hex(2) data of odd length"},
      {key + "\"Home\"=hex(7):41,00,\\\n  42,30,00,00\n", 4, "hex(7) data holds character U+3042"},
      {Utf16File(u"REGEDIT4\r\n\r\n[HKLM\\Q]\r\n\"A\"=\"\u3042\"\r\n"), 4, "character U+3042 has no form"},
      {Utf16File(u"REGEDIT4\r\n[HKLM\\Q]\r\n\"A\"=hex:01,\\\r\n \U0001F600\r\n"), 4, "U+1F600"},
      // A NUL, in a text, a key name of a UTF-16 file, or a comment.
      {key + "\"A\"=\"cut\0short\"\n"s, 4, "NUL character in the line"},
      {Utf16File(u"REGEDIT4\r\n[HKLM\\Q\0R]\r\n"sv), 2, "NUL character in the line"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    MemoryRegistry registry;
    LoadError error;
    EXPECT_FALSE(Load(cases[i].text, registry, nullptr, &error));
    EXPECT_EQ(error.file, "machine.reg");
    EXPECT_EQ(error.line, cases[i].line) << error.message;
    EXPECT_TRUE(Contains(error.message, cases[i].message));
  }

  LoadError error;
  MemoryRegistry registry;
  EXPECT_TRUE(Load(header + deep + "]\n", registry));
  EXPECT_FALSE(Load(key + "\"Blob\"=hex:01,02,\n", registry, nullptr, &error));
  EXPECT_EQ(error.ToString(),
            "machine.reg:4: truncated hex data: the line ends in ',' without a '\\' to continue it");
  EXPECT_FALSE(LoadMachineFile("/nonexistent/machine.reg", registry, nullptr, &error));
  EXPECT_EQ(error.ToString(),
            "/nonexistent/machine.reg: cannot read the machine file: No such file or directory");
  EXPECT_FALSE(LoadMachineFile(KORVANE_SOURCE_DIR "/tests/unit/data", registry, nullptr, &error));
  EXPECT_EQ(error.ToString(),
            KORVANE_SOURCE_DIR "/tests/unit/data: cannot read the machine file: Is a directory");
}

// --- The changes of a run ---

constexpr std::string_view kBaseMachine =
    "Windows Registry Editor Version 5.00\n"
    "[HKEY_LOCAL_MACHINE\\System\\Class\\0000]\n"
    "\"DriverDesc\"=\"Fenwick FastLink 100\"\n"
    "[HKEY_LOCAL_MACHINE\\System\\Class\\0000\\Ndi\\Params]\n";

TEST(FormatChanges, WritesTheRunsCreatesAndSetsSoThatApplyingThemGivesTheSameMachine) {
  MemoryRegistry registry;
  ASSERT_TRUE(Load(kBaseMachine, registry));
  platform::RegKey key = 0;
  std::uint32_t disposition = 0;
  ASSERT_EQ(registry.OpenKey(kHkeyLocalMachine, "System\\Class\\0000", platform::kKeyAllAccess, &key), 0);
  registry.SetValue(key, "NetworkAddress", 1, "0", 1);
  registry.SetValue(key, "IpsecInlineReceiveEnabled", 1, "0", 2);
  registry.CloseKey(key);
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, "System\\Class\\0000\\Ndi\\Params\\NetworkAddress\\",
                               platform::kKeyAllAccess, &key, &disposition),
            0);
  registry.SetValue(key, "ParamDesc", 1, "Locally Administered Address", 29);
  registry.SetValue(key, "Text", 1, "Adresse \xE9", 10);
  registry.CloseKey(key);
  ASSERT_EQ(registry.OpenKey(kHkeyLocalMachine, "System\\Class\\0000", platform::kKeyRead, &key), 0);
  ASSERT_NE(registry.SetValue(key, "Refused", 1, "1", 2), 0);  // a read-only handle
  registry.CloseKey(key);
  ASSERT_EQ(registry.OpenKey(kHkeyLocalMachine, "System\\Class\\0000", platform::kKeyAllAccess, &key), 0);
  registry.SetValue(key, "ReduceSpeedOnPowerDown", 1, "0", 2);
  registry.CloseKey(key);
  // A key made with a parent of its own on the way and deleted again is left out with its
  // values, its creation standing for the parent; the parent's deletion is a deletion line.
  const std::string made = "System\\Class\\0000\\Ndi\\Params\\Made";
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, (made + "\\Undone").c_str(), platform::kKeyAllAccess, &key,
                               &disposition),
            0);
  registry.SetValue(key, "Type", 1, "edit", 4);
  registry.CloseKey(key);
  ASSERT_EQ(registry.DeleteKey(kHkeyLocalMachine, (made + "\\Undone").c_str()), 0);
  ASSERT_EQ(registry.DeleteKey(kHkeyLocalMachine, "System\\Class\\0000\\Ndi\\Params"), 5);  // not a leaf
  ASSERT_EQ(registry.DeleteKey(kHkeyLocalMachine, made.c_str()), 0);

  const auto expected = [](std::string_view header, std::string_view networkAddress) {
    return std::string(header) +
           "\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\System\\Class\\0000]\r\n" +
           std::string(networkAddress) +
           "\r\n"
           "\"IpsecInlineReceiveEnabled\"=\"0\"\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\System\\Class\\0000\\Ndi\\Params\\NetworkAddress]\r\n"
           "\"ParamDesc\"=\"Locally Administered Address\"\r\n"
           "\"Text\"=\"Adresse \xE9\"\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\System\\Class\\0000]\r\n"
           "\"ReduceSpeedOnPowerDown\"=\"0\"\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\System\\Class\\0000\\Ndi\\Params\\Made]\r\n\r\n"
           "[-HKEY_LOCAL_MACHINE\\System\\Class\\0000\\Ndi\\Params\\Made]\r\n\r\n";
  };
  const std::string regedit4 = FormatChanges(registry.Writes(), kRegedit4);
  EXPECT_EQ(regedit4, expected("REGEDIT4", "\"NetworkAddress\"=hex(1):30"));
  const std::string version5 = FormatChanges(registry.Writes(), kVersion5Utf16);
  EXPECT_EQ(version5,
            Utf16File(expected("Windows Registry Editor Version 5.00", "\"NetworkAddress\"=hex(1):30,00")));

  for (const std::string& changes : {regedit4, version5}) {
    MemoryRegistry applied;
    ASSERT_TRUE(Load(kBaseMachine, applied));
    ASSERT_TRUE(Load(changes, applied));
    EXPECT_EQ(Dump(applied), Dump(registry));
  }
}

TEST(FormatChanges, GroupsConsecutiveWritesToOneKeyAndSkipsFailedOnes) {
  using Op = WriteRecord::Op;
  const std::vector<WriteRecord> writes = {
      {Op::kCreate, kHkeyLocalMachine, "A\\\\B\\", 1, "", 0, {}, 0},
      {Op::kSet, kHkeyLocalMachine, "a\\b", 0, "x", 4, Bytes("\x01\0\0\0"sv), 0},
      {Op::kSet, kHkeyLocalMachine, "A\\B", 0, "refused", 1, Bytes("1\0"sv), 5},
      {Op::kSet, 0, "", 0, "closed", 1, Bytes("1\0"sv), 6},
      {Op::kSet, kHkeyDynData, "Config Manager\\Enum", 0, "", 3, Bytes("\x01"), 0},
      {Op::kCreate, kHkeyLocalMachine, "A\\B\\C", 1, "", 0, {}, 0},
      {Op::kCreate, kHkeyLocalMachine, "A\\B\\C", 2, "", 0, {}, 0},
      {Op::kSet, kHkeyLocalMachine, "", 0, "r", 1, Bytes("v\0"sv), 0},
  };
  EXPECT_EQ(FormatChanges(writes, kRegedit4),
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\A\\B]\r\n"
            "\"x\"=dword:00000001\r\n\r\n"
            "[HKEY_DYN_DATA\\Config Manager\\Enum]\r\n"
            "@=hex:01\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE]\r\n"
            "\"r\"=\"v\"\r\n\r\n");
  EXPECT_EQ(FormatChanges({}, kRegedit4), "REGEDIT4\r\n\r\n");
}

// --- Reading a piece at a time ---

// A file is read and decoded a chunk at a time; every chunk size, so every place a chunk can
// end (inside a code unit, a surrogate pair, a CRLF, a double-byte character, a run of
// ASCII), gives the same encoding found and the same registry, or the same error.
TEST(LoadMachineText, GivesTheSameAtEveryChunkSize) {
  const std::string key = "HKLM\nHKLM\\Software\n";
  // One file in each encoding and line ending.
  const std::string ansi =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Caf\xE9]\n"
      "\"Price\"=\"\x80"
      "5\"\n"
      "\"Blob\"=hex:01,\\\n  02\n";
  const std::u16string wide =
      u"Windows Registry Editor Version 5.00\n\n"
      u"[HKEY_LOCAL_MACHINE\\Software\\Caf\u00e9]\n"
      u"\"Price\"=\"\u20ac5\"\n"
      u"\"Blob\"=hex:01,\\\n  02\n";
  const auto crlf = [](auto text) {
    decltype(text) out;
    for (auto c : text) {
      if (c == '\n') out += '\r';
      out += c;
    }
    return out;
  };
  const std::string cafe = key + "HKLM\\Software\\Caf\xE9\n  \"Price\" 1: 80 35 00\n  \"Blob\" 3: 01 02\nHKDD\n";
  struct Case {
    const char* name;
    unsigned codePage;
    std::string text;
    std::string expected;  // the encoding found and the registry's dump, or the error
  };
  const Case cases[] = {
      {"8-bit, LF", 1252, ansi, "5.00\n" + cafe},
      {"8-bit, CR LF", 1252, crlf(ansi), "5.00\n" + cafe},
      {"UTF-16, LF", 1252, Utf16File(wide), "5.00 UTF-16\n" + cafe},
      {"UTF-16, CR LF", 1252, Utf16File(crlf(wide)), "5.00 UTF-16\n" + cafe},
      // REGEDIT4 text-type data is ANSI already.
      {"REGEDIT4's text types", 1252,
       "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Q]\r\n\"Expand\"=hex(2):41,00,e9\r\n\"Sz\"=hex(1):41,42\r\n",
       "REGEDIT4\nHKLM\nHKLM\\Q\n  \"Expand\" 2: 41 00 e9\n  \"Sz\" 1: 41 42\nHKDD\n"},
      {"a comment may hold what the ANSI code page cannot", 1252,
       Utf16File(u"REGEDIT4\r\n; \u3042\r\n[HKLM\\Q]\r\n\"A\"=\"b\"\r\n"),
       "REGEDIT4 UTF-16\nHKLM\nHKLM\\Q\n  \"A\" 1: 62 00\nHKDD\n"},
      {"keys deleted with their subtree, and values deleted", 1252,
       "Windows Registry Editor Version 5.00\n"
       "[HKEY_LOCAL_MACHINE\\A\\D]\n"
       "\"keep\"=\"1\"\n"
       "\"gone\"=\"1\"\n"
       "@=\"d\"\n"
       "[HKEY_LOCAL_MACHINE\\A\\D]\n"
       "\"GONE\"=-\n"
       "@=-\n"
       "\"never there\"=-\n"
       "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n"
       "\"x\"=\"1\"\n"
       "[-HKEY_LOCAL_MACHINE\\A\\B]\n"
       "[-HKEY_LOCAL_MACHINE\\A\\Missing\\Too]\n"
       "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n"
       "\"new\"=\"1\"\n",
       "5.00\nHKLM\nHKLM\\A\nHKLM\\A\\B\nHKLM\\A\\B\\C\n  \"new\" 1: 31 00\nHKLM\\A\\D\n  \"keep\" 1: 31 00\nHKDD\n"},
      {"UTF-16, ASCII runs beside other characters", 1252,
       Utf16File(u"Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\Software\\Caf\u00e9]\r\n"
                 u"\"Mixed\"=\"ascii runs\u00e9then more ascii\u20ac12345678\"\r\n"
                 u"; \U0001F600 in a comment\r\n"
                 u"\"Blob\"=hex:00,01,0a,\\\r\n  ff,\\\r\n  7f\r\n"
                 u"\"Home\"=hex(2):41,00,e9,00,00,00\r\n"),
       "5.00 UTF-16\n" + key + "HKLM\\Software\\Caf\xE9\n"
             "  \"Mixed\" 1: 61 73 63 69 69 20 72 75 6e 73 e9 74 68 65 6e 20 6d 6f 72 65 20 61 73 63 69 69 80 31 32 33 "
             "34 35 36 37 38 00\n"
             "  \"Blob\" 3: 00 01 0a ff 7f\n  \"Home\" 2: 41 e9 00\nHKDD\n"},
      {"UTF-16 on a Japanese machine", 932,
       Utf16File(u"REGEDIT4\r\n[HKLM\\Software\\\u30bd]\r\n\"\u3042\"=\"a\u30bd\u3042z\"\r\n"),
       "REGEDIT4 UTF-16\n" + key + "HKLM\\Software\\\x83\x5C\n  \"\x82\xA0\" 1: 61 83 5c 82 a0 7a 00\nHKDD\n"},
      {"8-bit 5.00 on a Japanese machine", 932,
       "Windows Registry Editor Version 5.00\r\n[HKLM\\Software\\\x83\x5C]\r\n\"\x82\xA0\"=\"\x83\x5C\x82\xA0\"\r\n",
       "5.00\n" + key + "HKLM\\Software\\\x83\x5C\n  \"\x82\xA0\" 1: 83 5c 82 a0 00\nHKDD\n"},
      {"a surrogate pair on a line", 1252, Utf16File(u"REGEDIT4\r\n[HKLM\\Q]\r\n\"A\"=\"x\U0001F600\"\r\n"),
       "machine.reg:3: character U+1F600 has no form in code page 1252, the machine's ANSI code page"},
      {"a lone lead byte on a Japanese machine", 932,
       "Windows Registry Editor Version 5.00\r\n[HKLM\\Q]\r\n; \x82\r\n\"A\"=\"\x83\x5C\x82\"\r\n",
       "machine.reg:4: byte 82 is no character in code page 932, the machine's ANSI code page"},
      {"a NUL in UTF-16 text, then half a code unit", 1252,
       Utf16File(u"REGEDIT4\r\n[HKLM\\Q]\r\n\"A\"=\"x\"\r\n\"B\"=\"cut\0short\"\r\n"sv) + "x",
       "machine.reg:4: NUL character in the line: no key name, value name, text or comment holds one"},
      {"a NUL in 8-bit text", 1252, "REGEDIT4\r\n[HKLM\\Q]\r\n\r\n; a comment\0\r\n\"A\"=\"x\"\r\n"s,
       "machine.reg:4: NUL character in the line: no key name, value name, text or comment holds one"},
      {"half a code unit after a malformed line", 1252, Utf16File(u"REGEDIT4\r\nJunk\r\n\"A\"=\"x\"\r\n") + "x",
       "machine.reg: the UTF-16LE text ends in half a character"},
      // 01, ESC, DEL and 81 (no character in 1252, a C1 control to a terminal) are shown escaped;
      // E9 and a single right angle quote (9B) are characters.
      {"a junk line's control bytes", 1252, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Q]\nJ\x01\x1b[2J\x7f\xE9\x81\x9B\n",
       "machine.reg:3: expected a key line, a value line or a comment, found "
       "'J\\x01\\x1B[2J\\x7F\xC3\xA9\\x81\xE2\x80\xBA'"},
  };
  for (const Case& test : cases) {
    for (std::size_t chunk = 1; chunk <= test.text.size() + 1; ++chunk) {
      SCOPED_TRACE(std::string(test.name) + ", chunks of " + std::to_string(chunk) + " bytes");
      MemoryRegistry registry;
      registry.SetAnsiCodePage(test.codePage);
      LoadError error;
      // Set to what the reader does not find at one chunk size or the next.
      RegFileEncoding info{RegFileFormat::kRegedit4, chunk % 2 == 0};
      const bool loaded = LoadMachineText(test.text, "machine.reg", registry, &info, &error, chunk);
      const std::string found =
          std::string(info.format == RegFileFormat::kRegedit4 ? "REGEDIT4" : "5.00") + (info.utf16 ? " UTF-16" : "");
      ASSERT_EQ(loaded ? found + "\n" + Dump(registry) : error.ToString(), test.expected);
    }
  }

  // A whole export from a file, read a few bytes at a time.
  const std::string path = KORVANE_SOURCE_DIR "/tests/unit/data/wine_export.reg";
  MemoryRegistry whole;
  LoadError error;
  ASSERT_TRUE(LoadMachineFile(path, whole, nullptr, &error)) << error.ToString();
  for (std::size_t chunk : {1, 2, 3, 7}) {
    MemoryRegistry pieces;
    RegFileEncoding info;
    ASSERT_TRUE(LoadMachineFile(path, pieces, &info, &error, chunk)) << error.ToString();
    EXPECT_TRUE(info.utf16);
    EXPECT_EQ(Dump(pieces), Dump(whole)) << chunk;
  }
}

}  // namespace
}  // namespace korvane::sim
