// The small harness the benchmarks share: a monotonic clock, medians, peak-memory figures
// from /proc, a scratch folder, and a system and window system that let a whole run go
// without a screen.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/system.h"
#include "platform/window_system.h"

namespace korvane::bench {

double NowSeconds();

// snprintf into a string, for the names and texts of generated machines.
template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[512];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

double Median(std::vector<double> samples);

// A field of /proc/self/status in kB (VmHWM, VmRSS), or -1.
long StatusKilobytes(const char* field);

// A folder of its own under /tmp for a benchmark's files, removed with everything in it when
// the benchmark is done; an empty path when it could not be made.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Runs this program (`self`) again with `args`, and gives what it printed and its ru_maxrss in
// kB; false when it could not run or did not exit with 0.
bool RunSelf(const std::string& self, const std::vector<std::string>& args, std::string* output, long* maxRssKb);

// Answers as Windows of `family` (2: Windows 98, 5: Windows XP) in English, with no other
// instance running; message boxes are counted, not shown.
class QuietSystem final : public platform::SystemServices {
 public:
  explicit QuietSystem(int family);
  int messageBoxes = 0;

  bool GetVersionEx(platform::OsVersionInfo* info) override;
  std::uint16_t GetUserDefaultLangId() override { return 0x0409; }
  std::uint32_t GetACP() override { return 1252; }
  platform::WindowRef FindDialogClassWindow() override { return 0; }
  platform::HandleRef CreateMutex(const char*) override { return 0x4242; }
  std::uint32_t GetLastError() override { return 0; }
  bool CloseHandle(platform::HandleRef) override { return true; }
  bool ReleaseMutex(platform::HandleRef) override { return false; }
  platform::WindowRef GetLastActivePopup(platform::WindowRef window) override { return window; }
  bool SetForegroundWindow(platform::WindowRef) override { return true; }
  bool IsIconic(platform::WindowRef) override { return false; }
  bool ShowWindow(platform::WindowRef, int) override { return true; }
  int MessageBox(const char*, const char*, unsigned) override {
    ++messageBoxes;
    return 1;
  }

 private:
  platform::OsVersionInfo version_{};
};

// Runs each dialog as a user who presses OK at once, counting the list entries it was given.
class DismissingWindows final : public platform::WindowSystem {
 public:
  unsigned lastTemplate = 0;
  int listEntries = 0;

  std::intptr_t RunModalDialog(unsigned templateId, platform::DialogCallbacks& callbacks) override;
  void EndDialog(platform::WindowRef, std::intptr_t result) override { endCode_ = result; }
  platform::WindowRef GetDlgItem(platform::WindowRef dialog, int id) override;
  std::intptr_t SendMessage(platform::WindowRef window, unsigned message, std::uintptr_t wParam,
                            std::intptr_t lParam) override;
  platform::IconRef LoadIcon(unsigned id) override { return id; }

 private:
  std::intptr_t endCode_ = 0;
};

}  // namespace korvane::bench
