// What the .reg reader and writer share: the two headers, the line ending regedit writes, the
// escapes of a quoted text, the value types a 5.00 file holds as UTF-16, and how a machine
// file was read and is written.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/registry.h"

namespace korvane::sim {

enum class RegFileFormat { kRegedit4, kVersion5 };

// How a machine file was read, and what to write: the writer writes `format` in `codePage`,
// REGEDIT4 as 8-bit text and 5.00 as UTF-16LE with its BOM (reg_writer.h), whatever `utf16`
// says; lines end in CRLF.
struct RegFileEncoding {
  RegFileFormat format = RegFileFormat::kVersion5;
  bool utf16 = false;  // the file was UTF-16LE with a BOM
  unsigned codePage = 1252;  // the ANSI code page of the registry's texts
};

inline constexpr std::string_view kRegHeader4 = "REGEDIT4";
inline constexpr std::string_view kRegHeader5 = "Windows Registry Editor Version 5.00";
inline constexpr std::string_view kRegNewline = "\r\n";

// The escapes of a quoted text: kRegEscaped[i] stands there as a backslash and
// kRegEscapeLetters[i]. Regedit writes \\ and \"; Wine's regedit also writes line breaks as
// \n and \r, which would otherwise cut the line.
inline constexpr std::string_view kRegEscaped = "\\\"\n\r";
inline constexpr std::string_view kRegEscapeLetters = "\\\"nr";

// Types whose data the ANSI registry functions convert between UTF-16 and ANSI on NT, and
// which 5.00 files therefore hold as UTF-16LE.
inline bool IsTextType(std::uint32_t type) {
  return type == platform::kRegSz || type == platform::kRegExpandSz || type == platform::kRegMultiSz;
}

}  // namespace korvane::sim
