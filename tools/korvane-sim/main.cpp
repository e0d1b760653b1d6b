// korvane-sim: Korvane on a simulated PC. The host reads its own options; the utility itself
// still reads no command line.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "korvane-sim/options.h"
#include "korvane-sim/run.h"

int main(int argc, char** argv) {
  // A reader that stops reading (`| head`) must not end the run before its saves: a write to
  // it fails instead, and the run reports that.
  signal(SIGPIPE, SIG_IGN);
  // A standard descriptor the caller closed (`>&-`) would be taken by the first file opened,
  // and the report written into that file: it becomes /dev/null, opened read-only, so that
  // writes to it fail as they would have.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDONLY) != fd)
      return korvane::sim::kExitRefused;

  korvane::sim::SimOptions options;
  std::string error;
  if (!korvane::sim::ParseSimOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "korvane-sim: %s\n", error.c_str());
    return korvane::sim::kExitRefused;
  }
  if (options.help || options.showVersion) {
    const std::string text = options.help ? korvane::sim::SimUsage() : korvane::sim::SimVersion();
    return std::fputs(text.c_str(), stdout) != EOF && std::fflush(stdout) == 0 ? 0 : korvane::sim::kExitFailed;
  }
  return korvane::sim::RunSimulatedMachine(options, stdout, stderr);
}
