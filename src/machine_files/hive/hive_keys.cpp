#include "machine_files/hive/hive_keys.h"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "machine_files/hive/hive_layout.h"
#include "machine_files/io/printable.h"
#include "machine_files/reg/reg_format.h"
#include "machine_files/reg/utf16_text.h"
#include "platform/sim/code_pages.h"

namespace korvane::sim {

using namespace hive_layout;

namespace {

// The records hivex reads, and their fields from the start of each cell.
constexpr std::size_t kRootAt = 0x24;
constexpr std::size_t kKeyFlags = 6;
constexpr std::size_t kKeyParent = 20;
constexpr std::size_t kKeyNameLength = 76;
constexpr std::size_t kKeyName = 80;  // where the fixed fields end
constexpr std::uint16_t kKeyNameLatin1 = 0x20;
constexpr std::size_t kValueNameLength = 6;
constexpr std::size_t kValueType = 16;
constexpr std::size_t kValueFlags = 20;
constexpr std::size_t kValueName = 24;
constexpr std::uint16_t kValueNameLatin1 = 0x01;
// hivex's own limits: what it reads of one key, and how deep an index of lists may go.
constexpr std::size_t kMaxSubkeys = 70000;
constexpr std::size_t kMaxValues = 110000;
constexpr std::size_t kMaxValueLength = 8000000;
constexpr std::size_t kMaxListDepth = 32;

// Whether hivex can read the name: iconv takes any Latin-1, and UTF-16LE only as whole code
// units with each surrogate in a pair.
bool NameReadable(std::string_view name, bool utf16) {
  if (!utf16) return true;
  if (name.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < name.size(); i += 2) {
    const unsigned unit = Read16(name, i);
    if (unit >= 0xDC00 && unit < 0xE000) return false;
    if (unit >= 0xD800 && unit < 0xDC00) {
      if (i + 2 >= name.size()) return false;
      const unsigned next = Read16(name, i + 2);
      if (next < 0xDC00 || next >= 0xE000) return false;
      i += 2;
    }
  }
  return true;
}

// Each character of a readable name up to its first NUL, where the text hivex gives ends.
template <typename Use>
void ForEachCharacter(std::string_view name, bool utf16, const Use& use) {
  for (std::size_t i = 0; i < name.size();) {
    char32_t c = 0;
    if (!utf16) {
      c = static_cast<unsigned char>(name[i++]);
    } else {
      c = Read16(name, i);
      i += 2;
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < name.size()) {
        c = 0x10000 + ((c - 0xD800) << 10) + (Read16(name, i) - 0xDC00);
        i += 2;
      }
    }
    if (c == 0) return;
    use(c);
  }
}

// The name as the ANSI functions of Windows NT give it: '?' for a character the code page lacks.
std::string NameToAnsi(std::string_view name, bool utf16, unsigned codePage) {
  std::string ansi;
  ForEachCharacter(name, utf16, [&](char32_t c) {
    if (c < 0x80)
      ansi.push_back(static_cast<char>(c));
    else if (!UnicodeToAnsiChar(codePage, c, &ansi))
      ansi.push_back('?');
  });
  return ansi;
}

std::string NameToUtf8(std::string_view name, bool utf16) {
  std::string utf8;
  ForEachCharacter(name, utf16, [&](char32_t c) { AppendUtf8(c, &utf8); });
  return utf8;
}

// hivex finds keys and values by names compared with ASCII letters folded.
bool SameAsciiName(std::string_view name, bool utf16, const std::string& wanted) {
  return strcasecmp(NameToUtf8(name, utf16).c_str(), wanted.c_str()) == 0;
}

}  // namespace

bool HiveFile::IsRecord(std::size_t offset, std::string_view id, std::size_t fields) const {
  // hivex reads a record's fields without asking whether its cell holds them; every hive
  // Windows writes does, and one that does not is read here as damaged.
  return IsCell(offset) && CellLength(bytes_, offset) >= fields && bytes_[offset + 4] == id[0] &&
         bytes_[offset + 5] == id[1];
}

hive_node_h HiveFile::Root() const { return std::size_t{Read32(bytes_, kRootAt)} + kBaseBlockSize; }

