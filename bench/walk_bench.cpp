// The worst legal walks on the in-memory registry, as whole runs of InitInstance: on XP
// 1024 device keys of 16 instances with 16 subkeys each, on 98 1024 device keys each running
// the 1024-entry Config Manager pass. Each run gets a freshly built machine, so that every
// one provisions the same adapters. The run's allocations through operator new are counted:
// a registry call in the steady state should make none.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "app/adapter_table.h"
#include "app/process_state.h"
#include "app/run_sequence.h"
#include "bench_support.h"
#include "benches.h"
#include "machine_files/reg/reg_reader.h"
#include "machine_files/reg/reg_writer.h"
#include "machine_files/io/file_targets.h"
#include "platform/services.h"
#include "worst_machines.h"

namespace {

// Every operator new of the program, for the count taken around the run. The utility's own
// KeyPath takes its memory from malloc and is not counted: what is counted is what the
// registry (and the fakes) allocate.
std::atomic<std::uint64_t> newCalls{0};

void* CountedNew(std::size_t size) {
  newCalls.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return CountedNew(size); }
void* operator new[](std::size_t size) { return CountedNew(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace korvane::bench {

namespace {

constexpr int kDeviceKeys = 1024;

struct RunFigures {
  double seconds = 0;
  std::uint64_t calls = 0;
  int adapters = 0;
  int applied = 0;
  int listEntries = 0;
  std::size_t openHandles = 0;
  int notices = 0;
  std::uint64_t allocations = 0;
};

RunFigures OneRun(int family, double* buildSeconds) {
  auto registry = std::make_unique<sim::MemoryRegistry>();
  const double buildStart = NowSeconds();
  if (family == 5)
    BuildXpWorstMachine(*registry, kDeviceKeys);
  else
    BuildWin98WorstMachine(*registry, kDeviceKeys);
  *buildSeconds = NowSeconds() - buildStart;

  test::ScriptedSystem system;
  system.SetFamily(family);
  test::RecordingWindows windows;
  platform::Install({registry.get(), &system, &windows});
  ResetProcessState();
  RunFigures figures;
  const std::uint64_t newCallsBefore = newCalls.load(std::memory_order_relaxed);
  const double start = NowSeconds();
  theApp.InitInstance();
  figures.seconds = NowSeconds() - start;
  figures.allocations = newCalls.load(std::memory_order_relaxed) - newCallsBefore;
  figures.calls = registry->Calls();
  figures.adapters = adapterCount;
  for (int i = 0; i < adapterCount && i < kTableSize; ++i) figures.applied += adapterTable[i].applied;
  for (const auto& list : windows.lists) figures.listEntries += static_cast<int>(list.second.size());
  figures.openHandles = registry->OpenHandles();
  figures.notices = static_cast<int>(system.messageBoxes.size());
  platform::Install({});
  ResetProcessState();
  return figures;
}

}  // namespace

int WalkBench(int family, int runs) {
  std::vector<double> seconds, rates, builds;
  RunFigures last;
  for (int run = 0; run < runs; ++run) {
    double build = 0;
    last = OneRun(family, &build);
    builds.push_back(build);
    seconds.push_back(last.seconds);
    rates.push_back(static_cast<double>(last.calls) / last.seconds);
  }
  const char* name = family == 5 ? "XP  (family 5): 1024 device keys x 16 instances x 16 subkeys"
                                 : "98  (family 2): 1024 device keys x 1024-entry Config Manager pass";
  std::printf("%s\n  whole run (InitInstance): median %.3f s of %d runs (min %.3f, max %.3f); "
              "%llu registry calls a run, %.1f million calls/s (median)\n"
              "  %d adapters found, %d applied, %d entries listed, %d notices, %zu handles left open; "
              "building the machine: median %.3f s (not in the run)\n"
              "  allocations during the run: %llu\n",
              name, Median(seconds), runs, *std::min_element(seconds.begin(), seconds.end()),
              *std::max_element(seconds.begin(), seconds.end()), static_cast<unsigned long long>(last.calls),
              Median(rates) / 1e6, last.adapters, last.applied, last.listEntries, last.notices, last.openHandles,
              Median(builds), static_cast<unsigned long long>(last.allocations));
  // A run that found other than the adapters the machine holds measured some other walk.
  const bool asBuilt = last.adapters == kRecordedAdapters && last.applied == kRecordedAdapters &&
                       last.listEntries == kRecordedAdapters && last.openHandles == 0;
  if (!asBuilt) std::fprintf(stderr, "the run did not find the machine's %d adapters\n", kRecordedAdapters);
  return asBuilt ? 0 : 1;
}

int WriteXpMachine(const char* file, int deviceKeys) {
  sim::MemoryRegistry registry;
  BuildXpWorstMachine(registry, deviceKeys);
  std::string error;
  sim::FileTarget target;
  if (!sim::CheckTarget(file, sim::TargetRule::kFile, &target, &error) ||
      !sim::WriteTarget(target, sim::FormatMachine(registry, {sim::RegFileFormat::kVersion5, true}), &error)) {
    std::fprintf(stderr, "cannot write %s: %s\n", file, error.c_str());
    return 1;
  }
  std::printf("%zu keys\n", CountKeys(registry));
  return 0;
}

}  // namespace korvane::bench
