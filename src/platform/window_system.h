// The window side of the platform: modal dialogs from the module's templates, their controls,
// and the icon resource. The framework classes in framework.h are written over it.
#pragma once

#include <cstdint>

#include "platform/system.h"

namespace korvane::platform {

class DialogCallbacks {
 public:
  virtual ~DialogCallbacks() = default;
  // WM_INITDIALOG: the window exists, its controls too. Returns what the dialog procedure
  // returns (true: the dialog manager sets the focus).
  virtual bool HandleInitDialog(WindowRef window) = 0;
  // WM_COMMAND from a button or key: IDOK (1) or IDCANCEL (2).
  virtual void HandleCommand(int id) = 0;
};

using IconRef = std::uintptr_t;

inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr unsigned kWmSetIcon = 0x0080;
inline constexpr unsigned kLbInsertString = 0x0181;
inline constexpr std::uintptr_t kIconBig = 1;

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  // Creates the dialog from template `templateId` with no owner, runs it modally and returns
  // the code it was ended with.
  virtual std::intptr_t RunModalDialog(unsigned templateId, DialogCallbacks& callbacks) = 0;
  virtual void EndDialog(WindowRef dialog, std::intptr_t result) = 0;
  virtual WindowRef GetDlgItem(WindowRef dialog, int id) = 0;
  virtual std::intptr_t SendMessage(WindowRef window, unsigned message, std::uintptr_t wParam,
                                    std::intptr_t lParam) = 0;
  // The icon group `id` from the module that holds it; 0 when there is none.
  virtual IconRef LoadIcon(unsigned id) = 0;
};

}  // namespace korvane::platform
