// The simulated machine's system services: its version record and user language from the
// options, the message box on the screen, and the single-instance guard between korvane-sim
// processes on the same machine file.
#pragma once

#include <cstdint>
#include <string>

#include "platform/hosted/screen.h"
#include "platform/system.h"

namespace korvane::hosted {

// Two korvane-sim processes on the same machine are two instances on one PC. A named mutex is
// a file lock in the runtime directory that dies with its process; a window of the dialog
// class is a file naming the process that shows one.
class InstanceRegistry {
 public:
  explicit InstanceRegistry(const std::string& machineKey);
  ~InstanceRegistry();
  InstanceRegistry(const InstanceRegistry&) = delete;
  InstanceRegistry& operator=(const InstanceRegistry&) = delete;

  // A lock on the named mutex's file: its descriptor, or -1 with errno set. *existed says
  // whether another process holds it.
  int OpenMutex(const std::string& name, bool* existed);
  // The process id that shows a window of the dialog class on this machine, or 0.
  int FindWindowOwner() const;
  void WindowOpened();
  void WindowClosed();

 private:
  std::string directory_;
  std::string prefix_;
  bool windowOpen_ = false;
};

class HostedSystem final : public platform::SystemServices {
 public:
  HostedSystem(const platform::OsVersionInfo& version, std::uint16_t languageId, unsigned codePage,
               Screen& screen, InstanceRegistry& instances)
      : version_(version), languageId_(languageId), codePage_(codePage), screen_(screen), instances_(instances) {}

  bool GetVersionEx(platform::OsVersionInfo* info) override;
  std::uint16_t GetUserDefaultLangId() override { return languageId_; }
  std::uint32_t GetACP() override { return codePage_; }
  platform::WindowRef FindDialogClassWindow() override;
  platform::HandleRef CreateMutex(const char* name) override;
  std::uint32_t GetLastError() override { return lastError_; }
  bool CloseHandle(platform::HandleRef handle) override;
  bool ReleaseMutex(platform::HandleRef handle) override;
  platform::WindowRef GetLastActivePopup(platform::WindowRef window) override { return window; }
  bool SetForegroundWindow(platform::WindowRef window) override;
  bool IsIconic(platform::WindowRef) override { return false; }
  bool ShowWindow(platform::WindowRef, int) override { return true; }
  int MessageBox(const char* text, const char* caption, unsigned style) override;

  // Whether CreateMutex found the mutex held by another instance.
  bool SawRunningInstance() const { return sawRunningInstance_; }

 private:
  platform::OsVersionInfo version_;
  std::uint16_t languageId_;
  unsigned codePage_;
  Screen& screen_;
  InstanceRegistry& instances_;
  std::uint32_t lastError_ = 0;
  bool sawRunningInstance_ = false;
};

}  // namespace korvane::hosted
