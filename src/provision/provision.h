// Provisioning: writes the NetworkAddress parameter definition into the driver parameter key
// of every adapter found, and marks those whose definition is in place as applied.
#pragma once

namespace korvane {

void ProvisionAdapters();

}  // namespace korvane
