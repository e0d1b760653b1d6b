#include "provision/provision.h"

#include <cstring>

#include "app/adapter_table.h"
#include "app/platform_family.h"
#include "platform/services.h"

namespace korvane {

namespace {

using platform::kHkeyLocalMachine;
using platform::kKeyAllAccess;
using platform::kRegSz;

struct DefinitionValue {
  const char* name;  // null: the key's default value
  const char* data;
};

// The definition of the NetworkAddress parameter, in the order it is written. Each value is
// written with the length of its text, without the terminating zero.
constexpr DefinitionValue kNetworkAddressDefinition[] = {
    {nullptr, "0"},
    {"Type", "edit"},
    {"Default", "0"},
    {"Base", "16"},
    {"ParamDesc", "Locally Administered Address"},
    {"UpperCase", "1"},
    {"LimitText", "12"},
    {"Optional", "1"},
};

constexpr char kIpsecResetName[] = "IpsecInlineReceiveEnabled";
constexpr char kPowerDownResetName[] = "ReduceSpeedOnPowerDown";

std::int32_t SetText(const char* name, const char* data, std::uint32_t size) {
  return platform::Registry().SetValue(mainKey, name, kRegSz, data, size);
}

// The eight values into the definition key just created, in order; false at the first one
// that does not take.
bool WriteDefinition() {
  for (const DefinitionValue& value : kNetworkAddressDefinition)
    if (SetText(value.name, value.data, static_cast<std::uint32_t>(std::strlen(value.data))) !=
        platform::kErrorSuccess)
      return false;
  return true;
}

// An existing definition key may hold only some of the values: a run stopped between the
// create and the last write, a rollback delete that failed, or an installer that made the key
// alone. Each value it lacks is written as a new definition writes it; a value that is there,
// of whatever type or data, is left as it is, since it may be an administrator's own. True
// when every value is there or was written.
bool CompleteDefinition() {
  char definitionBuf[kBufferSize];
  for (const DefinitionValue& value : kNetworkAddressDefinition) {
    bufferSize = kBufferSize;
    const std::int32_t status =
        platform::Registry().QueryValue(mainKey, value.name, &valueType, definitionBuf, &bufferSize);
    if (status == platform::kErrorSuccess || status == platform::kErrorMoreData) continue;
    if (status != platform::kErrorFileNotFound) return false;
    if (SetText(value.name, value.data, static_cast<std::uint32_t>(std::strlen(value.data))) !=
        platform::kErrorSuccess)
      return false;
  }
  return true;
}

void CloseMainKey() { platform::CloseIfOpen(mainKey); }

// NetworkAddress, and on family 5 the driver options discovery chose for the adapter.
void PrepareParameterKey(const AdapterRecord& record) {
  char addressBuf[kBufferSize];
  bufferSize = kBufferSize;
  if (platform::Registry().QueryValue(mainKey, "NetworkAddress", &valueType, addressBuf, &bufferSize) !=
      platform::kErrorSuccess)
    SetText("NetworkAddress", "0", 1);
  if (OsFamily == kFamilyNt5) {
    // The resets carry the zero after the "0": two bytes.
    if (std::strcmp(record.ipsecResetName, kIpsecResetName) == 0) SetText(kIpsecResetName, "0", 2);
    if (std::strcmp(record.powerDownResetName, kPowerDownResetName) == 0) SetText(kPowerDownResetName, "0", 2);
  }
}

void ProvisionRecord(AdapterRecord& record) {
  platform::RegistryService& registry = platform::Registry();
  if (registry.OpenKey(kHkeyLocalMachine, record.paramKeyPath.c_str(), kKeyAllAccess, &mainKey) ==
      platform::kErrorSuccess) {
    PrepareParameterKey(record);
    CloseMainKey();
  }

  // Only drivers that keep their own PROSetNdi\Params take the definition.
  const KeyPath driverParams = record.paramKeyPath + "\\PROSetNdi\\Params";
  if (registry.OpenKey(kHkeyLocalMachine, driverParams.c_str(), kKeyAllAccess, &mainKey) !=
      platform::kErrorSuccess)
    return;
  CloseMainKey();

  const KeyPath definitionPath = record.paramKeyPath + "\\Ndi\\Params\\NetworkAddress";
  std::uint32_t disposition = 0;
  registry.CreateKey(kHkeyLocalMachine, definitionPath.c_str(), kKeyAllAccess, &mainKey, &disposition);
  if (disposition == platform::kCreatedNewKey) {
    const bool whole = WriteDefinition();
    CloseMainKey();
    if (whole) {
      record.applied = 1;
      return;
    }
    // A definition without all its values would stand for good: every later run finds the
    // key and takes it for done. Taken away again, the key is made afresh by the next run.
    registry.DeleteKey(kHkeyLocalMachine, definitionPath.c_str());
    return;
  }
  // This run did not make an existing key, so a fill-in that fails leaves it in place.
  if (disposition == platform::kOpenedExistingKey && CompleteDefinition()) record.applied = 1;
  CloseMainKey();
}

}  // namespace

void ProvisionAdapters() {
  for (cursor = 0; cursor < adapterCount; ++cursor) {
    AdapterRecord& record = adapterTable[cursor];
    if (record.supported != 1 || record.applied != 0) continue;
    ProvisionRecord(record);
  }
}

}  // namespace korvane
