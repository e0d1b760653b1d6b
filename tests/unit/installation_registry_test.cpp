// Offline installations' hives: read into the in-memory registry as the machines they were
// made from (each key the first time it is asked for), their defaults, and the run's writes
// given back to them. Hives refused whole,
// and finding them in a Windows folder, are tested end to end (tests/sim/test_hives.py).
#include "machine_files/hive/installation_registry.h"
#include "machine_files/hive/hive_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <tuple>
#include <vector>

#include "hives/machine_hives.h"
#include "support/utility_test.h"
#include "machine_files/reg/reg_reader.h"
#include "machine_files/reg/reg_writer.h"
#include "machine_files/reg/utf16_text.h"
#include "machine_files/io/file_targets.h"
#include "platform/sim/code_pages.h"

namespace korvane::sim {
namespace {

using platform::kHkeyLocalMachine;
using test::InstallationSetup;

std::string Text(const MemoryRegistry& registry) {
  return FormatMachine(registry, {RegFileFormat::kRegedit4, false, registry.AnsiCodePage()});
}

std::vector<std::string> SubkeyNames(const RegNode* key) {
  std::vector<std::string> names;
  if (key != nullptr)
    for (const RegNode* subkey : key->Subkeys()) names.push_back(subkey->Name());
  return names;
}

// A machine whose HKEY_LOCAL_MACHINE keys are spelled as hives name them, so that a machine
// file's "System" joins "SYSTEM".
MemoryRegistry Machine(unsigned codePage = kCodePageWestern) {
  MemoryRegistry machine;
  machine.SetAnsiCodePage(codePage);
  machine.Ensure(kHkeyLocalMachine, "SYSTEM");
  machine.Ensure(kHkeyLocalMachine, "SOFTWARE");
  return machine;
}

class InstallationRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvane-hive-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    paths_ = {folder_ + "/SYSTEM", folder_ + "/SOFTWARE"};
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  // Writes `machine`, with `file` read into it when given, as the installation's hives and
  // opens them in store_.
  void MakeAndOpen(MemoryRegistry& machine, const char* file = nullptr, const InstallationSetup& setup = {}) {
    LoadError loadError;
    if (file != nullptr) {
      ASSERT_TRUE(LoadMachineFile(std::string(KORVANE_SOURCE_DIR) + "/" + file, machine, nullptr, &loadError))
          << loadError.ToString();
    }
    std::string error;
    ASSERT_TRUE(test::WriteHives(machine, setup, paths_, &error)) << error;
    ASSERT_TRUE(store_.Open(paths_, &error)) << error;
  }

