// Two builds side by side: this korvane-bench and another build's (say, of the commit before a
// change), each with the korvane-sim of its own build tree. Every measurement runs in a process
// of its own, on the same files, and the two builds take turns, first one then the other, so
// that a machine growing busier or quieter during the run weighs on both alike.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "benches.h"

namespace korvane::bench {

namespace {

namespace fs = std::filesystem;

struct Build {
  std::string bench;
  std::string sim;  // build/bench/korvane-sim beside build/bench/bench/korvane-bench
};

Build BuildOf(const std::string& bench) {
  return {bench, (fs::path(bench).parent_path().parent_path() / "korvane-sim").string()};
}

// One figure of one run of one build. `rate` is in millions of registry calls a second (walks only).
struct Sample {
  double seconds = 0;
  double peakMiB = -1;
  double rate = -1;
};

struct Files {
  std::string exportFile;
  double exportMiB = 0;
  std::string windows;
  std::string saveCopy;  // a fresh copy of `windows` for each save
};

// A walk of `korvane-bench 98|xp RUNS`: the median run and its calls, as it prints them.
bool Walk(const Build& build, const char* family, Sample* sample) {
  std::string output;
  long maxRss = 0;
  if (!RunProgram(build.bench, {family, "3"}, &output, &maxRss)) return false;
  const char* median = std::strstr(output.c_str(), "median ");
  const char* calls = median == nullptr ? nullptr : std::strstr(median, "); ");
  unsigned long long count = 0;
  if (median == nullptr || calls == nullptr || std::sscanf(median, "median %lf", &sample->seconds) != 1 ||
      std::sscanf(calls, "); %llu registry calls", &count) != 1 || sample->seconds <= 0)
    return false;
  sample->rate = static_cast<double>(count) / sample->seconds / 1e6;
  return true;
}

// `korvane-bench load-child FILE`: the load's own time, and the peak above the process's start.
bool ExportLoad(const Build& build, const Files& files, Sample* sample) {
  std::string output;
  long maxRss = 0, before = 0, after = 0, resident = 0;
  if (!RunProgram(build.bench, {"load-child", files.exportFile}, &output, &maxRss) ||
      std::sscanf(output.c_str(), "%lf %ld %ld %ld", &sample->seconds, &before, &after, &resident) != 4)
    return false;
  sample->peakMiB = (after - before) / 1024.0;
  return true;
}

// A korvane-sim run as a user starts it: from exec to exit, and its peak resident memory.
bool SimRun(const Build& build, const std::vector<std::string>& args, Sample* sample) {
  long maxRss = 0;
  if (!RunProgram(build.sim, args, nullptr, &maxRss, &sample->seconds)) return false;
  sample->peakMiB = maxRss / 1024.0;
  return true;
}

bool FreshCopy(const std::string& from, const std::string& to) {
  std::error_code error;
  fs::remove_all(to, error);
  fs::copy(from, to, fs::copy_options::recursive, error);
  return !error;
}

struct Measure {
  const char* name;
  std::function<bool(const Build&, const Files&, Sample*)> take;
  const char* peak = "peak resident";
  bool readsExport = false;  // its peak is also given against the export's size
};

std::vector<Measure> Measures() {
  return {
      {"98 walk (korvane-bench 98 3, median run)", [](const Build& b, const Files&, Sample* s) { return Walk(b, "98", s); }},
      {"XP walk (korvane-bench xp 3, median run)", [](const Build& b, const Files&, Sample* s) { return Walk(b, "xp", s); }},
      {"50 MB UTF-16 export, load (load-child)", ExportLoad, "peak above the start", true},
      {"50 MB UTF-16 export, korvane-sim --json --machine",
       [](const Build& b, const Files& f, Sample* s) { return SimRun(b, {"--json", "--machine", f.exportFile}, s); },
       "peak resident", true},
      {"30 MB hives, preview: korvane-sim --json --windows",
       [](const Build& b, const Files& f, Sample* s) { return SimRun(b, {"--json", "--windows", f.windows}, s); }},
      {"30 MB hives, save: korvane-sim --json --save --windows (fresh copy)",
       [](const Build& b, const Files& f, Sample* s) {
         return FreshCopy(f.windows, f.saveCopy) && SimRun(b, {"--json", "--save", "--windows", f.saveCopy}, s);
       }},
  };
}

double MedianOf(const std::vector<Sample>& samples, double Sample::*field) {
  std::vector<double> values;
  for (const Sample& sample : samples) values.push_back(sample.*field);
  return Median(values);
}

void PrintRow(const char* what, double mine, double theirs, const char* unit, bool higherIsBetter) {
  // The ratio reads as "how many times better this build is": above 1 is a gain.
  const double ratio = higherIsBetter ? mine / theirs : theirs / mine;
  std::printf("  %-26s %10.3f %-4s %10.3f %-4s %7.2fx\n", what, mine, unit, theirs, unit, ratio);
}

}  // namespace

int CompareBench(const std::string& self, const std::string& otherBench, int rounds) {
  const Build builds[2] = {BuildOf(self), BuildOf(otherBench)};
  for (const Build& build : builds)
    for (const std::string& program : {build.bench, build.sim})
      if (access(program.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "korvane-bench compare: %s: not an executable program\n", program.c_str());
        return 2;
      }
  const ScratchFolder folder;
  if (folder.Path().empty()) return 1;
  Files files{folder.Path() + "/export-50mb.reg", 0, folder.Path() + "/WINDOWS", folder.Path() + "/SAVED"};
  // The files come from this build's generators, and both builds read the same ones.
  std::string output;
  long maxRss = 0;
  struct stat exportStat {};
  if (!RunProgram(self, {"write-export", files.exportFile}, nullptr, &maxRss) ||
      !RunProgram(self, {"write-hives", files.windows}, nullptr, &maxRss) ||
      stat(files.exportFile.c_str(), &exportStat) != 0) {
    std::fprintf(stderr, "korvane-bench compare: cannot write the export and the hives\n");
    return 1;
  }
  files.exportMiB = exportStat.st_size / 1048576.0;

  std::printf("this build:  %s\nother build: %s\n%d rounds, the builds in turns (this first in odd rounds); "
              "medians; a ratio above 1 is this build's gain\n\n",
              self.c_str(), otherBench.c_str(), rounds);
  const std::vector<Measure> measures = Measures();
  // samples[measure][build]
  std::vector<std::vector<Sample>> samples[2];
  for (auto& perBuild : samples) perBuild.resize(measures.size());
  for (int round = 0; round < rounds; ++round)
    for (std::size_t m = 0; m < measures.size(); ++m)
      for (int turn = 0; turn < 2; ++turn) {
        const int which = (round + turn) % 2;
        Sample sample;
        if (!measures[m].take(builds[which], files, &sample)) {
          std::fprintf(stderr, "korvane-bench compare: %s failed on the %s build\n", measures[m].name,
                       which == 0 ? "this" : "other");
          return 1;
        }
        samples[which][m].push_back(sample);
      }

  std::printf("  %-26s %15s %15s %8s\n", "", "this", "other", "ratio");
  for (std::size_t m = 0; m < measures.size(); ++m) {
    std::printf("%s\n", measures[m].name);
    const auto& mine = samples[0][m];
    const auto& theirs = samples[1][m];
    PrintRow("time", MedianOf(mine, &Sample::seconds), MedianOf(theirs, &Sample::seconds), "s", false);
    if (mine.front().rate >= 0)
      PrintRow("registry calls a second", MedianOf(mine, &Sample::rate), MedianOf(theirs, &Sample::rate), "M",
               true);
    if (mine.front().peakMiB >= 0) {
      const double minePeak = MedianOf(mine, &Sample::peakMiB), theirPeak = MedianOf(theirs, &Sample::peakMiB);
      PrintRow(measures[m].peak, minePeak, theirPeak, "MiB", false);
      if (measures[m].readsExport)
        std::printf("  %-26s %10.2f x    %10.2f x    (the file: %.1f MiB)\n", "peak / file size",
                    minePeak / files.exportMiB, theirPeak / files.exportMiB, files.exportMiB);
    }
  }
  return 0;
}

}  // namespace korvane::bench
