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
// Writes the load benchmark's 50 MB UTF-16LE export.
int WriteExport(const char* file);
// Runs the walks, the export load and the hive runs of this build and of `otherBench` (another
// build's korvane-bench, its korvane-sim beside it as a build tree keeps them) in turns.
int CompareBench(const std::string& self, const std::string& otherBench, int rounds);
// Writes the XP worst machine with `deviceKeys` device keys as a 5.00 UTF-16LE .reg file.
int WriteXpMachine(const char* file, int deviceKeys);

}  // namespace korvane::bench
