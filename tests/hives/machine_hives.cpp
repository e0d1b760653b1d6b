#include "hives/machine_hives.h"

#include <hivex.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#include "machine_files/hive/installation_registry.h"
#include "machine_files/reg/reg_format.h"
#include "machine_files/reg/utf16_text.h"
#include "platform/sim/code_pages.h"

namespace korvane::test {

using sim::RegNode;
using platform::kHkeyLocalMachine;

namespace {

constexpr std::size_t kBin = 0x1000;          // the header's size, where the one bin starts
constexpr std::size_t kRoot = 0x20;           // the root key's cell, from the bin's start
constexpr std::size_t kRootSize = 0x60;       // its nk record and name, aligned to 8
constexpr std::size_t kSecurity = kRoot + kRootSize;
constexpr std::size_t kSecuritySize = 0x30;   // its sk record and a 20-byte descriptor
constexpr std::size_t kChecksumAt = 0x1FC;

void Put32(std::string* bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<char>(value >> 8 * i);
}

// False, with `message` and the reason errno gives, in *error.
bool Failed(std::string* error, const std::string& message) {
  *error = message + ": " + std::strerror(errno);
  return false;
}

// The header's checksum: the XOR of the 32-bit words before it.
void UpdateChecksum(std::string* header) {
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < kChecksumAt; ++at)
    sum ^= static_cast<std::uint32_t>(static_cast<unsigned char>((*header)[at])) << 8 * (at % 4);
  Put32(header, kChecksumAt, sum);
}

// A regf file of 8 KiB: the header and one bin holding the root key, named "$$$PROTO.HIV" as
// in the hives Windows creates, and its security record, whose descriptor has no DACL and so
// lets everyone in.
std::string EmptyHive() {
  std::string hive(2 * kBin, '\0');
  // The header: the two sequence numbers, format 1.3, in memory as on disk, the root key's
  // cell, the bins' size, the clustering factor.
  hive.replace(0, 4, "regf");
  for (const auto& [at, value] : {std::pair<std::size_t, std::size_t>{4, 1}, {8, 1}, {20, 1}, {24, 3}, {32, 1},
                                  {36, kRoot}, {40, kBin}, {44, 1}})
    Put32(&hive, at, static_cast<std::uint32_t>(value));
  UpdateChecksum(&hive);

  hive.replace(kBin, 4, "hbin");
  Put32(&hive, kBin + 8, kBin);
  const std::size_t root = kBin + kRoot;
  Put32(&hive, root, -static_cast<std::uint32_t>(kRootSize));  // an allocated cell gives its size negated
  hive.replace(root + 4, 2, "nk");
  hive[root + 6] = 0x2C;  // the hive's root, not deletable, name in 8-bit characters
  for (std::size_t at : {32, 36, 44, 52}) Put32(&hive, root + at, 0xFFFFFFFF);  // no subkeys, values, class
  Put32(&hive, root + 48, kSecurity);
  hive[root + 76] = 12;
  hive.replace(root + 80, 12, "$$$PROTO.HIV");

  const std::size_t security = kBin + kSecurity;
  Put32(&hive, security, -static_cast<std::uint32_t>(kSecuritySize));
  hive.replace(security + 4, 2, "sk");
  Put32(&hive, security + 8, kSecurity);  // the list of security records: this one alone
  Put32(&hive, security + 12, kSecurity);
  Put32(&hive, security + 16, 1);   // the root uses it
  Put32(&hive, security + 20, 20);  // the descriptor: revision 1, self-relative, nothing else
  hive[security + 24] = 1;
  hive[security + 27] = static_cast<char>(0x80);
  Put32(&hive, kBin + kSecurity + kSecuritySize, kBin - kSecurity - kSecuritySize);  // the rest is free
  return hive;
}

// Gives `node` the values and subkeys of `from`; below SYSTEM, `controlSet` names
// CurrentControlSet.
bool CopyTree(hive_h* hive, hive_node_h node, const RegNode& from, unsigned codePage, const std::string* controlSet,
              std::string* error) {
  std::vector<std::string> names;
  std::vector<std::vector<std::uint8_t>> data;
  names.reserve(from.Values().size());
  data.reserve(from.Values().size());
  std::vector<hive_set_value> values;
  for (const sim::RegValue& value : from.Values()) {
    names.push_back(sim::AnsiToUtf8(value.name, codePage));
    data.emplace_back();
    if (sim::IsTextType(value.type)) {
      sim::WidenAnsiData(std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size()),
                            codePage, &data.back());
    } else {
      data.back() = value.data;
    }
    values.push_back({names.back().data(), hive_t_REG_NONE, data.back().size(),
                      reinterpret_cast<char*>(data.back().data())});
    // Windows allows any 32-bit type; hive_type names only a few, so none is made of it.
    std::memcpy(&values.back().t, &value.type, sizeof values.back().t);
  }
  if (!values.empty() && hivex_node_set_values(hive, node, values.size(), values.data(), 0) != 0)
    return Failed(error, "hivex cannot set the values of " + from.Name());
  for (const RegNode* subkey : from.Subkeys()) {
    const std::string name = controlSet != nullptr && sim::EqualsFolded(subkey->Name(), "CurrentControlSet")
                                 ? *controlSet
                                 : sim::AnsiToUtf8(subkey->Name(), codePage);
    const hive_node_h child = hivex_node_add_child(hive, node, name.c_str());
    if (child == 0) return Failed(error, "hivex cannot add the key " + name);
    if (!CopyTree(hive, child, *subkey, codePage, nullptr, error)) return false;
  }
  return true;
}

