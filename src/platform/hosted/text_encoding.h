// Conversions between the simulated machine's ANSI code page and the terminal's UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace korvane::hosted {

// 932 (Japanese) for a user language whose primary language is Japanese, else 1252.
unsigned AnsiCodePageFor(unsigned languageId);
// Bytes that do not convert become U+FFFD.
std::string AnsiToUtf8(std::string_view text, unsigned codePage);

}  // namespace korvane::hosted
