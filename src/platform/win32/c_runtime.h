// What korvane.exe's own C runtime gives its entry beyond the C functions: the functions
// registered with atexit, run newest first as the program ends.
#pragma once

namespace korvane::win32::runtime {

using ExitFunction = void (*)();

void RunExitFunctions();

}  // namespace korvane::win32::runtime

extern "C" int atexit(korvane::win32::runtime::ExitFunction function);
