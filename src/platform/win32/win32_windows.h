// The window system on the real Windows functions: modal dialogs from the templates linked
// into the module, their controls, and the icon resource.
#pragma once

#include "platform/window_system.h"

namespace korvane::win32 {

class Win32Windows final : public platform::WindowSystem {
 public:
  // `instance` is the module whose resources hold the dialog templates and the icon.
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
