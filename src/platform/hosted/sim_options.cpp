#include "platform/hosted/sim_options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/hosted/machine_files/hive_store.h"
#include "platform/hosted/machine_files/input_file.h"
#include "platform/hosted/machine_files/reg_reader.h"
#include "platform/hosted/memory_registry.h"

namespace korvane::hosted {

namespace {

struct Release {
  const char* name;
  std::uint32_t platformId, major, minor, build;
};

constexpr Release kReleases[] = {
    {"win32s", 0, 3, 10, 0},  {"win95", 1, 4, 0, 950},    {"win98", 1, 4, 10, 1998},
    {"winme", 1, 4, 90, 3000}, {"nt351", 2, 3, 51, 1057}, {"nt40", 2, 4, 0, 1381},
    {"win2k", 2, 5, 0, 2195}, {"winxp", 2, 5, 1, 2600},   {"win2003", 2, 5, 2, 3790},
    {"vista", 2, 6, 0, 6000}, {"win7", 2, 6, 1, 7601},    {"win10", 2, 10, 0, 19045},
};

// Digits of `base` and nothing else: strtoull alone would also take leading blanks, a sign,
// and a second "0x" after the one the caller took off.
bool ParseNumber(const char* text, int base, unsigned long long limit, unsigned long long* value) {
  if (text == nullptr || *text == '\0') return false;
  for (const char* c = text; *c != '\0'; ++c)
    if (!(base == 16 ? std::isxdigit(static_cast<unsigned char>(*c)) : std::isdigit(static_cast<unsigned char>(*c))))
      return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text, &end, base);
  if (errno != 0 || *end != '\0' || parsed > limit) return false;
  *value = parsed;
  return true;
}

}  // namespace

bool VersionFor(const std::string& name, platform::OsVersionInfo* version) {
  *version = platform::OsVersionInfo{};
  version->size = sizeof(platform::OsVersionInfo);
  for (const Release& release : kReleases)
    if (name == release.name) {
      version->platformId = release.platformId;
      version->majorVersion = release.major;
      version->minorVersion = release.minor;
      version->buildNumber = release.build;
      return true;
    }
  // P.MAJOR.MINOR
  std::uint32_t parts[3] = {};
  std::size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t end = i < 2 ? name.find('.', start) : name.size();
    if (end == std::string::npos || end == start) return false;
    unsigned long long value = 0;
    if (!ParseNumber(name.substr(start, end - start).c_str(), 10, 0xFFFFFFFFull, &value)) return false;
    parts[i] = static_cast<std::uint32_t>(value);
    start = end + 1;
  }
  version->platformId = parts[0];
  version->majorVersion = parts[1];
  version->minorVersion = parts[2];
  return true;
}

