// Offline installations' hives: read into the in-memory registry as the machine files they
// were made from, refused when they cannot be trusted, their defaults, and the run's writes
// given back to them.
#include "platform/hosted/machine_files/hive_store.h"

#include <gtest/gtest.h>
#include <hivex.h>
#include <stdlib.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "hives/empty_hive.h"
#include "hives/machine_hives.h"
#include "platform/hosted/machine_files/reg_reader.h"
#include "platform/hosted/machine_files/reg_writer.h"
#include "platform/hosted/machine_files/utf16_data.h"
#include "platform/hosted/text_encoding.h"

namespace korvane::hosted {
namespace {

using platform::kHkeyLocalMachine;
using testing::InstallationSetup;

std::string SourceFile(const std::string& relative) { return std::string(KORVANE_SOURCE_DIR) + "/" + relative; }

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << text << "\" does not contain \"" << part << "\"";
}

// The whole machine as 8-bit 5.00 text, HKEY_LOCAL_MACHINE's two keys spelled as hives name them.
std::string Text(const MemoryRegistry& registry) {
  std::string text = FormatMachine(registry, {RegFileFormat::kVersion5, false, registry.AnsiCodePage()});
  for (const char* name : {"System", "Software"}) {
    const std::string from = std::string("[HKEY_LOCAL_MACHINE\\") + name;
    std::string to = from;
    for (std::size_t i = 20; i < to.size(); ++i) to[i] = static_cast<char>(std::toupper(to[i]));
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + 1))
      text.replace(at, from.size(), to);
  }
  return text;
}

class HiveStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvane-hive-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    paths_ = {folder_ + "/SYSTEM", folder_ + "/SOFTWARE"};
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  // Loads a machine file, adds the installation's values and writes its two hives.
  void MakeInstallation(const std::string& machineFile, const InstallationSetup& setup = {}) {
    machine_.SetAnsiCodePage(kCodePageWestern);
    LoadError error;
    ASSERT_TRUE(LoadMachineFile(SourceFile(machineFile), machine_, nullptr, &error)) << error.ToString();
    testing::AddInstallationValues(machine_, setup);
    WriteHives(setup.controlSet);
  }

  void WriteHives(unsigned controlSet) {
    std::string system, software, error;
    ASSERT_TRUE(testing::MakeHives(machine_, controlSet, &system, &software, &error)) << error;
    ASSERT_TRUE(testing::WriteFile(paths_.system, system, &error)) << error;
    ASSERT_TRUE(testing::WriteFile(paths_.software, software, &error)) << error;
  }

  // Opens the installation's hives into store_ and loads them into `registry`.
  void OpenAndLoad(MemoryRegistry& registry) {
    std::string error;
    ASSERT_TRUE(store_.Open(paths_, &error)) << error;
    ASSERT_TRUE(store_.Load(registry, &error)) << error;
  }

  std::string OpenError(const HivePaths& paths) {
    HiveStore store;
    std::string error;
    EXPECT_FALSE(store.Open(paths, &error));
    return error;
  }

  std::string folder_;
  HivePaths paths_;
  MemoryRegistry machine_;
  HiveStore store_;
};

TEST_F(HiveStoreTest, EachSampleLoadsAsItsMachineFileHoldsIt) {
  // NT 4.0 reads both hives; control set 2 shows that CurrentControlSet follows Select.
  for (const auto& [file, controlSet] : {std::pair{"machines/sample-xp.reg", 1u}, {"machines/sample-nt4.reg", 2u}}) {
    SCOPED_TRACE(file);
    machine_ = MemoryRegistry();
    InstallationSetup setup;
    setup.controlSet = controlSet;
    MakeInstallation(file, setup);

    MemoryRegistry loaded;
    OpenAndLoad(loaded);
    EXPECT_EQ(Text(loaded), Text(machine_));
    EXPECT_FALSE(store_.Changed(HiveKind::kSystem) || store_.Changed(HiveKind::kSoftware));
  }
}

