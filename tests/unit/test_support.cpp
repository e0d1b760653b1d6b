#include "test_support.h"

#include "app/adapter_table.h"
#include "app/platform_family.h"
#include "app/process_state.h"

namespace korvane::test {

void ScriptedSystem::SetVersion(std::uint32_t platformId, std::uint32_t major, std::uint32_t minor) {
  version = platform::OsVersionInfo{};
  version.size = sizeof version;
  version.platformId = platformId;
  version.majorVersion = major;
  version.minorVersion = minor;
}

bool ScriptedSystem::GetVersionEx(platform::OsVersionInfo* info) {
  calls.push_back("GetVersionEx");
  EXPECT_EQ(info->size, 148u);
  if (!versionQuerySucceeds) return false;
  *info = version;
  return true;
}

std::uint16_t ScriptedSystem::GetUserDefaultLangId() {
  calls.push_back("GetUserDefaultLangID");
  return languageId;
}

platform::WindowRef ScriptedSystem::FindDialogClassWindow() {
  calls.push_back("FindWindow");
  return dialogWindow;
}

platform::HandleRef ScriptedSystem::CreateMutex(const char* name) {
  calls.push_back(std::string("CreateMutex ") + name);
  lastError_ = errorAfterCreateMutex;
  return 0x4242;
}

bool ScriptedSystem::CloseHandle(platform::HandleRef handle) {
  calls.push_back("CloseHandle " + std::to_string(handle));
  return true;
}

bool ScriptedSystem::ReleaseMutex(platform::HandleRef handle) {
  calls.push_back("ReleaseMutex " + std::to_string(handle));
  return false;
}

platform::WindowRef ScriptedSystem::GetLastActivePopup(platform::WindowRef window) {
  calls.push_back("GetLastActivePopup " + std::to_string(window));
  return popup == 0 ? window : popup;
}

bool ScriptedSystem::SetForegroundWindow(platform::WindowRef window) {
  calls.push_back("SetForegroundWindow " + std::to_string(window));
  return true;
}

bool ScriptedSystem::IsIconic(platform::WindowRef window) {
  calls.push_back("IsIconic " + std::to_string(window));
  return iconic;
}

bool ScriptedSystem::ShowWindow(platform::WindowRef window, int command) {
  calls.push_back("ShowWindow " + std::to_string(window) + " " + std::to_string(command));
  return true;
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
  templatesRun.push_back(templateId);
  lists.clear();
  iconSet = false;
  endCode = 0;
  EXPECT_TRUE(callbacks.HandleInitDialog(kDialog));
  callbacks.HandleCommand(platform::kIdOk);
  return endCode;
}

void RecordingWindows::EndDialog(platform::WindowRef dialog, std::intptr_t result) {
  EXPECT_EQ(dialog, kDialog);
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
  EXPECT_LE(wParam, entries.size()) << "insertion past the end of the list";
  entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(wParam), reinterpret_cast<const char*>(lParam));
  return static_cast<std::intptr_t>(wParam);
}

void UtilityTest::SetUp() {
  ResetProcessState();
  platform::Install({&registry, &system, &windows});
}

void UtilityTest::TearDown() {
  platform::Install({});
  ResetProcessState();
}

void UtilityTest::UseFamily(int family) {
  switch (family) {
    case 1: system.SetVersion(1, 4, 0); break;
    case 2: system.SetVersion(1, 4, 10); break;
    case 4: system.SetVersion(2, 4, 0); break;
    default: system.SetVersion(2, 5, 1); break;
  }
  ASSERT_TRUE(DetectPlatformFamily());
  ASSERT_EQ(OsFamily, family);
}

void AddXpInstance(sim::MemoryRegistry& registry, const std::string& deviceKey, const std::string& instance,
                   const std::string& driver, const std::string& description, bool withControl) {
  const std::string path = std::string(kXpEnum) + deviceKey + "\\" + instance;
  registry.PutString(platform::kHkeyLocalMachine, path, "Driver", driver);
  if (!description.empty()) registry.PutString(platform::kHkeyLocalMachine, path, "DeviceDesc", description);
  if (withControl) registry.Ensure(platform::kHkeyLocalMachine, path + "\\Control");
}

void AddDriverKey(sim::MemoryRegistry& registry, const std::string& classRoot, const std::string& driver,
                  bool withDriverParams) {
  const std::string path = classRoot + driver;
  registry.PutString(platform::kHkeyLocalMachine, path, "DriverDesc", "driver " + driver);
  if (withDriverParams) registry.Ensure(platform::kHkeyLocalMachine, path + "\\PROSetNdi\\Params");
}

std::string Utf16File(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

std::string ReadString(sim::MemoryRegistry& registry, platform::RegKey root, const std::string& path,
                       const std::string& name) {
  const sim::RegNode* node = registry.Find(root, path);
  if (node == nullptr) return "<absent>";
  const sim::RegValue* value = node->FindValue(name);
  if (value == nullptr) return "<absent>";
  std::string text(value->data.begin(), value->data.end());
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

}  // namespace korvane::test
