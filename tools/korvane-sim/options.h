// korvane-sim's own command line. The utility reads none; these set up the simulated
// machine it runs on.
#pragma once

#include <cstdint>
#include <string>

#include "platform/system.h"

namespace korvane::sim {

struct SimOptions {
  std::string machinePath;  // empty: the bundled sample machine, unless hives are given
  // An offline installation instead: its Windows folder, or its hive files themselves.
  std::string windowsDir;
  std::string systemHive;
  std::string softwareHive;
  std::string osName = "winxp";
  platform::OsVersionInfo version{};
  std::uint16_t languageId = 0x0409;
  unsigned codePage = 0;  // the machine's ANSI code page; 0: the one its language implies
  // Whether --os and --lang were given: on hives, the installation's own settings stand
  // where they were not.
  bool osGiven = false;
  bool languageGiven = false;
  bool json = false;
  bool save = false;
  std::string changesPath;
  bool noAdmin = false;
  bool help = false;
  bool showVersion = false;
  // Fault injection, for tests: fail the Nth registry call, or every call on matching paths.
  std::uint64_t failCall = 0;
  std::string failPath;
  std::int32_t failStatus = 31;  // ERROR_GEN_FAILURE
};

inline bool OnHives(const SimOptions& options) {
  return !options.windowsDir.empty() || !options.systemHive.empty() || !options.softwareHive.empty();
}

// False with a one-line message for an unknown option or a bad value. Every option that
// takes a value takes it as --opt=VALUE or as the next word.
bool ParseSimOptions(int argc, const char* const* argv, SimOptions* options, std::string* error);
// The version record of a release name (win95, winxp, ...) or of "P.MAJOR.MINOR".
bool VersionFor(const std::string& name, platform::OsVersionInfo* version);
std::string SimUsage();
// The name and version, the copyright and the licence, as --version prints them.
std::string SimVersion();

}  // namespace korvane::sim
