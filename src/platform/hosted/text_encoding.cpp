#include "platform/hosted/text_encoding.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace korvane::hosted {

namespace {

// The characters of the bytes 0x80 to 0x9F in 1252. The five bytes the code page leaves
// undefined stand for the C1 control of the same number, as MultiByteToWideChar has them, so
// that every byte has exactly one character and UTF-16 text converts back to the same bytes.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr char32_t kNoCharacter932 = 0x30FB;  // the code page's default character

// Code page 932 as tables, built once from the C library's converter: the character of every
// single byte and of every lead and trail pair, and the bytes of every character.
class Tables932 {
 public:
  static const Tables932& Get() {
    static const Tables932 tables;
    return tables;
  }

  // The character of one character's bytes (AnsiCharLength of them); 0 for none.
  char32_t Character(std::string_view bytes) const {
    const auto first = static_cast<unsigned char>(bytes[0]);
    return bytes.size() >= 2 ? pairs_[first << 8 | static_cast<unsigned char>(bytes[1])] : single_[first];
  }
  // 0 when the character has no bytes; else one byte, or lead << 8 | trail.
  std::uint16_t Bytes(char32_t c) const {
    const auto found = bytes_.find(c);
    return found == bytes_.end() ? 0 : found->second;
  }

 private:
  Tables932() : pairs_(0x10000, 0) {
    iconv_t toUnicode = iconv_open("UTF-32LE", "CP932");
    for (unsigned byte = 0; byte < 0x100; ++byte) {
      single_[byte] = 0;
      if (IsLeadByte932(static_cast<unsigned char>(byte))) continue;
      const char in[1] = {static_cast<char>(byte)};
      single_[byte] = Convert(toUnicode, in, 1);
    }
    // The bytes the converter leaves out, as Windows maps them.
    single_[0x80] = 0x0080;
    single_[0xA0] = 0xF8F0;
    single_[0xFD] = 0xF8F1;
    single_[0xFE] = 0xF8F2;
    single_[0xFF] = 0xF8F3;
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
      if (!IsLeadByte932(static_cast<unsigned char>(lead))) continue;
      for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
        if (!IsTrailByte932(static_cast<unsigned char>(trail))) continue;
        const char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        pairs_[lead << 8 | trail] = Convert(toUnicode, in, 2);
      }
    }
    iconv_close(toUnicode);

    // Several pairs can stand for one character (the code page's duplicate rows): the
    // bytes written for it are those the converter chooses, as Windows chooses them.
    iconv_t fromUnicode = iconv_open("CP932", "UTF-32LE");
    const auto add = [&](char32_t c, std::uint16_t bytes) {
      if (c == 0 || bytes_.count(c) != 0) return;
      char in[4] = {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8 & 0xFF), static_cast<char>(c >> 16 & 0xFF),
                    0};
      char out[4];
      char* inPtr = in;
      char* outPtr = out;
      std::size_t inLeft = 4;
      std::size_t outLeft = sizeof out;
      iconv(fromUnicode, nullptr, nullptr, nullptr, nullptr);
      if (fromUnicode != reinterpret_cast<iconv_t>(-1) &&
          iconv(fromUnicode, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1)) {
        const std::size_t length = sizeof out - outLeft;
        if (length == 1) bytes = static_cast<unsigned char>(out[0]);
        if (length == 2) bytes = static_cast<std::uint16_t>(static_cast<unsigned char>(out[0]) << 8 |
                                                            static_cast<unsigned char>(out[1]));
      }
      bytes_.emplace(c, bytes);
    };
    for (unsigned byte = 0; byte < 0x100; ++byte) add(single_[byte], static_cast<std::uint16_t>(byte));
    for (unsigned pair = 0; pair < 0x10000; ++pair) add(pairs_[pair], static_cast<std::uint16_t>(pair));
    if (fromUnicode != reinterpret_cast<iconv_t>(-1)) iconv_close(fromUnicode);
  }

  static char32_t Convert(iconv_t converter, const char* bytes, std::size_t size) {
    if (converter == reinterpret_cast<iconv_t>(-1)) return size == 1 && bytes[0] >= 0 ? bytes[0] : 0;
    char* in = const_cast<char*>(bytes);
    unsigned char out[8];
    char* outPtr = reinterpret_cast<char*>(out);
    std::size_t inLeft = size;
    std::size_t outLeft = sizeof out;
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    if (iconv(converter, &in, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) ||
        sizeof out - outLeft != 4)
      return 0;
    return static_cast<char32_t>(out[0] | out[1] << 8 | out[2] << 16 | static_cast<std::uint32_t>(out[3]) << 24);
  }

  std::array<char32_t, 0x100> single_{};
  std::vector<char32_t> pairs_;  // by lead << 8 | trail; 0 for no character
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
  const char32_t c = Tables932::Get().Character(bytes);
  return c == 0 ? kNoCharacter932 : c;
}

bool IsAnsiCharacter(unsigned codePage, std::string_view bytes) {
  const auto first = static_cast<unsigned char>(bytes[0]);
  if (codePage != kCodePageJapanese || first < 0x80) return true;
  return Tables932::Get().Character(bytes) != 0;
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
  const std::uint16_t bytes = Tables932::Get().Bytes(c);
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
  bool ascii = true;
  for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return std::string(text);

  iconv_t converter = iconv_open("UTF-8", codePage == kCodePageJapanese ? "CP932" : "CP1252");
  if (converter == reinterpret_cast<iconv_t>(-1)) return std::string(text);
  std::string out;
  out.resize(text.size() * 4 + 4);
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  char* outPtr = out.data();
  std::size_t outLeft = out.size();
  while (inLeft > 0) {
    if (iconv(converter, &in, &inLeft, &outPtr, &outLeft) != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) break;  // cannot happen: four bytes out for every byte in
    // An invalid or incomplete sequence: one replacement character, then go on.
    ++in;
    --inLeft;
    if (outLeft >= 3) {
      *outPtr++ = '\xEF';
      *outPtr++ = '\xBF';
      *outPtr++ = '\xBD';
      outLeft -= 3;
    }
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(converter);
  out.resize(out.size() - outLeft);
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

}  // namespace korvane::hosted
