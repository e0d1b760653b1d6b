// korvane-bench: the benchmarks of the simulated PC (docs/PERFORMANCE.md).
//   korvane-bench [load|xp|98|hive|all] [RUNS] (default: all, 5 runs of each walk)
//   korvane-bench write-xp FILE [DEVICE_KEYS] the XP walk's machine as a .reg file
//   korvane-bench write-hives WINDOWS_DIR      the hive benchmark's offline installation
//   korvane-bench write-export FILE            the load benchmark's 50 MB export
//   korvane-bench compare OTHER_BENCH [ROUNDS] this build against another build's korvane-bench
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <string>

#include "benches.h"

int main(int argc, char** argv) {
  using namespace korvane::bench;
  const std::string what = argc > 1 ? argv[1] : "all";
  if (what == "load-child" && argc == 3) return LoadChild(argv[2]);
  if (what == "hive-child" && argc == 3) return HiveChild(argv[2]);
  if (what == "write-hives" && argc == 3) return WriteHives(argv[2]);
  if (what == "write-export" && argc == 3) return WriteExport(argv[2]);
  if (what == "write-xp" && (argc == 3 || argc == 4)) return WriteXpMachine(argv[2], argc == 4 ? std::atoi(argv[3]) : 1024);
  // The child processes of the load, hive and compare benchmarks are this program again.
  const std::string self = "/proc/self/exe";
  char resolved[4096];
  const ssize_t length = readlink(self.c_str(), resolved, sizeof resolved - 1);
  const std::string program = length > 0 ? std::string(resolved, static_cast<std::size_t>(length)) : argv[0];
  if (what == "compare" && (argc == 3 || argc == 4)) {
    const int rounds = argc == 4 ? std::atoi(argv[3]) : 5;
    if (rounds >= 1) return CompareBench(program, argv[2], rounds);
  }
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  if (runs < 1 || (what != "all" && what != "load" && what != "xp" && what != "98" && what != "hive")) {
    std::fprintf(stderr, "usage: korvane-bench [load|xp|98|hive|all] [RUNS]\n"
                         "       korvane-bench write-xp FILE [DEVICE_KEYS]\n"
                         "       korvane-bench write-hives WINDOWS_DIR\n"
                         "       korvane-bench write-export FILE\n"
                         "       korvane-bench compare OTHER_BENCH [ROUNDS]\n");
    return 2;
  }
  int status = 0;
  if (what == "all" || what == "xp") status |= WalkBench(5, runs);
  if (what == "all" || what == "98") status |= WalkBench(2, runs);
  if (what == "all" || what == "load") status |= LoadBench(program);
  if (what == "all" || what == "hive") status |= HiveBench(program);
  return status;
}
