// One hive file as HiveStore holds it: the bytes that were read, in a memory file of their
// own; refused when it is no hive, one whose header does not match its bins, or one Windows
// did not finish writing. Its keys are read from those bytes as hivex reads them, and only
// once a write is given to it is it opened through hivex: made writable only once a write
// changes it, and its bytes handed out, as read or as hivex commits them.
#pragma once

#include <hivex.h>

#include <cstddef>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "machine_files/hive/installation_registry.h"
#include "machine_files/io/printable.h"

namespace korvane::sim {

// The deepest key the registry of Windows allows.
inline constexpr std::size_t kMaxKeyDepth = 512;

// What hivex allocates, freed when it goes.
struct FreeHivexMemory {
  void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T>
using HivexMemory = std::unique_ptr<T, FreeHivexMemory>;

// A value's type as the hive stores it: Windows allows any 32-bit number, while hive_type
// names only 0 to 11, so the type is held in the enum's own integer and never read as one.
using HiveValueType = std::underlying_type_t<hive_type>;
inline hive_type* TypeOut(HiveValueType* type) { return reinterpret_cast<hive_type*>(type); }

struct HiveFile {
  HiveKind kind = HiveKind::kSystem;
  std::string path;
  std::size_t size = 0;
  hive_h* handle = nullptr;  // hivex's, from the first write given to the hive
  // What the writes did: a key added is no change when a later write takes it away again,
  // as a run does with a definition whose values did not all take.
  bool changed = false;
  std::unordered_set<hive_node_h> added;

  HiveFile(HiveKind hiveKind, std::string hivePath) : kind(hiveKind), path(std::move(hivePath)) {}
  ~HiveFile();
  HiveFile(const HiveFile&) = delete;
  HiveFile& operator=(const HiveFile&) = delete;

  // Reads the file, as every input is, with a limit, and has hivex check it; false with a
  // message when it is no hive, its header and bins disagree, its two sequence numbers
  // differ or hivex refuses it.
  bool Open(std::string* error);
  // Reads every key and value as the run may ask for them, keeping none: false with
  // "damaged hive: ..." when one cannot be read, a key is linked in twice or keys are nested
  // deeper than Windows allows. Then the run cannot come upon a key it cannot read.
  bool Check(std::string* error);

  // hivex for the writes: a hive it only reads it maps; one it may change it reads into memory
  // of its own, which costs a copy of the whole file. Only a write that changes the hive needs
  // the copy, made from the same memory file, so the keys keep their offsets. MakeWritable is
  // called before each change, which makes a committed hive out of date.
  bool OpenHivex(std::string* error);
  bool MakeWritable(std::string* error);
  // Commits the hive into memory, unless it is committed since its last change, and checks
  // that the result reads back as a hive; false with "damaged hive: ..." when hivex cannot
  // write it.
  bool Commit(std::string* error);
  bool Committed(const HiveStore::BytesUse& use, std::string* error) const;
  bool Original(const HiveStore::BytesUse& use, std::string* error) const;

  // hivex frees the cells a change takes away trusting that each is a cell in use, and
  // stops the whole process on its own assertion when one is not: a damaged hive can give
  // two values one cell, or a value list that is also a value. These say, from the bytes
  // that were read, whether every cell hivex will free is a cell in use, not freed before:
  // for a value set (hivex rewrites all the key's values) and for the key's deletion. False
  // with the reason; a key this run added or whose values hivex rewrote holds only cells
  // hivex made itself.
  bool CanReplaceValues(hive_node_h node, std::string* why);
  bool CanDeleteKey(hive_node_h node, std::string* why);
  // After hivex set a value: the key's values are in cells of hivex's own.
  void ValuesReplaced(hive_node_h node) { replaced_.insert(node); }

  // HKEY_LOCAL_MACHINE's key for the hive.
  const char* Label() const { return kind == HiveKind::kSystem ? "SYSTEM" : "SOFTWARE"; }
  // The key's path below the hive's root, for messages (Printable).
  std::string NodePath(hive_node_h node) const;
  // False with `message` after the file's name.
  bool Fail(const std::string& message, std::string* error) const;
  // The key at `names` (ASCII) below the root, or 0.
  hive_node_h FindKey(std::initializer_list<std::string> names) const;
  // A value of a key by its name (ASCII): its type and data; false when there is none.
  bool ReadValue(std::initializer_list<std::string> names, const char* valueName, HiveValueType* type,
                 std::string* data) const;
  // A text value of a key as ASCII text, up to its terminating zero.
  bool ReadText(std::initializer_list<std::string> names, const char* valueName, std::string* text) const;

  // The keys and values as hivex reads them, with its checks, from the bytes that were read:
  // false where hivex would fail. Offsets are hivex's node and value handles. These, Check,
  // NodePath and the lookups by name are in hive_keys.cpp.
  hive_node_h Root() const;
  bool Subkeys(hive_node_h node, std::vector<hive_node_h>* subkeys) const;
  bool Values(hive_node_h node, std::vector<hive_value_h>* values) const;
  // A key's or value's name as stored: Latin-1 bytes, or UTF-16LE when `utf16`.
  bool KeyName(hive_node_h node, std::string_view* name, bool* utf16) const;
  bool ValueName(hive_value_h value, std::string_view* name, bool* utf16) const;
  // A value's type and data; with `data` null only whether hivex can read them.
  bool ValueData(hive_value_h value, HiveValueType* type, std::string* data) const;

 private:
  int original_ = -1;   // the memory file with the bytes that were read
  int committed_ = -1;  // the memory file hivex committed to, until the next change
  bool writable_ = false;

  // The cells in use, as hivex sees them: one bit a 4 bytes of the file, set at the start of
  // each cell in use in the bins (walked from each bin's first cell by their sizes); hivex
  // follows an offset only to one of them.
  bool IsCell(std::size_t offset) const { return offset % 4 == 0 && offset < size && inUse_[offset / 4]; }
  bool IsRecord(std::size_t offset, std::string_view id, std::size_t fields) const;
  bool AddSubkeys(std::size_t list, std::size_t depth, std::size_t* lists, std::size_t count,
                  std::vector<hive_node_h>* subkeys) const;
  std::vector<bool> inUse_;
  // Lets the pages of the mapping go until they are read again (they stay in the memory file).
  void GiveBack() const;

  // The cells hivex frees, as it sees them: the cells in use, cleared where a change checked
  // above frees one. Made at the first check.
  void MapCells();
  // A cell hivex would free for one key that a damaged hive also uses for another (a value,
  // its data, a value or subkey list, a class name): freed, it would leave the other key
  // pointing into free space. Counted over every key of the hive as read.
  void CountUses();
  bool TakeCell(std::size_t offset, std::size_t* length);
  bool CanFreeValues(hive_node_h node, std::string* why);
  bool CanFreeKey(hive_node_h node, std::size_t depth, std::string* why);
  std::string_view bytes_;  // the original memory file, mapped
  std::vector<bool> cells_;
  std::vector<bool> shared_;  // set at the start of each cell used more than once, as cells_
  std::unordered_set<hive_node_h> replaced_;
};

}  // namespace korvane::sim
