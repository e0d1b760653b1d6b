// The SYSTEM and SOFTWARE hives of an offline installation, made from a machine in memory
// (such as a sample .reg file), for the tests and benchmarks of korvane-sim's hive support.
// They are filled through hivex directly, not through the unit under test.
#pragma once

#include <string>

#include "platform/hosted/memory_registry.h"

namespace korvane::testing {

// What an installation's hives hold beyond a machine file; an empty text leaves its value out.
struct InstallationSetup {
  unsigned controlSet = 1;             // Select\Current: the ControlSet%03u of CurrentControlSet
  std::string currentVersion = "5.1";  // SOFTWARE\Microsoft\Windows NT\CurrentVersion
  std::string language = "0409";       // Control\Nls\Language, Default
  std::string codePage = "1252";       // Control\Nls\CodePage, ACP
};

// Adds those values to the machine: Select (Current, Default, LastKnownGood) under SYSTEM,
// the language and code page under SYSTEM\CurrentControlSet\Control\Nls, CurrentVersion under
// SOFTWARE.
void AddInstallationValues(hosted::MemoryRegistry& machine, const InstallationSetup& setup);

// Copies SYSTEM\CurrentControlSet, as it stands, to SYSTEM\ControlSet%03u of `number`: a
// second control set such as the last known good one.
void CopyControlSet(hosted::MemoryRegistry& machine, unsigned number);

// The machine's HKEY_LOCAL_MACHINE\SYSTEM and \SOFTWARE as hive files' bytes, SYSTEM's
// CurrentControlSet stored as ControlSet%03u of `controlSet`; texts in UTF-16LE.
bool MakeHives(const hosted::MemoryRegistry& machine, unsigned controlSet, std::string* system, std::string* software,
               std::string* error);

// Writes `bytes` to `path`; false with a message.
bool WriteFile(const std::string& path, const std::string& bytes, std::string* error);

}  // namespace korvane::testing
