#include "platform/hosted/sim_options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/hosted/machine_files/input_file.h"

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
    } else if (option == "--lang") {
      if (!value(&text)) return false;
      unsigned long long id = 0;
      const bool hex = std::strncmp(text, "0x", 2) == 0 || std::strncmp(text, "0X", 2) == 0;
      if (!ParseNumber(hex ? text + 2 : text, hex ? 16 : 10, 0xFFFF, &id)) {
        *error = std::string("bad --lang '") + text + "' (a language id such as 0x0411 or 1041)";
        return false;
      }
      options->languageId = static_cast<std::uint16_t>(id);
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
  if (options->save && options->machinePath.empty()) {
    *error = "--save needs --machine FILE";
    return false;
  }
  if (options->json && options->changesPath == "-") {
    *error = "--changes - and --json would both write to standard output";
    return false;
  }
  return true;
}

std::string SimUsage() {
  return std::string("usage: korvane-sim [--machine FILE] [--os NAME] [--lang ID] [--codepage CP] [--json]\n"
         "                   [--save] [--changes OUT] [--no-admin]\n"
         "Runs Korvane on a simulated PC: its registry comes from a .reg file, its screen is\n"
         "this terminal.\n"
         "\n"
         "  --machine FILE  the machine's registry as a .reg file (REGEDIT4 or version 5.00,\n"
         "                  UTF-16LE or 8-bit); default: the bundled Windows XP sample machine\n"
         "  --os NAME       win32s, win95, win98, winme, nt351, nt40, win2k, winxp (default),\n"
         "                  win2003, vista, win7, win10, or PLATFORM.MAJOR.MINOR such as 2.5.1\n"
         "  --lang ID       the user default language id, hex (0x0411) or decimal;\n"
         "                  default 0x0409 (English); 0x0411 gives the Japanese texts on a\n"
         "                  machine whose ANSI code page is 932\n"
         "  --codepage CP   the machine's ANSI code page, 1252 or 932, in which its texts and\n"
         "                  the machine file are read; default 932 with a Japanese --lang,\n"
         "                  else 1252\n"
         "  --json          draw nothing, end every notice or dialog at once as if OK were\n"
         "                  pressed, and print a JSON report of the run on stdout\n"
         "  --save          write the registry back to FILE after the run: replaced whole, through\n"
         "                  a symbolic link, keeping its owner, group and mode; a regular file only\n"
         "  --changes OUT   write the keys created and values set as a .reg file regedit applies;\n"
         "                  OUT may be a FIFO or a device, or - for standard output\n"
         "  --no-admin      run as a user who may not change HKEY_LOCAL_MACHINE\n"
         "  --fail-call N   (testing) fail the Nth registry call\n"
         "  --fail-path P   (testing) fail every registry call on a key path matching P (* and ?)\n"
         "  --help          this text\n"
         "\n"
         "A machine file may hold at most ") +
         DescribeLimit(kMachineFileLimit) +
         ".\n"
         "Two korvane-sim processes on the same machine file are two instances on one PC.\n"
         "Exit status: 0 after a run; 2 for a bad option, machine file or output file (nothing\n"
         "runs); 3 when another instance has the machine and --save or --changes was given;\n"
         "1 if --save, --changes or the report could not be written, or the runtime directory\n"
         "is not safe to use.\n";
}

}  // namespace korvane::hosted
