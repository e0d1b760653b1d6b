#include "platform/win32/win32_platform.h"

#include "platform/win32/windows_gateway.h"

namespace korvane::win32 {

namespace {

HWND ToHwnd(platform::WindowRef window) { return reinterpret_cast<HWND>(window); }
platform::WindowRef FromHwnd(HWND window) { return reinterpret_cast<platform::WindowRef>(window); }

INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* callbacks = reinterpret_cast<platform::DialogCallbacks*>(lParam);
    SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(callbacks));
    return callbacks->HandleInitDialog(FromHwnd(window)) ? TRUE : FALSE;
  }
  if (message == WM_COMMAND) {
    auto* callbacks = reinterpret_cast<platform::DialogCallbacks*>(GetWindowLongPtrA(window, DWLP_USER));
    const int id = LOWORD(wParam);
    // Escape and the close box arrive as IDCANCEL; either ends the dialog.
    if (callbacks != nullptr && (id == IDOK || id == IDCANCEL)) {
      callbacks->HandleCommand(id);
      return TRUE;
    }
  }
  return FALSE;
}

}  // namespace

bool Win32System::GetVersionEx(platform::OsVersionInfo* info) {
  static_assert(sizeof(OSVERSIONINFOA) == sizeof(platform::OsVersionInfo));
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = info->size;
  const bool ok = GetVersionExA(&version) != FALSE;
  if (ok) {
    info->majorVersion = version.dwMajorVersion;
    info->minorVersion = version.dwMinorVersion;
    info->buildNumber = version.dwBuildNumber;
    info->platformId = version.dwPlatformId;
    static_assert(sizeof(info->csdVersion) == sizeof(version.szCSDVersion));
    for (std::size_t i = 0; i < sizeof(info->csdVersion); ++i) info->csdVersion[i] = version.szCSDVersion[i];
  }
  return ok;
}

std::uint16_t Win32System::GetUserDefaultLangId() { return GetUserDefaultLangID(); }

platform::WindowRef Win32System::FindDialogClassWindow() {
  return FromHwnd(FindWindowA(MAKEINTATOM(platform::kDialogClassAtom), nullptr));
}

platform::HandleRef Win32System::CreateMutex(const char* name) {
  return reinterpret_cast<platform::HandleRef>(CreateMutexA(nullptr, FALSE, name));
}

std::uint32_t Win32System::GetLastError() { return ::GetLastError(); }

bool Win32System::CloseHandle(platform::HandleRef handle) {
  return ::CloseHandle(reinterpret_cast<HANDLE>(handle)) != FALSE;
}

bool Win32System::ReleaseMutex(platform::HandleRef handle) {
  return ::ReleaseMutex(reinterpret_cast<HANDLE>(handle)) != FALSE;
}

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

std::intptr_t Win32Windows::RunModalDialog(unsigned templateId, platform::DialogCallbacks& callbacks) {
  return DialogBoxParamA(static_cast<HINSTANCE>(instance_), MAKEINTRESOURCEA(templateId), nullptr, DialogProcedure,
                         reinterpret_cast<LPARAM>(&callbacks));
}

void Win32Windows::EndDialog(platform::WindowRef dialog, std::intptr_t result) { ::EndDialog(ToHwnd(dialog), result); }

platform::WindowRef Win32Windows::GetDlgItem(platform::WindowRef dialog, int id) {
  return FromHwnd(::GetDlgItem(ToHwnd(dialog), id));
}

std::intptr_t Win32Windows::SendMessage(platform::WindowRef window, unsigned message, std::uintptr_t wParam,
                                        std::intptr_t lParam) {
  return SendMessageA(ToHwnd(window), message, wParam, lParam);
}

platform::IconRef Win32Windows::LoadIcon(unsigned id) {
  // The module that holds the icon group: ours, as the resources are linked into it.
  auto* module = static_cast<HINSTANCE>(instance_);
  if (FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(14)) == nullptr) return 0;  // RT_GROUP_ICON
  return reinterpret_cast<platform::IconRef>(LoadIconA(module, MAKEINTRESOURCEA(id)));
}

}  // namespace korvane::win32
