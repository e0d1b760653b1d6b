#include "machine_files/io/printable.h"

#include <cstdio>

namespace korvane::sim {

namespace {

constexpr std::size_t kQuotedLimit = 160;  // bytes of a quoted text, before it is cut

}  // namespace

bool IsControlCharacter(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

void AppendEscape(unsigned char code, std::string* out) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\x%02X", code);
  *out += escaped;
}

std::string EscapeControls(std::string_view utf8) {
  std::string shown;
  for (std::size_t at = 0; at < utf8.size(); ++at) {
    const auto c = static_cast<unsigned char>(utf8[at]);
    const auto next = at + 1 < utf8.size() ? static_cast<unsigned char>(utf8[at + 1]) : 0;
    if (c == 0xC2 && next >= 0x80 && IsControlCharacter(next)) {
      AppendEscape(next, &shown);
      ++at;
    } else if (c < 0x80 && IsControlCharacter(c)) {  // bytes from 0x80 on are parts of characters
      AppendEscape(c, &shown);
    } else {
      shown.push_back(static_cast<char>(c));
    }
  }
  return shown;
}

std::string Printable(std::string_view utf8) {
  if (utf8.size() <= kQuotedLimit) return EscapeControls(utf8);
  // Whole characters either side: a UTF-8 continuation byte is 10xxxxxx.
  const auto continuation = [&](std::size_t at) { return (static_cast<unsigned char>(utf8[at]) & 0xC0) == 0x80; };
  std::size_t head = kQuotedLimit / 2 - 2;
  std::size_t tail = utf8.size() - (kQuotedLimit / 2 - 2);
  while (head > 0 && continuation(head)) --head;
  while (tail < utf8.size() && continuation(tail)) ++tail;
  return EscapeControls(std::string(utf8.substr(0, head)) + "..." + std::string(utf8.substr(tail)));
}

}  // namespace korvane::sim