bool HiveFile::Subkeys(hive_node_h node, std::vector<hive_node_h>* subkeys) const {
  subkeys->clear();
  if (!IsRecord(node, "nk", kKeyName)) return false;
  const std::size_t count = Read32(bytes_, node + kKeySubkeyCount);
  if (count == 0) return true;
  const std::size_t list = std::size_t{Read32(bytes_, node + kKeySubkeyList)} + kBaseBlockSize;
  std::size_t lists = 0;
  return count <= kMaxSubkeys && IsCell(list) && AddSubkeys(list, 0, &lists, count, subkeys) &&
         subkeys->size() == count;
}

// A list of subkeys: "lf" and "lh" (offsets with hashes), "li" (offsets), or "ri" (an index
// of lists).
bool HiveFile::AddSubkeys(std::size_t list, std::size_t depth, std::size_t* lists, std::size_t count,
                          std::vector<hive_node_h>* subkeys) const {
  if (++*lists > kMaxSubkeys) return false;
  const std::string_view id = bytes_.substr(list + 4, 2);
  const std::size_t entries = Read16(bytes_, list + 6);
  const std::size_t step = id == "lf" || id == "lh" ? 8 : 4;
  if (id != "lf" && id != "lh" && id != "li" && id != "ri") return false;
  if (8 + entries * step > CellLength(bytes_, list)) return false;
  for (std::size_t i = 0; i < entries; ++i) {
    const std::size_t offset = std::size_t{Read32(bytes_, list + 8 + i * step)} + kBaseBlockSize;
    if (id == "ri") {
      if (!IsCell(offset) || depth + 1 > kMaxListDepth || !AddSubkeys(offset, depth + 1, lists, count, subkeys))
        return false;
      continue;
    }
    if (!IsRecord(offset, "nk", kKeyName) || subkeys->size() >= count) return false;
    subkeys->push_back(offset);
  }
  return true;
}

bool HiveFile::Values(hive_node_h node, std::vector<hive_value_h>* values) const {
  values->clear();
  if (!IsRecord(node, "nk", kKeyName)) return false;
  const std::size_t count = Read32(bytes_, node + kKeyValueCount);
  if (count == 0) return true;
  const std::size_t list = std::size_t{Read32(bytes_, node + kKeyValueList)} + kBaseBlockSize;
  if (count > kMaxValues || !IsCell(list) || 4 + count * 4 > CellLength(bytes_, list)) return false;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t value = std::size_t{Read32(bytes_, list + 4 + 4 * i)} + kBaseBlockSize;
    if (!IsCell(value)) return false;
    values->push_back(value);
  }
  return true;
}

bool HiveFile::KeyName(hive_node_h node, std::string_view* name, bool* utf16) const {
  if (!IsRecord(node, "nk", kKeyName)) return false;
  const std::size_t length = Read16(bytes_, node + kKeyNameLength);
  if (kKeyName + length > CellLength(bytes_, node)) return false;
  *name = bytes_.substr(node + kKeyName, length);
  *utf16 = (Read16(bytes_, node + kKeyFlags) & kKeyNameLatin1) == 0;
  return true;
}

bool HiveFile::ValueName(hive_value_h value, std::string_view* name, bool* utf16) const {
  if (!IsRecord(value, "vk", kValueName)) return false;
  const std::size_t length = Read16(bytes_, value + kValueNameLength);
  if (kValueName + length > CellLength(bytes_, value)) return false;
  *name = bytes_.substr(value + kValueName, length);
  *utf16 = (Read16(bytes_, value + kValueFlags) & kValueNameLatin1) == 0;
  return true;
}

