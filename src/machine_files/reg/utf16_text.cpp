#include "machine_files/reg/utf16_text.h"

#include "platform/sim/code_pages.h"

namespace korvane::sim {

bool NarrowUtf16Data(std::string_view utf16, unsigned codePage, char substitute, std::string* ansi, char32_t* missing) {
  for (std::size_t i = 0; i + 1 < utf16.size(); i += 2) {
    const char32_t unit = static_cast<unsigned char>(utf16[i]) | (static_cast<unsigned char>(utf16[i + 1]) << 8);
    if (unit < 0x80) {
      ansi->push_back(static_cast<char>(unit));
      continue;
    }
    char bytes[2];
    const std::size_t count = UnicodeToAnsiBytes(codePage, unit, bytes);
    if (count == 0 && substitute == 0) {
      if (missing != nullptr) *missing = unit;
      return false;
    }
    if (count == 0) {
      ansi->push_back(substitute);
    } else {
      ansi->append(bytes, count);
    }
  }
  return true;
}

void WidenAnsiData(std::string_view ansi, unsigned codePage, std::vector<std::uint8_t>* utf16) {
  for (std::size_t at = 0; at < ansi.size();) {
    const std::size_t length = AnsiCharLength(codePage, ansi, at);
    // Every character of code pages 1252 and 932 is one UTF-16 code unit.
    const char32_t c = AnsiCharToUnicode(codePage, ansi.substr(at, length));
    at += length;
    utf16->push_back(static_cast<std::uint8_t>(c & 0xFF));
    utf16->push_back(static_cast<std::uint8_t>(c >> 8));
  }
}

}  // namespace korvane::sim
