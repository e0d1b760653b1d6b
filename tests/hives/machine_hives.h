// An offline installation's SYSTEM and SOFTWARE hives made from a machine in memory (such as
// a sample .reg file), for the tests and benchmarks of korvane-sim's hive support. Each
// starts as an empty hive made here and is filled through hivex directly, not through the
// unit under test, so that what that unit reads was written by another hand.
#pragma once

#include <string>

#include "machine_files/hive/installation_paths.h"
#include "platform/sim/memory_registry.h"

namespace korvane::test {

// What an installation's hives hold beyond a machine file; an empty text leaves its value out.
struct InstallationSetup {
  unsigned controlSet = 1;             // Select\Current: the ControlSet%03u of CurrentControlSet
  std::string currentVersion = "5.1";  // SOFTWARE\Microsoft\Windows NT\CurrentVersion
  std::string language = "0409";       // Control\Nls\Language, Default
  std::string codePage = "1252";       // Control\Nls\CodePage, ACP
};

// Adds the setup's values to the machine (Select's Current, Default and LastKnownGood, the
// language and code page under CurrentControlSet\Control\Nls, CurrentVersion), then writes
// its HKEY_LOCAL_MACHINE\SYSTEM and \SOFTWARE as hive files, CurrentControlSet stored as the
// setup's control set and texts as UTF-16LE. False with a message.
bool WriteHives(sim::MemoryRegistry& machine, const InstallationSetup& setup, const sim::HivePaths& paths,
                std::string* error);

}  // namespace korvane::test
