// The small harness the benchmarks share: a monotonic clock, medians, peak-memory figures
// from /proc, a scratch folder, and the tests' fakes that let a whole run go without a screen.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/fakes.h"

namespace korvane::bench {

double NowSeconds();

// snprintf into a string, for the names and texts of generated machines.
template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[512];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

double Median(std::vector<double> samples);

// A field of /proc/self/status in kB (VmHWM, VmRSS), or -1.
long StatusKilobytes(const char* field);

// A folder of its own under /tmp for a benchmark's files, removed with everything in it when
// the benchmark is done; an empty path when it could not be made.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Runs `program` with `args`, and gives what it printed (nothing is kept when `output` is null:
// its output goes to /dev/null), its ru_maxrss in kB and, when asked, the seconds from its start
// to its end; false when it could not run or did not exit with 0.
bool RunProgram(const std::string& program, const std::vector<std::string>& args, std::string* output,
                long* maxRssKb, double* seconds = nullptr);
// The same for this program (`self`) run again.
inline bool RunSelf(const std::string& self, const std::vector<std::string>& args, std::string* output,
                    long* maxRssKb) {
  return RunProgram(self, args, output, maxRssKb);
}

}  // namespace korvane::bench
