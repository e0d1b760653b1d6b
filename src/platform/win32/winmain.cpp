// korvane.exe's entry: installs the Win32 platform and hands control to the framework, whose
// application object was constructed with the other process-wide objects. The command line is
// never read.
#include "platform/framework.h"
#include "platform/services.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_windows.h"
#include "platform/win32/windows_gateway.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int /*show*/) {
  // The services live as long as the run: no destructor of a process-wide object calls one.
  korvane::win32::Win32Registry registry;
  korvane::win32::Win32System system;
  korvane::win32::Win32Windows windows(instance);
  korvane::platform::Install({&registry, &system, &windows});
  const int result = korvane::platform::AfxWinMain();
  korvane::platform::Install({});
  return result;
}
