// The benchmarks korvane-bench runs; each prints its figures and returns an exit status.
#pragma once

#include <string>

namespace korvane::bench {

int LoadBench(const std::string& self);
int LoadChild(const char* file);  // the load of LoadBench's child process
int WalkBench(int family, int runs);
int HiveBench(const std::string& self);
int HiveChild(const char* windowsDir);  // the run of HiveBench's child process
// Writes HiveBench's installation: WINDOWS_DIR/system32/config/SYSTEM and SOFTWARE.
int WriteHives(const char* windowsDir);
// Writes the XP worst machine with `deviceKeys` device keys as a 5.00 UTF-16LE .reg file.
int WriteXpMachine(const char* file, int deviceKeys);

}  // namespace korvane::bench
