// The hive format's layout as both the file and the reading of its keys need it: the base
// block, the bins, and little-endian fields at byte offsets.
#pragma once

#include <endian.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace korvane::sim::hive_layout {

// The hive format's fixed facts: a 4096-byte base block (the header) that starts "regf" and
// says at 0x28 how many bytes of bins follow it; bins of multiples of 4096 bytes, each
// starting "hbin" with its own offset (from the end of the base block) and size.
constexpr std::string_view kHiveSignature = "regf";
constexpr std::string_view kBinSignature = "hbin";
constexpr std::size_t kBaseBlockSize = 0x1000;
constexpr std::size_t kBinsSizeAt = 0x28;
constexpr std::size_t kBinUnit = 0x1000;

inline std::uint32_t Read32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return le32toh(value);
}

inline std::uint16_t Read16(std::string_view bytes, std::size_t at) {
  std::uint16_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return le16toh(value);
}

// A cell's length, from the size before it, negative while the cell is in use.
inline std::size_t CellLength(std::string_view bytes, std::size_t at) {
  const auto raw = static_cast<std::int32_t>(Read32(bytes, at));
  return raw < 0 ? static_cast<std::size_t>(-static_cast<std::int64_t>(raw)) : static_cast<std::size_t>(raw);
}

// The fields of the key ("nk") and value ("vk") records that lead to other cells, from the
// start of each record (its 4-byte size included); offsets in the hive are from the end of the base block, and
// 0xFFFFFFFF is none.
inline constexpr std::size_t kKeySubkeyCount = 24;
inline constexpr std::size_t kKeySubkeyList = 32;
inline constexpr std::size_t kKeyValueCount = 40;
inline constexpr std::size_t kKeyValueList = 44;
inline constexpr std::size_t kKeyClassName = 52;
inline constexpr std::size_t kKeyFieldsEnd = 56;
inline constexpr std::size_t kValueDataLength = 8;
inline constexpr std::size_t kValueDataOffset = 12;
inline constexpr std::size_t kValueFieldsEnd = 16;
inline constexpr std::uint32_t kNoCell = 0xFFFFFFFF;
// A value's data held in its record, not in a cell of its own.
inline constexpr std::uint32_t kDataInline = 0x80000000;

}  // namespace korvane::sim::hive_layout
