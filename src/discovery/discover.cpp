#include "discovery/discover.h"

#include "app/adapter_table.h"
#include "app/platform_family.h"
#include "discovery/walks.h"

namespace korvane {

namespace {
constexpr std::int32_t kMaxEnumerationIndex = 1024;
}

void DiscoverAdapters() {
  bufferSize = kBufferSize;
  adapterCount = 0;
  cursor = 0;
  while (cursor < kMaxEnumerationIndex) {
    // A full table ends discovery: no record outside it is ever written or read.
    if (adapterCount >= kTableSize) return;
    const StepResult result = OsFamily == kFamilyNt4 ? NetworkCardStep() : DeviceKeyStep();
    if (result == StepResult::kEndDiscovery) return;
    ++cursor;
  }
}

}  // namespace korvane
