// Fuzz target for a whole run: the input bytes describe a machine (its registry, its platform
// family, its user language, whether the user may change the registry, an injected registry
// fault); the utility runs on it in this process, and what it leaves behind is checked
// against the adapter table.
//
// Input encoding. Every byte string decodes: a byte past the end reads as 0.
//
//   byte 0, set-up:
//     bits 0-1  family: 0 Windows 95 (1, 4.0), 1 Windows 98/Me (1, 4.10 or 4.90), 2 NT 4.0
//               (2, 4.0), 3 Windows 2000/XP/2003 (2, 5.0, 5.1 or 5.2)
//     bit 2     user language Japanese (0x0411) instead of English (0x0409)
//     bit 3     the registry refuses write access (a user without the right to change it)
//     bits 4-5  the minor version within the family (98 or Me; 2000, XP or 2003)
//     bit 6     a registry fault: the next two bytes are the 1-based number of the call to
//               fail (little-endian), the byte after them selects its status
//   then commands until the input ends, each an opcode byte (taken modulo 10) and operands:
//     0 DEVICE  Str              a device key under the family's enumRoot; it becomes the
//                                current device, and there is no current instance
//     1 INSTANCE Str flags       an instance key under the current device (a device key is
//                                made first if there is none); flags bit 0: with a "Control"
//                                subkey; it becomes the current instance
//     2 VALUE   which Data       a value on the current instance (or on the current device
//                                when there is no instance); which % 7: Driver, Title,
//                                HardWareKey, ServiceName, DeviceDesc, NetworkAddress, or a
//                                name given by a further Str
//     3 SUBKEY  Str              a subkey of the current instance (or device)
//     4 CMENTRY Str flags [Data] a Config Manager entry under HKEY_DYN_DATA; flags bit 0:
//                                with HardWareKey, which is "PCI\<device>\<instance>" of the
//                                current ones when bit 1 is set, else the Data that follows
//     5 CARD    Str flags [Data] [Data]  a network card under NetworkCards; flags bit 0: with
//                                ServiceName (Data), bit 1: with Title (Data)
//     6 DRIVER  flags [Str] [Data]  the driver key of the last Driver text (families 1, 2,
//                                5: classRoot + the text) or of the last service name
//                                (family 4: enumRoot + the name + "\Parameters"); flags bit 3:
//                                the key named by a Str under classRoot instead; bit 0: with
//                                PROSetNdi\Params; bit 1: with Ndi\Params\NetworkAddress
//                                already there; bit 2: with a NetworkAddress value (Data)
//     7 MANY    count flags      count % 128 complete supported adapters of the family
//                                (device, instance, Config Manager entry, network card, driver
//                                key), with PROSetNdi\Params unless flags bit 0, and on every
//                                second one only when flags bit 1; only the first MANY of an
//                                input counts
//     8 UP                       no current instance: later values go to the device key
//     9 RAWKEY  flags Str Str Data  a value anywhere: flags bit 0 HKEY_DYN_DATA, else
//                                HKEY_LOCAL_MACHINE; the key path, the value name, the data
//
//   Str  := s, then by s: 0x00-0x7F the next s bytes as they are; 0x80-0xBF the text
//           kTokens[(s - 0x80) % count] followed by a further Str; 0xC0-0xFF a long text of
//           kLongLengths[(s - 0xC0) % count] bytes, the next Str repeated (or 'A's). Strs
//           nest four deep at most; below that a token or long text stands alone.
//   Data := t, then a Str: its type is kTypes[(t & 0x7F) % count]; the Str's bytes followed by
//           a terminating zero unless t bit 7 is set.
//
// Checked on every input (abort() on a violation): adapterCount within 0 to 100 and cursor
// equal to it; no key left open; every registry write made to a recorded adapter's parameter
// key or its Ndi\Params\NetworkAddress key, and of a value that belongs there; every text
// field of every record terminated inside its 1024 bytes; records beyond adapterCount
// untouched but for the description; the outcome, the dialog or notice chosen and the
// dialog's lists consistent with the table; and, without a fault or a refusal, the state of
// the registry the run leaves (NetworkAddress present, the definition key for every adapter
// set, none set without its driver's PROSetNdi\Params).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/adapter_table.h"
#include "app/platform_family.h"
#include "app/process_state.h"
#include "app/run_sequence.h"
#include "platform/framework.h"
#include "platform/sim/memory_registry.h"
#include "platform/services.h"
#include "support/fakes.h"
#include "ui/resource.h"
#include "ui/texts.h"

