#include "korvane-sim/run.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/process_state.h"
#include "app/run_sequence.h"
#include "korvane-sim/embedded_files.h"
#include "korvane-sim/offline_installation.h"
#include "korvane-sim/report.h"
#include "korvane-sim/screen/resource_script.h"
#include "machine_files/io/file_targets.h"
#include "machine_files/reg/reg_reader.h"
#include "machine_files/reg/reg_writer.h"
#include "platform/framework.h"
#include "platform/services.h"
#include "platform/sim/code_pages.h"
#include "platform/sim/memory_registry.h"
#include "platform/sim/sim_system.h"
#include "platform/sim/sim_windows.h"

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

// One run, step by step in the order RunSimulatedMachine takes them. A step that fails has
// said why on `err`.
class SimulatedRun {
 public:
  SimulatedRun(const SimOptions& options, std::FILE* err) : options_(options), err_(err) {}

  bool CheckTargets();
  // 0 when the run goes on, as the first instance or as a second one that writes nothing;
  // else the exit code.
  int TakeMachine();
  void RemoveLeftTemporaries();
  bool LoadMachine();
  // Runs the utility and writes its results; the exit code.
  int RunAndWrite(std::FILE* out);

 private:
  void Fail(const std::string& message) const { std::fprintf(err_, "korvane-sim: %s\n", message.c_str()); }
  bool SettleAndLoad();
  bool HivesTakeWrites();
  bool ResultsAccepted();
  bool WriteResults();

  const SimOptions& options_;
  std::FILE* err_;
  const bool onHives_ = OnHives(options_);
  FileTarget changes_;
  FileTarget saved_;
  OfflineInstallation hives_;
  InstanceLocks instances_;
  // Whether this instance has the machine: only the first one reads and writes it.
  bool first_ = false;
  MemoryRegistry registry_;
  MachineSettings settings_;
  RegFileEncoding format_;  // of the machine file, and of the run's --changes
  std::string refusal_;     // why the hives cannot take the run's writes
};

// The files the run will write, checked before anything runs: a refused one is refused
// before the machine is read.
bool SimulatedRun::CheckTargets() {
  std::string error;
  if (onHives_ && !hives_.Prepare(options_, &error)) {
    Fail(error);
    return false;
  }
  if (!options_.changesPath.empty()) {
    // The hives and their backups in any letter case, as Windows names files: on a disk from
    // a PC, SYSTEM.BAK is SYSTEM.bak.
    const std::string own = options_.changesPath == "-" ? ""
                            : onHives_                  ? hives_.OwnFile(options_.changesPath)
                            : !options_.machinePath.empty() && IsSameFile(options_.changesPath, options_.machinePath)
                                ? options_.machinePath
                                : "";
    if (!own.empty()) {
      const bool backup = onHives_ && own != hives_.Paths().system && own != hives_.Paths().software;
      std::fprintf(err_, "korvane-sim: --changes %s is the %s %s: the changes would replace %s\n",
                   options_.changesPath.c_str(), backup ? "backup" : onHives_ ? "hive" : "machine file", own.c_str(),
                   backup ? "the original it keeps" : "the machine");
      return false;
    }
    if (!CheckTarget(options_.changesPath, TargetRule::kOutput, &changes_, &error)) {
      Fail("cannot write the changes to " + options_.changesPath + ": " + error);
      return false;
    }
  }
  if (options_.save && !onHives_ && !CheckTarget(options_.machinePath, TargetRule::kExistingFile, &saved_, &error)) {
    Fail("cannot save " + options_.machinePath + ": " + error);
    return false;
  }
  return true;
}

// The machine is taken before it is read and held until it is saved: a run that read it
// before another one saved it would save it back over that one's changes.
int SimulatedRun::TakeMachine() {
  std::string error;
  int holder = 0;
  InstanceLocks::Take taken = InstanceLocks::Take::kFailed;
  std::string key = MachineKey(options_, hives_);
  for (int attempt = 0; attempt < kKeyAttempts; ++attempt) {
    if (!instances_.Open(key, &error)) {
      Fail(error);
      return kExitFailed;
    }
    taken = instances_.TakeMachine(&holder);
    if (taken != InstanceLocks::Take::kTaken) break;
    // A run that saved the machine meanwhile replaced its file, which has another inode now:
    // the lock on the old one guards nothing. (A run replaces that file last of all it writes.)
    std::string now = MachineKey(options_, hives_);
    if (now == key) break;
    key = std::move(now);
    taken = InstanceLocks::Take::kFailed;
    errno = EAGAIN;
  }
  if (taken == InstanceLocks::Take::kFailed) {
    Fail(std::string("cannot lock the machine: ") + std::strerror(errno));
    return kExitFailed;
  }
  first_ = taken == InstanceLocks::Take::kTaken;
  if (!first_ && (options_.save || !options_.changesPath.empty())) {
    std::fprintf(err_, "korvane-sim: another instance (process %d) has the machine %s: nothing was run or written\n",
                 holder, MachineFile(options_, hives_).c_str());
    return kExitMachineBusy;
  }
  return 0;
}

// Only a run that holds the installation may tell a killed run's temporary files from those
// of one under way.
void SimulatedRun::RemoveLeftTemporaries() {
  if (!first_ || !onHives_) return;
  for (const std::string& left : hives_.RemoveLeftTemporaries())
    std::fprintf(err_, "korvane-sim: removed %s, a temporary file left by a run that was ended\n", left.c_str());
}

bool SimulatedRun::LoadMachine() {
  if (!SettleAndLoad()) return false;
  registry_.RefuseWriteAccess(options_.noAdmin);
  if (options_.failCall != 0) registry_.FailCall(options_.failCall, options_.failStatus);
  if (!options_.failPath.empty()) registry_.FailPaths(options_.failPath, options_.failStatus);
  return true;
}

