// The simulated machine's system services: its version record and user language from the
// options, the message box on the screen, and the single-instance guard between korvane-sim
// processes on the same machine file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/sim_screen.h"
#include "platform/system.h"

namespace korvane::sim {

// Two korvane-sim processes on the same machine are two instances on one PC. Their files live
// in a private runtime directory: $XDG_RUNTIME_DIR/korvane-sim-UID when XDG_RUNTIME_DIR is the
// user's own with mode 0700, else korvane-sim-UID under $TMPDIR or /tmp; the folder must be
// the user's, mode 0700 and no symbolic link, or nothing runs. Every file there is opened
// without following links.
//
// Each machine has one lock file there, named after the machine's key. An instance takes the
// machine (a lock on the file's first byte) before it reads the machine file and holds it
// until its saves are done, so that no run reads a machine that another one is about to save.
// The instance that has the machine is the first one: to every other, each named mutex exists
// already. A window of the dialog class is a lock on the file's second byte, and whoever asks
// learns its owner from the lock itself, so a file left by a killed run can never name a
// process that is not showing one. The instance that had the machine removes the file when it
// lets the machine go.
class InstanceLocks {
 public:
  enum class Take { kTaken, kHeldByAnother, kFailed };

  InstanceLocks() = default;
  ~InstanceLocks();
  InstanceLocks(const InstanceLocks&) = delete;
  InstanceLocks& operator=(const InstanceLocks&) = delete;

  // Opens the runtime directory and the machine's lock file in it; false with `error` when
  // the directory is unsafe or unusable. Lets go of a machine opened before.
  bool Open(const std::string& machineKey, std::string* error);
  // kHeldByAnother sets *holder to the holding process's id (0 if it just ended); kFailed
  // leaves errno.
  Take TakeMachine(int* holder);
  // Lets the machine go, removing its lock file if this instance had it.
  void Release();
  // A handle on the named mutex: its descriptor, or -1 with errno set. *existed says whether
  // another instance has it.
  int OpenMutex(const std::string& name, bool* existed);
  // The process id that shows a window of the dialog class on this machine, or 0.
  int FindWindowOwner() const;
  void WindowOpened();
  void WindowClosed();

 private:
  // Whether the lock file's name still names the file open as lockFd_.
  bool StillNamed() const;

  int directory_ = -1;
  std::string name_;
  int lockFd_ = -1;
  bool hasMachine_ = false;
};

class SimSystem final : public platform::SystemServices {
 public:
  SimSystem(const platform::OsVersionInfo& version, std::uint16_t languageId, unsigned codePage,
               SimScreen& screen, InstanceLocks& instances)
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

 private:
  platform::OsVersionInfo version_;
  std::uint16_t languageId_;
  unsigned codePage_;
  SimScreen& screen_;
  InstanceLocks& instances_;
  std::uint32_t lastError_ = 0;
  std::vector<platform::HandleRef> openHandles_;
};

}  // namespace korvane::sim
