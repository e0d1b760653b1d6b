// Puts every process-wide variable of the utility back to its state at process start, so
// that one process (a test, a fuzzer) can make several runs.
#pragma once

namespace korvane {

void ResetProcessState();

}  // namespace korvane
