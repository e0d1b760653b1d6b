// One fake of each interface the utility calls, for unit tests, fuzzers and benchmarks alike:
// a system whose answers are set and whose calls are recorded, a window system that runs each
// dialog as a user who presses OK at once, and a registry that hands every call on. A broken
// promise of the utility (a wrong record size, an entry past the end of a list) goes to
// `violation`: a test reports it as a failure, a fuzzer aborts.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/services.h"
#include "platform/sim/memory_registry.h"

namespace korvane::test {

using ViolationHook = void (*)(const std::string& what);
[[noreturn]] void AbortOnViolation(const std::string& what);

class ScriptedSystem final : public platform::SystemServices {
 public:
  ViolationHook violation = AbortOnViolation;
  platform::OsVersionInfo version{};
  bool versionQuerySucceeds = true;
  std::uint16_t languageId = 0x0409;
  std::uint32_t ansiCodePage = 1252;
  platform::WindowRef dialogWindow = 0;  // what FindDialogClassWindow finds
  platform::WindowRef popup = 0;         // GetLastActivePopup's answer (0: the window itself)
  bool iconic = false;
  std::uint32_t errorAfterCreateMutex = 0;

  std::vector<std::string> calls;  // in order, e.g. "FindWindow", "CreateMutex tarnel"
  std::vector<std::pair<std::string, std::string>> messageBoxes;  // text, caption
  std::vector<unsigned> messageBoxStyles;

  void SetVersion(std::uint32_t platformId, std::uint32_t major, std::uint32_t minor);
  // The version DetectPlatformFamily reads as `family` (1, 2, 4 or 5): 95, 98, NT 4.0, XP.
  void SetFamily(int family);

  bool GetVersionEx(platform::OsVersionInfo* info) override;
  std::uint16_t GetUserDefaultLangId() override { return Note("GetUserDefaultLangID", languageId); }
  std::uint32_t GetACP() override { return ansiCodePage; }
  platform::WindowRef FindDialogClassWindow() override { return Note("FindWindow", dialogWindow); }
  platform::HandleRef CreateMutex(const char* name) override;
  std::uint32_t GetLastError() override { return lastError_; }
  bool CloseHandle(platform::HandleRef handle) override { return Note("CloseHandle " + std::to_string(handle), true); }
  bool ReleaseMutex(platform::HandleRef handle) override {
    return Note("ReleaseMutex " + std::to_string(handle), false);
  }
  platform::WindowRef GetLastActivePopup(platform::WindowRef window) override;
  bool SetForegroundWindow(platform::WindowRef window) override {
    return Note("SetForegroundWindow " + std::to_string(window), true);
  }
  bool IsIconic(platform::WindowRef window) override { return Note("IsIconic " + std::to_string(window), iconic); }
  bool ShowWindow(platform::WindowRef window, int command) override;
  int MessageBox(const char* text, const char* caption, unsigned style) override;

 private:
  // Records the call in `calls` and gives the answer.
  template <typename Answer>
  Answer Note(const std::string& call, Answer answer) {
    calls.push_back(call);
    return answer;
  }

  std::uint32_t lastError_ = 0;
};

// Runs dialogs without a screen: records the template, the lists and the icon.
class RecordingWindows : public platform::WindowSystem {
 public:
  ViolationHook violation = AbortOnViolation;
  std::vector<unsigned> templatesRun;
  std::map<int, std::vector<std::string>> lists;  // of the dialog running last
  std::vector<int> controlIds = {1, 1004, 1005, -1};
  bool iconSet = false;
  std::intptr_t endCode = 0;

  std::intptr_t RunModalDialog(unsigned templateId, platform::DialogCallbacks& callbacks) override;
  void EndDialog(platform::WindowRef dialog, std::intptr_t result) override;
  platform::WindowRef GetDlgItem(platform::WindowRef dialog, int id) override;
  std::intptr_t SendMessage(platform::WindowRef window, unsigned message, std::uintptr_t wParam,
                            std::intptr_t lParam) override;
  platform::IconRef LoadIcon(unsigned id) override { return id == 102 ? 0x102 : 0; }

 private:
  bool running_ = false;
};

// Hands every call to an in-memory registry; a test overrides the calls it watches or fails.
class ForwardingRegistry : public platform::RegistryService {
 public:
  explicit ForwardingRegistry(sim::MemoryRegistry& inner) : inner_(inner) {}

  std::int32_t OpenKey(platform::RegKey key, const char* path, std::uint32_t access, platform::RegKey* result) override {
    return inner_.OpenKey(key, path, access, result);
  }
  std::int32_t EnumKey(platform::RegKey key, std::uint32_t index, char* name, std::uint32_t* size) override {
    return inner_.EnumKey(key, index, name, size);
  }
  std::int32_t QueryValue(platform::RegKey key, const char* name, std::uint32_t* type, char* data,
                          std::uint32_t* size) override {
    return inner_.QueryValue(key, name, type, data, size);
  }
  std::int32_t CreateKey(platform::RegKey key, const char* path, std::uint32_t access, platform::RegKey* result,
                         std::uint32_t* disposition) override {
    return inner_.CreateKey(key, path, access, result, disposition);
  }
  std::int32_t SetValue(platform::RegKey key, const char* name, std::uint32_t type, const void* data,
                        std::uint32_t size) override {
    return inner_.SetValue(key, name, type, data, size);
  }
  std::int32_t DeleteKey(platform::RegKey key, const char* path) override { return inner_.DeleteKey(key, path); }
  std::int32_t CloseKey(platform::RegKey key) override { return inner_.CloseKey(key); }

 protected:
  sim::MemoryRegistry& inner_;
};

}  // namespace korvane::test
