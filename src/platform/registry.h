// The registry service: the seven ANSI registry operations the utility uses, behind one
// interface so that the same walks run on Windows and on a simulated machine.
#pragma once

#include <cstdint>

namespace korvane::platform {

// An open key, or one of the two root keys. 0 is the null handle.
using RegKey = std::uintptr_t;
inline constexpr RegKey kNullKey = 0;
inline constexpr RegKey kHkeyLocalMachine = 0x80000002u;
inline constexpr RegKey kHkeyDynData = 0x80000006u;

inline constexpr std::uint32_t kKeyRead = 0x20019;       // KEY_READ
inline constexpr std::uint32_t kKeyAllAccess = 0xF003F;  // KEY_ALL_ACCESS
// Access bits that ask for the right to change something (KEY_SET_VALUE, KEY_CREATE_SUB_KEY,
// KEY_CREATE_LINK, DELETE, WRITE_DAC, WRITE_OWNER).
inline constexpr std::uint32_t kWriteAccessMask = 0x0002 | 0x0004 | 0x0020 | 0x10000 | 0x40000 | 0x80000;
inline constexpr std::uint32_t kKeySetValue = 0x0002;
inline constexpr std::uint32_t kKeyCreateSubKey = 0x0004;

inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

inline constexpr std::uint32_t kCreatedNewKey = 1;      // REG_CREATED_NEW_KEY
inline constexpr std::uint32_t kOpenedExistingKey = 2;  // REG_OPENED_EXISTING_KEY

// Win32 error codes the service returns.
inline constexpr std::int32_t kErrorSuccess = 0;
inline constexpr std::int32_t kErrorFileNotFound = 2;
inline constexpr std::int32_t kErrorAccessDenied = 5;
inline constexpr std::int32_t kErrorInvalidHandle = 6;
inline constexpr std::int32_t kErrorInvalidParameter = 87;
inline constexpr std::int32_t kErrorBadPathname = 161;
inline constexpr std::int32_t kErrorMoreData = 234;
inline constexpr std::int32_t kErrorNoMoreItems = 259;
inline constexpr std::int32_t kErrorNoAccess = 998;  // a buffer that cannot be read
inline constexpr std::int32_t kErrorKeyDeleted = 1018;

// Contracts shared by every implementation (tests/contract/registry_contract.cpp checks them):
// - Paths are relative to `key`; trailing and doubled backslashes collapse, a leading
//   backslash fails with kErrorBadPathname, an empty or null path opens `key` again.
//   Key and value names match without regard to letter case.
// - A failed OpenKey or CreateKey stores kNullKey in *result and never writes *disposition.
// - Every operation on a null or closed handle fails and changes nothing.
// - EnumKey: subkeys come sorted by their upper-cased names; past the last one it fails with
//   kErrorNoMoreItems; a name that does not fit *nameSize characters (with its terminating
//   zero) fails with kErrorMoreData. On failure the name buffer and *nameSize are untouched.
// - QueryValue: *dataSize is the capacity of `data` in bytes. Data larger than that fails with
//   kErrorMoreData; an absent value fails with kErrorFileNotFound. On any failure `data`,
//   *type and *dataSize are untouched. On success the data is copied and, when it does not
//   already end in a zero, a zero is added after it if there is room, else the buffer's last
//   byte becomes the terminator: what was read is always a NUL-terminated text inside the
//   buffer. *dataSize then holds the stored length.
// - SetValue stores exactly `size` bytes; it needs a handle opened with KEY_SET_VALUE.
// - DeleteKey removes the key `path` names below `key`, with its values. A key that has
//   subkeys is refused with kErrorAccessDenied and left whole, on every family (Windows 95
//   would delete the subtree); a missing key fails with kErrorFileNotFound; a root key
//   cannot be deleted (an empty path fails with kErrorBadPathname). Handles still open on
//   the deleted key fail with kErrorKeyDeleted.
// - Closing a root key succeeds and leaves it usable.
class RegistryService {
 public:
  virtual ~RegistryService() = default;

  virtual std::int32_t OpenKey(RegKey key, const char* path, std::uint32_t access, RegKey* result) = 0;
  virtual std::int32_t EnumKey(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameSize) = 0;
  virtual std::int32_t QueryValue(RegKey key, const char* valueName, std::uint32_t* type, char* data,
                                  std::uint32_t* dataSize) = 0;
  virtual std::int32_t CreateKey(RegKey key, const char* path, std::uint32_t access, RegKey* result,
                                 std::uint32_t* disposition) = 0;
  virtual std::int32_t SetValue(RegKey key, const char* valueName, std::uint32_t type, const void* data,
                                std::uint32_t size) = 0;
  virtual std::int32_t DeleteKey(RegKey key, const char* path) = 0;
  virtual std::int32_t CloseKey(RegKey key) = 0;
};

// Applies the termination rule of QueryValue to data already copied into `buffer`.
void TerminateReadText(char* buffer, std::uint32_t length, std::uint32_t capacity);

}  // namespace korvane::platform
