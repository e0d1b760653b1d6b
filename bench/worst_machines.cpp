#include "worst_machines.h"

#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"

namespace korvane::bench {

namespace {

using platform::kHkeyDynData;
using platform::kHkeyLocalMachine;

constexpr char kXpEnum[] = "System\\CurrentControlSet\\Enum\\PCI\\";
constexpr char kXpClass[] = "System\\CurrentControlSet\\Control\\Class\\";
constexpr char kNetClass[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char kWin98Enum[] = "Enum\\PCI\\";
constexpr char kWin98Class[] = "System\\CurrentControlSet\\Services\\Class\\";
constexpr char kConfigManager[] = "Config Manager\\Enum\\";
constexpr int kSlots = 16;
constexpr int kConfigManagerEntries = 1024;

// Supported by its DEV_103B tag; the subsystem makes each name unique and keeps them sorted.
std::string DeviceKeyName(int index) { return Format("VEN_5AB1&DEV_103B&SUBSYS_%08X&REV_81", 0x10005AB1 + index * 0x10000); }

void AddDriverClassKey(sim::MemoryRegistry& registry, const std::string& path) {
  registry.PutString(kHkeyLocalMachine, path, "DriverDesc", "Tarvo GigaLink Desktop Adapter");
  registry.PutString(kHkeyLocalMachine, path + "\\PROSetNdi\\Params", "", "");
}

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

}  // namespace

void BuildXpWorstMachine(sim::MemoryRegistry& registry, int deviceKeys) {
  const int firstRecorded = deviceKeys > kRecordedAdapters ? deviceKeys - kRecordedAdapters : 0;
  int driverNumber = 0;
  for (int device = 0; device < deviceKeys; ++device) {
    sim::RegNode& deviceKey = registry.Ensure(kHkeyLocalMachine, kXpEnum + DeviceKeyName(device));
    for (int slot = 0; slot < kSlots; ++slot) {
      sim::RegNode& instance = deviceKey.EnsureSubkey(Format("4&%08X&0&%02X", 0x2A6B0000 + device, slot * 8));
      const std::string driver = Format("%s\\%04d", kNetClass, driverNumber++);
      instance.PutValue("Driver", platform::kRegSz, Bytes(driver + '\0'));
      instance.PutValue("DeviceDesc", platform::kRegSz, Bytes(Format("Tarvo GigaLink Adapter #%d", driverNumber) + '\0'));
      const bool recorded = device >= firstRecorded && slot == kSlots - 1;
      for (int subkey = 0; subkey < (recorded ? kSlots - 1 : kSlots); ++subkey)
        instance.EnsureSubkey(Format("A%02d", subkey));
      if (recorded) {
        instance.EnsureSubkey("Control");
        AddDriverClassKey(registry, kXpClass + driver);
      }
    }
  }
}

void BuildWin98WorstMachine(sim::MemoryRegistry& registry, int deviceKeys) {
  const int firstRecorded = deviceKeys > kRecordedAdapters ? deviceKeys - kRecordedAdapters : 0;
  const int recordedCount = deviceKeys - firstRecorded;
  // The recorded devices are confirmed by the last entries of the Config Manager list, one
  // each, so that every pass runs through nearly all 1024 indexes first.
  const int firstConfirming = kConfigManagerEntries - recordedCount;
  std::vector<std::string> confirming;
  for (int device = 0; device < deviceKeys; ++device) {
    sim::RegNode& deviceKey = registry.Ensure(kHkeyLocalMachine, kWin98Enum + DeviceKeyName(device));
    for (int slot = 0; slot + 1 < kSlots; ++slot) {
      sim::RegNode& instance = deviceKey.EnsureSubkey(Format("BUS_%02X&DEV_%02X&FUNC_00", device % 256, slot));
      instance.PutValue("Driver", platform::kRegSz, Bytes(std::string(1, '\0')));
      instance.PutValue("DeviceDesc", platform::kRegSz, Bytes(std::string("PCI bridge function") + '\0'));
    }
    const bool recorded = device >= firstRecorded;
    const std::string name = recorded ? Format("M%03d", device - firstRecorded) : Format("Q%04d", device);
    if (recorded) confirming.push_back("PCI\\" + DeviceKeyName(device) + "\\" + name);
    sim::RegNode& last = deviceKey.EnsureSubkey(name);
    const std::string driver = Format("Net\\%04d", device);
    last.PutValue("Driver", platform::kRegSz, Bytes(driver + '\0'));
    last.PutValue("DeviceDesc", platform::kRegSz, Bytes(Format("Tarvo GigaLink Adapter #%d", device) + '\0'));
    if (recorded) AddDriverClassKey(registry, kWin98Class + driver);
  }
  for (int entry = 0; entry < kConfigManagerEntries; ++entry) {
    const std::string path = kConfigManager + Format("C29A%04X", entry);
    registry.PutString(kHkeyDynData, path, "HardWareKey",
                       entry >= firstConfirming
                           ? confirming[static_cast<std::size_t>(entry - firstConfirming)]
                           : Format("PCI\\VEN_7C3D&DEV_%04X&SUBSYS_00000000&REV_00\\BUS_00&DEV_%02X&FUNC_00",
                                    0x8100 + entry, entry % 32));
    registry.Ensure(kHkeyDynData, path).PutValue("Status", platform::kRegBinary, {0x0B, 0x60, 0x00, 0x00});
  }
}

void BuildExportLikeMachine(sim::MemoryRegistry& registry, int units) {
  for (int unit = 0; unit < units; ++unit) {
    const std::string device = Format("VEN_7C3D&DEV_%04X&SUBSYS_%08X&REV_%02X", 0x8000 + unit / 64,
                                      0x11117C3D + unit % 64, unit % 16);
    const std::string base = Format("System\\CurrentControlSet\\Enum\\PCI\\%s\\3&%08X&0&%02X", device.c_str(),
                                    0x61AAA000 + unit, unit % 256);
    const std::string driver = Format("{4D36E97D-E325-11CE-BFC1-08002BE10318}\\%04d", unit);
    sim::RegNode& instance = registry.Ensure(kHkeyLocalMachine, base);
    instance.PutValue("DeviceDesc", platform::kRegSz, Bytes(Format("Tarvo PCI System Peripheral %d", unit) + '\0'));
    const std::string ids = "PCI\\" + device + '\0' + "PCI\\VEN_7C3D&DEV_8000&SUBSYS_11117C3D" + '\0' +
                            "PCI\\VEN_7C3D&DEV_8000" + '\0' + '\0';
    instance.PutValue("HardwareID", platform::kRegMultiSz, Bytes(ids));
    instance.PutValue("CompatibleIDs", platform::kRegMultiSz,
                      Bytes(std::string("PCI\\VEN_7C3D&DEV_8000&REV_00") + '\0' + "PCI\\CC_088000" + '\0' +
                            "PCI\\CC_0880" + '\0' + '\0'));
    instance.PutValue("ConfigFlags", platform::kRegDword, {0, 0, 0, 0});
    instance.PutValue("Capabilities", platform::kRegDword, {0x16, 0, 0, 0});
    instance.PutValue("Class", platform::kRegSz, Bytes(std::string("System") + '\0'));
    instance.PutValue("Driver", platform::kRegSz, Bytes(driver + '\0'));
    instance.PutValue("Mfg", platform::kRegSz, Bytes(std::string("Tarvo Systems") + '\0'));
    instance.PutValue("Service", platform::kRegSz, Bytes(std::string("tarvosp") + '\0'));
    instance.PutValue("LocationInformation", platform::kRegSz,
                      Bytes(Format("PCI bus %d, device %d, function 0", unit % 8, unit % 32) + '\0'));
    std::vector<std::uint8_t> blob(176);
    for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<std::uint8_t>(i * 7 + unit);
    instance.EnsureSubkey("LogConf").PutValue("BasicConfigVector", 0xA, blob);
    instance.EnsureSubkey("Device Parameters").PutValue("InterruptManagement", platform::kRegBinary,
                                                        {blob.begin(), blob.begin() + 48});
    instance.EnsureSubkey("Control");

    sim::RegNode& classKey = registry.Ensure(kHkeyLocalMachine, std::string(kXpClass) + driver);
    classKey.PutValue("InfPath", platform::kRegSz, Bytes(Format("oem%d.inf", unit % 40) + '\0'));
    classKey.PutValue("InfSection", platform::kRegSz, Bytes(std::string("TarvoSP_Install") + '\0'));
    classKey.PutValue("ProviderName", platform::kRegSz, Bytes(std::string("Tarvo Systems") + '\0'));
    classKey.PutValue("DriverDate", platform::kRegSz, Bytes(std::string("7-1-2001") + '\0'));
    classKey.PutValue("DriverVersion", platform::kRegSz, Bytes(std::string("5.1.2600.0") + '\0'));
    classKey.PutValue("MatchingDeviceId", platform::kRegSz, Bytes("pci\\" + device.substr(0, 17) + '\0'));
    classKey.PutValue("ImagePath", platform::kRegExpandSz,
                      Bytes(std::string("%SystemRoot%\\system32\\drivers\\tarvosp.sys") + '\0'));
    classKey.PutValue("DriverDateData", platform::kRegBinary, {0x00, 0x80, 0x8C, 0xA3, 0xC5, 0x94, 0xC6, 0x01});
  }
}

namespace {
std::size_t CountBelow(const sim::RegNode& node) {
  std::size_t count = 0;
  for (const sim::RegNode* subkey : node.Subkeys()) count += 1 + CountBelow(*subkey);
  return count;
}
}  // namespace

std::size_t CountKeys(const sim::MemoryRegistry& registry) {
  return CountBelow(registry.Root(kHkeyLocalMachine)) + CountBelow(registry.Root(kHkeyDynData));
}

}  // namespace korvane::bench
