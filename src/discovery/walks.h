// The per-family steps of discovery, run by DiscoverAdapters once for each index `cursor`.
#pragma once

namespace korvane {

enum class StepResult { kNext, kEndDiscovery };

// Families 1, 2 and 5: the PCI device key at index `cursor`.
StepResult DeviceKeyStep();
// Family 4: the installed network card at index `cursor`.
StepResult NetworkCardStep();

}  // namespace korvane
