// korvane.exe's entry: installs the Win32 platform and hands control to the framework, whose
// application object was constructed with the other process-wide objects. The command line is
// never read.
//
// The program starts at KorvaneStartup, not in the C runtime's start-up code: that code would
// bring a thread-local-storage directory with callbacks and a command-line parser, neither of
// which the utility wants on the oldest systems it runs on. No C runtime library is linked
// (c_runtime.cpp has the few functions the program calls), so all that is left to do here is
// to construct the process-wide objects. That is done here too, not by the compiler's library
// routine (__main), which is built for a later CPU than the 80386 the program runs on.
#include "platform/framework.h"
#include "platform/win32/c_runtime.h"
#include "platform/services.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_windows.h"
#include "platform/win32/windows_gateway.h"

using korvane::win32::runtime::ExitFunction;

// The linker's lists of static constructors and destructors: a first entry of -1, the
// functions, and a null entry at the end.
extern "C" ExitFunction __CTOR_LIST__[];
extern "C" ExitFunction __DTOR_LIST__[];

namespace {

void RunDestructorList() {
  for (ExitFunction* entry = __DTOR_LIST__ + 1; *entry != nullptr; ++entry) (*entry)();
}

// The linker lays the constructors out last file first, so they run from the end of the list:
// each file's objects are constructed in definition order, as the compiler's own routine does.
// The constructors hand each object's destructor to atexit (c_runtime.cpp); they run, newest
// first, as the run ends.
void RunStaticConstructors() {
  int count = 0;
  while (__CTOR_LIST__[count + 1] != nullptr) ++count;
  for (int index = count; index >= 1; --index) __CTOR_LIST__[index]();
  atexit(RunDestructorList);
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

extern "C" void KorvaneStartup() {
  RunStaticConstructors();
  const int result = RunUtility(GetModuleHandleA(nullptr));
  korvane::win32::runtime::RunExitFunctions();
  ExitProcess(static_cast<UINT>(result));
}