  std::string folder_;
  HivePaths paths_;
  HiveStore store_;
};

TEST_F(InstallationRegistryTest, EachSampleLoadsAsItsMachineFileHoldsIt) {
  // NT 4.0 reads both hives; control set 2 shows that CurrentControlSet follows Select.
  for (const auto& [file, controlSet] : {std::pair{"machines/sample-xp.reg", 1u}, {"machines/sample-nt4.reg", 2u}}) {
    SCOPED_TRACE(file);
    MemoryRegistry machine = Machine();
    // Windows allows any 32-bit value type, far beyond those hivex names.
    for (const std::uint32_t type : {0x20u, 0xFFFFFFFFu})
      machine.Ensure(kHkeyLocalMachine, "SYSTEM\\Odd").PutValue("Type " + std::to_string(type), type, {1, 2});
    MakeAndOpen(machine, file, {controlSet});
    MemoryRegistry loaded;
    std::string error;
    ASSERT_TRUE(store_.Load(loaded, &error)) << error;
    EXPECT_EQ(Text(loaded), Text(machine));
  }
}

TEST_F(InstallationRegistryTest, NamesAndTextsConvertThroughTheMachinesCodePageInTheHivesOrder) {
  // "ネット" in code page 932: each character is two bytes there and has no form in 1252.
  const std::string net = "\x83\x6C\x83\x62\x83\x67";
  MemoryRegistry machine = Machine(kCodePageJapanese);
  machine.PutString(kHkeyLocalMachine, "SOFTWARE\\" + net, net, "LAN " + net);
  // Sorted by their UTF-16 names, as in the hive: "B", "\u3042", "\uFF21"; by their code
  // page 932 bytes "\x82\x60" (U+FF21) would come before "\x82\xA0" (U+3042).
  for (const char* name : {"\x82\xA0", "\x82\x60", "B"})
    machine.Ensure(kHkeyLocalMachine, std::string("SOFTWARE\\Order\\") + name);
  // On a Western machine both are "?": one key with the values and subkeys of both, the first
  // one's value standing where both have one.
  for (const auto& [name, number] : {std::pair{"\x82\xA0", '1'}, {"\x82\x60", '2'}}) {
    RegNode& key = machine.Ensure(kHkeyLocalMachine, std::string("SOFTWARE\\Order\\") + name);
    key.PutValue("Which", platform::kRegBinary, {static_cast<std::uint8_t>(number)});
    key.PutValue(std::string("Only") + number, platform::kRegBinary, {1});
    key.EnsureSubkey(std::string("Sub") + number);
  }
  MakeAndOpen(machine);

  MemoryRegistry japanese = Machine(kCodePageJapanese);
  MemoryRegistry western = Machine(kCodePageWestern);
  std::string error;
  ASSERT_TRUE(store_.Load(japanese, &error) && store_.Load(western, &error)) << error;
  EXPECT_EQ(SubkeyNames(japanese.Find(kHkeyLocalMachine, "SOFTWARE\\Order")),
            (std::vector<std::string>{"B", "\x82\xA0", "\x82\x60"}));
  EXPECT_EQ(SubkeyNames(western.Find(kHkeyLocalMachine, "SOFTWARE\\Order")), (std::vector<std::string>{"B", "?"}));
  for (const char* sub : {"Sub1", "Sub2"})
    EXPECT_NE(western.Find(kHkeyLocalMachine, std::string("SOFTWARE\\Order\\?\\") + sub), nullptr) << sub;
  for (const auto& [name, bytes] : {std::pair{"Which", "1"}, {"Only1", "\x01"}, {"Only2", "\x01"}})
    EXPECT_EQ(test::ValueBytes(western, kHkeyLocalMachine, "SOFTWARE\\Order\\?", name), bytes) << name;
  EXPECT_EQ(test::ValueBytes(japanese, kHkeyLocalMachine, "SOFTWARE\\" + net, net), "LAN " + net + '\0');
  // The ANSI functions of Windows NT give '?' for each character the code page lacks.
  EXPECT_EQ(test::ValueBytes(western, kHkeyLocalMachine, "SOFTWARE\\???", "???"), std::string("LAN ???") + '\0');
}

TEST_F(InstallationRegistryTest, DefaultsComeFromTheInstallation) {
  using Field = std::string InstallationSetup::*;
  constexpr Field kVersion = &InstallationSetup::currentVersion;
  constexpr Field kLanguage = &InstallationSetup::language;
  constexpr Field kCodePage = &InstallationSetup::codePage;
  const struct {
    Field field;
    const char* value;
    const char* read;  // nullptr: refused, in a message that starts with the hive's path
  } kCases[] = {{kVersion, "4.0", "nt40"}, {kVersion, "5.0", "win2k"},   {kVersion, "5.1", "winxp"},
                {kVersion, "5.2", "win2003"}, {kVersion, "6.1", "2.6.1"}, {kVersion, "", nullptr},
                {kVersion, "XP", nullptr},   {kVersion, "5.", nullptr},   {kVersion, "5.1.2600", nullptr},
                {kLanguage, "0411", "1041"}, {kLanguage, "409", "1033"},  {kLanguage, "", nullptr},
                {kLanguage, "04G9", nullptr}, {kLanguage, "10409", nullptr}, {kCodePage, "932", "932"},
                {kCodePage, "1252", "1252"}, {kCodePage, "", nullptr},   {kCodePage, "1252a", nullptr},
                {kCodePage, "70000", nullptr}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string("\"") + c.value + "\"");
    MemoryRegistry machine = Machine();
    InstallationSetup setup;
    setup.*c.field = c.value;
    MakeAndOpen(machine, nullptr, setup);
    std::string read, error;
    std::uint16_t language = 0;
    unsigned codePage = 0;
    const bool ok = c.field == kVersion    ? store_.ReadOsName(&read, &error)
                    : c.field == kLanguage ? store_.ReadLanguage(&language, &error)
                                           : store_.ReadCodePage(&codePage, &error);
    if (c.field != kVersion) read = std::to_string(language + codePage);
    EXPECT_EQ(ok, c.read != nullptr) << error;
    EXPECT_EQ(c.read != nullptr ? read : error.substr(0, folder_.size()), c.read != nullptr ? c.read : folder_);
  }
}

