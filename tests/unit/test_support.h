// Test fixtures for runs of the utility in this process: a fresh in-memory registry, a
// scripted system and a recording window system installed, the process state reset.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/memory_registry.h"
#include "platform/services.h"

namespace korvane::test {

// A system whose answers the test sets, and which records what the run asked of it.
class ScriptedSystem final : public platform::SystemServices {
 public:
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

  bool GetVersionEx(platform::OsVersionInfo* info) override;
  std::uint16_t GetUserDefaultLangId() override;
  std::uint32_t GetACP() override { return ansiCodePage; }
  platform::WindowRef FindDialogClassWindow() override;
  platform::HandleRef CreateMutex(const char* name) override;
  std::uint32_t GetLastError() override { return lastError_; }
  bool CloseHandle(platform::HandleRef handle) override;
  bool ReleaseMutex(platform::HandleRef handle) override;
  platform::WindowRef GetLastActivePopup(platform::WindowRef window) override;
  bool SetForegroundWindow(platform::WindowRef window) override;
  bool IsIconic(platform::WindowRef window) override;
  bool ShowWindow(platform::WindowRef window, int command) override;
  int MessageBox(const char* text, const char* caption, unsigned style) override;

 private:
  std::uint32_t lastError_ = 0;
};

// Runs dialogs without a screen: records the template, the lists and the icon.
class RecordingWindows final : public platform::WindowSystem {
 public:
  std::vector<unsigned> templatesRun;
  std::map<int, std::vector<std::string>> lists;
  std::vector<int> controlIds = {1, 1004, 1005, -1};
  bool iconSet = false;
  std::intptr_t endCode = 0;

  std::intptr_t RunModalDialog(unsigned templateId, platform::DialogCallbacks& callbacks) override;
  void EndDialog(platform::WindowRef dialog, std::intptr_t result) override;
  platform::WindowRef GetDlgItem(platform::WindowRef dialog, int id) override;
  std::intptr_t SendMessage(platform::WindowRef window, unsigned message, std::uintptr_t wParam,
                            std::intptr_t lParam) override;
  platform::IconRef LoadIcon(unsigned id) override { return id == 102 ? 0x102 : 0; }
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

class UtilityTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sets the platform family and its roots as DetectPlatformFamily would on that family.
  void UseFamily(int family);

  sim::MemoryRegistry registry;
  ScriptedSystem system;
  RecordingWindows windows;
};

// Registry fixtures shaped like the machines' own keys.
inline constexpr char kXpEnum[] = "System\\CurrentControlSet\\Enum\\PCI\\";
inline constexpr char kXpClass[] = "System\\CurrentControlSet\\Control\\Class\\";
inline constexpr char kNetClass[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";

// An XP instance key under a PCI device key: Driver, DeviceDesc and a Control subkey.
void AddXpInstance(sim::MemoryRegistry& registry, const std::string& deviceKey, const std::string& instance,
                   const std::string& driver, const std::string& description, bool withControl = true);
// A driver class key, with PROSetNdi\Params when asked.
void AddDriverKey(sim::MemoryRegistry& registry, const std::string& classRoot, const std::string& driver,
                  bool withDriverParams);

// A UTF-16LE file: the byte-order mark, then the text.
std::string Utf16File(std::u16string_view text);

// The string value's text (without its terminator), or "<absent>".
std::string ReadString(sim::MemoryRegistry& registry, platform::RegKey root, const std::string& path,
                       const std::string& name);

}  // namespace korvane::test
