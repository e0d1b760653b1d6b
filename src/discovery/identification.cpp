#include "discovery/identification.h"

#include <cstring>

namespace korvane {

namespace {

constexpr const char* kChip1229 = "DEV_1229";
// Each of these makes a "DEV_1229" name supported, in this order: two revisions, then the
// subsystem tags.
constexpr const char* kChip1229Qualifiers[] = {
    "REV_08",   "REV_0C",   "5A3C7E21", "3E91B7D4", "C4D2A6F0",
    "72E5B9C3", "A81F4D6E", "6B0E93F7", "D3C8172A", "9F47E2B5",
};
// Each of these makes a name supported on its own.
constexpr const char* kStandaloneTags[] = {"DEV_2449", "4C6A1DE8", "DEV_103B"};
constexpr const char* kDriverNames[] = {"E100B", "E1000"};

constexpr char kIpsecResetName[] = "IpsecInlineReceiveEnabled";
constexpr char kPowerDownResetName[] = "ReduceSpeedOnPowerDown";

bool Contains(const char* text, const char* token) { return std::strstr(text, token) != nullptr; }

// _strupr in the C locale: letters a to z only.
void UpperCaseInPlace(char* text) {
  for (; *text != '\0'; ++text)
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
}

}  // namespace

bool IsSupportedDeviceKey(const char* name) {
  if (Contains(name, kChip1229))
    for (const char* qualifier : kChip1229Qualifiers)
      if (Contains(name, qualifier)) return true;
  for (const char* tag : kStandaloneTags)
    if (Contains(name, tag)) return true;
  return false;
}

void AssignResetNames(AdapterRecord& record, const char* name) {
  if (Contains(name, kChip1229) && Contains(name, "REV_0C"))
    std::memcpy(record.ipsecResetName, kIpsecResetName, sizeof kIpsecResetName);
  if (Contains(name, "4C6A1DE8"))
    std::memcpy(record.powerDownResetName, kPowerDownResetName, sizeof kPowerDownResetName);
}

bool IsSupportedServiceName(char* name) {
  UpperCaseInPlace(name);
  for (const char* driver : kDriverNames)
    if (Contains(name, driver)) return true;
  return false;
}

}  // namespace korvane
