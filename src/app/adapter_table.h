// The adapter table through which the phases of a run talk to each other, its two counters,
// and the scratch state the registry walks share.
#pragma once

#include <cstdint>
#include "app/key_path.h"

#include "platform/registry.h"

namespace korvane {

inline constexpr int kTableSize = 100;
inline constexpr std::uint32_t kBufferSize = 1024;

struct AdapterRecord {
  std::uint8_t applied = 0;
  std::int32_t supported = 0;
  char description[kBufferSize] = {};
  KeyPath paramKeyPath;
  char ipsecResetName[kBufferSize] = {};
  char powerDownResetName[kBufferSize] = {};
};

using AdapterTable = AdapterRecord[kTableSize];

extern AdapterTable adapterTable;
extern std::int32_t adapterCount;
extern std::int32_t cursor;

extern char nameBuf[kBufferSize];
extern char instanceBuf[kBufferSize];
extern char valueBuf[kBufferSize];
extern platform::RegKey mainKey;
extern platform::RegKey dynKey;
extern std::uint32_t bufferSize;
extern std::uint32_t valueType;

}  // namespace korvane
