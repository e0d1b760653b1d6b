#include "machine_files/hive/installation_registry.h"

#include <endian.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "machine_files/hive/hive_file.h"
#include "machine_files/hive/hive_keys.h"
#include "machine_files/io/printable.h"
#include "machine_files/reg/reg_format.h"
#include "machine_files/reg/utf16_text.h"
#include "platform/sim/code_pages.h"

namespace korvane::sim {

using platform::kHkeyLocalMachine;

namespace {

// --- Names: hivex speaks UTF-8, the utility the machine's ANSI code page ---

std::string AnsiNameToUtf8(std::string_view name, unsigned codePage) {
  std::string utf8;
  for (std::size_t at = 0; at < name.size();) {
    const std::size_t length = AnsiCharLength(codePage, name, at);
    AppendUtf8(AnsiCharToUnicode(codePage, name.substr(at, length)), &utf8);
    at += length;
  }
  return utf8;
}

// Names and texts from the run or a hive, as messages quote them.
std::string Quoted(std::string_view ansi, unsigned codePage) { return Printable(AnsiNameToUtf8(ansi, codePage)); }

// hivex answers an offset that leads to no cell of the right kind (a free one, say) with
// EFAULT, whose own text says nothing to a user.
std::string HivexFailure() {
  const int number = errno;
  return number == EFAULT ? std::string("a cell it refers to is free or of the wrong kind") : std::strerror(number);
}

}  // namespace

std::string ControlSetName(unsigned number) {
  char name[24];
  std::snprintf(name, sizeof name, "ControlSet%03u", number);
  return name;
}

// --- The open hives ---

HiveStore::HiveStore() = default;
HiveStore::~HiveStore() = default;

HiveFile* HiveStore::Find(HiveKind kind) const { return kind == HiveKind::kSystem ? system_.get() : software_.get(); }

bool HiveStore::Changed(HiveKind kind) const {
  const HiveFile* hive = Find(kind);
  return hive != nullptr && (hive->changed || !hive->added.empty());
}

bool HiveStore::Open(const HivePaths& paths, std::string* error) {
  keys_.clear();
  system_.reset();
  software_.reset();
  if (paths.system.empty() && paths.software.empty()) {
    *error = "no hive given";
    return false;
  }
  for (const HiveKind kind : {HiveKind::kSystem, HiveKind::kSoftware}) {
    const std::string& path = kind == HiveKind::kSystem ? paths.system : paths.software;
    if (path.empty()) continue;
    auto hive = std::make_unique<HiveFile>(kind, path);
    if (!hive->Open(error)) return false;
    (kind == HiveKind::kSystem ? system_ : software_) = std::move(hive);
  }

  if (system_ != nullptr) {
    HiveValueType type = 0;
    std::string current;
    if (!system_->ReadValue({"Select"}, "Current", &type, &current) || type != platform::kRegDword ||
        current.size() != 4)
      return system_->Fail("no DWORD value Current under Select: not the SYSTEM hive of a Windows installation", error);
    std::memcpy(&currentControlSet_, current.data(), 4);
    currentControlSet_ = le32toh(currentControlSet_);
    if (system_->FindKey({ControlSetName(currentControlSet_)}) == 0)
      return system_->Fail(
          "Select\\Current names " + ControlSetName(currentControlSet_) + ", which the hive does not hold", error);
  }
  return true;
}

// --- The installation's defaults ---

bool HiveStore::ReadOsName(std::string* name, std::string* error) const {
  if (software_ == nullptr) {
    *error = "no SOFTWARE hive to take the Windows version from";
    return false;
  }
  std::string text;
  if (!software_->ReadText({"Microsoft", "Windows NT", "CurrentVersion"}, "CurrentVersion", &text))
    return software_->Fail("no text value CurrentVersion under Microsoft\\Windows NT\\CurrentVersion", error);
  static constexpr struct {
    const char* version;
    const char* name;
  } kReleases[] = {{"4.0", "nt40"}, {"5.0", "win2k"}, {"5.1", "winxp"}, {"5.2", "win2003"}};
  for (const auto& release : kReleases)
    if (text == release.version) {
      *name = release.name;
      return true;
    }
  const std::size_t dot = text.find('.');
  const bool digits = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos;
  if (!digits || dot == 0 || dot == std::string::npos || dot + 1 == text.size() ||
      text.find('.', dot + 1) != std::string::npos || text.size() > 9)
    return software_->Fail("CurrentVersion \"" + Printable(text) + "\" is no Windows version", error);
  *name = "2." + text;
  return true;
}

bool HiveStore::ReadNlsNumber(const char* key, const char* valueName, int base, const char* what, unsigned* number,
                              std::string* error) const {
  if (system_ == nullptr) {
    *error = std::string("no SYSTEM hive to take the ") + what + " from";
    return false;
  }
  const std::string controlSet = ControlSetName(currentControlSet_);
  std::string text;
  if (!system_->ReadText({controlSet, "Control", "Nls", key}, valueName, &text))
    return system_->Fail(std::string("no text value ") + valueName + " under " + controlSet + "\\Control\\Nls\\" + key,
                         error);
  const char* digits = base == 16 ? "0123456789ABCDEFabcdef" : "0123456789";
  const unsigned long parsed = std::strtoul(text.c_str(), nullptr, base);
  if (text.empty() || text.size() > 5 || text.find_first_not_of(digits) != std::string::npos || parsed == 0 ||
      parsed > 0xFFFF)
    return system_->Fail(
        std::string("Control\\Nls\\") + key + " value " + valueName + " \"" + Printable(text) + "\" is no " + what,
        error);
  *number = static_cast<unsigned>(parsed);
  return true;
}

bool HiveStore::ReadLanguage(std::uint16_t* languageId, std::string* error) const {
  unsigned id = 0;
  if (!ReadNlsNumber("Language", "Default", 16, "language id", &id, error)) return false;
  *languageId = static_cast<std::uint16_t>(id);
  return true;
}

bool HiveStore::ReadCodePage(unsigned* codePage, std::string* error) const {
  return ReadNlsNumber("CodePage", "ACP", 10, "code page", codePage, error);
}

// --- Loading ---

bool HiveStore::Load(MemoryRegistry& registry, std::string* error) {
  for (HiveFile* hive : {system_.get(), software_.get()})
    if (hive != nullptr && !hive->Check(error)) return false;
  for (HiveFile* hive : {system_.get(), software_.get()}) {
    if (hive == nullptr) continue;
    keys_.push_back(std::make_unique<HiveKeys>(*hive, registry.AnsiCodePage(), ControlSetName(currentControlSet_)));
    keys_.back()->LoadInto(registry.Ensure(kHkeyLocalMachine, hive->Label()));
  }
  return true;
}

// --- Writing ---

bool HiveStore::Resolve(const std::vector<std::string_view>& parts, bool create, unsigned codePage, HiveFile** hive,
                        std::size_t* node, std::string* error) {
  const auto joined = [&] {
    std::string path = "HKEY_LOCAL_MACHINE";
    for (std::string_view part : parts) (path += '\\') += part;
    return Quoted(path, codePage);
  };
  const bool system = !parts.empty() && EqualsFolded(parts[0], "SYSTEM");
  const bool software = !parts.empty() && EqualsFolded(parts[0], "SOFTWARE");
  *hive = system ? system_.get() : software ? software_.get() : nullptr;
  if (*hive == nullptr) {
    *error = "the run wrote to " + joined() +
             (system || software ? ", but its hive was not given"
                                 : ", which is in neither the SYSTEM nor the SOFTWARE hive");
    return false;
  }
  if (!(*hive)->OpenHivex(error)) return false;
  hive_node_h at = hivex_root((*hive)->handle);
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::string name = system && i == 1 && EqualsFolded(parts[i], "CurrentControlSet")
                                 ? ControlSetName(currentControlSet_)
                                 : AnsiNameToUtf8(parts[i], codePage);
    hive_node_h child = hivex_node_get_child((*hive)->handle, at, name.c_str());
    if (child == 0 && create) {
      if (!(*hive)->MakeWritable(error)) return false;
      child = hivex_node_add_child((*hive)->handle, at, name.c_str());
      if (child == 0) {
        const std::string why = HivexFailure();
        return (*hive)->Fail("damaged hive: cannot add the key " + joined() + ": " + why, error);
      }
      (*hive)->added.insert(child);
    }
    if (child == 0) return (*hive)->Fail("the run wrote to " + joined() + ", which the hive does not hold", error);
    at = child;
  }
  *node = at;
  return true;
}

