#include "platform/win32/win32_windows.h"

#include "platform/win32/windows_gateway.h"

namespace korvane::win32 {

namespace {

// A dialog that its initialisation left where the template put it is shown centred on the
// work area, as the framework has always shown dialogs without an owner.
void CenterIfNotMoved(HWND dialog, const RECT& before) {
  RECT now;
  if (GetWindowRect(dialog, &now) == FALSE) return;
  if (now.left != before.left || now.top != before.top) return;
  RECT area;
  if (SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0) == FALSE) {
    area.left = area.top = 0;
    area.right = GetSystemMetrics(SM_CXSCREEN);
    area.bottom = GetSystemMetrics(SM_CYSCREEN);
  }
  const int width = now.right - now.left;
  const int height = now.bottom - now.top;
  int x = area.left + (area.right - area.left - width) / 2;
  int y = area.top + (area.bottom - area.top - height) / 2;
  if (x < area.left) x = area.left;
  if (y < area.top) y = area.top;
  SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* callbacks = reinterpret_cast<platform::DialogCallbacks*>(lParam);
    SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(callbacks));
    RECT before;
    const bool placed = GetWindowRect(window, &before) != FALSE;
    const bool setFocus = callbacks->HandleInitDialog(FromHwnd(window));
    if (placed) CenterIfNotMoved(window, before);
    return setFocus ? TRUE : FALSE;
  }
  if (message == WM_COMMAND) {
    auto* callbacks = reinterpret_cast<platform::DialogCallbacks*>(GetWindowLongPtrA(window, DWLP_USER));
    const int id = LOWORD(wParam);
    // A click on a button, or a command with no control behind it: the Enter key arrives as
    // IDOK, the Escape key and the close box as IDCANCEL, and each ends the dialog.
    const bool command = lParam == 0 || HIWORD(wParam) == BN_CLICKED;
    if (callbacks != nullptr && command && (id == IDOK || id == IDCANCEL)) {
      callbacks->HandleCommand(id);
      return TRUE;
    }
  }
  return FALSE;
}

}  // namespace

std::intptr_t Win32Windows::RunModalDialog(unsigned templateId, platform::DialogCallbacks& callbacks) {
  return DialogBoxParamA(static_cast<HINSTANCE>(instance_), MAKEINTRESOURCEA(templateId), nullptr,
                         DialogProcedure, reinterpret_cast<LPARAM>(&callbacks));
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
  // The resources are linked into the executable itself, so the module that holds the icon
  // group is ours; without it there is no icon.
  auto* module = static_cast<HINSTANCE>(instance_);
  if (FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(14)) == nullptr) return 0;  // RT_GROUP_ICON
  return reinterpret_cast<platform::IconRef>(LoadIconA(module, MAKEINTRESOURCEA(id)));
}

}  // namespace korvane::win32
