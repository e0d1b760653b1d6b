// The platform family of the running system and the registry roots its walks start from.
#pragma once

#include <cstdint>
#include "app/key_path.h"

namespace korvane {

// The platform family codes that OsFamily holds. Only 1, 2, 4 and 5 are supported.
inline constexpr std::int32_t kFamilyUnknown = 0;    // Win32s and unknown platforms
inline constexpr std::int32_t kFamilyWindows95 = 1;
inline constexpr std::int32_t kFamilyWindows98 = 2;  // and Me
inline constexpr std::int32_t kFamilyOtherNt = 3;    // NT 3.x, and NT 6.0 or later
inline constexpr std::int32_t kFamilyNt4 = 4;
inline constexpr std::int32_t kFamilyNt5 = 5;        // Windows 2000, XP and Server 2003

extern std::int32_t OsFamily;
extern KeyPath classRoot;
extern KeyPath enumRoot;
extern KeyPath configManagerRoot;

// Sets OsFamily from the version record and the roots by family. True when supported.
bool DetectPlatformFamily();

}  // namespace korvane
