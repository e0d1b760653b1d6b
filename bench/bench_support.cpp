#include "bench_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace korvane::bench {

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const std::size_t middle = samples.size() / 2;
  return samples.size() % 2 == 1 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

long StatusKilobytes(const char* field) {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long value = -1;
  const std::size_t length = std::strlen(field);
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
      std::sscanf(line + length + 1, "%ld", &value);
      break;
    }
  std::fclose(status);
  return value;
}

QuietSystem::QuietSystem(int family) {
  version_.size = sizeof version_;
  if (family == 2) {
    version_.platformId = platform::kVerPlatformWin32Windows;
    version_.majorVersion = 4;
    version_.minorVersion = 10;
  } else {
    version_.platformId = platform::kVerPlatformWin32Nt;
    version_.majorVersion = 5;
    version_.minorVersion = 1;
  }
}

bool QuietSystem::GetVersionEx(platform::OsVersionInfo* info) {
  *info = version_;
  return true;
}

namespace {
constexpr platform::WindowRef kDialog = 0x500;
constexpr platform::WindowRef kControlBase = 0x1000;
}  // namespace

std::intptr_t DismissingWindows::RunModalDialog(unsigned templateId, platform::DialogCallbacks& callbacks) {
  lastTemplate = templateId;
  listEntries = 0;
  callbacks.HandleInitDialog(kDialog);
  callbacks.HandleCommand(platform::kIdOk);
  return endCode_;
}

platform::WindowRef DismissingWindows::GetDlgItem(platform::WindowRef dialog, int id) {
  return dialog == kDialog ? kControlBase + static_cast<std::uint16_t>(id) : 0;
}

std::intptr_t DismissingWindows::SendMessage(platform::WindowRef, unsigned message, std::uintptr_t wParam,
                                             std::intptr_t) {
  if (message != platform::kLbInsertString) return 0;
  ++listEntries;
  return static_cast<std::intptr_t>(wParam);
}

}  // namespace korvane::bench
