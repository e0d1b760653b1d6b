// The keys of a hive file read into the in-memory registry as the run asks for them.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "machine_files/hive/hive_file.h"
#include "platform/sim/reg_node.h"

namespace korvane::sim {

// A registry's keys from one hive, each filled the first time the run asks for it: names and
// texts in the registry's ANSI code page, and in the SYSTEM hive `currentControlSet` seen as
// CurrentControlSet and CurrentControlSet itself not at all. The hive is checked first (Check).
class HiveKeys final : public RegNodeSource {
 public:
  HiveKeys(const HiveFile& hive, unsigned codePage, std::string currentControlSet)
      : hive_(hive), codePage_(codePage), currentControlSet_(std::move(currentControlSet)) {}

  // Leaves `root`, the registry's key for the hive, to be filled from the hive's root.
  void LoadInto(RegNode& root) { root.FillFrom(this, hive_.Root()); }
  void Fill(RegNode& node, std::uint64_t id) override;
  // Why a key could not be filled (only when memory ran out, the hive being checked), or "".
  const std::string& Failure() const { return failure_; }

 private:
  void FillFromKey(RegNode& node, hive_node_h key);

  const HiveFile& hive_;
  const unsigned codePage_;
  const std::string currentControlSet_;
  // The keys of one name after conversion beyond the first, read into the first one's key.
  std::unordered_map<const RegNode*, std::vector<hive_node_h>> sameNamed_;
  std::string failure_;
};

}  // namespace korvane::sim
