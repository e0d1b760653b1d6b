#include "platform/sim/reg_node.h"

#include <algorithm>

namespace korvane::sim {

namespace {

char FoldChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// A name folded for a lookup: on the stack up to the longest key name the registry allows, so
// that finding a key allocates nothing; a longer name (no key can have it) on the heap.
class FoldedName {
 public:
  explicit FoldedName(std::string_view name) {
    if (name.size() <= sizeof buffer_) {
      for (std::size_t i = 0; i < name.size(); ++i) buffer_[i] = FoldChar(name[i]);
      view_ = std::string_view(buffer_, name.size());
    } else {
      heap_ = FoldName(name);
      view_ = heap_;
    }
  }
  FoldedName(const FoldedName&) = delete;
  FoldedName& operator=(const FoldedName&) = delete;

  std::string_view View() const { return view_; }

 private:
  char buffer_[256];
  std::string heap_;
  std::string_view view_;
};

constexpr std::size_t kIndexedFrom = 16;  // a handful of values is faster to scan
// The ordered map finds one of a few dozen subkeys in a handful of comparisons; an index
// built for a key that a walk looks into a dozen times would cost more than it saves.
constexpr std::size_t kSubkeysIndexedFrom = 64;

}  // namespace

std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = FoldChar(c);
  return folded;
}

bool EqualsFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  return true;
}

void RegNode::FillNow() const {
  RegNodeSource* const source = source_;
  source_ = nullptr;  // the source's own AppendSubkey and PutValue find the key filled
  // Filling is what reading the key would have found there all along: no key is made const
  // whole, so the one that asks for its subkeys may be given them.
  source->Fill(const_cast<RegNode&>(*this), sourceId_);
}

const std::vector<RegNode*>& RegNode::Subkeys() const {
  Fill();
  if (!orderValid_) {
    order_.clear();
    order_.reserve(subkeys_.size());
    for (const auto& entry : subkeys_) order_.push_back(entry.second.get());
    orderValid_ = true;
  }
  return order_;
}

RegNode* RegNode::FindSubkey(std::string_view name) const {
  Fill();
  const FoldedName folded(name);
  if (subkeys_.size() < kSubkeysIndexedFrom) {
    const auto found = subkeys_.find(folded.View());
    return found == subkeys_.end() ? nullptr : found->second.get();
  }
  if (!subkeyIndexValid_) {
    // At most half full, so that a probe ends soon at a free place.
    std::size_t places = 32;
    while (places < subkeys_.size() * 2) places *= 2;
    subkeyIndex_.assign(places, IndexEntry{});
    for (const auto& entry : subkeys_) PlaceInIndex(entry.first, entry.second.get());
    subkeyIndexValid_ = true;
  }
  const std::size_t mask = subkeyIndex_.size() - 1;
  for (std::size_t at = std::hash<std::string_view>()(folded.View()) & mask;; at = (at + 1) & mask) {
    const IndexEntry& entry = subkeyIndex_[at];
    if (entry.node == nullptr) return nullptr;
    if (entry.name == folded.View()) return entry.node;
  }
}

void RegNode::PlaceInIndex(std::string_view folded, RegNode* node) const {
  const std::size_t mask = subkeyIndex_.size() - 1;
  std::size_t at = std::hash<std::string_view>()(folded) & mask;
  while (subkeyIndex_[at].node != nullptr) at = (at + 1) & mask;
  subkeyIndex_[at] = IndexEntry{folded, node};
}

void RegNode::IndexNewSubkey(std::string_view folded, RegNode* node) {
  if (!subkeyIndexValid_) return;
  if (subkeys_.size() * 2 > subkeyIndex_.size())
    subkeyIndexValid_ = false;  // rebuilt larger when next used
  else
    PlaceInIndex(folded, node);
}

RegNode& RegNode::EnsureSubkey(std::string_view name, bool* created) {
  Fill();
  auto [position, inserted] = subkeys_.try_emplace(FoldName(name));
  if (inserted) {
    position->second = std::make_unique<RegNode>(std::string(name));
    IndexNewSubkey(position->first, position->second.get());
    if (orderKept_) {
      const std::string& folded = position->first;
      const auto next = std::find_if(order_.begin(), order_.end(),
                                     [&](const RegNode* other) { return FoldName(other->Name()) > folded; });
      order_.insert(next, position->second.get());
    } else if (orderValid_) {
      // Keep the enumeration order current without a rebuild when names come in sorted.
      if (order_.empty() || FoldName(order_.back()->Name()) < position->first)
        order_.push_back(position->second.get());
      else
        orderValid_ = false;
    }
  }
  if (created != nullptr) *created = inserted;
  return *position->second;
}

RegNode& RegNode::AppendSubkey(std::string_view name) {
  Subkeys();  // fills the key too
  orderKept_ = true;
  auto [position, inserted] = subkeys_.try_emplace(FoldName(name));
  if (inserted) {
    position->second = std::make_unique<RegNode>(std::string(name));
    IndexNewSubkey(position->first, position->second.get());
    order_.push_back(position->second.get());
  }
  return *position->second;
}

bool RegNode::RemoveSubkey(std::string_view name) {
  Fill();
  const auto found = subkeys_.find(FoldedName(name).View());
  if (found == subkeys_.end()) return false;
  subkeyIndexValid_ = false;  // a free place would end the probes that passed it
  if (orderKept_) {
    order_.erase(std::find(order_.begin(), order_.end(), found->second.get()));
  } else {
    orderValid_ = false;
  }
  subkeys_.erase(found);
  return true;
}

std::size_t RegNode::ValuePosition(std::string_view name) const {
  Fill();
  if (values_.size() < kIndexedFrom) {
    for (std::size_t i = 0; i < values_.size(); ++i)
      if (EqualsFolded(values_[i].name, name)) return i;
    return kNoValue;
  }
  if (!indexValid_) {
    valueIndex_.clear();
    valueIndex_.reserve(values_.size() * 2);
    for (std::size_t i = 0; i < values_.size(); ++i) valueIndex_.emplace(FoldName(values_[i].name), i);
    indexValid_ = true;
  }
  const auto found = valueIndex_.find(FoldName(name));
  return found == valueIndex_.end() ? kNoValue : found->second;
}

const RegValue* RegNode::FindValue(std::string_view name) const {
  const std::size_t position = ValuePosition(name);
  return position == kNoValue ? nullptr : &values_[position];
}

void RegNode::PutValue(std::string_view name, std::uint32_t type, std::vector<std::uint8_t> data) {
  const std::size_t position = ValuePosition(name);
  if (position != kNoValue) {
    values_[position].type = type;
    values_[position].data = std::move(data);
    return;
  }
  values_.push_back(RegValue{std::string(name), type, std::move(data)});
  if (indexValid_) valueIndex_.emplace(FoldName(name), values_.size() - 1);
}

bool RegNode::RemoveValue(std::string_view name) {
  const std::size_t position = ValuePosition(name);
  if (position == kNoValue) return false;
  values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(position));
  // The values after it moved down one place.
  indexValid_ = false;
  valueIndex_.clear();
  return true;
}

}  // namespace korvane::sim
