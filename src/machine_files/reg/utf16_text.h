// Text-type registry data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ: IsTextType) as Windows NT
// stores it, UTF-16LE, which is also how hives and 5.00 machine files hold it, and the ANSI
// form the utility reads and writes through the machine's code page. Every format converts
// through these two functions, so that a value reads and writes the same in each.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::sim {

// Appends the ANSI form of UTF-16LE data to `ansi`, a code unit at a time, as the ANSI
// registry functions of Windows NT give it. A unit the code page has no form for becomes
// `substitute`; with a substitute of 0 the conversion stops there instead and returns false
// with the unit in *missing. An odd last byte is no code unit and is left out.
bool NarrowUtf16Data(std::string_view utf16, unsigned codePage, char substitute, std::string* ansi,
                     char32_t* missing = nullptr);

// Appends the UTF-16LE form of ANSI text to `utf16`, a character at a time (a lone lead byte
// of code page 932 becomes U+30FB, as Windows converts it).
void WidenAnsiData(std::string_view ansi, unsigned codePage, std::vector<std::uint8_t>* utf16);

}  // namespace korvane::sim
