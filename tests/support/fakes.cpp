#include "fakes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/adapter_table.h"

namespace korvane::test {

void AbortOnViolation(const std::string& what) {
  std::fprintf(stderr, "violation: %s\n", what.c_str());
  std::abort();
}

void ScriptedSystem::SetVersion(std::uint32_t platformId, std::uint32_t major, std::uint32_t minor) {
  version = platform::OsVersionInfo{};
  version.size = sizeof version;
  version.platformId = platformId;
  version.majorVersion = major;
  version.minorVersion = minor;
}

void ScriptedSystem::SetFamily(int family) {
  switch (family) {
    case 1: SetVersion(1, 4, 0); break;
    case 2: SetVersion(1, 4, 10); break;
    case 4: SetVersion(2, 4, 0); break;
    default: SetVersion(2, 5, 1); break;
  }
}

bool ScriptedSystem::GetVersionEx(platform::OsVersionInfo* info) {
  calls.push_back("GetVersionEx");
  if (info->size != sizeof *info) violation("the version record's size is " + std::to_string(info->size));
  if (!versionQuerySucceeds) return false;
  *info = version;
  return true;
}

platform::HandleRef ScriptedSystem::CreateMutex(const char* name) {
  calls.push_back(std::string("CreateMutex ") + name);
  lastError_ = errorAfterCreateMutex;
  return 0x4242;
}

platform::WindowRef ScriptedSystem::GetLastActivePopup(platform::WindowRef window) {
  return Note("GetLastActivePopup " + std::to_string(window), popup == 0 ? window : popup);
}

bool ScriptedSystem::ShowWindow(platform::WindowRef window, int command) {
  return Note("ShowWindow " + std::to_string(window) + " " + std::to_string(command), true);
}

int ScriptedSystem::MessageBox(const char* text, const char* caption, unsigned style) {
  calls.push_back("MessageBox");
  messageBoxes.emplace_back(text, caption);
  messageBoxStyles.push_back(style);
  return 1;
}

namespace {
constexpr platform::WindowRef kDialog = 0x500;
constexpr platform::WindowRef kControlBase = 0x1000;
}  // namespace

std::intptr_t RecordingWindows::RunModalDialog(unsigned templateId, platform::DialogCallbacks& callbacks) {
  if (running_) violation("a dialog opened inside another");
  running_ = true;
  templatesRun.push_back(templateId);
  lists.clear();
  iconSet = false;
  endCode = 0;
  if (!callbacks.HandleInitDialog(kDialog)) violation("WM_INITDIALOG answered FALSE");
  callbacks.HandleCommand(platform::kIdOk);
  running_ = false;
  return endCode;
}

void RecordingWindows::EndDialog(platform::WindowRef dialog, std::intptr_t result) {
  if (dialog != kDialog) violation("EndDialog on a window that is not the dialog");
  endCode = result;
}

platform::WindowRef RecordingWindows::GetDlgItem(platform::WindowRef dialog, int id) {
  if (dialog != kDialog) return 0;
  for (int known : controlIds)
    if (known == id) return kControlBase + static_cast<std::uint16_t>(id);
  return 0;
}

std::intptr_t RecordingWindows::SendMessage(platform::WindowRef window, unsigned message, std::uintptr_t wParam,
                                            std::intptr_t lParam) {
  if (window == kDialog && message == platform::kWmSetIcon) {
    iconSet = wParam == platform::kIconBig && lParam == 0x102;
    return 0;
  }
  if (message != platform::kLbInsertString) return 0;
  auto& entries = lists[static_cast<std::int16_t>(window - kControlBase)];
  const char* text = reinterpret_cast<const char*>(lParam);
  // An entry is a record's description: its text must end inside the record's field.
  const char* fault = window <= kControlBase || window > kControlBase + 0xFFFF ? "LB_INSERTSTRING sent to no control"
                      : wParam > entries.size()                              ? "an entry inserted past the end of its list"
                      : text == nullptr                                      ? "a null list entry"
                      : strnlen(text, kBufferSize) == kBufferSize             ? "a list entry without its terminator"
                                                                             : nullptr;
  if (fault != nullptr) {
    violation(fault);
    return -1;
  }
  entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(wParam), text);
  return static_cast<std::intptr_t>(wParam);
}

}  // namespace korvane::test
