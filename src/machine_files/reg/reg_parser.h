// The .reg reader's parser: the text of a machine file (ANSI, in the registry's code page,
// as reg_reader.cpp decodes it) applied to a MemoryRegistry line by line, the first malformed
// line ending it with its error. Its lines, headers and key lines are in reg_parser.cpp, its
// value lines in reg_values.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "machine_files/reg/reg_format.h"
#include "machine_files/reg/reg_reader.h"
#include "platform/sim/memory_registry.h"

namespace korvane::sim {

// A character of the file that has no ANSI form in the machine's code page. It stands in the
// decoded text as '?' (or as its bytes), and the line that holds it is refused unless it is a
// comment.
struct Unmappable {
  std::size_t offset;  // in the decoded text
  char32_t character;  // 0: the bytes below are no character
  std::string bytes = {};
};

class RegParser {
 public:
  // `unmappable` in the order of their offsets.
  RegParser(std::string_view text, std::string_view file, const std::vector<Unmappable>& unmappable,
            MemoryRegistry& registry, LoadError* error);

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
  static int HexDigit(char c) {  // -1 for no hex digit
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
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

  std::string_view text_;
  std::string_view file_;
  unsigned codePage_;
  RegFileFormat format_ = RegFileFormat::kVersion5;
  const std::vector<Unmappable>& unmappable_;
  std::size_t nextUnmappable_ = 0;
  MemoryRegistry& registry_;
  LoadError* error_;

  std::size_t next_ = 0;  // where the next line starts
  std::size_t lineStart_ = 0;
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
