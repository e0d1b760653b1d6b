// The system services and the window system on the real Windows functions.
#pragma once

#include "platform/system.h"
#include "platform/window_system.h"

namespace korvane::win32 {

class Win32System final : public platform::SystemServices {
 public:
  bool GetVersionEx(platform::OsVersionInfo* info) override;
  std::uint16_t GetUserDefaultLangId() override;
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

class Win32Windows final : public platform::WindowSystem {
 public:
  explicit Win32Windows(void* instance) : instance_(instance) {}

  std::intptr_t RunModalDialog(unsigned templateId, platform::DialogCallbacks& callbacks) override;
  void EndDialog(platform::WindowRef dialog, std::intptr_t result) override;
  platform::WindowRef GetDlgItem(platform::WindowRef dialog, int id) override;
  std::intptr_t SendMessage(platform::WindowRef window, unsigned message, std::uintptr_t wParam,
                            std::intptr_t lParam) override;
  platform::IconRef LoadIcon(unsigned id) override;

 private:
  void* instance_;
};

}  // namespace korvane::win32
