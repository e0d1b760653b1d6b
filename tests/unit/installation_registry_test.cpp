// Offline installations' hives: read into the in-memory registry as the machines they were
// made from (each key the first time it is asked for), their defaults, and the run's writes
// given back to them. Hives refused whole,
// and finding them in a Windows folder, are tested end to end (tests/sim/test_hives.py).
#include "machine_files/hive/installation_registry.h"
#include "machine_files/hive/hive_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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

// A hive file rewritten byte by byte, as hivex never writes one: cells added in a bin appended
// after hivex's, and fields of hivex's records pointed at them. Cells are at their places in
// the file, as hivex's handles give them; the records' fields count from the header's end.
class HiveEdit {
 public:
  explicit HiveEdit(std::string path) : path_(std::move(path)) {
    std::ifstream in(path_, std::ios::binary);
    bytes_.assign(std::istreambuf_iterator<char>(in), {});
    bin_ = kHeader + Get(0x28);
    bytes_.resize(bin_ + 0x20);
  }
  static std::uint32_t Field(std::size_t cell) { return static_cast<std::uint32_t>(cell - kHeader); }
  std::uint32_t Get(std::size_t at) const {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= std::uint32_t{static_cast<unsigned char>(bytes_[at + i])} << 8 * i;
    return value;
  }
  void Put(std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes_[at + i] = static_cast<char>(value >> 8 * i);
  }
  // A cell in use holding `record`.
  std::size_t Add(const std::string& record) {
    const std::size_t at = bytes_.size(), length = (4 + record.size() + 7) / 8 * 8;
    bytes_.resize(at + length);
    Put(at, -static_cast<std::uint32_t>(length));
    bytes_.replace(at + 4, record.size(), record);
    return at;
  }
  // A subkey list of these keys; "lf" and "lh" give each key a hash, which no reader needs.
  std::size_t List(const char* id, const std::vector<hive_node_h>& keys) {
    const std::size_t step = id[1] == 'i' ? 4 : 8;
    std::string record(4 + keys.size() * step, '\0');
    record.replace(0, 2, id);
    record[2] = static_cast<char>(keys.size());
    const std::size_t list = Add(record);
    for (std::size_t i = 0; i < keys.size(); ++i) Put(list + 8 + i * step, Field(keys[i]));
    return list;
  }
  // Written with the bin closed by a free cell (once), and the header's size of the bins and
  // checksum updated.
  void Save() {
    if (Get(bin_) == 0) {
      const std::size_t end = bytes_.size(), size = (end + 8 - bin_ + 0xFFF) / 0x1000 * 0x1000;
      bytes_.resize(bin_ + size);
      Put(end, static_cast<std::uint32_t>(bin_ + size - end));
      bytes_.replace(bin_, 4, "hbin");
      Put(bin_ + 4, Field(bin_));
      Put(bin_ + 8, static_cast<std::uint32_t>(size));
      Put(0x28, Field(bytes_.size()));
    }
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < 0x1FC; at += 4) sum ^= Get(at);
    Put(0x1FC, sum);
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes_;
  }

 private:
  static constexpr std::size_t kHeader = 0x1000;
  std::string path_;
  std::string bytes_;
  std::size_t bin_ = 0;
};

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

