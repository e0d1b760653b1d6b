// The device-key step of families 1, 2 and 5: the PCI device keys under enumRoot, and the
// confirmation of an instance, by its "Control" subkey (family 5) or by the Config Manager
// entries under HKEY_DYN_DATA (families 1 and 2).
#include <cstring>

#include "app/adapter_table.h"
#include "app/platform_family.h"
#include "discovery/identification.h"
#include "discovery/walks.h"
#include "platform/services.h"

namespace korvane {

using platform::CloseIfOpen;

namespace {

using platform::kHkeyDynData;
using platform::kHkeyLocalMachine;
using platform::kKeyRead;
using platform::RegKey;

constexpr std::uint32_t kSlotCount = 16;
constexpr std::uint32_t kControlSearchCount = 16;
constexpr std::uint32_t kConfigManagerEntryCount = 1024;

void ReadValue(RegKey key, const char* name, char* buffer) {
  bufferSize = kBufferSize;
  platform::Registry().QueryValue(key, name, &valueType, buffer, &bufferSize);
}

std::int32_t ReadValueStatus(RegKey key, const char* name, char* buffer) {
  bufferSize = kBufferSize;
  return platform::Registry().QueryValue(key, name, &valueType, buffer, &bufferSize);
}

std::int32_t EnumSubkey(RegKey key, std::uint32_t index, char* buffer) {
  bufferSize = kBufferSize;
  return platform::Registry().EnumKey(key, index, buffer, &bufferSize);
}

void Open(RegKey root, const KeyPath& path, RegKey& key) {
  platform::Registry().OpenKey(root, path.c_str(), kKeyRead, &key);
}

// Whether a Driver value names a key below classRoot. Empty, or made of backslashes alone
// (which collapse to classRoot itself), it names none, and the class root is no adapter's
// parameter key.
bool NamesDriverKey(const char* driver) {
  for (; *driver != '\0'; ++driver)
    if (*driver != '\\') return true;
  return false;
}

bool HasControlSubkey(RegKey instanceKey) {
  for (std::uint32_t index = 0; index < kControlSearchCount; ++index) {
    valueBuf[0] = '\0';
    EnumSubkey(instanceKey, index, valueBuf);
    if (std::strcmp(valueBuf, "Control") == 0) return true;
  }
  return false;
}

void RecordFamily5Adapter(RegKey instanceKey) {
  valueBuf[0] = '\0';
  ReadValue(instanceKey, "Driver", valueBuf);
  if (!NamesDriverKey(valueBuf)) return;
  AdapterRecord& record = adapterTable[adapterCount];
  ReadValue(instanceKey, "DeviceDesc", record.description);
  record.paramKeyPath = classRoot + valueBuf;
  record.supported = 1;
  record.applied = 0;
  AssignResetNames(record, nameBuf);
  ++adapterCount;
}

// Family 5: every one of the first sixteen instances with a Driver and a "Control" subkey.
StepResult WalkFamily5Instances(const KeyPath& devicePath) {
  for (std::uint32_t slot = 0; slot < kSlotCount; ++slot) {
    instanceBuf[0] = '\0';
    valueBuf[0] = '\0';
    EnumSubkey(mainKey, slot, instanceBuf);
    // Past the last instance there is nothing to examine: opening the empty name would
    // examine the device key itself once more for every remaining slot.
    if (instanceBuf[0] == '\0') continue;
    RegKey instanceKey = platform::kNullKey;
    Open(kHkeyLocalMachine, devicePath + instanceBuf, instanceKey);
    ReadValue(instanceKey, "Driver", valueBuf);
    if (NamesDriverKey(valueBuf) && HasControlSubkey(instanceKey)) {
      if (adapterCount >= kTableSize) {
        CloseIfOpen(instanceKey);
        CloseIfOpen(mainKey);
        return StepResult::kEndDiscovery;
      }
      RecordFamily5Adapter(instanceKey);
    }
    CloseIfOpen(instanceKey);
  }
  CloseIfOpen(mainKey);
  return StepResult::kNext;
}

// Families 1 and 2: looks for an entry under configManagerRoot whose HardWareKey holds the
// instance's path below Enum\PCI (device key, backslash, instance), and records the adapter
// from the instance key at the first one. The instance's name alone is its bus location, which
// any card later put into the same slot shares: a card taken out would be confirmed by it.
void ConfigManagerPass(RegKey& instanceKey, const KeyPath& hardwarePath) {
  for (std::uint32_t entry = 0; entry < kConfigManagerEntryCount; ++entry) {
    Open(kHkeyDynData, configManagerRoot, dynKey);
    nameBuf[0] = '\0';
    EnumSubkey(dynKey, entry, nameBuf);
    CloseIfOpen(dynKey);
    Open(kHkeyDynData, configManagerRoot + nameBuf, dynKey);
    // An entry without HardWareKey is tested on its own name, still in nameBuf.
    ReadValue(dynKey, "HardWareKey", nameBuf);
    if (std::strstr(nameBuf, hardwarePath.c_str()) == nullptr) {
      nameBuf[0] = '\0';
      CloseIfOpen(dynKey);
      continue;
    }
    if (ReadValueStatus(instanceKey, "Driver", valueBuf) != platform::kErrorSuccess ||
        !NamesDriverKey(valueBuf)) {
      CloseIfOpen(dynKey);
      continue;
    }
    AdapterRecord& record = adapterTable[adapterCount];
    ReadValue(instanceKey, "DeviceDesc", record.description);
    record.paramKeyPath = classRoot + valueBuf;
    record.supported = 1;
    record.applied = 0;
    CloseIfOpen(instanceKey);
    ++adapterCount;
    CloseIfOpen(dynKey);
    return;
  }
  CloseIfOpen(instanceKey);
}

// Families 1 and 2: the first instance with a non-empty Driver, confirmed by the pass. A
// device key none of whose instances has one has nothing to confirm; past the last instance
// the name is empty, and the device key itself is no instance.
StepResult WalkFamily1And2Instances(const KeyPath& devicePath) {
  RegKey instanceKey = platform::kNullKey;
  bool found = false;
  for (std::uint32_t slot = 0; slot < kSlotCount && !found; ++slot) {
    CloseIfOpen(instanceKey);
    instanceBuf[0] = '\0';
    valueBuf[0] = '\0';
    EnumSubkey(mainKey, slot, instanceBuf);
    if (instanceBuf[0] == '\0') continue;
    Open(kHkeyLocalMachine, devicePath + instanceBuf, instanceKey);
    ReadValue(instanceKey, "Driver", valueBuf);
    found = NamesDriverKey(valueBuf);
  }
  if (found) {
    // nameBuf still holds the device key's name as enumerated; the pass reuses it.
    const KeyPath hardwarePath = KeyPath(nameBuf) + "\\" + instanceBuf;
    ConfigManagerPass(instanceKey, hardwarePath);
  } else {
    CloseIfOpen(instanceKey);
  }
  CloseIfOpen(mainKey);
  return StepResult::kNext;
}

}  // namespace

StepResult DeviceKeyStep() {
  Open(kHkeyLocalMachine, enumRoot, mainKey);
  instanceBuf[0] = '\0';
  nameBuf[0] = '\0';
  if (EnumSubkey(mainKey, static_cast<std::uint32_t>(cursor), nameBuf) != platform::kErrorSuccess) {
    CloseIfOpen(mainKey);
    return StepResult::kEndDiscovery;
  }
  if (!IsSupportedDeviceKey(nameBuf)) {
    CloseIfOpen(mainKey);
    return StepResult::kNext;
  }
  CloseIfOpen(mainKey);
  const KeyPath devicePath = enumRoot + nameBuf + "\\";
  Open(kHkeyLocalMachine, devicePath, mainKey);
  return OsFamily == kFamilyNt5 ? WalkFamily5Instances(devicePath) : WalkFamily1And2Instances(devicePath);
}

}  // namespace korvane
