#include "korvane-sim/offline_installation.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "machine_files/io/file_rules.h"
#include "machine_files/hive/hive_file.h"
#include "platform/sim/code_pages.h"

namespace korvane::sim {

namespace {

constexpr HiveKind kKinds[] = {HiveKind::kSystem, HiveKind::kSoftware};

std::string Resolved(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string text = resolved;
  std::free(resolved);
  return text;
}

// Why what stands at `backup` cannot be the kept original of a hive of `kind`, or "" when it
// can, or when nothing is there. Whatever stands there is never written, so anything but a
// hive of the same kind would keep the original nowhere.
std::string WhyNoBackup(const std::string& backup, HiveKind kind) {
  struct stat status {};
  if (lstat(backup.c_str(), &status) != 0) return errno == ENOENT ? "" : std::strerror(errno);
  if (S_ISLNK(status.st_mode)) {
    char target[PATH_MAX + 1];
    const ssize_t length = readlink(backup.c_str(), target, sizeof target - 1);
    return "it is a symbolic link to " +
           Printable(std::string_view(target, length > 0 ? static_cast<std::size_t>(length) : 0));
  }
  if (!S_ISREG(status.st_mode)) return "it is " + KindOfFile(status.st_mode);
  if (status.st_size == 0) return "it is empty";
  HiveFile hive(kind, backup);
  std::string why;
  if (!hive.Open(&why)) {
    if (why.compare(0, backup.size() + 2, backup + ": ") == 0) why.erase(0, backup.size() + 2);
    return "it holds no hive: " + why;
  }
  // Only a SYSTEM hive has the Select key that names its current control set.
  const bool system = hive.FindKey({"Select"}) != 0;
  if (system != (kind == HiveKind::kSystem))
    return std::string("it holds a ") + (system ? "SYSTEM" : "SOFTWARE") + " hive, not a " + hive.Label() + " one";
  return "";
}

// The refusal of a backup that cannot stand for the original.
std::string NoBackupMessage(const std::string& hive, const std::string& backup, const std::string& why) {
  return "cannot save " + hive + ": " + backup + " is no backup of it (" + why +
         "); move it away, and the original is kept there";
}

}  // namespace

const std::string& OfflineInstallation::Path(HiveKind kind) const {
  return kind == HiveKind::kSystem ? paths_.system : paths_.software;
}

std::string OfflineInstallation::OwnFile(const std::string& path) const {
  for (const HiveKind kind : kKinds) {
    const std::string& hive = Path(kind);
    if (hive.empty()) continue;
    if (IsSameEntry(path, hive)) return hive;
    if (const std::string backup = Resolved(hive) + ".bak"; IsSameEntry(path, backup)) return backup;
  }
  return "";
}

std::vector<std::string> OfflineInstallation::RemoveLeftTemporaries() const {
  std::vector<std::string> removed;
  for (const HiveKind kind : kKinds) {
    if (Path(kind).empty()) continue;
    const std::string hive = Resolved(Path(kind));
    for (const std::string& path : {hive, hive + ".bak"})
      for (std::string& left : sim::RemoveLeftTemporaries(path)) removed.push_back(std::move(left));
  }
  return removed;
}

bool OfflineInstallation::Prepare(const SimOptions& options, std::string* error) {
  paths_ = {options.systemHive, options.softwareHive};
  if (!options.windowsDir.empty() && !FindInstallationHives(options.windowsDir, &paths_, error)) {
    *error = "cannot find the hives of " + options.windowsDir + ": " + *error;
    return false;
  }
  if (!options.save) return true;
  for (const HiveKind kind : kKinds) {
    const std::string& path = Path(kind);
    if (path.empty()) continue;
    const FileTarget& target = targets_[static_cast<int>(kind)];
    std::string why;
    if (!CheckTarget(path, TargetRule::kExistingFile, &targets_[static_cast<int>(kind)], &why)) {
      *error = "cannot save " + path + ": " + why;
      return false;
    }
    const std::string backup = target.path + ".bak";
    if (why = WhyNameTooLong(backup); !why.empty()) {
      *error = "cannot keep the original of " + path + " as " + backup + ": " + why;
      return false;
    }
    if (why = WhyNoBackup(backup, kind); !why.empty()) {
      *error = NoBackupMessage(path, backup, why);
      return false;
    }
  }
  return true;
}

bool OfflineInstallation::Open(std::string* error) { return store_.Open(paths_, error); }

bool OfflineInstallation::ReadSettings(const SimOptions& options, MachineSettings* settings, std::string* error) {
  const auto unknown = [error](const char* what, const char* option) {
    *error = std::string("cannot tell the installation's ") + what + ": " + *error + "; give " + option;
    return false;
  };
  if (!options.osGiven) {
    std::string name;
    if (!store_.ReadOsName(&name, error)) return unknown("Windows version", "--os");
    VersionFor(name, &settings->version);
  }
  // Without a SYSTEM hive korvane-sim's own defaults stand, as they do for a machine file.
  if (!store_.IsOpen(HiveKind::kSystem)) return true;
  if (!options.languageGiven && !store_.ReadLanguage(&settings->languageId, error))
    return unknown("language", "--lang");
  if (options.codePage == 0) {
    if (!store_.ReadCodePage(&settings->codePage, error)) return unknown("ANSI code page", "--codepage");
    if (settings->codePage != kCodePageWestern && settings->codePage != kCodePageJapanese) {
      *error = MainHive() + ": the installation's ANSI code page is " + std::to_string(settings->codePage) +
               ", and korvane-sim knows 1252 and 932 only; give --codepage";
      return false;
    }
  }
  return true;
}

bool OfflineInstallation::Load(MemoryRegistry& registry, std::string* error) { return store_.Load(registry, error); }

bool OfflineInstallation::TakeWrites(const MemoryRegistry& registry, std::string* error) {
  const std::vector<WriteRecord>& writes = registry.Writes();
  std::string why;
  if (!store_.Apply(std::span(writes).subspan(applied_), registry.AnsiCodePage(), &why)) {
    *error = "cannot save the run's writes: " + why;
    return false;
  }
  applied_ = writes.size();
  for (const HiveKind kind : kKinds) {
    if (store_.Changed(kind) && !store_.Commit(kind, &why)) {
      *error = "cannot save the run's writes: " + why;
      return false;
    }
  }
  return true;
}

bool OfflineInstallation::Save(const MemoryRegistry& registry, std::string* error) {
  if (!TakeWrites(registry, error)) return false;
  std::string why;
  // The main hive last: it keys the instance lock by its inode, which its replacement
  // changes, and a run that takes the new one must find every hive saved.
  for (const HiveKind kind : {HiveKind::kSoftware, HiveKind::kSystem}) {
    if (!store_.Changed(kind)) continue;
    const FileTarget& target = targets_[static_cast<int>(kind)];
    const std::string backup = target.path + ".bak";
    // Checked again now: a backup is never written, so what came there since would stand for
    // the original.
    if (const std::string whyNot = WhyNoBackup(backup, kind); !whyNot.empty()) {
      *error = NoBackupMessage(target.given, backup, whyNot);
      return false;
    }
    bool existed = false;
    const auto keep = [&](std::string_view original, std::string* message) {
      return KeepOriginal(backup, original, target.path, &existed, message);
    };
    if (!store_.Original(kind, keep, &why)) {
      *error = "cannot keep the original of " + target.given + " as " + backup + ": " + why;
      return false;
    }
    const auto replace = [&](std::string_view bytes, std::string* message) {
      return WriteTarget(target, bytes, message);
    };
    if (!store_.Commit(kind, replace, &why)) {
      *error = "cannot save " + target.given + ": " + why;
      return false;
    }
  }
  return true;
}

RegFileEncoding OfflineInstallation::ChangesFormat(const platform::OsVersionInfo& version, unsigned codePage) {
  const bool nt4 = version.platformId == platform::kVerPlatformWin32Nt && version.majorVersion == 4;
  return nt4 ? RegFileEncoding{RegFileFormat::kRegedit4, false, codePage}
             : RegFileEncoding{RegFileFormat::kVersion5, true, codePage};
}

}  // namespace korvane::sim
