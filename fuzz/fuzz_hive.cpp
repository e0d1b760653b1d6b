// Fuzz target for offline installations: the input is a SYSTEM hive file. Once it passes the
// hive's own checks, every key is read both from its bytes as the run reads them and through
// hivex, and the two must agree. It is then read as korvane-sim reads one, loaded, the utility runs on it as Windows XP, and the run's writes go
// back into the hive through hivex and are committed in memory, as --save gives them. Any
// bytes either pass each step or are refused with a message that names the file; a hive that
// took the writes must read back through the same checks, holding every value the run set.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "app/process_state.h"
#include "platform/framework.h"
#include "machine_files/hive/hive_file.h"
#include "machine_files/hive/installation_registry.h"
#include "machine_files/io/atomic_replace.h"
#include "platform/sim/memory_registry.h"
#include "platform/sim/reg_node.h"
#include "platform/sim/code_pages.h"
#include "platform/services.h"
#include "support/fakes.h"

namespace {

using namespace korvane;
using sim::HiveFile;
using sim::HiveKind;
using sim::HiveStore;
using sim::MemoryRegistry;
using sim::WriteRecord;

[[noreturn]] void Violation(const std::string& what) {
  std::fprintf(stderr, "fuzz_hive: %s\n", what.c_str());
  std::abort();
}

// The bytes as a file of their own, in memory: its /proc path is what korvane-sim is given.
class MemoryFile {
 public:
  explicit MemoryFile(std::string_view bytes) : fd_(memfd_create("fuzz-hive", MFD_CLOEXEC)) {
    if (fd_ < 0 || !sim::WriteAll(fd_, bytes)) Violation("cannot hold the input in a memory file");
  }
  ~MemoryFile() { close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  std::string Path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

// A step that failed: its message must say why, naming the file where it is about the file.
bool Refused(bool done, const std::string& error, const std::string& path, const char* step, bool namesFile = true) {
  if (done) return false;
  if (error.empty()) Violation(std::string(step) + " failed without a message");
  if (namesFile && error.compare(0, path.size(), path) != 0) Violation(std::string(step) + ": " + error);
  return true;
}

// Every value the run set, as the writes leave it: a key deleted later takes its values along.
using Key = std::pair<std::string, std::string>;
std::map<Key, const WriteRecord*> ValuesSet(const std::vector<WriteRecord>& writes) {
  std::map<Key, const WriteRecord*> set;
  for (const WriteRecord& write : writes) {
    if (write.status != platform::kErrorSuccess) continue;
    const std::string path = sim::FoldName(write.path);
    if (write.op == WriteRecord::Op::kSet) set[{path, sim::FoldName(write.name)}] = &write;
    if (write.op != WriteRecord::Op::kDelete) continue;
    for (auto at = set.begin(); at != set.end();)
      at = at->first.first == path || at->first.first.rfind(path + "\\", 0) == 0 ? set.erase(at) : std::next(at);
  }
  return set;
}

// A name as stored (Latin-1, or UTF-16LE) as hivex gives it: UTF-8, ending at its first NUL.
// Only called on names the reader found readable, whose surrogates come in pairs.
std::string NameAsHivex(std::string_view name, bool utf16) {
  std::string utf8;
  for (std::size_t i = 0; i < name.size();) {
    char32_t c = static_cast<unsigned char>(name[i++]);
    if (utf16) {
      c |= char32_t{static_cast<unsigned char>(name[i++])} << 8;
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < name.size()) {
        const char32_t low = static_cast<unsigned char>(name[i]) | char32_t{static_cast<unsigned char>(name[i + 1])} << 8;
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (c == 0) break;
    sim::AppendUtf8(c, &utf8);
  }
  return utf8;
}

std::string Hex(std::size_t number) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%zX", number);
  return text;
}

// hivex's list, ending at 0, as a vector; false when hivex gave none.
template <typename T>
bool HivexList(T* list, std::vector<T>* out) {
  out->clear();
  sim::HivexMemory<T> held(list);
  if (held == nullptr) return false;
  for (const T* at = held.get(); *at != 0; ++at) out->push_back(*at);
  return true;
}

// Reads every key from the root, once each, from the bytes and through hivex, and stops the
// process at the first thing the two read differently, or that one reads and the other cannot.
void CompareWithHivex(HiveFile& hive) {
  std::string error;
  if (!hive.OpenHivex(&error)) Violation("hivex cannot open a hive that passed the checks: " + error);
  hive_h* const h = hive.handle;
  if (hivex_root(h) != hive.Root())
    Violation("the root key is at " + Hex(hive.Root()) + ", hivex says " + Hex(hivex_root(h)));
  std::vector<hive_node_h> pending{hive.Root()}, ours, theirs;
  std::vector<hive_value_h> values, hivexValues;
  std::unordered_set<hive_node_h> seen;
  std::string_view name;
  bool utf16 = false;
  std::string data;
  while (!pending.empty()) {
    const hive_node_h node = pending.back();
    pending.pop_back();
    if (!seen.insert(node).second) continue;
    const std::string key = "the key at " + Hex(node);
    const bool read = hive.Subkeys(node, &ours), hivexRead = HivexList(hivex_node_children(h, node), &theirs);
    if (read != hivexRead)
      Violation("the subkeys of " + key + (read ? " read, and hivex cannot read them" : " do not read, and hivex reads them"));
    if (ours != theirs) Violation("the subkeys of " + key + " differ from hivex's");
    const bool valuesRead = hive.Values(node, &values), hivexValuesRead = HivexList(hivex_node_values(h, node), &hivexValues);
    if (valuesRead != hivexValuesRead)
      Violation("the values of " + key + (valuesRead ? " read, and hivex cannot read them" : " do not read, and hivex reads them"));
    if (values != hivexValues) Violation("the values of " + key + " differ from hivex's");
    for (const hive_value_h value : values) {
      const std::string what = "the value at " + Hex(value) + " of " + key;
      sim::HivexMemory<char> hivexName(hivex_value_key(h, value));
      const bool named = hive.ValueName(value, &name, &utf16);
      if (named != (hivexName != nullptr)) Violation("the name of " + what + (named ? " reads, not through hivex" : " does not read, and hivex reads it"));
      if (named && NameAsHivex(name, utf16) != hivexName.get())
        Violation("the name of " + what + " reads as \"" + NameAsHivex(name, utf16) + "\", hivex gives \"" + hivexName.get() + "\"");
      sim::HiveValueType type = 0;
      // Any 32-bit type, which hive_type does not name, is held as its integer.
      sim::HiveValueType hivexType = 0;
      std::size_t length = 0;
      sim::HivexMemory<char> hivexData(hivex_value_value(h, value, sim::TypeOut(&hivexType), &length));
      const bool hasData = hive.ValueData(value, &type, &data);
      if (hasData != (hivexData != nullptr))
        Violation("the data of " + what + (hasData ? " reads, and hivex cannot read it" : " does not read, and hivex reads it"));
      if (!hasData) continue;
      if (type != hivexType)
        Violation("the type of " + what + " is " + std::to_string(type) + ", hivex says " + std::to_string(hivexType));
      if (data != std::string_view(hivexData.get(), length))
        Violation("the data of " + what + " is " + std::to_string(data.size()) + " bytes, hivex gives " +
                  std::to_string(length) + (data.size() == length ? " other ones" : ""));
    }
    for (const hive_node_h subkey : ours) {
      sim::HivexMemory<char> hivexName(hivex_node_name(h, subkey));
      const bool named = hive.KeyName(subkey, &name, &utf16);
      if (named != (hivexName != nullptr))
        Violation("the name of the key at " + Hex(subkey) + (named ? " reads, not through hivex" : " does not read, and hivex reads it"));
      if (named && NameAsHivex(name, utf16) != hivexName.get())
        Violation("the name of the key at " + Hex(subkey) + " reads as \"" + NameAsHivex(name, utf16) + "\", hivex gives \"" +
                  hivexName.get() + "\"");
      pending.push_back(subkey);
    }
  }
}

// What hivex makes of a hive the reader's Check refused, read the same way from the root.
enum class HivexWalk {
  kRefuses,      // it fails too, or the hive links a key in twice or nests keys too deep
  kShortRecord,  // it reads a record whose cell is too short for its fields, which the reader refuses
  kReads,
};

HivexWalk WalkWithHivex(hive_h* h, std::string_view bytes) {
  const auto cell = [bytes](std::size_t at) {
    std::int32_t size = 0;
    std::memcpy(&size, bytes.data() + at, sizeof size);
    return size < 0 ? -static_cast<std::int64_t>(size) : std::int64_t{size};
  };
  const auto field = [bytes](std::size_t at) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return std::size_t{value};
  };
  constexpr std::int64_t kKeyFields = 80, kValueFields = 24, kBigDataFields = 12;
  struct Pending {
    hive_node_h node;
    std::size_t depth;
  };
  std::vector<Pending> pending{{hivex_root(h), 0}};
  std::unordered_set<hive_node_h> seen;
  std::vector<hive_node_h> children;
  std::vector<hive_value_h> values;
  while (!pending.empty()) {
    const Pending at = pending.back();
    pending.pop_back();
    if (at.node == 0 || !seen.insert(at.node).second) return HivexWalk::kRefuses;
    if (cell(at.node) < kKeyFields) return HivexWalk::kShortRecord;
    if (!HivexList(hivex_node_children(h, at.node), &children) || !HivexList(hivex_node_values(h, at.node), &values))
      return HivexWalk::kRefuses;
    for (const hive_value_h value : values) {
      sim::HivexMemory<char> name(hivex_value_key(h, value));
      if (name == nullptr) return HivexWalk::kRefuses;
      if (cell(value) < kValueFields) return HivexWalk::kShortRecord;
      sim::HiveValueType type = 0;
      std::size_t length = 0;
      sim::HivexMemory<char> data(hivex_value_value(h, value, sim::TypeOut(&type), &length));
      if (data == nullptr) return HivexWalk::kRefuses;
      // Big data: hivex reads the "db" record and its list of blocks without their cells' sizes.
      const std::size_t declared = field(value + 8);
      if ((declared & 0x80000000) != 0) continue;
      const std::size_t db = field(value + 12) + 0x1000;
      if (static_cast<std::int64_t>(declared) <= cell(db) - 4) continue;
      if (cell(db) < kBigDataFields) return HivexWalk::kShortRecord;
      const std::size_t blocks = field(db + 4) >> 16;
      if (cell(field(db + 8) + 0x1000) < static_cast<std::int64_t>(4 + 4 * blocks)) return HivexWalk::kShortRecord;
    }
    if (!children.empty() && at.depth + 1 > sim::kMaxKeyDepth) return HivexWalk::kRefuses;
    for (const hive_node_h child : children) {
      sim::HivexMemory<char> name(hivex_node_name(h, child));
      if (name == nullptr) return HivexWalk::kRefuses;
      if (cell(child) < kKeyFields) return HivexWalk::kShortRecord;
      pending.push_back({child, at.depth + 1});
    }
  }
  return HivexWalk::kReads;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const MemoryFile input(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string path = input.Path();
  std::string error;
  {
    // A hive the checks refuse must be one hivex does not read whole either, but for the
    // records hivex reads beyond their cells.
    HiveFile hive(HiveKind::kSystem, path);
    if (hive.Open(&error)) {
      if (hive.Check(&error)) {
        CompareWithHivex(hive);
      } else {
        std::string message;
        if (!hive.OpenHivex(&message)) Violation("hivex cannot open again a hive it opened: " + message);
        if (WalkWithHivex(hive.handle, std::string_view(reinterpret_cast<const char*>(data), size)) == HivexWalk::kReads)
          Violation("the checks refuse a hive hivex reads whole: " + error);
      }
    }
  }
  error.clear();
  HiveStore store;
  MemoryRegistry registry;
  registry.SetAnsiCodePage(sim::kCodePageWestern);
  if (Refused(store.Open({path, ""}, &error), error, path, "open")) return 0;
  if (Refused(store.Load(registry, &error), error, path, "load")) return 0;

  // Windows XP, English, code page 1252.
  test::ScriptedSystem system;
  system.violation = Violation;
  system.SetFamily(5);
  test::RecordingWindows windows;
  windows.violation = Violation;
  ResetProcessState();
  platform::Install({&registry, &system, &windows});
  platform::AfxWinMain();
  platform::Install({});
  ResetProcessState();

  // A write no hive can take is refused with a message, as is one hivex cannot make.
  if (Refused(store.Apply(registry.Writes(), sim::kCodePageWestern, &error), error, path, "apply", false)) return 0;
  if (!store.Changed(HiveKind::kSystem)) return 0;
  std::string committed;
  const auto keep = [&committed](std::string_view bytes, std::string*) {
    committed.assign(bytes);
    return true;
  };
  if (Refused(store.Commit(HiveKind::kSystem, keep, &error), error, path, "commit")) return 0;

  // What would replace the user's hive reads back, with every value the run set.
  const MemoryFile saved(committed);
  HiveStore again;
  MemoryRegistry reloaded;
  reloaded.SetAnsiCodePage(sim::kCodePageWestern);
  if (!again.Open({saved.Path(), ""}, &error) || !again.Load(reloaded, &error))
    Violation("the committed hive does not read back: " + error);
  for (const auto& [key, write] : ValuesSet(registry.Writes())) {
    // A name the code page lacks reads as '?', and may then stand for another key.
    if (key.first.find('?') != std::string::npos || key.second.find('?') != std::string::npos) continue;
    const sim::RegNode* node = reloaded.Find(platform::kHkeyLocalMachine, write->path);
    const sim::RegValue* value = node == nullptr ? nullptr : node->FindValue(write->name);
    if (value == nullptr || value->type != write->type || value->data != write->data)
      Violation("the value " + write->name + " of " + write->path + " did not reach the hive as set");
  }
  return 0;
}
