// Code page 932 (Japanese Shift-JIS, as Windows has it) as data: the character of every
// single byte and of every lead and trail byte pair. Generated once by
// scripts/make_cp932_table.py; the conversions in code_pages.h read it.
#pragma once

namespace korvane::sim {

inline constexpr unsigned kCp932FirstTrail = 0x40;
inline constexpr unsigned kCp932LeadCount = 60;    // 0x81 to 0x9F, 0xE0 to 0xFC
inline constexpr unsigned kCp932TrailCount = 188;  // 0x40 to 0xFC but 0x7F

// 0 where the bytes have no character (and for a lead byte in kCp932Single).
extern const char16_t kCp932Single[256];
extern const char16_t kCp932Pairs[kCp932LeadCount][kCp932TrailCount];

// The row of a lead byte in kCp932Pairs, and the column of a trail byte.
constexpr unsigned Cp932LeadIndex(unsigned lead) { return lead <= 0x9F ? lead - 0x81 : lead - 0xE0 + 0x1F; }
constexpr unsigned Cp932TrailIndex(unsigned trail) {
  return trail < 0x7F ? trail - kCp932FirstTrail : trail - kCp932FirstTrail - 1;
}

}  // namespace korvane::sim
