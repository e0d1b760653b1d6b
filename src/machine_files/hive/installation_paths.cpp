#include "machine_files/hive/installation_paths.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>

#include "platform/sim/memory_registry.h"

namespace korvane::sim {

namespace {

// Finds `name` in `directory` without regard to case; exactly one entry may match.
bool FindEntryFolded(const std::string& directory, const char* name, std::string* path, std::string* error) {
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) {
    *error = "cannot read the folder " + directory + ": " + std::strerror(errno);
    return false;
  }
  std::string found;
  int matches = 0;
  while (const dirent* entry = readdir(listing)) {
    if (!EqualsFolded(entry->d_name, name)) continue;
    found = entry->d_name;
    ++matches;
  }
  closedir(listing);
  if (matches == 0) {
    *error = "no " + std::string(name) + " in " + directory;
    return false;
  }
  if (matches > 1) {
    *error = std::to_string(matches) + " entries named " + name + " in " + directory +
             " in different letter case: it is not clear which one Windows uses";
    return false;
  }
  *path = directory + (directory.empty() || directory.back() == '/' ? "" : "/") + found;
  return true;
}

}  // namespace

bool FindInstallationHives(const std::string& windowsDir, HivePaths* paths, std::string* error) {
  std::string config;
  if (!FindEntryFolded(windowsDir, "system32", &config, error) || !FindEntryFolded(config, "config", &config, error))
    return false;
  HivePaths found;
  if (!FindEntryFolded(config, "SYSTEM", &found.system, error) ||
      !FindEntryFolded(config, "SOFTWARE", &found.software, error))
    return false;
  *paths = found;
  return true;
}

}  // namespace korvane::sim