TEST_F(InstallationRegistryTest, TheRunsWritesGoIntoTheCurrentControlSetAsUtf16) {
  const std::string driver = "SYSTEM\\CurrentControlSet\\Control\\Class\\0000";
  MemoryRegistry machine = Machine();
  // A driver key the run writes into before anything has read it.
  machine.PutString(kHkeyLocalMachine, driver, "DriverDesc", "Card");
  machine.PutString(kHkeyLocalMachine, driver, "NetworkAddress", "ABC");
  for (const char* name : {"Alpha", "Zeta"}) machine.Ensure(kHkeyLocalMachine, driver + "\\" + name);
  MakeAndOpen(machine, nullptr, {2});
  MemoryRegistry registry;
  std::string error;
  ASSERT_TRUE(store_.Load(registry, &error)) << error;
  platform::RegKey key = 0;
  ASSERT_EQ(registry.OpenKey(kHkeyLocalMachine, driver.c_str(), platform::kKeyAllAccess, &key), 0);
  ASSERT_EQ(registry.SetValue(key, "NetworkAddress", platform::kRegSz, "0", 2), 0);
  registry.CloseKey(key);
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, (driver + "\\Ndi\\Params").c_str(), platform::kKeyAllAccess, &key,
                               nullptr),
            0);
  ASSERT_EQ(registry.SetValue(key, "ParamDesc", platform::kRegSz, "\xC9t\xE9\0", 4), 0);  // "Été"
  ASSERT_EQ(registry.SetValue(key, "Count", platform::kRegDword, "\x01\x02\x03\x04", 4), 0);
  ASSERT_EQ(registry.SetValue(key, "Odd", 0x80000020, "\x05", 1), 0);
  registry.CloseKey(key);
  // A key made and taken away again in the same run.
  ASSERT_EQ(registry.CreateKey(kHkeyLocalMachine, (driver + "\\Gone").c_str(), platform::kKeyAllAccess, &key, nullptr),
            0);
  registry.CloseKey(key);
  ASSERT_EQ(registry.DeleteKey(kHkeyLocalMachine, (driver + "\\Gone").c_str()), 0);
  // What the hive held there is still there, the new subkey in its place among the hive's.
  EXPECT_EQ(test::ValueBytes(registry, kHkeyLocalMachine, driver, "DriverDesc"), std::string("Card") + '\0');
  EXPECT_EQ(test::ValueBytes(registry, kHkeyLocalMachine, driver, "NetworkAddress"), std::string("0") + '\0');
  EXPECT_EQ(SubkeyNames(registry.Find(kHkeyLocalMachine, driver)), (std::vector<std::string>{"Alpha", "Ndi", "Zeta"}));

  ASSERT_TRUE(store_.Apply(registry.Writes(), registry.AnsiCodePage(), &error)) << error;
  EXPECT_TRUE(store_.Changed(HiveKind::kSystem));
  EXPECT_FALSE(store_.Changed(HiveKind::kSoftware));
  const auto save = [this](std::string_view bytes, std::string* message) {
    FileTarget target;
    return CheckTarget(paths_.system, TargetRule::kFile, &target, message) && WriteTarget(target, bytes, message);
  };
  ASSERT_TRUE(store_.Commit(HiveKind::kSystem, save, &error)) << error;

  // The committed hive reads back as the run left the registry, and the same writes again,
  // values set to what they hold and a key added and deleted, change nothing.
  HiveStore again;
  MemoryRegistry reloaded;
  ASSERT_TRUE(again.Open(paths_, &error) && again.Load(reloaded, &error)) << error;
  EXPECT_EQ(Text(reloaded), Text(registry));
  ASSERT_TRUE(again.Apply(registry.Writes(), registry.AnsiCodePage(), &error)) << error;
  EXPECT_FALSE(again.Changed(HiveKind::kSystem));
}

