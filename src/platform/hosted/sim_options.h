// korvane-sim's own command line. The utility reads none; these set up the simulated
// machine it runs on.
#pragma once

#include <cstdint>
#include <string>

#include "platform/system.h"

namespace korvane::hosted {

struct SimOptions {
  std::string machinePath;  // empty: the bundled sample machine
  std::string osName = "winxp";
  platform::OsVersionInfo version{};
  std::uint16_t languageId = 0x0409;
  unsigned codePage = 0;  // the machine's ANSI code page; 0: the one its language implies
  bool json = false;
  bool save = false;
  std::string changesPath;
  bool noAdmin = false;
  bool help = false;
  // Fault injection, for tests: fail the Nth registry call, or every call on matching paths.
  std::uint64_t failCall = 0;
  std::string failPath;
  std::int32_t failStatus = 31;  // ERROR_GEN_FAILURE
};

// False with a one-line message for an unknown option or a bad value.
bool ParseSimOptions(int argc, const char* const* argv, SimOptions* options, std::string* error);
// The version record of a release name (win95, winxp, ...) or of "P.MAJOR.MINOR".
bool VersionFor(const std::string& name, platform::OsVersionInfo* version);
std::string SimUsage();

}  // namespace korvane::hosted