TEST_F(InstallationRegistryTest, ListsAndBigDataAsWindowsWritesThemReadAsHivexReadsThem) {
  // hivex writes only "lh" lists and big data in one cell. Windows NT 4.0 writes "lf", older
  // hives hold "li", a key with very many subkeys has an index of lists ("ri"), and data
  // beyond 16,344 bytes lies in the blocks a "db" record lists.
  MemoryRegistry machine = Machine();
  for (const std::string key : {"F", "I", "R"})
    for (const char* sub : {"A", "B", "C"}) machine.Ensure(kHkeyLocalMachine, "SOFTWARE\\Lists\\" + key + "\\" + sub);
  std::string data(20000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  machine.Ensure(kHkeyLocalMachine, "SOFTWARE\\Big")
      .PutValue("Blob", platform::kRegBinary, std::vector<std::uint8_t>(data.begin(), data.end()));
  std::string error;
  ASSERT_TRUE(test::WriteHives(machine, {}, paths_, &error)) << error;

  // Where hivex put the keys, their subkeys and the value.
  struct Key {
    std::string name;
    hive_node_h node = 0;
    std::vector<hive_node_h> subkeys;
  };
  std::vector<Key> keys{{"F", 0, {}}, {"I", 0, {}}, {"R", 0, {}}};
  const auto children = [](hive_h* hive, hive_node_h node) {
    std::vector<hive_node_h> list;
    HivexMemory<hive_node_h> held(hivex_node_children(hive, node));
    for (const hive_node_h* child = held.get(); child != nullptr && *child != 0; ++child) list.push_back(*child);
    return list;
  };
  hive_h* written = hivex_open(paths_.software.c_str(), 0);
  ASSERT_NE(written, nullptr);
  for (Key& key : keys) {
    key.node = hivex_node_get_child(written, hivex_node_get_child(written, hivex_root(written), "Lists"), key.name.c_str());
    key.subkeys = children(written, key.node);
    ASSERT_EQ(key.subkeys.size(), 3u) << key.name;
  }
  const hive_value_h blob = hivex_node_get_value(written, hivex_node_get_child(written, hivex_root(written), "Big"), "Blob");
  hivex_close(written);
  ASSERT_NE(blob, 0u);

  constexpr std::size_t kSubkeyList = 32, kDataOffset = 12;
  HiveEdit edit(paths_.software);
  edit.Put(keys[0].node + kSubkeyList, HiveEdit::Field(edit.List("lf", keys[0].subkeys)));
  edit.Put(keys[1].node + kSubkeyList, HiveEdit::Field(edit.List("li", keys[1].subkeys)));
  const std::size_t index = edit.Add(std::string("ri\x02\0", 4) + std::string(8, '\0'));
  edit.Put(index + 8, HiveEdit::Field(edit.List("lh", {keys[2].subkeys[0], keys[2].subkeys[1]})));
  edit.Put(index + 12, HiveEdit::Field(edit.List("li", {keys[2].subkeys[2]})));
  edit.Put(keys[2].node + kSubkeyList, HiveEdit::Field(index));
  // Each block holds its part and 4 bytes more.
  const std::size_t first = edit.Add(data.substr(0, 16344) + "tail"), second = edit.Add(data.substr(16344) + "tail");
  const std::size_t blocks = edit.Add(std::string(8, '\0')), db = edit.Add(std::string("db\x02\0", 4) + std::string(4, '\0'));
  edit.Put(blocks + 4, HiveEdit::Field(first));
  edit.Put(blocks + 8, HiveEdit::Field(second));
  edit.Put(db + 8, HiveEdit::Field(blocks));
  edit.Put(blob + kDataOffset, HiveEdit::Field(db));
  edit.Save();

  {
    HiveFile hive(HiveKind::kSoftware, paths_.software);
    ASSERT_TRUE(hive.Open(&error) && hive.Check(&error) && hive.OpenHivex(&error)) << error;
    std::vector<hive_node_h> subkeys;
    for (const Key& key : keys) {
      EXPECT_TRUE(hive.Subkeys(key.node, &subkeys)) << key.name;
      EXPECT_EQ(subkeys, key.subkeys) << key.name;
      EXPECT_EQ(children(hive.handle, key.node), key.subkeys) << key.name;
    }
    HiveValueType type = 0;
    std::string read;
    EXPECT_TRUE(hive.ValueData(blob, &type, &read));
    EXPECT_EQ(type, platform::kRegBinary);
    EXPECT_TRUE(read == data) << read.size() << " bytes";
    std::size_t length = 0;
    HivexMemory<char> hivexData(hivex_value_value(hive.handle, blob, TypeOut(&type), &length));
    ASSERT_NE(hivexData, nullptr);
    EXPECT_TRUE(std::string_view(hivexData.get(), length) == data) << length << " bytes";
  }
  ASSERT_TRUE(store_.Open(paths_, &error)) << error;
  MemoryRegistry loaded;
  ASSERT_TRUE(store_.Load(loaded, &error)) << error;
  for (const Key& key : keys)
    EXPECT_EQ(SubkeyNames(loaded.Find(kHkeyLocalMachine, "SOFTWARE\\Lists\\" + key.name)),
              (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_TRUE(test::ValueBytes(loaded, kHkeyLocalMachine, "SOFTWARE\\Big", "Blob") == data);

  // An index entry at no list: inside a cell, or at a key.
  for (const std::uint32_t entry : {HiveEdit::Field(index + 8), HiveEdit::Field(keys[2].subkeys[2])}) {
    edit.Put(index + 12, entry);
    edit.Save();
    HiveStore store;
    MemoryRegistry registry;
    ASSERT_TRUE(store.Open(paths_, &error)) << error;
    EXPECT_FALSE(store.Load(registry, &error));
    EXPECT_EQ(error, paths_.software + ": damaged hive: the subkeys of Lists\\R cannot be read");
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
