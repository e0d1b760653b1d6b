#include "platform/win32/win32_registry.h"

#include <cstring>
#include <vector>

#include "platform/win32/windows_gateway.h"

namespace korvane::win32 {

namespace {

HKEY ToHkey(platform::RegKey key) {
  if (key == platform::kHkeyLocalMachine) return HKEY_LOCAL_MACHINE;
  if (key == platform::kHkeyDynData) return HKEY_DYN_DATA;
  return reinterpret_cast<HKEY>(key);
}

platform::RegKey FromHkey(HKEY key) { return reinterpret_cast<platform::RegKey>(key); }

// Windows 9x may leave its own value in the handle of a failed call: the caller gets a
// null handle instead, so that every later operation on it fails.
std::int32_t Finish(LONG status, HKEY opened, platform::RegKey* result) {
  *result = status == ERROR_SUCCESS ? FromHkey(opened) : platform::kNullKey;
  return static_cast<std::int32_t>(status);
}

}  // namespace

std::int32_t Win32Registry::OpenKey(platform::RegKey key, const char* path, std::uint32_t access,
                                    platform::RegKey* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  if (key == platform::kNullKey) {
    *result = platform::kNullKey;
    return ERROR_INVALID_HANDLE;
  }
  HKEY opened = nullptr;
  const LONG status = RegOpenKeyExA(ToHkey(key), path, 0, access, &opened);
  return Finish(status, opened, result);
}

std::int32_t Win32Registry::EnumKey(platform::RegKey key, std::uint32_t index, char* name,
                                    std::uint32_t* nameSize) {
  if (key == platform::kNullKey) return ERROR_INVALID_HANDLE;
  if (name == nullptr || nameSize == nullptr || *nameSize == 0) return ERROR_INVALID_PARAMETER;
  // Into a buffer of our own: the caller's is left as it was when the call fails.
  std::vector<char> own(*nameSize);
  DWORD size = *nameSize;
  FILETIME written;
  const LONG status = RegEnumKeyExA(ToHkey(key), index, own.data(), &size, nullptr, nullptr, nullptr, &written);
  if (status != ERROR_SUCCESS) return static_cast<std::int32_t>(status);
  if (size >= *nameSize) return ERROR_MORE_DATA;
  std::memcpy(name, own.data(), size);
  name[size] = '\0';
  *nameSize = size;
  return ERROR_SUCCESS;
}

std::int32_t Win32Registry::QueryValue(platform::RegKey key, const char* valueName, std::uint32_t* type, char* data,
                                       std::uint32_t* dataSize) {
  if (key == platform::kNullKey) return ERROR_INVALID_HANDLE;
  if (data == nullptr || dataSize == nullptr) {
    DWORD valueKind = 0;
    DWORD size = 0;
    const LONG status = RegQueryValueExA(ToHkey(key), valueName, nullptr, &valueKind, nullptr, &size);
    if (status == ERROR_SUCCESS) {
      if (type != nullptr) *type = valueKind;
      if (dataSize != nullptr) *dataSize = size;
    }
    return static_cast<std::int32_t>(status);
  }
  // Windows leaves the buffer undefined on ERROR_MORE_DATA: read into our own and copy only
  // what was read successfully.
  const std::uint32_t capacity = *dataSize;
  std::vector<BYTE> own(capacity + 1);
  DWORD size = capacity;
  DWORD valueKind = 0;
  const LONG status = RegQueryValueExA(ToHkey(key), valueName, nullptr, &valueKind, own.data(), &size);
  if (status != ERROR_SUCCESS) return static_cast<std::int32_t>(status);
  if (size > capacity) return ERROR_MORE_DATA;
  if (size > 0) std::memcpy(data, own.data(), size);
  platform::TerminateReadText(data, size, capacity);
  if (type != nullptr) *type = valueKind;
  *dataSize = size;
  return ERROR_SUCCESS;
}

std::int32_t Win32Registry::CreateKey(platform::RegKey key, const char* path, std::uint32_t access,
                                      platform::RegKey* result, std::uint32_t* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  if (key == platform::kNullKey) {
    *result = platform::kNullKey;
    return ERROR_INVALID_HANDLE;
  }
  HKEY created = nullptr;
  DWORD how = 0;
  const LONG status = RegCreateKeyExA(ToHkey(key), path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                      &created, &how);
  if (status == ERROR_SUCCESS && disposition != nullptr) *disposition = how;
  return Finish(status, created, result);
}

std::int32_t Win32Registry::SetValue(platform::RegKey key, const char* valueName, std::uint32_t type,
                                     const void* data, std::uint32_t size) {
  if (key == platform::kNullKey) return ERROR_INVALID_HANDLE;
  return static_cast<std::int32_t>(
      RegSetValueExA(ToHkey(key), valueName, 0, type, static_cast<const BYTE*>(data), size));
}

std::int32_t Win32Registry::CloseKey(platform::RegKey key) {
  if (key == platform::kNullKey) return ERROR_INVALID_HANDLE;
  if (key == platform::kHkeyLocalMachine || key == platform::kHkeyDynData) return ERROR_SUCCESS;
  return static_cast<std::int32_t>(RegCloseKey(ToHkey(key)));
}

}  // namespace korvane::win32
