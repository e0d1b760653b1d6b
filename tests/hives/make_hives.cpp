// korvane-make-hives: an offline installation's SYSTEM and SOFTWARE hives made from a machine
// file, for korvane-sim's end-to-end tests.
//
//   korvane-make-hives MACHINE.reg --system FILE --software FILE [--control-set N]
//       [--copy-control-set M] [--version TEXT] [--language HEX] [--acp N] [--lang ID]
//       [--unfinished]
//
// --control-set is the number of the current control set (default 1); --copy-control-set
// adds a copy of it as ControlSet%03u of M; --version, --language and --acp set what the
// hives say (default 5.1, 0409, 1252; "-" leaves the value out); --lang is the language the
// machine file's texts are read in; --unfinished makes each hive's two sequence numbers
// differ.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hives/empty_hive.h"
#include "hives/machine_hives.h"
#include "platform/hosted/machine_files/reg_reader.h"
#include "platform/hosted/text_encoding.h"

using namespace korvane;

int main(int argc, char** argv) {
  std::string machinePath, systemPath, softwarePath;
  testing::InstallationSetup setup;
  unsigned language = 0x0409;
  unsigned copy = 0;
  bool unfinished = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    const auto text = [&](std::string* out) {
      *out = std::strcmp(value, "-") == 0 ? "" : value;
      ++i;
    };
    if (option == "--unfinished") {
      unfinished = true;
    } else if (option[0] != '-') {
      machinePath = option;
    } else if (value == nullptr) {
      std::fprintf(stderr, "korvane-make-hives: %s needs a value\n", option.c_str());
      return 2;
    } else if (option == "--system") {
      text(&systemPath);
    } else if (option == "--software") {
      text(&softwarePath);
    } else if (option == "--control-set") {
      setup.controlSet = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
      ++i;
    } else if (option == "--copy-control-set") {
      copy = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
      ++i;
    } else if (option == "--version") {
      text(&setup.currentVersion);
    } else if (option == "--language") {
      text(&setup.language);
    } else if (option == "--acp") {
      text(&setup.codePage);
    } else if (option == "--lang") {
      language = static_cast<unsigned>(std::strtoul(value, nullptr, 0));
      ++i;
    } else {
      std::fprintf(stderr, "korvane-make-hives: unknown option %s\n", option.c_str());
      return 2;
    }
  }
  if (machinePath.empty() || systemPath.empty() || softwarePath.empty()) {
    std::fprintf(stderr, "usage: korvane-make-hives MACHINE.reg --system FILE --software FILE [options]\n");
    return 2;
  }

  hosted::MemoryRegistry machine;
  machine.SetAnsiCodePage(hosted::AnsiCodePageFor(language));
  hosted::LoadError loadError;
  if (!hosted::LoadMachineFile(machinePath, machine, nullptr, &loadError)) {
    std::fprintf(stderr, "korvane-make-hives: %s\n", loadError.ToString().c_str());
    return 1;
  }
  testing::AddInstallationValues(machine, setup);
  if (copy != 0) testing::CopyControlSet(machine, copy);
  std::string system, software, error;
  if (!testing::MakeHives(machine, setup.controlSet, &system, &software, &error)) {
    std::fprintf(stderr, "korvane-make-hives: %s\n", error.c_str());
    return 1;
  }
  if (unfinished) {
    testing::MarkUnfinished(&system);
    testing::MarkUnfinished(&software);
  }
  if (!testing::WriteFile(systemPath, system, &error) || !testing::WriteFile(softwarePath, software, &error)) {
    std::fprintf(stderr, "korvane-make-hives: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