TEST_F(HiveStoreTest, TextsAndNamesConvertThroughTheMachinesCodePage) {
  // "ネット" in code page 932: each character is two bytes there and has no form in 1252.
  const std::string net = "\x83\x6C\x83\x62\x83\x67";
  machine_.SetAnsiCodePage(kCodePageJapanese);
  testing::AddInstallationValues(machine_, {});
  machine_.PutString(kHkeyLocalMachine, "SOFTWARE\\" + net, net, "LAN " + net);
  WriteHives(1);

  MemoryRegistry japanese;
  japanese.SetAnsiCodePage(kCodePageJapanese);
  OpenAndLoad(japanese);
  EXPECT_EQ(Text(japanese), Text(machine_));

  // The ANSI functions of Windows NT give '?' for each character the code page lacks.
  MemoryRegistry western;
  std::string error;
  ASSERT_TRUE(store_.Load(western, &error)) << error;
  const RegNode* key = western.Find(kHkeyLocalMachine, "SOFTWARE\\???");
  ASSERT_NE(key, nullptr);
  ASSERT_NE(key->FindValue("???"), nullptr);
  EXPECT_EQ(key->FindValue("???")->data, std::vector<std::uint8_t>({'L', 'A', 'N', ' ', '?', '?', '?', 0}));
}

TEST_F(HiveStoreTest, SubkeysComeInTheOrderTheHiveKeeps) {
  // Sorted by their UTF-16 names, as in the hive: "B", "\u3042", "\uFF21"; by their code
  // page 932 bytes "\x82\x60" (U+FF21) would come before "\x82\xA0" (U+3042).
  machine_.SetAnsiCodePage(kCodePageJapanese);
  testing::AddInstallationValues(machine_, {});
  for (const char* name : {"\x82\xA0", "\x82\x60", "B"})
    machine_.Ensure(kHkeyLocalMachine, std::string("SOFTWARE\\Order\\") + name);
  WriteHives(1);

  MemoryRegistry loaded;
  loaded.SetAnsiCodePage(kCodePageJapanese);
  OpenAndLoad(loaded);
  std::vector<std::string> names;
  for (const RegNode* key : loaded.Find(kHkeyLocalMachine, "SOFTWARE\\Order")->Subkeys()) names.push_back(key->Name());
  EXPECT_EQ(names, (std::vector<std::string>{"B", "\x82\xA0", "\x82\x60"}));
}

TEST_F(HiveStoreTest, DefaultsComeFromTheInstallation) {
  struct Case {
    const char* value;
    const char* expected;  // nullptr: refused
  };
  const auto check = [&](const char* what, std::initializer_list<Case> cases, auto setField, auto read) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(what) + " \"" + c.value + "\"");
      machine_ = MemoryRegistry();
      InstallationSetup setup;
      setField(setup, c.value);
      MakeInstallation("machines/sample-xp.reg", setup);
      HiveStore store;
      std::string error;
      ASSERT_TRUE(store.Open(paths_, &error)) << error;
      std::string result;
      EXPECT_EQ(read(store, &result, &error), c.expected != nullptr) << error;
      if (c.expected != nullptr) {
        EXPECT_EQ(result, c.expected);
      } else {
        EXPECT_TRUE(Contains(error, folder_));
      }
    }
  };
  check(
      "CurrentVersion",
      {{"4.0", "nt40"},
       {"5.0", "win2k"},
       {"5.1", "winxp"},
       {"5.2", "win2003"},
       {"6.1", "2.6.1"},
       {"", nullptr},
       {"XP", nullptr},
       {"5.", nullptr},
       {"5.1.2600", nullptr}},
      [](InstallationSetup& s, const char* v) { s.currentVersion = v; },
      [](HiveStore& store, std::string* out, std::string* error) { return store.ReadOsName(out, error); });
  check(
      "Language", {{"0411", "1041"}, {"409", "1033"}, {"", nullptr}, {"04G9", nullptr}, {"10409", nullptr}},
      [](InstallationSetup& s, const char* v) { s.language = v; },
      [](HiveStore& store, std::string* out, std::string* error) {
        std::uint16_t id = 0;
        const bool read = store.ReadLanguage(&id, error);
        *out = std::to_string(id);
        return read;
      });
  check(
      "ACP", {{"932", "932"}, {"1252", "1252"}, {"", nullptr}, {"cp1252", nullptr}, {"70000", nullptr}},
      [](InstallationSetup& s, const char* v) { s.codePage = v; },
      [](HiveStore& store, std::string* out, std::string* error) {
        unsigned codePage = 0;
        const bool read = store.ReadCodePage(&codePage, error);
        *out = std::to_string(codePage);
        return read;
      });

  // A hive left out says nothing.
  HiveStore store;
  std::string error, name;
  ASSERT_TRUE(store.Open({paths_.system, ""}, &error)) << error;
  EXPECT_FALSE(store.ReadOsName(&name, &error));
  EXPECT_EQ(error, "no SOFTWARE hive to take the Windows version from");
}

