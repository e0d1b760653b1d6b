// The platform family of the running system and the registry roots its walks start from.
#pragma once

#include <cstdint>
#include "app/key_path.h"

namespace korvane {

// 0: Win32s and unknown platforms; 1: Windows 95; 2: Windows 98/Me; 3: NT 3.x and NT 6.0 or
// later; 4: NT 4.0; 5: Windows 2000/XP/Server 2003. Only 1, 2, 4 and 5 are supported.
extern std::int32_t OsFamily;
extern KeyPath classRoot;
extern KeyPath enumRoot;
extern KeyPath configManagerRoot;

// Sets OsFamily from the version record and the roots by family. True when supported.
bool DetectPlatformFamily();

}  // namespace korvane
