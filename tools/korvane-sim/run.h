// One run of the utility on a simulated machine, as korvane-sim makes it: load the machine,
// install the simulated platform, run, report, and write the machine back when asked.
#pragma once

#include <cstdio>

#include "korvane-sim/options.h"

namespace korvane::sim {

// korvane-sim's own exit codes, beside the utility's (0 after a run): a file, the report or
// the lock that failed; an option, a file or a result refused before anything was written or
// shown; another instance that has the machine which this run was to write.
inline constexpr int kExitFailed = 1;
inline constexpr int kExitRefused = 2;
inline constexpr int kExitMachineBusy = 3;

// Returns the process's exit code. The report goes to `out`, errors to `err`.
int RunSimulatedMachine(const SimOptions& options, std::FILE* out, std::FILE* err);

}  // namespace korvane::sim
