// The rules that tell, from a name read from the registry, whether an adapter is supported
// and which driver options provisioning resets for it.
#pragma once

#include "app/adapter_table.h"

namespace korvane {

// A PCI device key name (families 1, 2 and 5).
bool IsSupportedDeviceKey(const char* name);
// Fills the record's reset-name fields from its device key name (family 5).
void AssignResetNames(AdapterRecord& record, const char* name);
// A driver service name (family 4). Upper-cases `name` in place first.
bool IsSupportedServiceName(char* name);

}  // namespace korvane
