#include "platform/win32/win32_system.h"

#include <cstddef>
#include <cstring>

#include "platform/win32/windows_gateway.h"

namespace korvane::win32 {

namespace {

HANDLE ToHandle(platform::HandleRef handle) { return reinterpret_cast<HANDLE>(handle); }

static_assert(sizeof(OSVERSIONINFOA) == sizeof(platform::OsVersionInfo));
static_assert(offsetof(OSVERSIONINFOA, dwPlatformId) == offsetof(platform::OsVersionInfo, platformId));
static_assert(offsetof(OSVERSIONINFOA, szCSDVersion) == offsetof(platform::OsVersionInfo, csdVersion));

}  // namespace

bool Win32System::GetVersionEx(platform::OsVersionInfo* info) {
  // The caller's size field goes to the system as it is: the record it describes is the
  // 148-byte OSVERSIONINFOA, which Windows 95 and NT 4.0 know.
  OSVERSIONINFOA version;
  std::memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = info->size;
  if (GetVersionExA(&version) == FALSE) return false;
  info->majorVersion = version.dwMajorVersion;
  info->minorVersion = version.dwMinorVersion;
  info->buildNumber = version.dwBuildNumber;
  info->platformId = version.dwPlatformId;
  std::memcpy(info->csdVersion, version.szCSDVersion, sizeof info->csdVersion);
  return true;
}

std::uint16_t Win32System::GetUserDefaultLangId() { return GetUserDefaultLangID(); }

std::uint32_t Win32System::GetACP() { return ::GetACP(); }

platform::WindowRef Win32System::FindDialogClassWindow() {
  return FromHwnd(FindWindowA(MAKEINTATOM(platform::kDialogClassAtom), nullptr));
}

platform::HandleRef Win32System::CreateMutex(const char* name) {
  return reinterpret_cast<platform::HandleRef>(CreateMutexA(nullptr, FALSE, name));
}

// Nothing may run between the mutex creation and this call that could set the last error:
// the guard reads it straight after CreateMutex.
std::uint32_t Win32System::GetLastError() { return ::GetLastError(); }

bool Win32System::CloseHandle(platform::HandleRef handle) { return ::CloseHandle(ToHandle(handle)) != FALSE; }

bool Win32System::ReleaseMutex(platform::HandleRef handle) { return ::ReleaseMutex(ToHandle(handle)) != FALSE; }

platform::WindowRef Win32System::GetLastActivePopup(platform::WindowRef window) {
  return FromHwnd(::GetLastActivePopup(ToHwnd(window)));
}

bool Win32System::SetForegroundWindow(platform::WindowRef window) {
  return ::SetForegroundWindow(ToHwnd(window)) != FALSE;
}

bool Win32System::IsIconic(platform::WindowRef window) { return ::IsIconic(ToHwnd(window)) != FALSE; }

bool Win32System::ShowWindow(platform::WindowRef window, int command) {
  return ::ShowWindow(ToHwnd(window), command) != FALSE;
}

int Win32System::MessageBox(const char* text, const char* caption, unsigned style) {
  return MessageBoxA(nullptr, text, caption, style);
}

}  // namespace korvane::win32
