// korvane-sim: Korvane on a simulated PC. The host reads its own options; the utility itself
// still reads no command line.
#include <cstdio>
#include <string>

#include "platform/hosted/sim_options.h"
#include "platform/hosted/simulated_machine.h"

int main(int argc, char** argv) {
  korvane::hosted::SimOptions options;
  std::string error;
  if (!korvane::hosted::ParseSimOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "korvane-sim: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(korvane::hosted::SimUsage(), stdout);
    return 0;
  }
  return korvane::hosted::RunSimulatedMachine(options, stdout, stderr);
}
