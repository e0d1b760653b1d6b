// A key of the in-memory registry with its values and subkeys, as the registry keeps them:
// names compared without regard to letter case, subkeys in the order Windows enumerates them.
// A key read from a large file can leave its subkeys and values there until they are asked for.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvane::sim {

struct RegValue {
  std::string name;  // "" is the key's default value
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

class RegNode;

// Where a key's subkeys and values are, when they are read only once something asks for them.
class RegNodeSource {
 public:
  // Gives `node` the subkeys (AppendSubkey, each perhaps left to a source again) and values
  // (PutValue) of the entry `id` names; called once, before anything else reads or changes
  // the key.
  virtual void Fill(RegNode& node, std::uint64_t id) = 0;

 protected:
  ~RegNodeSource() = default;
};

class RegNode {
 public:
  explicit RegNode(std::string name) : name_(std::move(name)) {}

  // Leaves the key's subkeys and values to `source` (which must outlive the key), to be read
  // the first time any of them is asked for or changed.
  void FillFrom(RegNodeSource* source, std::uint64_t id) {
    source_ = source;
    sourceId_ = id;
  }

  const std::string& Name() const { return name_; }
  // Subkeys in the order Windows enumerates them: by upper-cased name, or as a hive keeps them.
  const std::vector<RegNode*>& Subkeys() const;
  RegNode* FindSubkey(std::string_view name) const;
  RegNode& EnsureSubkey(std::string_view name, bool* created = nullptr);
  // Adds the subkey last in the enumeration order whatever its name: a hive's keys come in the
  // order Windows sorted them, which folds letters beyond ASCII too. The key keeps that order;
  // a subkey made later goes before the first one whose upper-cased name follows its own.
  RegNode& AppendSubkey(std::string_view name);
  bool RemoveSubkey(std::string_view name);

  const std::vector<RegValue>& Values() const {
    Fill();
    return values_;
  }
  const RegValue* FindValue(std::string_view name) const;
  void PutValue(std::string_view name, std::uint32_t type, std::vector<std::uint8_t> data);
  bool RemoveValue(std::string_view name);

 private:
  static constexpr std::size_t kNoValue = static_cast<std::size_t>(-1);
  std::size_t ValuePosition(std::string_view name) const;
  void Fill() const {
    if (source_ != nullptr) FillNow();
  }
  void FillNow() const;

  std::string name_;
  // By upper-cased name; found by a name folded on the stack, which allocates nothing.
  std::map<std::string, std::unique_ptr<RegNode>, std::less<>> subkeys_;
  // Subkeys by upper-cased name again, kept once a key holds many: a walk looks among a
  // Config Manager key's thousand entries a thousand times over. A hash table in one block
  // (open addressing, linear probing; a null node is a free place) of views of subkeys_' keys.
  struct IndexEntry {
    std::string_view name;
    RegNode* node = nullptr;
  };
  void PlaceInIndex(std::string_view folded, RegNode* node) const;
  void IndexNewSubkey(std::string_view folded, RegNode* node);
  mutable std::vector<IndexEntry> subkeyIndex_;
  mutable bool subkeyIndexValid_ = false;
  mutable std::vector<RegNode*> order_;
  mutable bool orderValid_ = true;
  bool orderKept_ = false;  // order_ is as the subkeys were appended, never rebuilt
  std::vector<RegValue> values_;
  // Positions in values_ by upper-cased name, kept once a key holds many values (an export
  // can put thousands in one key, and a scan per value would make loading it quadratic).
  mutable std::unordered_map<std::string, std::size_t> valueIndex_;
  mutable bool indexValid_ = false;
  mutable RegNodeSource* source_ = nullptr;  // until the key is filled
  std::uint64_t sourceId_ = 0;
};

// Upper-cases the ASCII letters, as the registry folds names when it compares them.
std::string FoldName(std::string_view name);
// The two names are the same once folded.
bool EqualsFolded(std::string_view a, std::string_view b);

}  // namespace korvane::sim