// The raw bytes of a value in a hive file, read by hivex itself; "<absent>" when missing.
std::string HiveValue(const std::string& path, std::initializer_list<const char*> keys, const char* name) {
  hive_h* hive = hivex_open(path.c_str(), 0);
  if (hive == nullptr) return "<no hive>";
  hive_node_h node = hivex_root(hive);
  for (const char* key : keys)
    if (node != 0) node = hivex_node_get_child(hive, node, key);
  const hive_value_h value = node == 0 ? 0 : hivex_node_get_value(hive, node, name);
  std::string bytes = "<absent>";
  if (value != 0) {
    hive_type type{};
    std::size_t length = 0;
    char* data = hivex_value_value(hive, value, &type, &length);
    bytes = std::to_string(type) + ":" + std::string(data, length);
    free(data);
  }
  hivex_close(hive);
  return bytes;
}

TEST_F(HiveStoreTest, TheRunsWritesGoIntoTheCurrentControlSetAsUtf16) {
  // Control set 2 is current; ControlSet001 is a copy that must stay as it is.
  machine_.SetAnsiCodePage(kCodePageWestern);
  testing::AddInstallationValues(machine_, {2});
  machine_.PutString(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Control\\Class\\0000", "DriverDesc", "old");
  machine_.PutString(kHkeyLocalMachine, "SYSTEM\\CurrentControlSet\\Control\\Class\\0000", "DriverDesc", "Caf\xE9");
  WriteHives(2);
  const std::string original = ReadFile(paths_.system);

  MemoryRegistry registry;
  OpenAndLoad(registry);
  platform::RegKey key = 0;
  std::uint32_t disposition = 0;
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, "System\\CurrentControlSet\\Control\\Class\\0000\\Ndi\\Params",
                               platform::kKeyAllAccess, &key, &disposition),
            0);
  ASSERT_EQ(registry.SetValue(key, "ParamDesc", platform::kRegSz, "\xC9t\xE9\0", 4), 0);
  ASSERT_EQ(registry.SetValue(key, "Count", platform::kRegDword, "\x01\x02\x03\x04", 4), 0);
  registry.CloseKey(key);
  // A key made and taken away again in the same run.
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, "SYSTEM\\CurrentControlSet\\Control\\Class\\0000\\Gone",
                               platform::kKeyAllAccess, &key, &disposition),
            0);
  registry.CloseKey(key);
  ASSERT_EQ(registry.DeleteKey(kHkeyLocalMachine, "SYSTEM\\CurrentControlSet\\Control\\Class\\0000\\Gone"), 0);
  // The same type and bytes as the value has already: no change.
  ASSERT_EQ(registry.OpenKey(kHkeyLocalMachine, "SYSTEM\\CurrentControlSet\\Control\\Class\\0000",
                             platform::kKeyAllAccess, &key),
            0);
  ASSERT_EQ(registry.SetValue(key, "DriverDesc", platform::kRegSz, "Caf\xE9", 5), 0);
  registry.CloseKey(key);

  std::string error;
  ASSERT_TRUE(store_.Apply(registry.Writes(), registry.AnsiCodePage(), &error)) << error;
  EXPECT_TRUE(store_.Changed(HiveKind::kSystem));
  EXPECT_FALSE(store_.Changed(HiveKind::kSoftware));
  std::string committed, kept;
  const auto into = [](std::string* bytes) {
    return [bytes](std::string_view given, std::string*) {
      bytes->assign(given);
      return true;
    };
  };
  ASSERT_TRUE(store_.Commit(HiveKind::kSystem, into(&committed), &error)) << error;
  ASSERT_TRUE(store_.Original(HiveKind::kSystem, into(&kept), &error)) << error;
  EXPECT_EQ(kept, original);
  ASSERT_TRUE(testing::WriteFile(paths_.system, committed, &error)) << error;

  // "Été" with its terminator, each character as the 5.00 writer widens it.
  EXPECT_EQ(HiveValue(paths_.system, {"ControlSet002", "Control", "Class", "0000", "Ndi", "Params"}, "ParamDesc"),
            std::string("1:\xC9\0t\0\xE9\0\0\0", 10));
  EXPECT_EQ(HiveValue(paths_.system, {"ControlSet002", "Control", "Class", "0000", "Ndi", "Params"}, "Count"),
            "4:\x01\x02\x03\x04");
  EXPECT_EQ(HiveValue(paths_.system, {"ControlSet001", "Control", "Class", "0000", "Ndi", "Params"}, "ParamDesc"),
            "<absent>");
  EXPECT_EQ(HiveValue(paths_.system, {"ControlSet002", "Control", "Class", "0000", "Gone"}, ""), "<absent>");
  EXPECT_EQ(HiveValue(paths_.system, {"ControlSet001", "Control", "Class", "0000"}, "DriverDesc"),
            std::string("1:o\0l\0d\0\0\0", 10));

  // The committed hive opens again, and the same writes change nothing in it.
  HiveStore again;
  ASSERT_TRUE(again.Open(paths_, &error)) << error;
  MemoryRegistry reloaded;
  ASSERT_TRUE(again.Load(reloaded, &error)) << error;
  EXPECT_EQ(Text(reloaded), Text(registry));
  ASSERT_TRUE(again.Apply(registry.Writes(), registry.AnsiCodePage(), &error)) << error;
  EXPECT_FALSE(again.Changed(HiveKind::kSystem));
}