bool HiveStore::Apply(std::span<const WriteRecord> writes, unsigned codePage, std::string* error) {
  // The run saw a key without what the hive holds there: its writes were made on less.
  for (const auto& keys : keys_)
    if (!keys->Failure().empty()) {
      *error = keys->Failure();
      return false;
    }
  std::vector<std::string_view> parts;
  std::vector<std::uint8_t> data;
  for (const WriteRecord& write : writes) {
    if (write.status != platform::kErrorSuccess) continue;
    if (write.root != kHkeyLocalMachine) {
      *error = std::string("the run wrote under ") + RootName(write.root) + ", which no hive holds";
      return false;
    }
    SplitRegistryPath(write.path, &parts, codePage);
    HiveFile* hive = nullptr;
    hive_node_h node = 0;
    if (!Resolve(parts, write.op == WriteRecord::Op::kCreate, codePage, &hive, &node, error)) return false;
    if (write.op == WriteRecord::Op::kDelete) {
      if (!hive->MakeWritable(error)) return false;
      if (std::string why; !hive->CanDeleteKey(node, &why))
        return hive->Fail("damaged hive: cannot delete the key " + hive->NodePath(node) + ": " + why, error);
      if (hivex_node_delete_child(hive->handle, node) != 0) {
        const std::string why = HivexFailure();
        return hive->Fail("damaged hive: cannot delete the key " + hive->NodePath(node) + ": " + why, error);
      }
      if (hive->added.erase(node) == 0) hive->changed = true;
      continue;
    }
    if (write.op != WriteRecord::Op::kSet) continue;

    data.clear();
    if (IsTextType(write.type)) {
      WidenAnsiData(std::string_view(reinterpret_cast<const char*>(write.data.data()), write.data.size()), codePage,
                    &data);
    } else {
      data = write.data;
    }
    const std::string name = AnsiNameToUtf8(write.name, codePage);
    if (const hive_value_h existing = hivex_node_get_value(hive->handle, node, name.c_str()); existing != 0) {
      HiveValueType type = 0;
      std::size_t length = 0;
      HivexMemory<char> bytes(hivex_value_value(hive->handle, existing, TypeOut(&type), &length));
      if (bytes.get() != nullptr && type == write.type && length == data.size() &&
          std::memcmp(bytes.get(), data.data(), length) == 0)
        continue;
    }
    hive_set_value value{const_cast<char*>(name.c_str()), hive_t_REG_NONE, data.size(),
                         reinterpret_cast<char*>(data.data())};
    // Any 32-bit type, stored as hivex stores it, without making a hive_type of it.
    static_assert(sizeof value.t == sizeof write.type);
    std::memcpy(&value.t, &write.type, sizeof value.t);
    if (!hive->MakeWritable(error)) return false;
    const auto cannotSet = [&](const std::string& why) {
      return hive->Fail("damaged hive: cannot set the value " + Quoted(write.name, codePage) + " of " +
                            hive->NodePath(node) + ": " + why,
                        error);
    };
    if (std::string why; !hive->CanReplaceValues(node, &why)) return cannotSet(why);
    if (hivex_node_set_value(hive->handle, node, &value, 0) != 0) return cannotSet(HivexFailure());
    hive->ValuesReplaced(node);
    if (hive->added.count(node) == 0) hive->changed = true;
  }
  return true;
}

bool HiveStore::Commit(HiveKind kind, std::string* error) {
  HiveFile* hive = Find(kind);
  if (hive == nullptr) {
    *error = "no hive to commit";
    return false;
  }
  return hive->Commit(error);
}

bool HiveStore::Commit(HiveKind kind, const BytesUse& use, std::string* error) {
  return Commit(kind, error) && Find(kind)->Committed(use, error);
}

bool HiveStore::Original(HiveKind kind, const BytesUse& use, std::string* error) const {
  const HiveFile* hive = Find(kind);
  if (hive == nullptr) {
    *error = "no hive was read";
    return false;
  }
  return hive->Original(use, error);
}

}  // namespace korvane::sim
