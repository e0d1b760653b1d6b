// korvane-sim on an offline installation: the hives the options name, found and checked
// before anything runs, read with the installation's own settings standing where the options
// give none, and after the run saved where the run changed them, each first original kept
// beside its hive as FILE.bak.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "machine_files/hive/installation_registry.h"
#include "machine_files/reg/reg_format.h"
#include "machine_files/io/file_targets.h"
#include "platform/sim/memory_registry.h"
#include "korvane-sim/options.h"
#include "platform/system.h"

namespace korvane::sim {

// What the simulated machine answers for: its version, its user's language and its ANSI code
// page.
struct MachineSettings {
  platform::OsVersionInfo version{};
  std::uint16_t languageId = 0;
  unsigned codePage = 0;
};

class OfflineInstallation {
 public:
  // Finds the hive files of --windows or --hive and, with --save, checks that each may be
  // replaced and that what stands as its backup, if anything, is a hive of its kind. False
  // with a message: nothing has been read or written.
  bool Prepare(const SimOptions& options, std::string* error);

  const HivePaths& Paths() const { return paths_; }
  const std::string& Path(HiveKind kind) const;
  // The hive, or the backup of one, that `path` is or would be once written (through links,
  // in any letter case), or "" when it is none of them.
  std::string OwnFile(const std::string& path) const;
  // Removes the temporary files that a killed run left beside the hives and their backups;
  // returns their paths. Only while the machine is held.
  std::vector<std::string> RemoveLeftTemporaries() const;
  // The hive that stands for the machine in the instance lock and in messages: SYSTEM, or
  // SOFTWARE when only that one is given.
  const std::string& MainHive() const { return paths_.system.empty() ? paths_.software : paths_.system; }

  // Reads the hives, refusing those that cannot be trusted.
  bool Open(std::string* error);
  // The installation's own settings where the options give none: the Windows version from
  // SOFTWARE, the language and the ANSI code page from SYSTEM. Without a SYSTEM hive the
  // language and code page are left as they stand.
  bool ReadSettings(const SimOptions& options, MachineSettings* settings, std::string* error);
  // Fills the registry from the open hives, their texts read in its ANSI code page.
  bool Load(MemoryRegistry& registry, std::string* error);

  // Gives the hives the run's writes made since the last call and commits each hive they
  // changed in memory, as it would be saved: with --save this comes before the run shows
  // anything and before anything is written, so that a hive that cannot take the writes is
  // refused while nothing has been. False with a message ("damaged hive: ..." where hivex
  // cannot write a hive).
  bool TakeWrites(const MemoryRegistry& registry, std::string* error);

  // Gives the hives the run's writes (TakeWrites) and saves each one they changed: its
  // original first, as FILE.bak unless one is there, then the hive itself, replaced whole.
  // False with a message naming the file that could not be written; a hive whose original
  // could not be kept is left as it was.
  bool Save(const MemoryRegistry& registry, std::string* error);

  // The form of the run's --changes: REGEDIT4 for Windows NT 4.0, whose regedit reads no other,
  // else 5.00 as UTF-16LE, as regedit writes it.
  static RegFileEncoding ChangesFormat(const platform::OsVersionInfo& version, unsigned codePage);

 private:
  HivePaths paths_;
  FileTarget targets_[2];  // SYSTEM, SOFTWARE: checked when the run is to save them
  HiveStore store_;
  std::size_t applied_ = 0;  // how many of the run's writes the hives have been given
};

}  // namespace korvane::sim