namespace {

using namespace korvane;
using sim::MemoryRegistry;
using sim::RegNode;
using sim::WriteRecord;
using platform::kHkeyDynData;
using platform::kHkeyLocalMachine;

[[noreturn]] void Violation(const std::string& what) {
  std::fprintf(stderr, "fuzz_run: %s\n", what.c_str());
  std::abort();
}

// --- The machine's roots, per family, as the machines keep them ---

struct FamilyLayout {
  std::uint32_t platformId;
  std::uint32_t major;
  std::uint32_t minors[3];
  const char* classRoot;
  const char* enumRoot;
};

constexpr char kCmRoot[] = "Config Manager\\Enum\\";
constexpr char kCardRoot[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
constexpr char kNetClass[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}\\";

const FamilyLayout kLayouts[4] = {
    {1, 4, {0, 0, 0}, "System\\CurrentControlSet\\Services\\Class\\", "Enum\\PCI\\"},
    {1, 4, {10, 90, 10}, "System\\CurrentControlSet\\Services\\Class\\", "Enum\\PCI\\"},
    {2, 4, {0, 0, 0}, kCardRoot, "SYSTEM\\CurrentControlSet\\Services\\"},
    {2, 5, {0, 1, 2}, "System\\CurrentControlSet\\Control\\Class\\", "System\\CurrentControlSet\\Enum\\PCI\\"},
};
constexpr int kFamilies[4] = {1, 2, 4, 5};

// --- Decoding ---

// Texts the identification rules look for, and the names the walks and provisioning use.
const char* const kTokens[] = {
    "VEN_5AB1&DEV_1229&SUBSYS_00015AB1&REV_08",
    "VEN_5AB1&DEV_1229&SUBSYS_00015AB1&REV_0C",
    "VEN_7C3D&DEV_1229&SUBSYS_5A3C7E21&REV_01",
    "VEN_7C3D&DEV_1229&SUBSYS_9F47E2B5&REV_05",
    "VEN_7C3D&DEV_1229&SUBSYS_00000000&REV_05",
    "VEN_5AB1&DEV_2449&SUBSYS_00117C3D&REV_03",
    "VEN_5AB1&DEV_103B&SUBSYS_4C6A1DE8&REV_0C",
    "VEN_7C3D&DEV_8100&SUBSYS_4C6A1DE8&REV_02",
    "VEN_7C3D&DEV_8100&SUBSYS_00000000&REV_08",
    "ven_5ab1&dev_1229&rev_08",
    "DEV_1229",
    "REV_0C",
    "4C6A1DE8",
    "3&61aaa01&0&40",
    "Control",
    "control",
    "LogConf",
    "E100B",
    "e1000",
    "E1000",
    "PCI\\",
    "\\",
    kNetClass,
    "0000",
    "Fenwick FastLink 100 Ethernet Adapter",
    "PROSetNdi\\Params",
    "Ndi\\Params\\NetworkAddress",
    "Driver",
};
constexpr std::uint32_t kLongLengths[] = {255, 256, 1022, 1023, 1024, 1025, 2048, 4100};
constexpr std::uint32_t kTypes[] = {
    platform::kRegSz,       platform::kRegSz,     platform::kRegExpandSz, platform::kRegMultiSz,
    platform::kRegBinary,   platform::kRegDword,  platform::kRegNone,     0xFFFF0001u,
};
constexpr std::int32_t kFaultStatuses[] = {
    platform::kErrorFileNotFound, platform::kErrorAccessDenied, platform::kErrorInvalidHandle,
    platform::kErrorMoreData,     platform::kErrorNoMoreItems,  31,
};

template <typename T, std::size_t N>
constexpr std::size_t Count(const T (&)[N]) {
  return N;
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

  std::string Str(int depth = 0) {
    const std::uint8_t s = Byte();
    if (s < 0x80) {
      const std::size_t n = std::min<std::size_t>(s, size_ - std::min(at_, size_));
      std::string text(reinterpret_cast<const char*>(data_ + at_), n);
      at_ += n;
      return text;
    }
    if (s < 0xC0) {
      std::string text = kTokens[(s - 0x80) % Count(kTokens)];
      if (depth < 4) text += Str(depth + 1);
      return text;
    }
    const std::uint32_t length = kLongLengths[(s - 0xC0) % Count(kLongLengths)];
    std::string unit = depth < 4 ? Str(depth + 1) : std::string();
    if (unit.empty()) unit = "A";
    std::string text;
    text.reserve(length);
    while (text.size() < length) text += unit;
    text.resize(length);
    return text;
  }

  // A value's type and bytes.
  std::pair<std::uint32_t, std::vector<std::uint8_t>> Data() {
    const std::uint8_t t = Byte();
    const std::string text = Str();
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    if ((t & 0x80) == 0) bytes.push_back(0);
    return {kTypes[(t & 0x7F) % Count(kTypes)], std::move(bytes)};
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The text of a value as a registry read would give it: up to its first zero.
std::string TextOf(const std::vector<std::uint8_t>& bytes) {
  const auto zero = std::find(bytes.begin(), bytes.end(), 0);
  return std::string(bytes.begin(), zero);
}

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

struct Machine {
  int family = 5;
  std::uint16_t languageId = 0x0409;
  std::uint32_t codePage = 1252;
  bool refuseWrite = false;
  std::uint64_t failCall = 0;
  std::int32_t failStatus = 0;
};

// Builds the registry of the machine the input describes.
class MachineBuilder {
 public:
  MachineBuilder(MemoryRegistry& registry, const FamilyLayout& layout, int family)
      : registry_(registry), layout_(layout), family_(family) {}

  void Run(Input& in) {
    int commands = 0;
    while (!in.Empty() && commands++ < 4096) Command(in);
  }

 private:
  std::string CurrentKey() {
    if (device_.empty()) Device(kTokens[0]);
    return std::string(layout_.enumRoot) + device_ + (instance_.empty() ? "" : "\\" + instance_);
  }

  void Device(const std::string& name) {
    device_ = name;
    instance_.clear();
    registry_.Ensure(kHkeyLocalMachine, std::string(layout_.enumRoot) + device_);
  }

  void Put(platform::RegKey root, const std::string& path, const std::string& name,
           std::pair<std::uint32_t, std::vector<std::uint8_t>> data) {
    registry_.Ensure(root, path).PutValue(name, data.first, std::move(data.second));
  }

  void PutText(platform::RegKey root, const std::string& path, const std::string& name, const std::string& text) {
    registry_.PutString(root, path, name, text);
  }

  // The driver key a Driver text or a service name leads to.
  std::string DriverKeyPath() const {
    if (family_ == 4) return std::string(layout_.enumRoot) + Upper(service_) + "\\Parameters";
    return std::string(layout_.classRoot) + driver_;
  }

  void DriverKey(const std::string& path, std::uint8_t flags, Input& in) {
    registry_.Ensure(kHkeyLocalMachine, path);
    if ((flags & 1) != 0) registry_.Ensure(kHkeyLocalMachine, path + "\\PROSetNdi\\Params");
    if ((flags & 2) != 0) registry_.Ensure(kHkeyLocalMachine, path + "\\Ndi\\Params\\NetworkAddress");
    if ((flags & 4) != 0) Put(kHkeyLocalMachine, path, "NetworkAddress", in.Data());
  }

  void Many(unsigned count, std::uint8_t flags) {
    for (unsigned i = 0; i < count; ++i) {
      char device[64], instance[16], driver[64], description[32], entry[16], card[8], service[16];
      std::snprintf(device, sizeof device, "VEN_7C3D&DEV_2449&SUBSYS_%08X&REV_01", 0x1000u + i);
      std::snprintf(instance, sizeof instance, "4&%x&0&%02X", 0x5ab1u + i, i);
      std::snprintf(driver, sizeof driver, "%s%04u", kNetClass, 100 + i);
      std::snprintf(description, sizeof description, "Fleetwire Adapter %u", i);
      std::snprintf(entry, sizeof entry, "C%07X", 0x2A00u + i);
      std::snprintf(card, sizeof card, "%u", 1000 + i);
      std::snprintf(service, sizeof service, "E1000%u", i);
      const std::string instancePath = std::string(layout_.enumRoot) + device + "\\" + instance;
      PutText(kHkeyLocalMachine, instancePath, "Driver", driver);
      PutText(kHkeyLocalMachine, instancePath, "DeviceDesc", description);
      registry_.Ensure(kHkeyLocalMachine, instancePath + "\\Control");
      PutText(kHkeyDynData, std::string(kCmRoot) + entry, "HardWareKey",
              std::string("PCI\\") + device + "\\" + instance);
      const std::string cardPath = std::string(kCardRoot) + "\\" + card;
      PutText(kHkeyLocalMachine, cardPath, "ServiceName", service);
      PutText(kHkeyLocalMachine, cardPath, "Title", description);
      const std::string driverPath = family_ == 4
                                         ? std::string(layout_.enumRoot) + service + "\\Parameters"
                                         : std::string(layout_.classRoot) + driver;
      registry_.Ensure(kHkeyLocalMachine, driverPath);
      const bool withParams = (flags & 1) == 0 && ((flags & 2) == 0 || i % 2 == 0);
      if (withParams) registry_.Ensure(kHkeyLocalMachine, driverPath + "\\PROSetNdi\\Params");
    }
  }

  void Command(Input& in) {
    switch (in.Byte() % 10) {
      case 0:
        Device(in.Str());
        break;
      case 1: {
        const std::string name = in.Str();
        const std::uint8_t flags = in.Byte();
        CurrentKey();  // makes a device key when there is none
        instance_ = name;
        const std::string path = CurrentKey();
        registry_.Ensure(kHkeyLocalMachine, path);
        if ((flags & 1) != 0) registry_.Ensure(kHkeyLocalMachine, path + "\\Control");
        break;
      }
      case 2: {
        static const char* const kNames[] = {"Driver", "Title", "HardWareKey", "ServiceName", "DeviceDesc",
                                             "NetworkAddress"};
        const std::uint8_t which = in.Byte() % 7;
        const std::string name = which < 6 ? kNames[which] : in.Str();
        auto data = in.Data();
        if (name == "Driver") driver_ = TextOf(data.second);
        if (name == "ServiceName") service_ = TextOf(data.second);
        Put(kHkeyLocalMachine, CurrentKey(), name, std::move(data));
        break;
      }
      case 3:
        registry_.Ensure(kHkeyLocalMachine, CurrentKey() + "\\" + in.Str());
        break;
      case 4: {
        const std::string path = kCmRoot + in.Str();
        const std::uint8_t flags = in.Byte();
        registry_.Ensure(kHkeyDynData, path);
        if ((flags & 1) == 0) break;
        if ((flags & 2) != 0)
          PutText(kHkeyDynData, path, "HardWareKey", "PCI\\" + device_ + "\\" + instance_);
        else
          Put(kHkeyDynData, path, "HardWareKey", in.Data());
        break;
      }
      case 5: {
        const std::string path = std::string(kCardRoot) + "\\" + in.Str();
        const std::uint8_t flags = in.Byte();
        registry_.Ensure(kHkeyLocalMachine, path);
        if ((flags & 1) != 0) {
          auto data = in.Data();
          service_ = TextOf(data.second);
          Put(kHkeyLocalMachine, path, "ServiceName", std::move(data));
        }
        if ((flags & 2) != 0) Put(kHkeyLocalMachine, path, "Title", in.Data());
        break;
      }
      case 6: {
        const std::uint8_t flags = in.Byte();
        const std::string path = (flags & 8) != 0 ? layout_.classRoot + in.Str() : DriverKeyPath();
        DriverKey(path, flags, in);
        break;
      }
      case 7: {
        const unsigned count = in.Byte() % 128u;
        const std::uint8_t flags = in.Byte();
        // Once per input: the same adapters again would only make the input slower.
        if (!many_) Many(count, flags);
        many_ = true;
        break;
      }
      case 8:
        instance_.clear();
        break;
      default: {
        const std::uint8_t flags = in.Byte();
        const std::string path = in.Str();
        const std::string name = in.Str();
        Put((flags & 1) != 0 ? kHkeyDynData : kHkeyLocalMachine, path, name, in.Data());
        break;
      }
    }
  }

  MemoryRegistry& registry_;
  const FamilyLayout& layout_;
  int family_;
  std::string device_;
  std::string instance_;
  std::string driver_;
  std::string service_;
  bool many_ = false;
};

// --- The platform the run sees ---

// Dialogs with the controls of their templates: the lower list only in the two that have it.
class TemplateWindows final : public test::RecordingWindows {
 public:
  TemplateWindows() { violation = Violation; }
  platform::WindowRef GetDlgItem(platform::WindowRef dialog, int id) override {
    const unsigned shown = templatesRun.empty() ? 0 : templatesRun.back();
    const bool both = shown == IDD_BOTH_EN || shown == IDD_BOTH_JA;
    return id == IDC_UPPER_LIST || (both && id == IDC_LOWER_LIST) || id == platform::kIdOk
               ? RecordingWindows::GetDlgItem(dialog, id)
               : 0;
  }
};

// --- Checks ---

std::string NormalPath(const std::string& path) {
  std::vector<std::string_view> parts;
  if (!sim::SplitRegistryPath(path, &parts)) return "\\" + sim::FoldName(path);
  std::string joined;
  for (std::string_view part : parts) {
    if (!joined.empty()) joined += '\\';
    joined += sim::FoldName(part);
  }
  return joined;
}

bool Terminated(const char (&field)[kBufferSize]) { return std::memchr(field, 0, kBufferSize) != nullptr; }

bool StartsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

bool EndsWith(const char* text, const char* suffix) {
  const std::size_t length = std::strlen(text), tail = std::strlen(suffix);
  return length >= tail && std::strcmp(text + length - tail, suffix) == 0;
}

constexpr char kIpsec[] = "IpsecInlineReceiveEnabled";
constexpr char kPowerDown[] = "ReduceSpeedOnPowerDown";
constexpr char kDefinitionSubkey[] = "\\Ndi\\Params\\NetworkAddress";

void CheckTable(const Machine& machine, const FamilyLayout& layout) {
  if (adapterCount < 0 || adapterCount > kTableSize)
    Violation("adapterCount " + std::to_string(adapterCount) + " outside 0 to 100");
  if (cursor != adapterCount)
    Violation("cursor " + std::to_string(cursor) + " is not adapterCount " + std::to_string(adapterCount));
  for (int index = 0; index < kTableSize; ++index) {
    const AdapterRecord& record = adapterTable[index];
    const std::string at = "record " + std::to_string(index) + ": ";
    if (!Terminated(record.description)) Violation(at + "description without its terminator");
    if (!Terminated(record.ipsecResetName)) Violation(at + "ipsecResetName without its terminator");
    if (!Terminated(record.powerDownResetName)) Violation(at + "powerDownResetName without its terminator");
    const bool found = index < adapterCount;
    if (!found) {
      // Discovery writes a record only when it takes it (the family-4 walk may leave the
      // title of a card it did not take in the next free record's description).
      if (record.supported != 0 || record.applied != 0 || record.paramKeyPath.c_str()[0] != '\0' ||
          record.ipsecResetName[0] != '\0' || record.powerDownResetName[0] != '\0')
        Violation(at + "beyond adapterCount, but written");
      continue;
    }
    if (record.supported != 1) Violation(at + "found, but supported is " + std::to_string(record.supported));
    if (record.applied > 1) Violation(at + "applied is " + std::to_string(record.applied));
    const char* path = record.paramKeyPath.c_str();
    if (machine.family == 4) {
      if (!StartsWith(path, layout.enumRoot) || !EndsWith(path, "\\Parameters"))
        Violation(at + "parameter key '" + path + "' is no service's Parameters key");
    } else if (!StartsWith(path, layout.classRoot) ||
               std::strspn(path + std::strlen(layout.classRoot), "\\") == std::strlen(path + std::strlen(layout.classRoot))) {
      Violation(at + "parameter key '" + path + "' is no key under the class root");
    }
    // Reset names are the exact texts or nothing, and only on family 5.
    const bool ipsecOk = record.ipsecResetName[0] == '\0' ||
                         (machine.family == 5 && std::strcmp(record.ipsecResetName, kIpsec) == 0);
    const bool powerOk = record.powerDownResetName[0] == '\0' ||
                         (machine.family == 5 && std::strcmp(record.powerDownResetName, kPowerDown) == 0);
    if (!ipsecOk || !powerOk) Violation(at + "a reset name that does not belong there");
  }
}

void CheckWrites(const MemoryRegistry& registry, const Machine& machine) {
  // Which keys the run may write, and what.
  enum Kind : unsigned { kParameterKey = 1, kDefinitionKey = 2 };
  std::map<std::string, unsigned> allowed;
  for (int index = 0; index < adapterCount; ++index) {
    const std::string path = adapterTable[index].paramKeyPath.c_str();
    allowed[NormalPath(path)] |= kParameterKey;
    allowed[NormalPath(path + kDefinitionSubkey)] |= kDefinitionKey;
  }
  static const char* const kDefinitionNames[] = {"",          "Type",      "Default",   "Base",
                                                 "ParamDesc", "UpperCase", "LimitText", "Optional"};
  for (const WriteRecord& write : registry.Writes()) {
    const char* const kinds[] = {"create of '", "set of '", "delete of '"};
    const std::string what = kinds[static_cast<int>(write.op)] + write.path + "'" +
                             (write.op == WriteRecord::Op::kSet ? " value '" + write.name + "'" : "");
    if (write.root != kHkeyLocalMachine) Violation(what + " not on an open HKEY_LOCAL_MACHINE key");
    const auto found = allowed.find(NormalPath(write.path));
    if (found == allowed.end()) Violation(what + ": no recorded adapter's key");
    if (write.op != WriteRecord::Op::kSet) {
      if ((found->second & kDefinitionKey) == 0) Violation(what + ": only the definition key is created or deleted");
      continue;
    }
    if (write.type != platform::kRegSz) Violation(what + " of type " + std::to_string(write.type));
    bool known = false;
    if ((found->second & kParameterKey) != 0)
      known = write.name == "NetworkAddress" ||
              (machine.family == 5 && (write.name == kIpsec || write.name == kPowerDown));
    if ((found->second & kDefinitionKey) != 0)
      for (const char* name : kDefinitionNames) known = known || write.name == name;
    if (!known) Violation(what + ": a value that does not belong in that key");
  }
}

const RegNode* FindKey(MemoryRegistry& registry, const std::string& path) {
  return registry.Find(kHkeyLocalMachine, path);
}

// Whatever failed, an adapter is set only with every value of the definition in place, and a
// definition this run created holds those eight and no other.
void CheckDefinitionsWhole(MemoryRegistry& registry) {
  static const char* const kDefinitionNames[] = {"", "Type", "Default", "Base", "ParamDesc", "UpperCase",
                                                 "LimitText", "Optional"};
  std::set<std::string> created;
  for (const WriteRecord& write : registry.Writes())
    if (write.op == WriteRecord::Op::kCreate && write.status == platform::kErrorSuccess &&
        write.disposition == platform::kCreatedNewKey)
      created.insert(NormalPath(write.path));
  for (int index = 0; index < adapterCount; ++index) {
    if (adapterTable[index].applied == 0) continue;
    const std::string path = std::string(adapterTable[index].paramKeyPath.c_str()) + kDefinitionSubkey;
    const std::string at = "record " + std::to_string(index) + " set ";
    const RegNode* definition = FindKey(registry, path);
    if (definition == nullptr) Violation(at + "without its definition key");
    for (const char* name : kDefinitionNames)
      if (definition->FindValue(name) == nullptr) Violation(at + "without the definition value '" + name + "'");
    if (created.count(NormalPath(path)) != 0 && definition->Values().size() != 8)
      Violation(at + "with more than the definition in the key it created");
  }
}

// The keys that may have come into being during the run, as parts of the adapters'
// definition keys (their Ndi, Ndi\Params and Ndi\Params\NetworkAddress).
std::set<std::string> KeysTheRunMayHaveMade() {
  std::set<std::string> made;
  for (int index = 0; index < adapterCount; ++index) {
    const std::string path = adapterTable[index].paramKeyPath.c_str();
    for (const char* tail : {"\\Ndi", "\\Ndi\\Params", kDefinitionSubkey}) made.insert(NormalPath(path + tail));
  }
  return made;
}

// Without a fault or a refusal the run's effect on the registry follows from the table.
void CheckProvisionedState(MemoryRegistry& registry, const Machine& machine) {
  if (machine.refuseWrite) {
    for (int index = 0; index < adapterCount; ++index)
      if (adapterTable[index].applied != 0) Violation("an adapter set although the registry refuses writes");
    for (const WriteRecord& write : registry.Writes())
      if (write.status == platform::kErrorSuccess) Violation("a write succeeded on a registry that refuses them");
    return;
  }
  if (machine.failCall != 0) return;
  const std::set<std::string> made = KeysTheRunMayHaveMade();
  for (int index = 0; index < adapterCount; ++index) {
    const AdapterRecord& record = adapterTable[index];
    const std::string path = record.paramKeyPath.c_str();
    const std::string at = "record " + std::to_string(index) + " ('" + path + "'): ";
    const bool driverParams = FindKey(registry, path + "\\PROSetNdi\\Params") != nullptr;
    if ((record.applied == 1) != driverParams)
      Violation(at + (driverParams ? "not set although its driver has PROSetNdi\\Params"
                                   : "set although its driver has no PROSetNdi\\Params"));
    if (record.applied == 1 && FindKey(registry, path + kDefinitionSubkey) == nullptr)
      Violation(at + "set, but it has no definition key");
    // A parameter key that did not exist when its turn came got no values.
    const RegNode* parameters = FindKey(registry, path);
    if (parameters == nullptr || made.count(NormalPath(path)) != 0) continue;
    const sim::RegValue* address = parameters->FindValue("NetworkAddress");
    if (address == nullptr || address->data.size() > kBufferSize)
      Violation(at + "no NetworkAddress that fits 1024 bytes after the run");
    if (machine.family == 5) {
      const bool ipsec = std::strcmp(record.ipsecResetName, kIpsec) == 0;
      const bool power = std::strcmp(record.powerDownResetName, kPowerDown) == 0;
      const sim::RegValue* ipsecValue = parameters->FindValue(kIpsec);
      const sim::RegValue* powerValue = parameters->FindValue(kPowerDown);
      const std::vector<std::uint8_t> zero = {'0', 0};
      if (ipsec && (ipsecValue == nullptr || ipsecValue->data != zero)) Violation(at + kIpsec + " not reset");
      if (power && (powerValue == nullptr || powerValue->data != zero)) Violation(at + kPowerDown + " not reset");
    }
  }
}

std::vector<std::string> Descriptions(bool applied) {
  std::vector<std::string> entries;
  for (int index = 0; index < adapterCount; ++index)
    if ((adapterTable[index].applied == 1) == applied) entries.emplace_back(adapterTable[index].description);
  return entries;
}

void CheckShown(const test::ScriptedSystem& system, const TemplateWindows& windows, const Machine& machine) {
  const bool japanese = machine.languageId == 0x0411 && machine.codePage == 932;
  if (adapterCount == 0) {
    if (!windows.templatesRun.empty()) Violation("a result dialog without adapters");
    if (system.messageBoxes.size() != 1 ||
        system.messageBoxes[0].first != (japanese ? kNoAdapterTextJapanese : kNoAdapterText))
      Violation("no single no-adapter notice for an empty table");
    return;
  }
  if (!system.messageBoxes.empty()) Violation("a notice although adapters were found");
  if (windows.templatesRun.size() != 1) Violation(std::to_string(windows.templatesRun.size()) + " result dialogs");
  if (windows.endCode != platform::kIdOk) Violation("the dialog was not ended with OK");

  const std::vector<std::string> applied = Descriptions(true);
  const std::vector<std::string> failed = Descriptions(false);
  int expectedOutcome = 0;
  unsigned expectedTemplate = 0;
  if (failed.empty()) {
    expectedOutcome = 2;
    expectedTemplate = japanese ? IDD_APPLIED_JA : IDD_APPLIED_EN;
  } else if (applied.empty()) {
    expectedOutcome = 3;
    expectedTemplate = japanese ? IDD_FAILED_JA : IDD_FAILED_EN;
  } else {
    expectedOutcome = 1;
    expectedTemplate = japanese ? IDD_BOTH_JA : IDD_BOTH_EN;
  }
  if (Outcome != expectedOutcome)
    Violation("Outcome " + std::to_string(Outcome) + " for " + std::to_string(applied.size()) + " set and " +
              std::to_string(failed.size()) + " failed adapters");
  if (windows.templatesRun[0] != expectedTemplate)
    Violation("dialog " + std::to_string(windows.templatesRun[0]) + " instead of " +
              std::to_string(expectedTemplate));

  const auto list = [&](int id) {
    const auto found = windows.lists.find(id);
    return found == windows.lists.end() ? std::vector<std::string>() : found->second;
  };
  const std::vector<std::string> upper = list(IDC_UPPER_LIST);
  const std::vector<std::string> lower = list(IDC_LOWER_LIST);
  const bool listsMatch = expectedOutcome == 1   ? upper == applied && lower == failed
                          : expectedOutcome == 2 ? upper == applied && lower.empty()
                                                 : upper == failed && lower.empty();
  if (!listsMatch) Violation("the dialog's lists differ from the table (by applied, in table order)");
}

bool DecodeMachine(Input& in, Machine* machine) {
  const std::uint8_t setup = in.Byte();
  machine->family = kFamilies[setup & 3];
  machine->languageId = (setup & 4) != 0 ? 0x0411 : 0x0409;
  // Mostly the code page the language implies; now and then the other one.
  machine->codePage = ((setup & 4) != 0) != ((setup & 0x20) != 0) ? 932 : 1252;
  machine->refuseWrite = (setup & 8) != 0;
  if ((setup & 0x40) != 0) {
    const std::uint8_t low = in.Byte();
    const std::uint8_t high = in.Byte();
    machine->failCall = static_cast<std::uint64_t>(low | (high << 8)) + 1;
    machine->failStatus = kFaultStatuses[in.Byte() % Count(kFaultStatuses)];
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  Machine machine;
  DecodeMachine(in, &machine);
  const int layoutIndex = static_cast<int>(std::find(std::begin(kFamilies), std::end(kFamilies), machine.family) -
                                           std::begin(kFamilies));
  const FamilyLayout& layout = kLayouts[layoutIndex];

  MemoryRegistry registry;
  MachineBuilder(registry, layout, machine.family).Run(in);
  registry.RefuseWriteAccess(machine.refuseWrite);
  if (machine.failCall != 0) registry.FailCall(registry.Calls() + machine.failCall, machine.failStatus);

  test::ScriptedSystem system;
  system.violation = Violation;
  system.SetVersion(layout.platformId, layout.major,
                    layout.minors[((data != nullptr && size > 0 ? data[0] : 0) >> 4) % 3]);
  system.languageId = machine.languageId;
  system.ansiCodePage = machine.codePage;
  TemplateWindows windows;

  ResetProcessState();
  platform::Install({&registry, &system, &windows});
  platform::AfxWinMain();
  platform::Install({});

  if (OsFamily != machine.family) Violation("family " + std::to_string(OsFamily) + " detected");
  if (registry.OpenHandles() != 0) Violation(std::to_string(registry.OpenHandles()) + " keys left open");
  CheckTable(machine, layout);
  CheckWrites(registry, machine);
  CheckDefinitionsWhole(registry);
  CheckProvisionedState(registry, machine);
  CheckShown(system, windows, machine);

  ResetProcessState();
  return 0;
}
