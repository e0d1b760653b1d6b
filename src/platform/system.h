// The system services the run sequence calls besides the registry: the version record, the
// user's language and the system's ANSI code page, the single-instance guard's window and
// mutex calls, and the message box.
#pragma once

#include <cstdint>

namespace korvane::platform {

// OSVERSIONINFOA as GetVersionExA fills it (148 bytes).
struct OsVersionInfo {
  std::uint32_t size;
  std::uint32_t majorVersion;
  std::uint32_t minorVersion;
  std::uint32_t buildNumber;
  std::uint32_t platformId;
  char csdVersion[128];
};
static_assert(sizeof(OsVersionInfo) == 148);

inline constexpr std::uint32_t kVerPlatformWin32s = 0;
inline constexpr std::uint32_t kVerPlatformWin32Windows = 1;
inline constexpr std::uint32_t kVerPlatformWin32Nt = 2;

// Window and kernel-object handles, opaque to the utility. 0 is "none".
using WindowRef = std::uintptr_t;
using HandleRef = std::uintptr_t;

inline constexpr std::uint16_t kDialogClassAtom = 0x8002;  // WC_DIALOG, "#32770"
// What GetLastError gives after the calls below (the registry's own codes are in registry.h).
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorNotOwner = 288;
inline constexpr int kSwShowNormal = 1;
inline constexpr unsigned kMbOk = 0;
inline constexpr std::uint32_t kCodePageShiftJis = 932;

class SystemServices {
 public:
  virtual ~SystemServices() = default;

  virtual bool GetVersionEx(OsVersionInfo* info) = 0;
  virtual std::uint16_t GetUserDefaultLangId() = 0;
  // GetACP: the code page the ANSI functions take texts in (932 on a Japanese system).
  virtual std::uint32_t GetACP() = 0;

  // FindWindowA(MAKEINTATOM(kDialogClassAtom), nullptr): the first top-level window of the
  // dialog class, whoever owns it.
  virtual WindowRef FindDialogClassWindow() = 0;
  virtual HandleRef CreateMutex(const char* name) = 0;  // unowned, default security
  virtual std::uint32_t GetLastError() = 0;
  virtual bool CloseHandle(HandleRef handle) = 0;
  virtual bool ReleaseMutex(HandleRef handle) = 0;
  virtual WindowRef GetLastActivePopup(WindowRef window) = 0;
  virtual bool SetForegroundWindow(WindowRef window) = 0;
  virtual bool IsIconic(WindowRef window) = 0;
  virtual bool ShowWindow(WindowRef window, int command) = 0;

  // MessageBoxA with no owner window. The texts are ANSI bytes in the machine's code page.
  virtual int MessageBox(const char* text, const char* caption, unsigned style) = 0;
};

}  // namespace korvane::platform