// One hive: an empty one written to `path`, filled by hivex and committed there.
bool WriteHive(const RegNode* from, unsigned codePage, const std::string* controlSet, const std::string& path,
               std::string* error) {
  std::ofstream empty(path, std::ios::binary | std::ios::trunc);
  empty << EmptyHive();
  empty.close();
  if (!empty) return Failed(error, "cannot write " + path);
  hive_h* hive = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
  if (hive == nullptr) return Failed(error, "hivex cannot open the empty hive");
  bool made = from == nullptr || CopyTree(hive, hivex_root(hive), *from, codePage, controlSet, error);
  if (made && hivex_commit(hive, nullptr, 0) != 0) made = Failed(error, "hivex_commit");
  hivex_close(hive);
  return made;
}

}  // namespace

bool WriteHives(sim::MemoryRegistry& machine, const InstallationSetup& setup, const sim::HivePaths& paths,
                std::string* error) {
  std::vector<std::uint8_t> current(4);
  for (int i = 0; i < 4; ++i) current[i] = static_cast<std::uint8_t>(setup.controlSet >> 8 * i);
  RegNode& select = machine.Ensure(kHkeyLocalMachine, "SYSTEM\\Select");
  for (const char* name : {"Current", "Default", "LastKnownGood"}) select.PutValue(name, platform::kRegDword, current);
  const std::string nls = "SYSTEM\\CurrentControlSet\\Control\\Nls\\";
  if (!setup.language.empty()) machine.PutString(kHkeyLocalMachine, nls + "Language", "Default", setup.language);
  if (!setup.codePage.empty()) machine.PutString(kHkeyLocalMachine, nls + "CodePage", "ACP", setup.codePage);
  if (!setup.currentVersion.empty())
    machine.PutString(kHkeyLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion",
                      setup.currentVersion);

  const std::string controlSet = sim::ControlSetName(setup.controlSet);
  const RegNode& root = machine.Root(kHkeyLocalMachine);
  return WriteHive(root.FindSubkey("SYSTEM"), machine.AnsiCodePage(), &controlSet, paths.system, error) &&
         WriteHive(root.FindSubkey("SOFTWARE"), machine.AnsiCodePage(), nullptr, paths.software, error);
}

}  // namespace korvane::test
