#include "platform/hosted/hive_machine.h"

#include <span>
#include <vector>

#include "platform/hosted/text_encoding.h"

namespace korvane::hosted {

namespace {

constexpr HiveKind kKinds[] = {HiveKind::kSystem, HiveKind::kSoftware};

}  // namespace

bool HiveMachine::Prepare(const SimOptions& options, std::string* error) {
  paths_ = {options.systemHive, options.softwareHive};
  if (!options.windowsDir.empty() && !FindInstallationHives(options.windowsDir, &paths_, error)) {
    *error = "cannot find the hives of " + options.windowsDir + ": " + *error;
    return false;
  }
  if (!options.save) return true;
  for (const HiveKind kind : kKinds) {
    const std::string& path = kind == HiveKind::kSystem ? paths_.system : paths_.software;
    std::string why;
    if (!path.empty() && !CheckTarget(path, TargetRule::kExistingFile, &targets_[static_cast<int>(kind)], &why)) {
      *error = "cannot save " + path + ": " + why;
      return false;
    }
  }
  return true;
}

bool HiveMachine::Load(const SimOptions& options, MemoryRegistry& registry, MachineSettings* settings,
                       std::string* error) {
  if (!store_.Open(paths_, error)) return false;
  const auto unknown = [error](const char* what, const char* option) {
    *error = std::string("cannot tell the installation's ") + what + ": " + *error + "; give " + option;
    return false;
  };
  settings->version = options.version;
  if (!options.osGiven) {
    std::string name;
    if (!store_.ReadOsName(&name, error)) return unknown("Windows version", "--os");
    VersionFor(name, &settings->version);
  }
  // Without a SYSTEM hive korvane-sim's own defaults stand, as they do for a machine file.
  settings->languageId = options.languageId;
  if (!options.languageGiven && store_.IsOpen(HiveKind::kSystem) && !store_.ReadLanguage(&settings->languageId, error))
    return unknown("language", "--lang");
  settings->codePage = options.codePage;
  if (settings->codePage == 0 && store_.IsOpen(HiveKind::kSystem)) {
    if (!store_.ReadCodePage(&settings->codePage, error)) return unknown("ANSI code page", "--codepage");
    if (settings->codePage != kCodePageWestern && settings->codePage != kCodePageJapanese) {
      *error = MainHive() + ": the installation's ANSI code page is " + std::to_string(settings->codePage) +
               ", and korvane-sim knows 1252 and 932 only; give --codepage";
      return false;
    }
  }
  if (settings->codePage == 0) settings->codePage = AnsiCodePageFor(settings->languageId);
  registry.SetAnsiCodePage(settings->codePage);
  return store_.Load(registry, error);
}

bool HiveMachine::TakeWrites(const MemoryRegistry& registry, std::string* error) {
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

bool HiveMachine::Save(const MemoryRegistry& registry, std::string* error) {
  if (!TakeWrites(registry, error)) return false;
  std::string why;
  for (const HiveKind kind : kKinds) {
    if (!store_.Changed(kind)) continue;
    const FileTarget& target = targets_[static_cast<int>(kind)];
    const std::string backup = target.path + ".bak";
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

MachineFileInfo HiveMachine::ChangesFormat(const platform::OsVersionInfo& version, unsigned codePage) {
  const bool nt4 = version.platformId == platform::kVerPlatformWin32Nt && version.majorVersion == 4;
  return nt4 ? MachineFileInfo{RegFileFormat::kRegedit4, false, codePage}
             : MachineFileInfo{RegFileFormat::kVersion5, true, codePage};
}

}  // namespace korvane::hosted
