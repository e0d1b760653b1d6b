// korvane.exe's entry: installs the Win32 platform and hands control to the framework, whose
// application object was constructed with the other process-wide objects. The command line is
// never read.
//
// The program starts at KorvaneStartup, not in the C runtime's start-up code: that code would
// bring a thread-local-storage directory with callbacks and a command-line parser, neither of
// which the utility wants on the oldest systems it runs on. No C runtime library is linked
// (c_runtime.cpp has the few functions the program calls), so all that is left to do here is
// to construct the process-wide objects.
#include "platform/framework.h"
#include "platform/services.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_windows.h"
#include "platform/win32/windows_gateway.h"

// The compiler's own routine that runs the static constructors, in definition order per file.
// It hands each object's destructor to atexit, which the C runtime's start-up code would
// otherwise provide: the destructors are kept here and run, newest first, as the run ends.
extern "C" void __main();

namespace {

using ExitFunction = void (*)();
constexpr int kExitFunctionCapacity = 64;
ExitFunction exitFunctions[kExitFunctionCapacity];
int exitFunctionCount = 0;

void RunExitFunctions() {
  while (exitFunctionCount > 0) exitFunctions[--exitFunctionCount]();
}

int RunUtility(HINSTANCE instance) {
  // The services live as long as the run: no destructor of a process-wide object calls one.
  korvane::win32::Win32Registry registry;
  korvane::win32::Win32System system;
  korvane::win32::Win32Windows windows(instance);
  korvane::platform::Install({&registry, &system, &windows});
  const int result = korvane::platform::AfxWinMain();
  korvane::platform::Install({});
  return result;
}

}  // namespace

extern "C" int atexit(ExitFunction function) {
  if (function == nullptr || exitFunctionCount == kExitFunctionCapacity) return -1;
  exitFunctions[exitFunctionCount++] = function;
  return 0;
}

extern "C" void KorvaneStartup() {
  __main();
  const int result = RunUtility(GetModuleHandleA(nullptr));
  RunExitFunctions();
  ExitProcess(static_cast<UINT>(result));
}
