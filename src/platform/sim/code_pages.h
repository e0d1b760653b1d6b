// The simulated machine's ANSI code page: 1252, or 932 (Japanese, double-byte), as Windows
// has them. The one conversion of ANSI text: the registry's UTF-16 and hive data, the
// report and the screen all take their characters from here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvane::sim {

constexpr unsigned kCodePageWestern = 1252;
constexpr unsigned kCodePageJapanese = 932;

// 932 (Japanese) for a user language whose primary language is Japanese, else 1252.
unsigned AnsiCodePageFor(unsigned languageId);

// The byte classes of code page 932: a lead byte and the trail byte that completes it.
inline bool IsLeadByte932(unsigned char byte) { return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC); }
inline bool IsTrailByte932(unsigned char byte) { return byte >= 0x40 && byte <= 0xFC && byte != 0x7F; }

// The bytes of the character at text[at]: 2 for a lead byte of code page 932 followed by a
// trail byte, else 1. A trail byte can be '\\', '[', ']' or a letter, so anything that
// scans ANSI text for ASCII syntax must step by this.
inline std::size_t AnsiCharLength(unsigned codePage, std::string_view text, std::size_t at) {
  if (codePage != kCodePageJapanese || at + 1 >= text.size()) return 1;
  return IsLeadByte932(static_cast<unsigned char>(text[at])) && IsTrailByte932(static_cast<unsigned char>(text[at + 1]))
             ? 2
             : 1;
}
// A lead byte of code page 932 not followed by a trail byte: text that is no character.
bool IsLoneLeadByte(unsigned codePage, std::string_view text, std::size_t at);

// The character of one ANSI character's bytes (AnsiCharLength of them), as
// MultiByteToWideChar gives it: every byte of 1252 has one (its five undefined bytes the C1
// control of the same number); in 932 a lone lead byte or an unassigned pair is U+30FB.
char32_t AnsiCharToUnicode(unsigned codePage, std::string_view bytes);
// False for a lone lead byte and for a pair code page 932 leaves unassigned.
bool IsAnsiCharacter(unsigned codePage, std::string_view bytes);
// Writes the ANSI bytes of `c` (one or two) to `out` and returns their count; 0 when the
// code page has none.
std::size_t UnicodeToAnsiBytes(unsigned codePage, char32_t c, char out[2]);
// Appends the ANSI bytes of `c`; false when the code page has none.
inline bool UnicodeToAnsiChar(unsigned codePage, char32_t c, std::string* out) {
  char bytes[2];
  const std::size_t count = UnicodeToAnsiBytes(codePage, c, bytes);
  out->append(bytes, count);
  return count != 0;
}

// Each character as AnsiCharToUnicode gives it, so that nothing is lost: 1252's undefined
// bytes are their C1 controls, and 932's bytes of no character U+30FB.
std::string AnsiToUtf8(std::string_view text, unsigned codePage);

// Appends the UTF-8 bytes of `c`.
void AppendUtf8(char32_t c, std::string* out);

}  // namespace korvane::sim
