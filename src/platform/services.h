// The platform services in use by this process. The host (WinMain, korvane-sim, a test)
// installs them before the application runs.
#pragma once

#include "platform/registry.h"
#include "platform/system.h"
#include "platform/window_system.h"

namespace korvane::platform {

struct Services {
  RegistryService* registry = nullptr;
  SystemServices* system = nullptr;
  WindowSystem* windows = nullptr;
};

void Install(const Services& services);
const Services& Installed();

inline RegistryService& Registry() { return *Installed().registry; }
inline SystemServices& System() { return *Installed().system; }
inline WindowSystem& Windows() { return *Installed().windows; }

// Closes `key` when it holds an open key, and leaves it null.
inline void CloseIfOpen(RegKey& key) {
  if (key != kNullKey) Registry().CloseKey(key);
  key = kNullKey;
}

}  // namespace korvane::platform