// Held in the value itself (4 bytes at most), in a cell of its own, or, beyond what one
// cell holds, in the blocks a "db" record lists, each but its last 4 bytes.
bool HiveFile::ValueData(hive_value_h value, HiveValueType* type, std::string* data) const {
  if (!IsRecord(value, "vk", kValueName)) return false;
  *type = Read32(bytes_, value + kValueType);
  const std::uint32_t declared = Read32(bytes_, value + kValueDataLength);
  const std::size_t length = declared & ~kDataInline;
  if (length > kMaxValueLength || ((declared & kDataInline) != 0 && length > 4)) return false;
  if (data != nullptr) data->clear();
  if ((declared & kDataInline) != 0) {
    if (data != nullptr) data->assign(bytes_.substr(value + kValueDataOffset, length));
    return true;
  }
  const std::size_t cell = std::size_t{Read32(bytes_, value + kValueDataOffset)} + kBaseBlockSize;
  if (!IsCell(cell)) return false;
  if (length <= CellLength(bytes_, cell) - 4) {
    if (data != nullptr) data->assign(bytes_.substr(cell + 4, length));
    return true;
  }
  if (!IsRecord(cell, "db", 12)) return false;
  const std::size_t blocks = Read16(bytes_, cell + 6);
  const std::size_t list = std::size_t{Read32(bytes_, cell + 8)} + kBaseBlockSize;
  if (!IsCell(list) || 4 + blocks * 4 > CellLength(bytes_, list)) return false;
  for (std::size_t i = 0, at = 0; i < blocks; ++i) {
    const std::size_t block = std::size_t{Read32(bytes_, list + 4 + 4 * i)} + kBaseBlockSize;
    if (!IsCell(block)) return false;
    const std::size_t part = std::min(CellLength(bytes_, block) - 8, length - at);
    if (data != nullptr) data->append(bytes_.substr(block + 4, part));
    at += part;
  }
  return true;
}

bool HiveFile::Check(std::string* error) {
  struct Pending {
    hive_node_h node;
    std::size_t depth;
  };
  std::vector<Pending> pending{{Root(), 0}};
  // A damaged or hostile hive can link a key below itself; each key is read once. Keys are
  // cells, which start on multiples of 8.
  std::vector<bool> seen(size / 8 + 1);
  std::vector<hive_node_h> subkeys;
  std::vector<hive_value_h> values;
  std::string_view name;
  bool utf16 = false;
  HiveValueType type = 0;
  while (!pending.empty()) {
    const Pending at = pending.back();
    pending.pop_back();
    if (seen[at.node / 8]) return Fail("damaged hive: the key " + NodePath(at.node) + " is linked in twice", error);
    seen[at.node / 8] = true;
    if (!Values(at.node, &values))
      return Fail("damaged hive: the values of " + NodePath(at.node) + " cannot be read", error);
    for (const hive_value_h value : values)
      if (!ValueName(value, &name, &utf16) || !NameReadable(name, utf16) || !ValueData(value, &type, nullptr))
        return Fail("damaged hive: a value of " + NodePath(at.node) + " cannot be read", error);
    if (!Subkeys(at.node, &subkeys))
      return Fail("damaged hive: the subkeys of " + NodePath(at.node) + " cannot be read", error);
    if (!subkeys.empty() && at.depth + 1 > kMaxKeyDepth)
      return Fail("damaged hive: keys nested deeper than " + std::to_string(kMaxKeyDepth) + " levels under " +
                      NodePath(at.node),
                  error);
    for (const hive_node_h subkey : subkeys) {
      if (!KeyName(subkey, &name, &utf16) || !NameReadable(name, utf16))
        return Fail("damaged hive: a subkey name of " + NodePath(at.node) + " cannot be read", error);
      pending.push_back({subkey, at.depth + 1});
    }
  }
  // Checking read every page; the run reads a few of them again, and the rest need not stay.
  GiveBack();
  return true;
}

void HiveKeys::Fill(RegNode& node, std::uint64_t id) {
  // Keys whose names are one after conversion are one key, read in the order a walk of the
  // hive from its last subkey to its first meets them: the first one's values stand.
  std::vector<hive_node_h> sources;
  if (const auto same = sameNamed_.find(&node); same != sameNamed_.end()) {
    sources.assign(same->second.rbegin(), same->second.rend());
    sameNamed_.erase(same);
  }
  sources.push_back(id);
  for (const hive_node_h source : sources) FillFromKey(node, source);
}