bool ParseSimOptions(int argc, const char* const* argv, SimOptions* options, std::string* error) {
  VersionFor(options->osName, &options->version);
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const auto value = [&](const char** out) {
      if (i + 1 >= argc) {
        *error = option + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    // An empty file name or pattern is a mistake (an unset shell variable), never a choice.
    const auto nonEmptyValue = [&](const char** out) {
      if (!value(out)) return false;
      if (**out != '\0') return true;
      *error = option + " needs a value, and was given an empty one";
      return false;
    };
    const char* text = nullptr;
    if (option == "--help" || option == "-h") {
      options->help = true;
    } else if (option == "--json") {
      options->json = true;
    } else if (option == "--save") {
      options->save = true;
    } else if (option == "--no-admin") {
      options->noAdmin = true;
    } else if (option == "--machine") {
      if (!nonEmptyValue(&text)) return false;
      options->machinePath = text;
    } else if (option == "--windows") {
      if (!nonEmptyValue(&text)) return false;
      options->windowsDir = text;
    } else if (option == "--hive") {
      if (!nonEmptyValue(&text)) return false;
      const char* equals = std::strchr(text, '=');
      const std::string name(text, equals == nullptr ? std::strlen(text) : static_cast<std::size_t>(equals - text));
      const bool system = EqualsFolded(name, "SYSTEM");
      if (equals == nullptr || equals[1] == '\0' || (!system && !EqualsFolded(name, "SOFTWARE"))) {
        *error = std::string("bad --hive '") + text + "' (SYSTEM=FILE or SOFTWARE=FILE)";
        return false;
      }
      std::string& path = system ? options->systemHive : options->softwareHive;
      if (!path.empty()) {
        *error = "--hive " + std::string(system ? "SYSTEM" : "SOFTWARE") + " is given twice";
        return false;
      }
      path = equals + 1;
    } else if (option == "--changes") {
      if (!nonEmptyValue(&text)) return false;
      options->changesPath = text;
    } else if (option == "--os") {
      if (!value(&text)) return false;
      if (!VersionFor(text, &options->version)) {
        *error = std::string("unknown --os '") + text + "' (a release name such as winxp, or P.MAJOR.MINOR)";
        return false;
      }
      options->osName = text;
      options->osGiven = true;
    } else if (option == "--lang") {
      if (!value(&text)) return false;
      unsigned long long id = 0;
      const bool hex = std::strncmp(text, "0x", 2) == 0 || std::strncmp(text, "0X", 2) == 0;
      if (!ParseNumber(hex ? text + 2 : text, hex ? 16 : 10, 0xFFFF, &id)) {
        *error = std::string("bad --lang '") + text + "' (a language id such as 0x0411 or 1041)";
        return false;
      }
      options->languageId = static_cast<std::uint16_t>(id);
      options->languageGiven = true;
    } else if (option == "--codepage") {
      if (!value(&text)) return false;
      unsigned long long codePage = 0;
      if (!ParseNumber(text, 10, 0xFFFF, &codePage) || (codePage != 1252 && codePage != 932)) {
        *error = std::string("bad --codepage '") + text + "' (1252 or 932)";
        return false;
      }
      options->codePage = static_cast<unsigned>(codePage);
    } else if (option == "--fail-call") {
      unsigned long long n = 0;
      if (!value(&text)) return false;
      if (!ParseNumber(text, 10, ~0ull, &n) || n == 0) {
        *error = std::string("bad --fail-call '") + text + "' (a call number from 1)";
        return false;
      }
      options->failCall = n;
    } else if (option == "--fail-path") {
      if (!nonEmptyValue(&text)) return false;
      options->failPath = text;
    } else {
      *error = "unknown option '" + option + "' (see --help)";
      return false;
    }
  }
  if (OnHives(*options)) {
    if (!options->machinePath.empty()) {
      *error = "--machine cannot be combined with --windows or --hive: the machine is a .reg file or an "
               "installation's hives";
      return false;
    }
    if (!options->windowsDir.empty() && (!options->systemHive.empty() || !options->softwareHive.empty())) {
      *error = "--windows and --hive name the same hives: give one of them";
      return false;
    }
    if (options->osGiven && options->version.platformId == platform::kVerPlatformWin32Windows) {
      *error = "Windows 95, 98 and Me do not run on hives: their registry is no hive, and their Config Manager "
               "list exists only while they run";
      return false;
    }
  } else if (options->save && options->machinePath.empty()) {
    *error = "--save needs --machine FILE, --windows DIR or --hive";
    return false;
  }
  if (options->json && options->changesPath == "-") {
    *error = "--changes - and --json would both write to standard output";
    return false;
  }
  return true;
}

std::string SimUsage() {
  return std::string(
             "usage: korvane-sim [--machine FILE | --windows DIR | --hive NAME=FILE...] [--os NAME]\n"
             "                   [--lang ID] [--codepage CP] [--json] [--save] [--changes OUT] [--no-admin]\n"
             "Runs Korvane on a simulated PC: its registry comes from a .reg file or from an offline\n"
             "installation's registry hives, its screen is this terminal.\n"
             "\n"
             "  --machine FILE  the machine's registry as a .reg file (REGEDIT4 or version 5.00,\n"
             "                  UTF-16LE or 8-bit); default: the bundled Windows XP sample machine\n"
             "  --windows DIR   an offline Windows NT 4.0, 2000 or XP installation: its Windows folder\n"
             "                  (a mounted disk's WINDOWS or WINNT), with its hives\n"
             "                  system32/config/SYSTEM and SOFTWARE, names in any letter case\n"
             "  --hive SYSTEM=FILE, --hive SOFTWARE=FILE\n"
             "                  the hive files themselves; either may be left out when the run needs\n"
             "                  nothing from it and --os is given\n"
             "  --os NAME       win32s, win95, win98, winme, nt351, nt40, win2k, winxp (default),\n"
             "                  win2003, vista, win7, win10, or PLATFORM.MAJOR.MINOR such as 2.5.1;\n"
             "                  on hives, default: the SOFTWARE hive's Microsoft\\Windows NT\\\n"
             "                  CurrentVersion value CurrentVersion (4.0 nt40, 5.0 win2k, 5.1 winxp,\n"
             "                  5.2 win2003)\n"
             "  --lang ID       the user default language id, hex (0x0411) or decimal;\n"
             "                  default 0x0409 (English); 0x0411 gives the Japanese texts on a\n"
             "                  machine whose ANSI code page is 932; on hives, default: the SYSTEM\n"
             "                  hive's Control\\Nls\\Language value Default in the current control set\n"
             "  --codepage CP   the machine's ANSI code page, 1252 or 932, in which its texts and\n"
             "                  the machine file are read; default 932 with a Japanese --lang,\n"
             "                  else 1252; on hives, default: Control\\Nls\\CodePage value ACP there\n"
             "  --json          draw nothing, end every notice or dialog at once as if OK were\n"
             "                  pressed, and print a JSON report of the run on stdout\n"
             "  --save          write the registry back to FILE after the run: replaced whole, through\n"
             "                  a symbolic link, keeping its owner, group and mode; a regular file only;\n"
             "                  on hives, each hive the run changed, its first original kept beside\n"
             "                  it as FILE.bak; without --save nothing is written to them\n"
             "  --changes OUT   write the keys created and values set as a .reg file regedit applies;\n"
             "                  OUT may be a FIFO or a device, or - for standard output\n"
             "  --no-admin      run as a user who may not change HKEY_LOCAL_MACHINE\n"
             "  --fail-call N   (testing) fail the Nth registry call\n"
             "  --fail-path P   (testing) fail every registry call on a key path matching P (* and ?)\n"
             "  --help          this text\n"
             "\n"
             "A machine file may hold at most ") +
         DescribeLimit(kMachineFileLimit) + ", a hive file\n" + DescribeLimit(kHiveFileLimit) +
         ". A hive whose two sequence numbers differ (Windows did not\n"
         "finish writing it, and its .LOG holds the rest) is refused.\n"
         "Two korvane-sim processes on the same machine file or installation are two instances on\n"
         "one PC.\n"
         "Exit status: 0 after a run; 2 for a bad option, machine file, hive or output file (nothing\n"
         "runs); 3 when another instance has the machine and --save or --changes was given;\n"
         "1 if --save, --changes or the report could not be written, or the runtime directory\n"
         "is not safe to use.\n";
}

}  // namespace korvane::hosted
