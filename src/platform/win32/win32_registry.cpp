#include "platform/win32/win32_registry.h"

#include <cstring>
#include <cstdlib>

#include "platform/win32/windows_gateway.h"

namespace korvane::win32 {

using platform::RegKey;

namespace {

// The service's root constants are the 32-bit values of the predefined keys; on x64 the
// system's HKEY_* are the same values sign-extended to 64 bits, so both ways are mapped.
HKEY ToHkey(RegKey key) {
  if (key == platform::kHkeyLocalMachine) return HKEY_LOCAL_MACHINE;
  if (key == platform::kHkeyDynData) return HKEY_DYN_DATA;
  return reinterpret_cast<HKEY>(key);
}

RegKey FromHkey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return platform::kHkeyLocalMachine;
  if (key == HKEY_DYN_DATA) return platform::kHkeyDynData;
  return reinterpret_cast<RegKey>(key);
}

bool IsRoot(RegKey key) { return key == platform::kHkeyLocalMachine || key == platform::kHkeyDynData; }

// Key names are at most 255 characters on every Windows, so a name that does not fit here
// cannot exist.
constexpr DWORD kNameCapacity = 1024;
// Large enough for every value the utility reads; bigger reads get a buffer from the heap.
constexpr std::uint32_t kLocalDataCapacity = 2048;

}  // namespace

std::int32_t Win32Registry::OpenKey(RegKey key, const char* path, std::uint32_t access, RegKey* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = platform::kNullKey;
  if (key == platform::kNullKey) return ERROR_INVALID_HANDLE;
  HKEY opened = nullptr;
  const LONG status = RegOpenKeyExA(ToHkey(key), path, 0, access, &opened);
  // Windows 9x may leave a value of its own in the handle of a failed call: only a
  // successful open hands one out.
  if (status == ERROR_SUCCESS) *result = FromHkey(opened);
  return static_cast<std::int32_t>(status);
}

std::int32_t Win32Registry::EnumKey(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameSize) {
  if (key == platform::kNullKey) return ERROR_INVALID_HANDLE;
  if (name == nullptr || nameSize == nullptr) return ERROR_INVALID_PARAMETER;
  // Into a buffer of our own, so that the caller's is left as it was when the call fails.
  char own[kNameCapacity];
  const DWORD capacity = *nameSize < kNameCapacity ? static_cast<DWORD>(*nameSize) : kNameCapacity;
  DWORD size = capacity;
  FILETIME lastWrite;
  const LONG status = RegEnumKeyExA(ToHkey(key), index, own, &size, nullptr, nullptr, nullptr, &lastWrite);
  if (status != ERROR_SUCCESS) return static_cast<std::int32_t>(status);
  // The terminator decides the length: not every version reports it in the size.
  const void* end = std::memchr(own, '\0', capacity);
  if (end == nullptr) return ERROR_MORE_DATA;
  const auto length = static_cast<std::size_t>(static_cast<const char*>(end) - own);
  std::memcpy(name, own, length + 1);
  *nameSize = static_cast<std::uint32_t>(length);
  return ERROR_SUCCESS;
}

std::int32_t Win32Registry::QueryValue(RegKey key, const char* valueName, std::uint32_t* type, char* data,
                                       std::uint32_t* dataSize) {
  if (key == platform::kNullKey) return ERROR_INVALID_HANDLE;
  DWORD valueType = 0;
  if (data == nullptr) {
    // Only the type and the stored length are asked for.
    DWORD size = 0;
    const LONG status = RegQueryValueExA(ToHkey(key), valueName, nullptr, &valueType, nullptr, &size);
    if (status != ERROR_SUCCESS) return static_cast<std::int32_t>(status);
    if (type != nullptr) *type = valueType;
    if (dataSize != nullptr) *dataSize = size;
    return ERROR_SUCCESS;
  }
  if (dataSize == nullptr) return ERROR_INVALID_PARAMETER;

  // Windows leaves the buffer undefined when the data does not fit, and writes the size it
  // would need: read into a buffer of our own and give the caller only what was read.
  const std::uint32_t capacity = *dataSize;
  BYTE local[kLocalDataCapacity];
  BYTE* own = local;
  BYTE* heap = nullptr;
  if (capacity > kLocalDataCapacity) {
    heap = static_cast<BYTE*>(std::malloc(capacity));
    if (heap == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    own = heap;
  }
  DWORD size = capacity;
  LONG status = RegQueryValueExA(ToHkey(key), valueName, nullptr, &valueType, own, &size);
  if (status == ERROR_SUCCESS && size > capacity) status = ERROR_MORE_DATA;
  if (status == ERROR_SUCCESS) {
    if (size > 0) std::memcpy(data, own, size);
    platform::TerminateReadText(data, size, capacity);
    if (type != nullptr) *type = valueType;
    *dataSize = size;
  }
  std::free(heap);
  return static_cast<std::int32_t>(status);
}

std::int32_t Win32Registry::CreateKey(RegKey key, const char* path, std::uint32_t access, RegKey* result,
                                      std::uint32_t* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = platform::kNullKey;
  if (key == platform::kNullKey) return ERROR_INVALID_HANDLE;
  HKEY created = nullptr;
  DWORD how = 0;
  const LONG status = RegCreateKeyExA(ToHkey(key), path == nullptr ? "" : path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      access, nullptr, &created, &how);
  if (status != ERROR_SUCCESS) return static_cast<std::int32_t>(status);
  *result = FromHkey(created);
  if (disposition != nullptr) *disposition = how;
  return ERROR_SUCCESS;
}

std::int32_t Win32Registry::SetValue(RegKey key, const char* valueName, std::uint32_t type, const void* data,
                                     std::uint32_t size) {
  if (key == platform::kNullKey) return ERROR_INVALID_HANDLE;
  return static_cast<std::int32_t>(
      RegSetValueExA(ToHkey(key), valueName, 0, type, static_cast<const BYTE*>(data), size));
}

std::int32_t Win32Registry::DeleteKey(RegKey key, const char* path) {
  if (key == platform::kNullKey) return ERROR_INVALID_HANDLE;
  // An empty name would make the key itself the one to delete.
  if (path == nullptr || *path == '\0') return ERROR_BAD_PATHNAME;
  // Windows 95, 98 and Me delete a key's whole subtree; NT refuses a key that has subkeys.
  // Look first, so that no family ever loses more than the one key.
  HKEY target = nullptr;
  const LONG opened = RegOpenKeyExA(ToHkey(key), path, 0, KEY_READ, &target);
  if (opened != ERROR_SUCCESS) return static_cast<std::int32_t>(opened);
  char name[kNameCapacity];
  DWORD size = kNameCapacity;
  FILETIME lastWrite;
  const LONG enumerated = RegEnumKeyExA(target, 0, name, &size, nullptr, nullptr, nullptr, &lastWrite);
  RegCloseKey(target);
  if (enumerated == ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
  if (enumerated != ERROR_NO_MORE_ITEMS) return static_cast<std::int32_t>(enumerated);
  return static_cast<std::int32_t>(RegDeleteKeyA(ToHkey(key), path));
}

std::int32_t Win32Registry::CloseKey(RegKey key) {
  if (key == platform::kNullKey) return ERROR_INVALID_HANDLE;
  // A root key is not ours to close: it stays usable for the rest of the run.
  if (IsRoot(key)) return ERROR_SUCCESS;
  return static_cast<std::int32_t>(RegCloseKey(ToHkey(key)));
}

}  // namespace korvane::win32
