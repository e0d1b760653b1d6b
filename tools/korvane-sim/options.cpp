#include "korvane-sim/options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "machine_files/hive/installation_registry.h"
#include "machine_files/io/input_file.h"
#include "machine_files/reg/reg_reader.h"
#include "platform/sim/memory_registry.h"
#include "version.h"

namespace korvane::sim {

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

namespace {

// What follows an option on the command line. An empty file name or pattern is a mistake
// (an unset shell variable), never a choice.
enum class Takes { kNothing, kValue, kNonEmptyValue };

struct OptionRule {
  const char* name;
  Takes takes;
  // Sets the option; `value` is null for an option that takes none. False with a message.
  bool (*apply)(const char* value, SimOptions* options, std::string* error);
  // The usage text: the heading of the group the option opens, the option as the user writes
  // it, and its description broken into lines. The testing hooks and -h have no usage line.
  const char* heading;
  const char* usage;
  const char* description;
};

bool SetHive(const char* text, SimOptions* options, std::string* error) {
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
  return true;
}

bool SetOs(const char* text, SimOptions* options, std::string* error) {
  if (!VersionFor(text, &options->version)) {
    *error = std::string("unknown --os '") + text + "' (a release name such as winxp, or P.MAJOR.MINOR)";
    return false;
  }
  options->osName = text;
  options->osGiven = true;
  return true;
}

bool SetLanguage(const char* text, SimOptions* options, std::string* error) {
  unsigned long long id = 0;
  const bool hex = std::strncmp(text, "0x", 2) == 0 || std::strncmp(text, "0X", 2) == 0;
  if (!ParseNumber(hex ? text + 2 : text, hex ? 16 : 10, 0xFFFF, &id)) {
    *error = std::string("bad --lang '") + text + "' (a language id such as 0x0411 or 1041)";
    return false;
  }
  options->languageId = static_cast<std::uint16_t>(id);
  options->languageGiven = true;
  return true;
}

bool SetCodePage(const char* text, SimOptions* options, std::string* error) {
  unsigned long long codePage = 0;
  if (!ParseNumber(text, 10, 0xFFFF, &codePage) || (codePage != 1252 && codePage != 932)) {
    *error = std::string("bad --codepage '") + text + "' (1252 or 932)";
    return false;
  }
  options->codePage = static_cast<unsigned>(codePage);
  return true;
}

bool SetFailCall(const char* text, SimOptions* options, std::string* error) {
  unsigned long long n = 0;
  if (!ParseNumber(text, 10, ~0ull, &n) || n == 0) {
    *error = std::string("bad --fail-call '") + text + "' (a call number from 1)";
    return false;
  }
  options->failCall = n;
  return true;
}

template <bool SimOptions::*kFlag>
bool SetFlag(const char*, SimOptions* options, std::string*) {
  options->*kFlag = true;
  return true;
}

template <std::string SimOptions::*kText>
bool SetText(const char* text, SimOptions* options, std::string*) {
  options->*kText = text;
  return true;
}

// In the order of the usage text, whose lines stay within 80 columns.
constexpr OptionRule kOptionRules[] = {
    {"--machine", Takes::kNonEmptyValue, SetText<&SimOptions::machinePath>, "The machine, one of:", "--machine=FILE",
     "its registry as a .reg file (REGEDIT4 or version 5.00,\n"
     "UTF-16LE or 8-bit); default: the built-in Windows XP sample"},
    {"--windows", Takes::kNonEmptyValue, SetText<&SimOptions::windowsDir>, nullptr, "--windows=DIR",
     "an offline Windows NT 4.0, 2000 or XP installation: its\n"
     "Windows folder, such as a mounted disk's WINDOWS or WINNT"},
    {"--hive", Takes::kNonEmptyValue, SetHive, nullptr, "--hive=SYSTEM=FILE, --hive=SOFTWARE=FILE",
     "an installation's hive files themselves; either may be\n"
     "left out when the run needs nothing from it and --os\n"
     "is given"},
    {"--os", Takes::kValue, SetOs, "Its settings (on hives, the installation's own are the defaults):", "--os=NAME",
     "win32s, win95, win98, winme, nt351, nt40, win2k, winxp\n"
     "(default), win2003, vista, win7, win10, or P.MAJOR.MINOR"},
    {"--lang", Takes::kValue, SetLanguage, nullptr, "--lang=ID",
     "the user default language, hex or decimal: 0x0409 English\n"
     "(default), 0x0411 Japanese"},
    {"--codepage", Takes::kValue, SetCodePage, nullptr, "--codepage=CP",
     "the ANSI code page, 1252 or 932, in which the machine's\n"
     "texts are read; default: 932 for a Japanese --lang,\n"
     "else 1252"},
    {"--no-admin", Takes::kNothing, SetFlag<&SimOptions::noAdmin>, nullptr, "--no-admin",
     "run as a user who may not change HKEY_LOCAL_MACHINE"},
    {"--json", Takes::kNothing, SetFlag<&SimOptions::json>, "The output:", "--json",
     "draw nothing, end every notice or dialog as if OK were\n"
     "pressed, and print a JSON report of the run"},
    {"--save", Takes::kNothing, SetFlag<&SimOptions::save>, nullptr, "--save",
     "write the registry back to FILE after the run; on hives,\n"
     "each hive it changed, the original kept as FILE.bak"},
    {"--changes", Takes::kNonEmptyValue, SetText<&SimOptions::changesPath>, nullptr, "--changes=OUT",
     "write the keys created and values set as a .reg file that\n"
     "regedit applies; - for standard output"},
    {"--help", Takes::kNothing, SetFlag<&SimOptions::help>, nullptr, "--help", "show this text and exit"},
    {"--version", Takes::kNothing, SetFlag<&SimOptions::showVersion>, nullptr, "--version",
     "show the version and exit"},
    {"-h", Takes::kNothing, SetFlag<&SimOptions::help>, nullptr, nullptr, nullptr},
    // The testing hooks, described with the tests.
    {"--fail-call", Takes::kValue, SetFailCall, nullptr, nullptr, nullptr},
    {"--fail-path", Takes::kNonEmptyValue, SetText<&SimOptions::failPath>, nullptr, nullptr, nullptr},
};

const OptionRule* FindOption(const std::string& name) {
  for (const OptionRule& rule : kOptionRules)
    if (name == rule.name) return &rule;
  return nullptr;
}

// Reads the option at argv[*i], and its value from the same word (--opt=VALUE) or the next
// one (--opt VALUE), moving *i past what it used.
bool ApplyOption(int argc, const char* const* argv, int* i, SimOptions* options, std::string* error) {
  const std::string word = argv[*i];
  const std::size_t equals = word.rfind("--", 0) == 0 ? word.find('=') : std::string::npos;
  const std::string option = word.substr(0, equals);
  const OptionRule* rule = FindOption(option);
  if (rule == nullptr) {
    *error = "unknown option '" + option + "' (see --help)";
    return false;
  }
  const char* value = nullptr;
  if (rule->takes == Takes::kNothing) {
    if (equals != std::string::npos) {
      *error = option + " takes no value";
      return false;
    }
  } else if (equals != std::string::npos) {
    value = argv[*i] + equals + 1;
  } else if (*i + 1 < argc) {
    value = argv[++*i];
  } else {
    *error = option + " needs a value";
    return false;
  }
  if (rule->takes == Takes::kNonEmptyValue && *value == '\0') {
    *error = option + " needs a value, and was given an empty one";
    return false;
  }
  return rule->apply(value, options, error);
}

// The options that each make sense alone but not together.
bool CheckCombination(const SimOptions& options, std::string* error) {
  if (OnHives(options)) {
    if (!options.machinePath.empty()) {
      *error = "--machine cannot be combined with --windows or --hive: the machine is a .reg file or an "
               "installation's hives";
      return false;
    }
    if (!options.windowsDir.empty() && (!options.systemHive.empty() || !options.softwareHive.empty())) {
      *error = "--windows and --hive name the same hives: give one of them";
      return false;
    }
    if (options.osGiven && options.version.platformId == platform::kVerPlatformWin32Windows) {
      *error = "Windows 95, 98 and Me do not run on hives: their registry is no hive, and their Config Manager "
               "list exists only while they run";
      return false;
    }
  } else if (options.save && options.machinePath.empty()) {
    *error = "--save needs --machine FILE, --windows DIR or --hive";
    return false;
  }
  if (options.json && options.changesPath == "-") {
    *error = "--changes - and --json would both write to standard output";
    return false;
  }
  return true;
}

// An option's usage lines: the option in a column of its own, its description beside it, or
// below it when the option is too wide for the column.
void AppendUsage(const OptionRule& rule, std::string* text) {
  constexpr std::size_t kColumn = 20;
  if (rule.heading != nullptr) *text += std::string(rule.heading) + "\n";
  *text += std::string("  ") + rule.usage;
  const std::size_t width = 2 + std::strlen(rule.usage);
  *text += width + 2 <= kColumn ? std::string(kColumn - width, ' ') : "\n" + std::string(kColumn, ' ');
  for (const char* line = rule.description; *line != '\0'; ++line) {
    *text += *line;
    if (*line == '\n') *text += std::string(kColumn, ' ');
  }
  *text += '\n';
}

}  // namespace

bool ParseSimOptions(int argc, const char* const* argv, SimOptions* options, std::string* error) {
  VersionFor(options->osName, &options->version);
  for (int i = 1; i < argc; ++i)
    if (!ApplyOption(argc, argv, &i, options, error)) return false;
  return CheckCombination(*options, error);
}

// Within 80 columns, for the user: the testing hooks are described with the tests.
std::string SimUsage() {
  std::string text =
      "usage: korvane-sim [OPTION]...\n"
      "Runs Korvane on a simulated PC: its registry comes from a .reg file or from an\n"
      "offline Windows installation's hives, and its screen is this terminal.\n"
      "\n";
  for (const OptionRule& rule : kOptionRules)
    if (rule.usage != nullptr) AppendUsage(rule, &text);
  return text +
         "\n"
         "An option's value may also be the next word: --machine FILE.\n"
         "The screen waits for Enter or Escape when standard input and output are both\n"
         "a terminal; otherwise it is drawn and the run goes on as if OK were pressed.\n"
         "A machine file may hold at most " +
         DescribeLimit(kMachineFileLimit) + ",\na hive file " + DescribeLimit(kHiveFileLimit) +
         ".\n"
         "\n"
         "Exit status: 0 after a run; 1 when --save, --changes or the report could not be\n"
         "written, or the lock folder is unsafe; 2 for a bad option, machine file, hive\n"
         "or output file (nothing runs); 3 when another instance has the machine and\n"
         "--save or --changes was given.\n"
         "\n"
         "Examples:\n"
         "  korvane-sim --lang=0x0411\n"
         "  korvane-sim --windows=/mnt/xp/WINDOWS --changes=patch.reg\n";
}

std::string SimVersion() {
  return "korvane-sim " KORVANE_VERSION_TEXT
         "\n"
         "Copyright (c) 2026 Korvane developers\n"
         "MIT License: free to use, copy, change and pass on. There is NO WARRANTY.\n";
}

}  // namespace korvane::sim