void HiveKeys::FillFromKey(RegNode& node, hive_node_h key) {
  std::vector<hive_value_h> values;
  std::vector<hive_node_h> subkeys;
  std::string_view name;
  bool utf16 = false;
  // Check read every key this reads; only memory running out can fail here.
  if (!hive_.Values(key, &values) || !hive_.Subkeys(key, &subkeys)) {
    failure_ = hive_.path + ": cannot read the key " + hive_.NodePath(key);
    return;
  }
  std::string data, ansi;
  for (const hive_value_h value : values) {
    HiveValueType type = 0;
    if (!hive_.ValueName(value, &name, &utf16) || !hive_.ValueData(value, &type, &data)) {
      failure_ = hive_.path + ": cannot read a value of " + hive_.NodePath(key);
      return;
    }
    std::vector<std::uint8_t> bytes;
    if (IsTextType(type)) {
      ansi.clear();
      NarrowUtf16Data(data, codePage_, '?', &ansi);
      bytes.assign(ansi.begin(), ansi.end());
    } else {
      bytes.assign(data.begin(), data.end());
    }
    node.PutValue(NameToAnsi(name, utf16, codePage_), type, std::move(bytes));
  }
  const bool systemRoot = hive_.kind == HiveKind::kSystem && key == hive_.Root();
  std::unordered_set<const RegNode*> made;
  for (const hive_node_h subkey : subkeys) {
    if (!hive_.KeyName(subkey, &name, &utf16)) {
      failure_ = hive_.path + ": cannot read a subkey name of " + hive_.NodePath(key);
      return;
    }
    std::string ansiName = NameToAnsi(name, utf16, codePage_);
    if (systemRoot) {
      // On a running Windows CurrentControlSet is a link to the current control set, made
      // at start-up; that control set is seen here under its name only.
      if (EqualsFolded(ansiName, "CurrentControlSet")) continue;
      if (EqualsFolded(ansiName, currentControlSet_)) ansiName = "CurrentControlSet";
    }
    const std::size_t before = node.Subkeys().size();
    RegNode& child = node.AppendSubkey(ansiName);
    if (node.Subkeys().size() > before) {
      child.FillFrom(this, subkey);
      made.insert(&child);
    } else if (made.count(&child) != 0) {
      sameNamed_[&child].push_back(subkey);
    } else {
      FillFromKey(child, subkey);  // a key the registry held before the hive came
    }
  }
}

std::string HiveFile::NodePath(hive_node_h node) const {
  std::string names;
  std::string_view name;
  bool utf16 = false;
  const hive_node_h root = handle != nullptr ? hivex_root(handle) : Root();
  for (std::size_t depth = 0; node != 0 && node != root && depth < kMaxKeyDepth; ++depth) {
    std::string text = "?";
    if (handle != nullptr) {
      // The keys a write added are hivex's alone.
      HivexMemory<char> held(hivex_node_name(handle, node));
      if (held != nullptr) text = held.get();
      node = hivex_node_parent(handle, node);
    } else {
      if (KeyName(node, &name, &utf16) && NameReadable(name, utf16)) text = NameToUtf8(name, utf16);
      const std::size_t parent = std::size_t{Read32(bytes_, node + kKeyParent)} + kBaseBlockSize;
      node = IsRecord(node, "nk", kKeyName) && IsRecord(parent, "nk", kKeyName) ? parent : 0;
    }
    names = text + (names.empty() ? "" : "\\") + names;
  }
  return names.empty() ? std::string("the root key") : Printable(names);
}

hive_node_h HiveFile::FindKey(std::initializer_list<std::string> names) const {
  hive_node_h node = Root();
  std::vector<hive_node_h> subkeys;
  std::string_view name;
  bool utf16 = false;
  for (const std::string& wanted : names) {
    if (!Subkeys(node, &subkeys)) return 0;
    node = 0;
    for (const hive_node_h subkey : subkeys)
      if (KeyName(subkey, &name, &utf16) && NameReadable(name, utf16) && SameAsciiName(name, utf16, wanted)) {
        node = subkey;
        break;
      }
    if (node == 0) return 0;
  }
  return node;
}

bool HiveFile::ReadValue(std::initializer_list<std::string> names, const char* valueName, HiveValueType* type,
                         std::string* data) const {
  const hive_node_h node = FindKey(names);
  std::vector<hive_value_h> values;
  std::string_view name;
  bool utf16 = false;
  if (node == 0 || !Values(node, &values)) return false;
  for (const hive_value_h value : values)
    if (ValueName(value, &name, &utf16) && NameReadable(name, utf16) && SameAsciiName(name, utf16, valueName))
      return ValueData(value, type, data);
  return false;
}

bool HiveFile::ReadText(std::initializer_list<std::string> names, const char* valueName, std::string* text) const {
  HiveValueType type = 0;
  std::string data;
  if (!ReadValue(names, valueName, &type, &data) || !IsTextType(type)) return false;
  text->clear();
  NarrowUtf16Data(data, kCodePageWestern, '?', text);
  text->resize(std::strlen(text->c_str()));
  return true;
}

}  // namespace korvane::sim
