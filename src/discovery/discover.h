// Discovery: fills the adapter table with the machine's supported adapters, by the walk of
// the running platform family.
#pragma once

namespace korvane {

void DiscoverAdapters();

}  // namespace korvane