TEST_F(InstallationRegistryTest, WhatAHiveLeftOutWouldHoldIsAnError) {
  MemoryRegistry machine = Machine();
  MakeAndOpen(machine);
  HiveStore store;
  std::string error, name;
  ASSERT_TRUE(store.Open({paths_.system, ""}, &error)) << error;
  EXPECT_FALSE(store.ReadOsName(&name, &error));
  EXPECT_EQ(error, "no SOFTWARE hive to take the Windows version from");
  for (const auto& [root, path, message] :
       {std::tuple{kHkeyLocalMachine, "SOFTWARE\\Korvane",
                   "the run wrote to HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane, but its hive was not given"},
        std::tuple{kHkeyLocalMachine, "HARDWARE\\DESCRIPTION",
                   "the run wrote to HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION, which is in neither the SYSTEM nor "
                   "the SOFTWARE hive"},
        std::tuple{platform::kHkeyDynData, "Config Manager",
                   "the run wrote under HKEY_DYN_DATA, which no hive holds"}}) {
    WriteRecord write;
    write.root = root;
    write.path = path;
    EXPECT_FALSE(store.Apply({&write, 1}, kCodePageWestern, &error));
    EXPECT_EQ(error, message);
  }
  EXPECT_FALSE(store.Changed(HiveKind::kSystem));
}

TEST(HiveMessages, QuoteNamesWithControlsEscapedAndLongOnesCutInTheMiddle) {
  const std::string longPath = std::string(100, 'a') + "\xC3\xA9" + std::string(100, 'z');
  for (const auto& [text, shown] : {
           std::pair<std::string, std::string>{"Bad\x1B]0;PWNED\x07\x1B[2J", "Bad\\x1B]0;PWNED\\x07\\x1B[2J"},
           {"C1 \xC2\x9B" "2J, DEL \x7F, \xC3\xA9t\xC3\xA9", "C1 \\x9B2J, DEL \\x7F, \xC3\xA9t\xC3\xA9"},
           {std::string("NUL\0!", 5), "NUL\\x00!"},
           // Whole characters either side of the cut: the two bytes of U+00E9 stay together.
           {std::string(77, 'a') + "\xC3\xA9" + std::string(100, 'z'), std::string(77, 'a') + "..." + std::string(78, 'z')},
           {std::string(76, 'a') + "\xC3\xA9" + std::string(100, 'z'),
            std::string(76, 'a') + "\xC3\xA9..." + std::string(78, 'z')},
       }) {
    EXPECT_EQ(Printable(text), shown);
  }
  EXPECT_EQ(Printable(longPath), std::string(78, 'a') + "..." + std::string(78, 'z'));
}

TEST(Utf16Data, ConvertsAsTheAnsiFunctionsOfWindowsNt) {
  // U+20AC is 0x80 in 1252, U+3042 has no form there and is 82 A0 in 932; an odd last byte is
  // no character.
  const std::string_view utf16("A\0\xAC\x20\x42\x30Z", 7);
  std::string western, japanese;
  EXPECT_TRUE(NarrowUtf16Data(utf16, kCodePageWestern, '?', &western));
  EXPECT_TRUE(NarrowUtf16Data(utf16.substr(4), kCodePageJapanese, 0, &japanese));
  EXPECT_EQ(western, "A\x80?");
  EXPECT_EQ(japanese, "\x82\xA0");
  // A lead byte of 932 without its trail byte is U+30FB, as Windows converts it.
  std::vector<std::uint8_t> wide;
  WidenAnsiData("\x82\xA0\x82", kCodePageJapanese, &wide);
  EXPECT_EQ(wide, std::vector<std::uint8_t>({0x42, 0x30, 0xFB, 0x30}));
}

}  // namespace
}  // namespace korvane::sim
