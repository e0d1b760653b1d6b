// korvane.exe's entry: installs the Win32 platform and hands control to the framework. The
// command line is never read.
#include "platform/framework.h"
#include "platform/services.h"
#include "platform/win32/win32_platform.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/windows_gateway.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int /*show*/) {
  static korvane::win32::Win32Registry registry;
  static korvane::win32::Win32System system;
  static korvane::win32::Win32Windows windows(instance);
  korvane::platform::Install({&registry, &system, &windows});
  return korvane::platform::AfxWinMain();
}
