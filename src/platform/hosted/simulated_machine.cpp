#include "platform/hosted/simulated_machine.h"

#include <cstdlib>
#include <string>

#include "app/process_state.h"
#include "app/run_sequence.h"
#include "platform/framework.h"
#include "platform/hosted/embedded_files.h"
#include "platform/hosted/hosted_system.h"
#include "platform/hosted/hosted_windows.h"
#include "platform/hosted/machine_file.h"
#include "platform/hosted/memory_registry.h"
#include "platform/hosted/report.h"
#include "platform/hosted/text_encoding.h"
#include "platform/services.h"

namespace korvane::hosted {

namespace {

constexpr char kDefaultMachineName[] = "machines/sample-xp.reg";

std::string MachineKey(const SimOptions& options) {
  if (options.machinePath.empty()) return "built-in sample machine";
  char* resolved = realpath(options.machinePath.c_str(), nullptr);
  if (resolved == nullptr) return options.machinePath;
  std::string key = resolved;
  std::free(resolved);
  return key;
}

bool LoadMachine(const SimOptions& options, MemoryRegistry& registry, MachineFileInfo* info, std::FILE* err) {
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

}  // namespace

int RunSimulatedMachine(const SimOptions& options, std::FILE* out, std::FILE* err) {
  MemoryRegistry registry;
  // Unless told otherwise, the machine's texts are in the ANSI code page of its user's
  // language, as a Windows installed in that language has it.
  const unsigned codePage = options.codePage != 0 ? options.codePage : AnsiCodePageFor(options.languageId);
  registry.SetAnsiCodePage(codePage);
  MachineFileInfo info;
  if (!LoadMachine(options, registry, &info, err)) return 2;
  registry.RefuseWriteAccess(options.noAdmin);
  if (options.failCall != 0) registry.FailCall(options.failCall, options.failStatus);
  if (!options.failPath.empty()) registry.FailPaths(options.failPath, options.failStatus);

  InstanceRegistry instances(MachineKey(options));
  Screen screen(!options.json, codePage);
  screen.SetWindowHooks([&] { instances.WindowOpened(); }, [&] { instances.WindowClosed(); });
  HostedSystem system(options.version, options.languageId, codePage, screen, instances);
  HostedWindows windows(screen);

  platform::Install({&registry, &system, &windows});
  ResetProcessState();
  const int exitCode = platform::AfxWinMain();
  const bool secondInstance = system.SawRunningInstance();
  // The process would end here, and its mutex with it.
  system.CloseHandle(instanceMutex);
  platform::Install({});

  if (options.json) std::fputs(BuildReport(registry, screen.WhatWasShown(), codePage).c_str(), out);
  if (secondInstance) return exitCode;

  int status = exitCode;
  std::string error;
  // A 5.00 file is written as UTF-16LE, as regedit itself writes one: in 8-bit text, the
  // hex(1), hex(2) and hex(7) data of such a file (UTF-16 bytes) would be taken by some
  // regedits for code-page bytes and stored converted a second time.
  MachineFileInfo written = info;
  if (written.format == RegFileFormat::kVersion5) written.utf16 = true;
  if (!options.changesPath.empty() &&
      !WriteFileAtomically(options.changesPath, FormatChanges(registry.Writes(), written), &error)) {
    std::fprintf(err, "korvane-sim: cannot write %s: %s\n", options.changesPath.c_str(), error.c_str());
    status = 1;
  }
  if (options.save && !WriteFileAtomically(options.machinePath, FormatMachine(registry, written), &error)) {
    std::fprintf(err, "korvane-sim: cannot save %s: %s\n", options.machinePath.c_str(), error.c_str());
    status = 1;
  }
  return status;
}

}  // namespace korvane::hosted
