// Where an offline installation keeps its registry: the SYSTEM and SOFTWARE hive files under
// its Windows folder, found however a disk from a PC spells their names.
#pragma once

#include <string>

namespace korvane::sim {

// The hive files of an installation; an empty path is a hive not given.
struct HivePaths {
  std::string system;
  std::string software;
};

// DIR/system32/config/SYSTEM and .../SOFTWARE, every name below DIR matched without regard to
// case, as a Windows folder on a disk from a PC is spelled in any case. False with a message
// when either is missing, or when a name matches more than one entry.
bool FindInstallationHives(const std::string& windowsDir, HivePaths* paths, std::string* error);

}  // namespace korvane::sim
