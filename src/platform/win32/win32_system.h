// The system services on the real Windows functions: the version record, the user's language
// and code page, the single-instance guard's window and mutex calls, and the message box.
#pragma once

#include "platform/system.h"

namespace korvane::win32 {

class Win32System final : public platform::SystemServices {
 public:
  bool GetVersionEx(platform::OsVersionInfo* info) override;
  std::uint16_t GetUserDefaultLangId() override;
  std::uint32_t GetACP() override;
  platform::WindowRef FindDialogClassWindow() override;
  platform::HandleRef CreateMutex(const char* name) override;
  std::uint32_t GetLastError() override;
  bool CloseHandle(platform::HandleRef handle) override;
  bool ReleaseMutex(platform::HandleRef handle) override;
  platform::WindowRef GetLastActivePopup(platform::WindowRef window) override;
  bool SetForegroundWindow(platform::WindowRef window) override;
  bool IsIconic(platform::WindowRef window) override;
  bool ShowWindow(platform::WindowRef window, int command) override;
  int MessageBox(const char* text, const char* caption, unsigned style) override;
};

}  // namespace korvane::win32
