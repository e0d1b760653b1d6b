// The machines the benchmarks run on: the worst legal walks of Windows XP and Windows 98,
// and a large registry shaped like a `regedit /e` export.
#pragma once

#include <cstddef>

#include "platform/sim/memory_registry.h"

namespace korvane::bench {

// The table holds 100 records; these machines confirm exactly that many adapters, all in the
// last device keys, so the walk visits every device key before the table is full.
inline constexpr int kRecordedAdapters = 100;

// XP: `deviceKeys` supported PCI device keys of 16 instances each; every instance has a
// Driver and 16 subkeys. Only the last instance of each of the last 100 device keys has its
// "Control" subkey, as the 16th; the others make the Control search run through all
// sixteen names in vain.
void BuildXpWorstMachine(sim::MemoryRegistry& registry, int deviceKeys);

// 98: `deviceKeys` supported PCI device keys whose first fifteen instances have an empty
// Driver, so the slot loop runs to the sixteenth, and 1024 Config Manager entries. The one
// entry that confirms anything is the last, for the last 100 device keys; for every other
// device key the pass runs through all 1024 entries without a match.
void BuildWin98WorstMachine(sim::MemoryRegistry& registry, int deviceKeys);

// `units` device instances with the values, subkeys and class keys an XP export holds for
// each (strings, dwords, REG_MULTI_SZ, REG_EXPAND_SZ, binary data over several lines).
void BuildExportLikeMachine(sim::MemoryRegistry& registry, int units);

// Keys under both roots, the roots themselves left out.
std::size_t CountKeys(const sim::MemoryRegistry& registry);

}  // namespace korvane::bench
