// One run of the utility on a simulated machine, as korvane-sim makes it: load the machine,
// install the hosted platform, run, report, and write the machine back when asked.
#pragma once

#include <cstdio>

#include "korvane-sim/options.h"

namespace korvane::sim {

// Returns the process's exit code. The report goes to `out`, errors to `err`.
int RunSimulatedMachine(const SimOptions& options, std::FILE* out, std::FILE* err);

}  // namespace korvane::sim