// The machine's version, language and code page are the options', else the installation's;
// then the machine is read in that code page. Another instance's machine is not this one's to
// read: the utility steps aside before it reads the registry.
bool SimulatedRun::SettleAndLoad() {
  std::string error;
  settings_ = {options_.version, options_.languageId, options_.codePage};
  if (first_ && onHives_ && (!hives_.Open(&error) || !hives_.ReadSettings(options_, &settings_, &error))) {
    Fail(error);
    return false;
  }
  // Unless told otherwise, the machine's texts are in the ANSI code page of its user's
  // language, as a Windows installed in that language has it.
  if (settings_.codePage == 0) settings_.codePage = AnsiCodePageFor(settings_.languageId);
  registry_.SetAnsiCodePage(settings_.codePage);
  if (!first_) return true;
  if (onHives_) {
    if (!hives_.Load(registry_, &error)) {
      Fail(error);
      return false;
    }
    format_ = OfflineInstallation::ChangesFormat(settings_.version, settings_.codePage);
    return true;
  }
  LoadError loadError;
  const bool loaded =
      options_.machinePath.empty()
          ? LoadMachineText(std::string_view(reinterpret_cast<const char*>(embedded::kDefaultMachine),
                                             embedded::kDefaultMachineSize),
                            kDefaultMachineName, registry_, &format_, &loadError)
          : LoadMachineFile(options_.machinePath, registry_, &format_, &loadError);
  if (!loaded) Fail(loadError.ToString());
  return loaded;
}

// The hives to be saved are shown to take the run's writes (which all come before its notice
// or dialog) before anything is shown; one that cannot is refused with nothing shown or
// written.
bool SimulatedRun::HivesTakeWrites() {
  if (refusal_.empty() && first_ && options_.save && onHives_) hives_.TakeWrites(registry_, &refusal_);
  return refusal_.empty();
}

// Whether the run's writes may be written where the options say; refused, nothing is.
bool SimulatedRun::ResultsAccepted() {
  if (!HivesTakeWrites()) {
    Fail(refusal_);
    return false;
  }
  // The changes would carry lines that are not the run's.
  std::string error;
  if (first_ && !options_.changesPath.empty() && !CanCarryChanges(registry_.Writes(), &error)) {
    Fail("cannot write the changes to " + options_.changesPath + ": " + error + "; nothing was written");
    return false;
  }
  return true;
}

// The changes and the saved machine; false when one of them could not be written.
bool SimulatedRun::WriteResults() {
  // A 5.00 file is written as UTF-16LE, as regedit itself writes one: in 8-bit text, the
  // hex(1), hex(2) and hex(7) data of such a file (UTF-16 bytes) would be taken by some
  // regedits for code-page bytes and stored converted a second time.
  RegFileEncoding written = format_;
  if (written.format == RegFileFormat::kVersion5) written.utf16 = true;
  bool ok = true;
  std::string error;
  if (!options_.changesPath.empty() && !WriteTarget(changes_, FormatChanges(registry_.Writes(), written), &error)) {
    Fail("cannot write the changes to " + options_.changesPath + ": " + error);
    ok = false;
  }
  if (options_.save && onHives_ && !hives_.Save(registry_, &error)) {
    Fail(error);
    ok = false;
  } else if (options_.save && !onHives_ && !WriteTarget(saved_, FormatMachine(registry_, written), &error)) {
    Fail("cannot save " + options_.machinePath + ": " + error);
    ok = false;
  }
  return ok;
}

int SimulatedRun::RunAndWrite(std::FILE* out) {
  // The changes may go to standard output: the screen is then drawn on standard error.
  Terminal screen(!options_.json, settings_.codePage,
                  changes_.kind == FileTarget::Kind::kStandardOutput ? stderr : stdout);
  screen.SetWindowHooks([this] { instances_.WindowOpened(); }, [this] { instances_.WindowClosed(); });
  screen.SetShowGate([this] { return HivesTakeWrites(); });
  SimSystem system(settings_.version, settings_.languageId, settings_.codePage, screen, instances_);
  SimWindows windows(screen);

  platform::Install({&registry_, &system, &windows});
  ResetProcessState();
  const int exitCode = platform::AfxWinMain();
  platform::Install({});

  const bool accepted = ResultsAccepted();
  const bool written = !accepted || !first_ || WriteResults();
  // The process would end here, and its mutex with it; the report comes after the saves, so
  // that a reader who stops reading cannot stop them.
  system.CloseHandle(instanceMutex);
  if (!accepted) return kExitRefused;
  const std::string report = options_.json ? BuildReport(registry_, screen.WhatWasShown(), settings_.codePage) : "";
  const bool reported = FinishOutput(report, out, err_);
  return written && reported ? exitCode : kExitFailed;
}

}  // namespace

int RunSimulatedMachine(const SimOptions& options, std::FILE* out, std::FILE* err) {
  // A fault of the build rather than of the user's input: without its templates the terminal
  // would draw no dialog at all.
  if (std::string error; !CheckDialogTemplates(&error)) {
    std::fprintf(err, "korvane-sim: cannot read its built-in dialog templates: %s\n", error.c_str());
    return kExitFailed;
  }
  SimulatedRun run(options, err);
  if (!run.CheckTargets()) return kExitRefused;
  if (const int status = run.TakeMachine(); status != 0) return status;
  run.RemoveLeftTemporaries();
  if (!run.LoadMachine()) return kExitRefused;
  return run.RunAndWrite(out);
}

}  // namespace korvane::sim
