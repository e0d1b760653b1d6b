// Loading a 50 MB machine file, UTF-16LE with its BOM as `regedit /e` writes it: the median
// time of several loads, and the peak memory of a load in a process of its own, which reads
// the file a chunk at a time and so should hold little more than the registry it builds.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "benches.h"
#include "machine_files/reg/reg_reader.h"
#include "machine_files/reg/reg_writer.h"
#include "machine_files/io/file_targets.h"
#include "worst_machines.h"

namespace korvane::bench {

namespace {

constexpr std::size_t kTargetBytes = 50u * 1024 * 1024;
constexpr int kTimedLoads = 7;

std::string ExportText(int units) {
  sim::MemoryRegistry registry;
  BuildExportLikeMachine(registry, units);
  return sim::FormatMachine(registry, {sim::RegFileFormat::kVersion5, true});
}

// The smallest export of whole units that reaches the target size.
std::string FiftyMegabyteExport() {
  constexpr int kSample = 1000;
  const std::size_t sampleBytes = ExportText(kSample).size();
  int units = static_cast<int>(kTargetBytes / (sampleBytes / kSample)) + 1;
  std::string text = ExportText(units);
  while (text.size() < kTargetBytes) text = ExportText(units += units / 100 + 1);
  return text;
}

struct ChildFigures {
  bool ok = false;
  double seconds = 0;
  long hwmBefore = 0, hwmAfter = 0, rssAfter = 0, maxRss = 0;
};

// Runs `self load-child FILE` and reads what it printed.
ChildFigures LoadInChild(const std::string& self, const std::string& file) {
  ChildFigures figures;
  std::string output;
  if (!RunSelf(self, {"load-child", file}, &output, &figures.maxRss)) return figures;
  figures.ok = std::sscanf(output.c_str(), "%lf %ld %ld %ld", &figures.seconds, &figures.hwmBefore,
                           &figures.hwmAfter, &figures.rssAfter) == 4;
  return figures;
}

}  // namespace

int LoadChild(const char* file) {
  const long hwmBefore = StatusKilobytes("VmHWM");
  sim::MemoryRegistry registry;
  sim::LoadError error;
  const double start = NowSeconds();
  if (!sim::LoadMachineFile(file, registry, nullptr, &error)) {
    std::fprintf(stderr, "%s\n", error.ToString().c_str());
    return 1;
  }
  const double seconds = NowSeconds() - start;
  std::printf("%.6f %ld %ld %ld\n", seconds, hwmBefore, StatusKilobytes("VmHWM"), StatusKilobytes("VmRSS"));
  return 0;
}

int LoadBench(const std::string& self) {
  const ScratchFolder folder;
  if (folder.Path().empty()) return 1;
  const std::string file = folder.Path() + "/export-50mb.reg";
  std::size_t bytes = 0;
  {
    const double start = NowSeconds();
    const std::string text = FiftyMegabyteExport();
    bytes = text.size();
    std::string error;
    sim::FileTarget target;
    if (!sim::CheckTarget(file, sim::TargetRule::kFile, &target, &error) || !sim::WriteTarget(target, text, &error)) {
      std::fprintf(stderr, "cannot write %s: %s\n", file.c_str(), error.c_str());
      return 1;
    }
    std::printf("machine file: %s, %zu bytes (%.1f MiB), UTF-16LE, generated in %.2f s\n", file.c_str(), bytes,
                bytes / 1048576.0, NowSeconds() - start);
  }

  std::vector<double> loads, teardowns;
  std::size_t keys = 0;
  int failures = 0;
  for (int run = 0; run <= kTimedLoads; ++run) {  // run 0 warms the page cache
    auto registry = std::make_unique<sim::MemoryRegistry>();
    sim::LoadError error;
    const double start = NowSeconds();
    const bool loaded = sim::LoadMachineFile(file, *registry, nullptr, &error);
    const double loadedAt = NowSeconds();
    if (!loaded) {
      std::fprintf(stderr, "load failed: %s\n", error.ToString().c_str());
      ++failures;
      break;
    }
    if (run == 0) keys = CountKeys(*registry);
    registry.reset();
    if (run == 0) continue;
    loads.push_back(loadedAt - start);
    teardowns.push_back(NowSeconds() - loadedAt);
  }
  if (failures == 0) {
    const double median = Median(loads);
    std::printf("load: %zu keys; median %.3f s of %d loads (min %.3f, max %.3f), %.0f MB/s; "
                "freeing the registry: median %.3f s\n",
                keys, median, kTimedLoads, *std::min_element(loads.begin(), loads.end()),
                *std::max_element(loads.begin(), loads.end()), bytes / 1e6 / median, Median(teardowns));
  }

  const ChildFigures child = LoadInChild(self, file);
  if (child.ok) {
    std::printf("peak memory of a load in its own process: VmHWM %.1f MiB above the %.1f MiB before it, "
                "%.2f times the file's size (ru_maxrss %.1f MiB in all); resident after the load %.1f MiB; "
                "that load took %.3f s\n",
                (child.hwmAfter - child.hwmBefore) / 1024.0, child.hwmBefore / 1024.0,
                (child.hwmAfter - child.hwmBefore) * 1024.0 / static_cast<double>(bytes), child.maxRss / 1024.0,
                child.rssAfter / 1024.0, child.seconds);
  } else {
    std::fprintf(stderr, "the load in a child process failed\n");
    ++failures;
  }
  return failures == 0 ? 0 : 1;
}

int WriteExport(const char* file) {
  const std::string text = FiftyMegabyteExport();
  std::string error;
  sim::FileTarget target;
  if (!sim::CheckTarget(file, sim::TargetRule::kFile, &target, &error) || !sim::WriteTarget(target, text, &error)) {
    std::fprintf(stderr, "cannot write %s: %s\n", file, error.c_str());
    return 1;
  }
  std::printf("%zu bytes\n", text.size());
  return 0;
}

}  // namespace korvane::bench
