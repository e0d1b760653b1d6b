// The step of family 4 (NT 4.0): the installed network cards under classRoot, judged by
// their driver service name.

#include "app/adapter_table.h"
#include "app/platform_family.h"
#include "discovery/identification.h"
#include "discovery/walks.h"
#include "platform/services.h"

namespace korvane {

using platform::CloseIfOpen;

StepResult NetworkCardStep() {
  platform::RegistryService& registry = platform::Registry();
  const auto root = platform::kHkeyLocalMachine;

  bufferSize = kBufferSize;
  registry.OpenKey(root, classRoot.c_str(), platform::kKeyRead, &mainKey);
  const std::int32_t enumerated =
      registry.EnumKey(mainKey, static_cast<std::uint32_t>(cursor), nameBuf, &bufferSize);
  CloseIfOpen(mainKey);
  if (enumerated != platform::kErrorSuccess) return StepResult::kEndDiscovery;

  const KeyPath cardPath = classRoot + "\\" + nameBuf;
  registry.OpenKey(root, cardPath.c_str(), platform::kKeyRead, &mainKey);
  bufferSize = kBufferSize;
  const std::int32_t serviceRead = registry.QueryValue(mainKey, "ServiceName", &valueType, nameBuf, &bufferSize);
  CloseIfOpen(mainKey);
  if (serviceRead != platform::kErrorSuccess) return StepResult::kNext;

  AdapterRecord& record = adapterTable[adapterCount];
  if (IsSupportedServiceName(nameBuf)) {
    record.supported = 1;
    record.paramKeyPath = enumRoot + nameBuf + "\\Parameters";
    record.applied = 0;
  }

  // Cleared first, so that a card whose Title cannot be read is never listed under the
  // title of a card examined before it.
  record.description[0] = '\0';
  bufferSize = kBufferSize;
  registry.OpenKey(root, cardPath.c_str(), platform::kKeyRead, &mainKey);
  registry.QueryValue(mainKey, "Title", &valueType, record.description, &bufferSize);
  CloseIfOpen(mainKey);

  if (record.supported == 1) ++adapterCount;
  return StepResult::kNext;
}

}  // namespace korvane
