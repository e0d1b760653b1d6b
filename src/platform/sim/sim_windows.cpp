#include "platform/sim/sim_windows.h"

#include <algorithm>

namespace korvane::sim {

namespace {

constexpr platform::WindowRef kDialogWindow = 0x10000;
constexpr platform::WindowRef kControlBase = 0x20000;
// An icon is referred to by its resource id, out of the range of the other references.
constexpr platform::IconRef kIconBase = 0x30000;
constexpr std::intptr_t kListError = -1;  // LB_ERR

bool IsControl(platform::WindowRef window) { return window >= kControlBase && window < kControlBase + 0x10000; }
int ControlId(platform::WindowRef window) { return static_cast<std::int16_t>(window - kControlBase); }

}  // namespace

std::intptr_t SimWindows::RunModalDialog(unsigned templateId, platform::DialogCallbacks& callbacks) {
  std::vector<DialogControl> controls;
  if (running_ || !screen_.DialogControls(templateId, &controls))
    return -1;  // as DialogBox does when it cannot create the dialog
  dialog_ = Dialog{};
  dialog_.templateId = templateId;
  for (const DialogControl& control : controls) {
    dialog_.controlIds.push_back(control.id);
    if (control.listBox) dialog_.listIds.push_back(control.id);
  }
  running_ = true;
  callbacks.HandleInitDialog(kDialogWindow);
  if (!dialog_.ended) {
    screen_.ShowDialog(templateId, dialog_.listIds, dialog_.lists, dialog_.iconSet);
    // Enter, Escape and the close box all end the dialog the way OK does.
    if (!dialog_.ended) callbacks.HandleCommand(platform::kIdOk);
  }
  running_ = false;
  return dialog_.result;
}

void SimWindows::EndDialog(platform::WindowRef dialog, std::intptr_t result) {
  if (!running_ || dialog != kDialogWindow) return;
  dialog_.ended = true;
  dialog_.result = result;
}

platform::WindowRef SimWindows::GetDlgItem(platform::WindowRef dialog, int id) {
  if (!running_ || dialog != kDialogWindow) return 0;
  const auto& ids = dialog_.controlIds;
  if (std::find(ids.begin(), ids.end(), id) == ids.end()) return 0;
  return kControlBase + static_cast<std::uint16_t>(id);
}

std::intptr_t SimWindows::SendMessage(platform::WindowRef window, unsigned message, std::uintptr_t wParam,
                                         std::intptr_t lParam) {
  if (!running_) return 0;
  if (window == kDialogWindow && message == platform::kWmSetIcon) {
    if (wParam == platform::kIconBig) dialog_.iconSet = lParam != 0;
    return 0;
  }
  if (!IsControl(window) || message != platform::kLbInsertString) return 0;
  const int id = ControlId(window);
  if (std::find(dialog_.listIds.begin(), dialog_.listIds.end(), id) == dialog_.listIds.end()) return 0;
  std::vector<std::string>& entries = dialog_.lists[id];
  const char* text = reinterpret_cast<const char*>(lParam);
  const auto position = static_cast<std::intptr_t>(wParam);
  if (text == nullptr) return kListError;
  if (position == -1 || static_cast<std::size_t>(position) == entries.size()) {
    entries.emplace_back(text);
    return static_cast<std::intptr_t>(entries.size() - 1);
  }
  if (position < 0 || static_cast<std::size_t>(position) > entries.size()) return kListError;
  entries.insert(entries.begin() + position, text);
  return position;
}

platform::IconRef SimWindows::LoadIcon(unsigned id) { return screen_.HasIcon(id) ? kIconBase + id : 0; }

}  // namespace korvane::sim
