// The registry service over the ANSI registry functions of ADVAPI32, holding the service's
// contracts on every Windows from 95 and NT 4.0 on.
#pragma once

#include "platform/registry.h"

namespace korvane::win32 {

class Win32Registry final : public platform::RegistryService {
 public:
  std::int32_t OpenKey(platform::RegKey key, const char* path, std::uint32_t access, platform::RegKey* result) override;
  std::int32_t EnumKey(platform::RegKey key, std::uint32_t index, char* name, std::uint32_t* nameSize) override;
  std::int32_t QueryValue(platform::RegKey key, const char* valueName, std::uint32_t* type, char* data,
                          std::uint32_t* dataSize) override;
  std::int32_t CreateKey(platform::RegKey key, const char* path, std::uint32_t access, platform::RegKey* result,
                         std::uint32_t* disposition) override;
  std::int32_t SetValue(platform::RegKey key, const char* valueName, std::uint32_t type, const void* data,
                        std::uint32_t size) override;
  std::int32_t DeleteKey(platform::RegKey key, const char* path) override;
  std::int32_t CloseKey(platform::RegKey key) override;
};

}  // namespace korvane::win32
