// korvane-make-hives: an offline installation's SYSTEM and SOFTWARE hives made from a machine
// file (its texts in code page 1252), for korvane-sim's end-to-end tests.
//
//   korvane-make-hives MACHINE.reg SYSTEM SOFTWARE [version=TEXT] [language=HEX] [acp=N]
//       [control-set=N]
//
// version, language and acp are what the hives say (default 5.1, 0409, 1252; empty leaves
// the value out); control-set is the number of the current control set (default 1).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "hives/machine_hives.h"
#include "machine_files/reg/reg_reader.h"

using namespace korvane;

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: korvane-make-hives MACHINE.reg SYSTEM SOFTWARE [NAME=VALUE...]\n");
    return 2;
  }
  test::InstallationSetup setup;
  for (int i = 4; i < argc; ++i) {
    const std::string option = argv[i];
    const std::string name = option.substr(0, option.find('='));
    const std::string value = option.substr(std::min(option.size(), name.size() + 1));
    if (name == "version") {
      setup.currentVersion = value;
    } else if (name == "language") {
      setup.language = value;
    } else if (name == "acp") {
      setup.codePage = value;
    } else if (name == "control-set") {
      setup.controlSet = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
    } else {
      std::fprintf(stderr, "korvane-make-hives: unknown option %s\n", argv[i]);
      return 2;
    }
  }

  sim::MemoryRegistry machine;
  sim::LoadError loadError;
  std::string error;
  if (!sim::LoadMachineFile(argv[1], machine, nullptr, &loadError)) {
    error = loadError.ToString();
  } else if (test::WriteHives(machine, setup, {argv[2], argv[3]}, &error)) {
    return 0;
  }
  std::fprintf(stderr, "korvane-make-hives: %s\n", error.c_str());
  return 1;
}
