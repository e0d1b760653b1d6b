#include "platform/sim/code_pages.h"

#include "platform/sim/code_page_932_table.h"

#include <array>
#include <cstdint>
#include <unordered_map>

namespace korvane::sim {

namespace {

// The characters of the bytes 0x80 to 0x9F in 1252. The five bytes the code page leaves
// undefined stand for the C1 control of the same number, as MultiByteToWideChar has them, so
// that every byte has exactly one character and UTF-16 text converts back to the same bytes.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr char32_t kNoCharacter932 = 0x30FB;  // the code page's default character

// The character of one code page 932 character's bytes (AnsiCharLength of them); 0 for none.
char32_t Character932(std::string_view bytes) {
  const auto first = static_cast<unsigned char>(bytes[0]);
  if (bytes.size() < 2) return kCp932Single[first];
  return kCp932Pairs[Cp932LeadIndex(first)][Cp932TrailIndex(static_cast<unsigned char>(bytes[1]))];
}

// The bytes written for each character of code page 932: one byte, or lead << 8 | trail.
// Several pairs can stand for one character (the code page's duplicate rows); Windows
// writes the first in byte order, save that the NEC-selected rows (leads 0xED and 0xEE)
// yield to the IBM extensions (0xFA to 0xFC) that hold the same characters.
class Bytes932 {
 public:
  static const Bytes932& Get() {
    static const Bytes932 bytes;
    return bytes;
  }
  // 0 when the character has none.
  std::uint16_t Of(char32_t c) const {
    const auto found = bytes_.find(c);
    return found == bytes_.end() ? 0 : found->second;
  }

 private:
  Bytes932() {
    for (unsigned byte = 0x80; byte < 0x100; ++byte)
      if (kCp932Single[byte] != 0) bytes_.emplace(kCp932Single[byte], static_cast<std::uint16_t>(byte));
    for (const bool necSelected : {false, true})
      for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
        if (!IsLeadByte932(static_cast<unsigned char>(lead)) || (lead == 0xED || lead == 0xEE) != necSelected) continue;
        for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
          if (trail == 0x7F) continue;
          const char16_t c = kCp932Pairs[Cp932LeadIndex(lead)][Cp932TrailIndex(trail)];
          if (c != 0) bytes_.emplace(c, static_cast<std::uint16_t>(lead << 8 | trail));
        }
      }
  }

  std::unordered_map<char32_t, std::uint16_t> bytes_;
};

}  // namespace

unsigned AnsiCodePageFor(unsigned languageId) {
  return (languageId & 0x3FF) == 0x11 ? kCodePageJapanese : kCodePageWestern;
}

bool IsLoneLeadByte(unsigned codePage, std::string_view text, std::size_t at) {
  return codePage == kCodePageJapanese && IsLeadByte932(static_cast<unsigned char>(text[at])) &&
         AnsiCharLength(codePage, text, at) == 1;
}

char32_t AnsiCharToUnicode(unsigned codePage, std::string_view bytes) {
  const auto first = static_cast<unsigned char>(bytes[0]);
  if (first < 0x80) return first;
  if (codePage != kCodePageJapanese) return first < 0xA0 ? kCp1252High[first - 0x80] : first;
  const char32_t c = Character932(bytes);
  return c == 0 ? kNoCharacter932 : c;
}

bool IsAnsiCharacter(unsigned codePage, std::string_view bytes) {
  const auto first = static_cast<unsigned char>(bytes[0]);
  if (codePage != kCodePageJapanese || first < 0x80) return true;
  return Character932(bytes) != 0;
}

std::size_t UnicodeToAnsiBytes(unsigned codePage, char32_t c, char out[2]) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (codePage != kCodePageJapanese) {
    if (c >= 0xA0 && c <= 0xFF) {
      out[0] = static_cast<char>(c);
      return 1;
    }
    for (std::size_t i = 0; i < kCp1252High.size(); ++i)
      if (kCp1252High[i] == c) {
        out[0] = static_cast<char>(0x80 + i);
        return 1;
      }
    return 0;
  }
  const std::uint16_t bytes = Bytes932::Get().Of(c);
  if (bytes == 0) return 0;
  if (bytes <= 0xFF) {
    out[0] = static_cast<char>(bytes);
    return 1;
  }
  out[0] = static_cast<char>(bytes >> 8);
  out[1] = static_cast<char>(bytes & 0xFF);
  return 2;
}

std::string AnsiToUtf8(std::string_view text, unsigned codePage) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = AnsiCharLength(codePage, text, at);
    AppendUtf8(AnsiCharToUnicode(codePage, text.substr(at, length)), &out);
    at += length;
  }
  return out;
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace korvane::sim
