#include "platform/hosted/text_encoding.h"

#include <iconv.h>

#include <cerrno>

namespace korvane::hosted {

unsigned AnsiCodePageFor(unsigned languageId) { return (languageId & 0x3FF) == 0x11 ? 932 : 1252; }

std::string AnsiToUtf8(std::string_view text, unsigned codePage) {
  bool ascii = true;
  for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return std::string(text);

  iconv_t converter = iconv_open("UTF-8", codePage == 932 ? "CP932" : "CP1252");
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

}  // namespace korvane::hosted
