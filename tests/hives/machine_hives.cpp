#include "hives/machine_hives.h"

#include <hivex.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "hives/empty_hive.h"
#include "platform/hosted/machine_files/reg_format.h"
#include "platform/hosted/machine_files/utf16_data.h"
#include "platform/hosted/text_encoding.h"

namespace korvane::testing {

using hosted::MemoryRegistry;
using hosted::RegNode;
using platform::kHkeyLocalMachine;

namespace {

std::string ControlSetName(unsigned number) {
  char name[24];
  std::snprintf(name, sizeof name, "ControlSet%03u", number);
  return name;
}

std::vector<std::uint8_t> Dword(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

bool CopyTree(hive_h* hive, hive_node_h node, const RegNode& from, unsigned codePage, const std::string& controlSet,
              bool atRoot, std::string* error) {
  std::vector<std::string> names;
  std::vector<std::vector<std::uint8_t>> data;
  names.reserve(from.Values().size());
  data.reserve(from.Values().size());
  std::vector<hive_set_value> values;
  for (const hosted::RegValue& value : from.Values()) {
    names.push_back(hosted::AnsiToUtf8(value.name, codePage));
    data.emplace_back();
    if (hosted::IsTextType(value.type)) {
      hosted::WidenAnsiData(std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size()),
                            codePage, &data.back());
    } else {
      data.back() = value.data;
    }
    values.push_back({names.back().data(), static_cast<hive_type>(value.type), data.back().size(),
                      reinterpret_cast<char*>(data.back().data())});
  }
  if (!values.empty() && hivex_node_set_values(hive, node, values.size(), values.data(), 0) != 0) {
    *error = "hivex cannot set the values of " + from.Name() + ": " + std::strerror(errno);
    return false;
  }
  for (const RegNode* subkey : from.Subkeys()) {
    const std::string name = atRoot && hosted::EqualsFolded(subkey->Name(), "CurrentControlSet")
                                 ? controlSet
                                 : hosted::AnsiToUtf8(subkey->Name(), codePage);
    const hive_node_h child = hivex_node_add_child(hive, node, name.c_str());
    if (child == 0) {
      *error = "hivex cannot add the key " + name + ": " + std::strerror(errno);
      return false;
    }
    if (!CopyTree(hive, child, *subkey, codePage, controlSet, false, error)) return false;
  }
  return true;
}

void CopyNode(const RegNode& from, RegNode& to) {
  for (const hosted::RegValue& value : from.Values()) to.PutValue(value.name, value.type, value.data);
  for (const RegNode* subkey : from.Subkeys()) CopyNode(*subkey, to.EnsureSubkey(subkey->Name()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

// One hive: an empty one written to a scratch file, opened by hivex, filled, committed.
bool MakeHive(const RegNode* from, unsigned codePage, const std::string& controlSet, bool system, std::string* bytes,
              std::string* error) {
  char path[] = "/tmp/korvane-hive-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    *error = std::string("mkstemp: ") + std::strerror(errno);
    return false;
  }
  close(fd);
  bool made = WriteFile(path, EmptyHive(), error);
  if (made) {
    hive_h* hive = hivex_open(path, HIVEX_OPEN_WRITE);
    made = hive != nullptr;
    if (!made) *error = std::string("hivex cannot open the empty hive: ") + std::strerror(errno);
    if (made && from != nullptr) made = CopyTree(hive, hivex_root(hive), *from, codePage, controlSet, system, error);
    if (made && hivex_commit(hive, nullptr, 0) != 0) {
      *error = std::string("hivex_commit: ") + std::strerror(errno);
      made = false;
    }
    if (hive != nullptr) hivex_close(hive);
  }
  if (made) *bytes = ReadFile(path);
  unlink(path);
  return made;
}

}  // namespace

void AddInstallationValues(MemoryRegistry& machine, const InstallationSetup& setup) {
  RegNode& select = machine.Ensure(kHkeyLocalMachine, "SYSTEM\\Select");
  for (const char* name : {"Current", "Default", "LastKnownGood"})
    select.PutValue(name, platform::kRegDword, Dword(setup.controlSet));
  const std::string nls = "SYSTEM\\CurrentControlSet\\Control\\Nls\\";
  if (!setup.language.empty()) machine.PutString(kHkeyLocalMachine, nls + "Language", "Default", setup.language);
  if (!setup.codePage.empty()) machine.PutString(kHkeyLocalMachine, nls + "CodePage", "ACP", setup.codePage);
  if (!setup.currentVersion.empty())
    machine.PutString(kHkeyLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion",
                      setup.currentVersion);
}

void CopyControlSet(MemoryRegistry& machine, unsigned number) {
  const RegNode* current = machine.Find(kHkeyLocalMachine, "SYSTEM\\CurrentControlSet");
  if (current != nullptr) CopyNode(*current, machine.Ensure(kHkeyLocalMachine, "SYSTEM\\" + ControlSetName(number)));
}

bool MakeHives(const MemoryRegistry& machine, unsigned controlSet, std::string* system, std::string* software,
               std::string* error) {
  const RegNode& root = machine.Root(kHkeyLocalMachine);
  const std::string name = ControlSetName(controlSet);
  return MakeHive(root.FindSubkey("SYSTEM"), machine.AnsiCodePage(), name, true, system, error) &&
         MakeHive(root.FindSubkey("SOFTWARE"), machine.AnsiCodePage(), name, false, software, error);
}

bool WriteFile(const std::string& path, const std::string& bytes, std::string* error) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace korvane::testing