TEST_F(HiveStoreTest, AWriteNoGivenHiveHoldsIsAnError) {
  MakeInstallation("machines/sample-xp.reg");
  HiveStore store;
  std::string error;
  ASSERT_TRUE(store.Open({paths_.system, ""}, &error)) << error;
  const auto apply = [&](platform::RegKey root, const char* path) {
    WriteRecord write;
    write.root = root;
    write.path = path;
    std::string message;
    EXPECT_FALSE(store.Apply({write}, kCodePageWestern, &message));
    return message;
  };
  EXPECT_EQ(apply(kHkeyLocalMachine, "SOFTWARE\\Korvane"),
            "the run wrote to HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane, but its hive was not given");
  EXPECT_EQ(apply(kHkeyLocalMachine, "HARDWARE\\DESCRIPTION"),
            "the run wrote to HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION, which is in neither the SYSTEM nor the "
            "SOFTWARE hive");
  EXPECT_EQ(apply(platform::kHkeyDynData, "Config Manager"), "the run wrote under HKEY_DYN_DATA, which no hive holds");
  EXPECT_FALSE(store.Changed(HiveKind::kSystem));
}

TEST_F(HiveStoreTest, FindsTheHivesOfAWindowsFolderInAnyLetterCase) {
  namespace fs = std::filesystem;
  const fs::path config = fs::path(folder_) / "WINNT" / "System32" / "CONFIG";
  fs::create_directories(config);
  std::ofstream(config / "system") << "x";
  std::ofstream(config / "Software") << "x";
  HivePaths found;
  std::string error;
  ASSERT_TRUE(FindInstallationHives(folder_ + "/WINNT", &found, &error)) << error;
  EXPECT_EQ(found.system, (config / "system").string());
  EXPECT_EQ(found.software, (config / "Software").string());

  fs::create_directories(fs::path(folder_) / "WINNT" / "system32");
  EXPECT_FALSE(FindInstallationHives(folder_ + "/WINNT", &found, &error));
  EXPECT_TRUE(Contains(error, "2 entries named system32 in " + folder_ + "/WINNT in different letter case"));
  fs::remove_all(fs::path(folder_) / "WINNT" / "system32");
  fs::remove(config / "Software");
  EXPECT_FALSE(FindInstallationHives(folder_ + "/WINNT", &found, &error));
  EXPECT_EQ(error, "no SOFTWARE in " + config.string());
}

TEST(Utf16Data, ConvertsAsTheAnsiFunctionsOfWindowsNt) {
  std::string ansi;
  char32_t missing = 0;
  // U+20AC is 0x80 in 1252; U+3042 has no form there; an odd last byte is no character.
  const std::string_view utf16("A\0\xAC\x20\x42\x30Z", 7);
  EXPECT_TRUE(NarrowUtf16Data(utf16, kCodePageWestern, '?', &ansi));
  EXPECT_EQ(ansi, "A\x80?");
  ansi.clear();
  EXPECT_FALSE(NarrowUtf16Data(utf16, kCodePageWestern, 0, &ansi, &missing));
  EXPECT_EQ(missing, U'\x3042');
  ansi.clear();
  EXPECT_TRUE(NarrowUtf16Data(utf16.substr(4), kCodePageJapanese, 0, &ansi));
  EXPECT_EQ(ansi, "\x82\xA0");

  // A lead byte of 932 without its trail byte is U+30FB, as Windows converts it.
  std::vector<std::uint8_t> wide;
  WidenAnsiData("\x82\xA0\x82", kCodePageJapanese, &wide);
  EXPECT_EQ(wide, std::vector<std::uint8_t>({0x42, 0x30, 0xFB, 0x30}));
}

}  // namespace
}  // namespace korvane::hosted
