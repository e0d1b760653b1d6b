#include "korvane-sim/run.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/process_state.h"
#include "app/run_sequence.h"
#include "platform/framework.h"
#include "korvane-sim/embedded_files.h"
#include "korvane-sim/offline_installation.h"
#include "platform/sim/sim_system.h"
#include "platform/sim/sim_windows.h"
#include "machine_files/reg/reg_reader.h"
#include "machine_files/reg/reg_writer.h"
#include "machine_files/io/file_targets.h"
#include "platform/sim/memory_registry.h"
#include "korvane-sim/report.h"
#include "platform/sim/code_pages.h"
#include "platform/services.h"

namespace korvane::sim {

namespace {

constexpr char kDefaultMachineName[] = "machines/sample-xp.reg";

// Each try after the first needs another run to have saved the machine meanwhile.
constexpr int kKeyAttempts = 100;

// The machine's file, for the lock and for messages: an installation is its SYSTEM hive.
std::string MachineFile(const SimOptions& options, const OfflineInstallation& hives) {
  if (OnHives(options)) return hives.MainHive();
  return options.machinePath.empty() ? kDefaultMachineName : options.machinePath;
}

// What names the machine's file itself, whichever path leads to it (symbolic links, bind
// mounts, hard links): its device and inode numbers.
std::string MachineKey(const SimOptions& options, const OfflineInstallation& hives) {
  if (!OnHives(options) && options.machinePath.empty()) return "built-in sample machine";
  const std::string file = MachineFile(options, hives);
  struct stat status {};
  if (stat(file.c_str(), &status) != 0) return "path " + file;  // refused once it is read
  return "file " + std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

bool LoadMachine(const SimOptions& options, MemoryRegistry& registry, RegFileEncoding* info, std::FILE* err) {
  LoadError error;
  const bool loaded =
      options.machinePath.empty()
          ? LoadMachineText(std::string_view(reinterpret_cast<const char*>(embedded::kDefaultMachine),
                                             embedded::kDefaultMachineSize),
                            kDefaultMachineName, registry, info, &error)
          : LoadMachineFile(options.machinePath, registry, info, &error);
  if (!loaded) std::fprintf(err, "korvane-sim: %s\n", error.ToString().c_str());
  return loaded;
}

// The files the run will write, checked before anything runs: a refused one is refused
// before the machine is read. Prints the error and returns false when one is refused.
bool CheckTargets(const SimOptions& options, OfflineInstallation& hives, FileTarget* changes, FileTarget* saved,
                  std::FILE* err) {
  std::string error;
  if (OnHives(options) && !hives.Prepare(options, &error)) {
    std::fprintf(err, "korvane-sim: %s\n", error.c_str());
    return false;
  }
  if (!options.changesPath.empty()) {
    // The hives and their backups in any letter case, as Windows names files: on a disk from
    // a PC, SYSTEM.BAK is SYSTEM.bak.
    const std::string own = options.changesPath == "-" ? ""
                            : OnHives(options)         ? hives.OwnFile(options.changesPath)
                            : !options.machinePath.empty() && IsSameFile(options.changesPath, options.machinePath)
                                ? options.machinePath
                                : "";
    if (!own.empty()) {
      const bool backup = OnHives(options) && own != hives.Paths().system && own != hives.Paths().software;
      std::fprintf(err, "korvane-sim: --changes %s is the %s %s: the changes would replace %s\n",
                   options.changesPath.c_str(), backup ? "backup" : OnHives(options) ? "hive" : "machine file",
                   own.c_str(), backup ? "the original it keeps" : "the machine");
      return false;
    }
    if (!CheckTarget(options.changesPath, TargetRule::kOutput, changes, &error)) {
      std::fprintf(err, "korvane-sim: cannot write the changes to %s: %s\n", options.changesPath.c_str(),
                   error.c_str());
      return false;
    }
  }
  if (options.save && !OnHives(options) &&
      !CheckTarget(options.machinePath, TargetRule::kExistingFile, saved, &error)) {
    std::fprintf(err, "korvane-sim: cannot save %s: %s\n", options.machinePath.c_str(), error.c_str());
    return false;
  }
  return true;
}

// Everything printed must have reached its reader: a report lost to a full disk or a closed
// pipe makes a failed run.
bool FinishOutput(const std::string& report, std::FILE* out, std::FILE* err) {
  int number = 0;
  if (!report.empty() && std::fputs(report.c_str(), out) == EOF) number = errno;
  if (std::fflush(out) != 0 && number == 0) number = errno;
  if (number == 0 && !std::ferror(out)) return true;
  std::fprintf(err, "korvane-sim: cannot write to standard output%s%s\n", number != 0 ? ": " : "",
               number != 0 ? std::strerror(number) : "");
  return false;
}

}  // namespace

int RunSimulatedMachine(const SimOptions& options, std::FILE* out, std::FILE* err) {
  FileTarget changes;
  FileTarget saved;
  OfflineInstallation hives;
  if (!CheckTargets(options, hives, &changes, &saved, err)) return 2;

  InstanceLocks instances;
  std::string error;
  // The machine is taken before it is read and held until it is saved: a run that read it
  // before another one saved it would save it back over that one's changes.
  int holder = 0;
  InstanceLocks::Take taken = InstanceLocks::Take::kFailed;
  std::string key = MachineKey(options, hives);
  for (int attempt = 0; attempt < kKeyAttempts; ++attempt) {
    if (!instances.Open(key, &error)) {
      std::fprintf(err, "korvane-sim: %s\n", error.c_str());
      return 1;
    }
    taken = instances.TakeMachine(&holder);
    if (taken != InstanceLocks::Take::kTaken) break;
    // A run that saved the machine meanwhile replaced its file, which has another inode now:
    // the lock on the old one guards nothing. (A run replaces that file last of all it writes.)
    std::string now = MachineKey(options, hives);
    if (now == key) break;
    key = std::move(now);
    taken = InstanceLocks::Take::kFailed;
    errno = EAGAIN;
  }
  if (taken == InstanceLocks::Take::kFailed) {
    std::fprintf(err, "korvane-sim: cannot lock the machine: %s\n", std::strerror(errno));
    return 1;
  }
  const bool first = taken == InstanceLocks::Take::kTaken;
  if (!first && (options.save || !options.changesPath.empty())) {
    std::fprintf(err, "korvane-sim: another instance (process %d) has the machine %s: nothing was run or written\n",
                 holder, MachineFile(options, hives).c_str());
    return 3;
  }

  // Only a run that holds the installation may tell a killed run's temporary files from
  // those of one under way.
  if (first && OnHives(options))
    for (const std::string& left : hives.RemoveLeftTemporaries())
      std::fprintf(err, "korvane-sim: removed %s, a temporary file left by a run that was ended\n", left.c_str());

  MemoryRegistry registry;
  // Unless told otherwise, the machine's texts are in the ANSI code page of its user's
  // language, as a Windows installed in that language has it; an installation says its own.
  MachineSettings settings{options.version, options.languageId,
                           options.codePage != 0 ? options.codePage : AnsiCodePageFor(options.languageId)};
  registry.SetAnsiCodePage(settings.codePage);
  RegFileEncoding info;
  // Another instance's machine is not this one's to read: the utility steps aside before it
  // reads the registry.
  if (first && OnHives(options)) {
    if (!hives.Load(options, registry, &settings, &error)) {
      std::fprintf(err, "korvane-sim: %s\n", error.c_str());
      return 2;
    }
    info = OfflineInstallation::ChangesFormat(settings.version, settings.codePage);
  } else if (first && !LoadMachine(options, registry, &info, err)) {
    return 2;
  }
  const unsigned codePage = settings.codePage;
  registry.RefuseWriteAccess(options.noAdmin);
  if (options.failCall != 0) registry.FailCall(options.failCall, options.failStatus);
  if (!options.failPath.empty()) registry.FailPaths(options.failPath, options.failStatus);

  // The changes may go to standard output: the screen is then drawn on standard error.
  Terminal screen(!options.json, codePage, changes.kind == FileTarget::Kind::kStandardOutput ? stderr : stdout);
  screen.SetWindowHooks([&] { instances.WindowOpened(); }, [&] { instances.WindowClosed(); });
  // The hives to be saved are shown to take the run's writes (which all come before its
  // notice or dialog) before anything is shown; one that cannot is refused with nothing shown
  // or written.
  std::string refused;
  const auto hivesTakeWrites = [&] {
    if (refused.empty() && first && options.save && OnHives(options)) hives.TakeWrites(registry, &refused);
    return refused.empty();
  };
  screen.SetShowGate(hivesTakeWrites);
  SimSystem system(settings.version, settings.languageId, codePage, screen, instances);
  SimWindows windows(screen);

  platform::Install({&registry, &system, &windows});
  ResetProcessState();
  const int exitCode = platform::AfxWinMain();
  platform::Install({});

  int status = exitCode;
  if (!hivesTakeWrites()) {
    std::fprintf(err, "korvane-sim: %s\n", refused.c_str());
    system.CloseHandle(instanceMutex);
    return 2;
  }
  // Refused before anything is written: the changes would carry lines that are not the run's.
  if (first && !options.changesPath.empty() && !CanCarryChanges(registry.Writes(), &error)) {
    std::fprintf(err, "korvane-sim: cannot write the changes to %s: %s; nothing was written\n",
                 options.changesPath.c_str(), error.c_str());
    system.CloseHandle(instanceMutex);
    return 2;
  }
  if (first) {
    // A 5.00 file is written as UTF-16LE, as regedit itself writes one: in 8-bit text, the
    // hex(1), hex(2) and hex(7) data of such a file (UTF-16 bytes) would be taken by some
    // regedits for code-page bytes and stored converted a second time.
    RegFileEncoding written = info;
    if (written.format == RegFileFormat::kVersion5) written.utf16 = true;
    if (!options.changesPath.empty() && !WriteTarget(changes, FormatChanges(registry.Writes(), written), &error)) {
      std::fprintf(err, "korvane-sim: cannot write the changes to %s: %s\n", options.changesPath.c_str(),
                   error.c_str());
      status = 1;
    }
    if (options.save && OnHives(options) && !hives.Save(registry, &error)) {
      std::fprintf(err, "korvane-sim: %s\n", error.c_str());
      status = 1;
    } else if (options.save && !OnHives(options) && !WriteTarget(saved, FormatMachine(registry, written), &error)) {
      std::fprintf(err, "korvane-sim: cannot save %s: %s\n", options.machinePath.c_str(), error.c_str());
      status = 1;
    }
  }
  // The process would end here, and its mutex with it; the report comes after the saves, so
  // that a reader who stops reading cannot stop them.
  system.CloseHandle(instanceMutex);
  const std::string report = options.json ? BuildReport(registry, screen.WhatWasShown(), codePage) : "";
  if (!FinishOutput(report, out, err)) status = 1;
  return status;
}

}  // namespace korvane::sim
