// The .reg reader's parser: the text of a machine file (ANSI, in the registry's code page,
// as reg_text.h decodes it while it reads) applied to a MemoryRegistry line by line, the first
// malformed line ending it with its error. Its lines, headers and key lines are in
// reg_parser.cpp, its value lines in reg_values.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "machine_files/reg/reg_format.h"
#include "machine_files/reg/reg_reader.h"
#include "machine_files/reg/reg_text.h"
#include "platform/sim/memory_registry.h"

namespace korvane::sim {

// Each byte's value as a hex digit, -1 for none: hex data is most of an export.
inline constexpr std::array<std::int8_t, 256> kHexDigitValues = [] {
  std::array<std::int8_t, 256> values{};
  for (auto& value : values) value = -1;
  for (int c = 0; c < 10; ++c) values['0' + c] = static_cast<std::int8_t>(c);
  for (int c = 0; c < 6; ++c) values['a' + c] = values['A' + c] = static_cast<std::int8_t>(10 + c);
  return values;
}();

class RegParser {
 public:
  // `text` started (MachineText::Start); the parser reads it on as it takes its lines.
  RegParser(MachineText& text, std::string_view file, MemoryRegistry& registry, LoadError* error);

  // The first line names the format; false when it is neither header.
  bool ReadHeader(RegFileFormat* format);
  // The lines after the header, applied to the registry.
  bool Run();

 private:
  static constexpr std::size_t kMaxKeyDepth = 512;
  static constexpr std::size_t kMaxKeyNameLength = 255;
  static constexpr std::size_t kMaxValueNameLength = 16383;

  // Lines (reg_parser.cpp).
  bool NextLine();
  bool Fail(std::string message) { return FailAt(lineNumber_, std::move(message)); }
  bool FailAt(int line, std::string message);
  void SkipBlanks(std::size_t* at) const {
    while (*at < line_.size() && IsBlank(line_[*at])) ++*at;
  }
  bool CheckNoNul();
  bool CheckEncodable();
  // A short, printable excerpt of the text an error is about.
  std::string Quote(std::string_view text) const;
  std::string NoFormText() const;
  std::size_t FindChar(std::string_view text, char c, std::size_t from = 0) const;
  std::size_t CharacterCount(std::string_view text) const;
  static bool IsBlank(char c) { return c == ' ' || c == '\t'; }
  static bool IsBlankText(std::string_view text);
  static int HexDigit(char c) { return kHexDigitValues[static_cast<unsigned char>(c)]; }  // -1 for none
  static std::string CodePointName(char32_t c);  // "U+3042"

  // Key lines (reg_parser.cpp).
  bool ResolveRoot(std::string_view name, platform::RegKey* root);
  bool ParseKeyLine();
  RegNode* EnsureKey(platform::RegKey root, std::string_view path);

  // Value lines (reg_values.cpp).
  bool ParseValueLine();
  bool ParseQuoted(std::size_t* at, std::string* out, const char* what);
  bool ParseHexNumber(std::size_t* at, std::uint32_t* number) const;
  bool EndOfValue(std::size_t at);
  bool ParseHex(std::size_t at);
  bool NarrowTextData(std::uint32_t type, int valueLine);

  MachineText& text_;
  std::string_view file_;
  unsigned codePage_;
  RegFileFormat format_ = RegFileFormat::kVersion5;
  MemoryRegistry& registry_;
  LoadError* error_;

  std::size_t next_ = 0;       // where the next line starts, in the text held
  std::size_t scanned_ = 0;    // how far the text held is known to hold no line end
  std::size_t lineStart_ = 0;  // the line's start and end in the whole text
  std::size_t lineEnd_ = 0;
  int lineNumber_ = 0;
  std::string_view line_;

  RegNode* current_ = nullptr;
  bool afterDeletion_ = false;
  platform::RegKey chainRoot_ = 0;
  std::vector<RegNode*> chain_;
  std::vector<std::string_view> parts_;
  std::string name_;
  std::string data_;
  std::string narrowed_;
};

}  // namespace korvane::sim
