// An offline Windows XP installation with a SYSTEM hive of about 30 MB, as a well-used machine
// has (two control sets full of USB devices, storage, services and device interfaces), and
// two supported network adapters: reading the hive files, checking every key of them (the
// in-memory registry then reads each key the first time the run asks for it), a whole run of
// the utility on them, and the run's writes given back and committed. The median times of
// several runs, and the peak memory of one in a process of its own.
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/adapter_table.h"
#include "app/process_state.h"
#include "app/run_sequence.h"
#include "bench_support.h"
#include "benches.h"
#include "hives/machine_hives.h"
#include "machine_files/hive/installation_registry.h"
#include "platform/services.h"
#include "worst_machines.h"

namespace korvane::bench {

namespace {

using platform::kHkeyLocalMachine;
using platform::kRegBinary;
using platform::kRegDword;
using platform::kRegExpandSz;
using platform::kRegMultiSz;
using platform::kRegSz;

constexpr std::size_t kTargetBytes = 30u * 1000 * 1000;
constexpr int kTimedRuns = 7;
constexpr int kInstancesPerDevice = 8;
// Spread wide enough that no key has more subkeys than such a machine's: hivex gives a key a
// new subkey list for every subkey it adds, and leaves the old one as free space, so long
// lists would make the file mostly slack.
constexpr int kClasses = 100;
constexpr int kInterfaceClasses = 160;

std::vector<std::uint8_t> Text(const std::string& text) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

std::vector<std::uint8_t> Dword(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::string ClassGuid(int index) { return Format("{%08X-E325-11CE-BFC1-08002BE10318}", 0x36FC9E60 + index); }
std::string InterfaceGuid(int index) { return Format("{%08X-B6BF-11D0-94F2-00A0C91EFB8B}", 0x53F56307 + index); }

// One device instance the way Plug and Play leaves it, with its driver key and the device
// interface that points back to it.
void AddDevice(sim::RegNode& controlSet, const std::string& bus, const std::string& device,
               const std::string& instance, int number) {
  const int classIndex = number % kClasses;
  const std::string driver = Format("%s\\%04d", ClassGuid(classIndex).c_str(), number / kClasses);
  sim::RegNode& key = controlSet.EnsureSubkey("Enum").EnsureSubkey(bus).EnsureSubkey(device).EnsureSubkey(instance);
  key.PutValue("DeviceDesc", kRegSz, Text(Format("Tarvo %s Device %d", bus.c_str(), number)));
  key.PutValue("HardwareID", kRegMultiSz, Text(bus + "\\" + device + '\0' + bus + "\\" + device.substr(0, 17) + '\0'));
  key.PutValue("CompatibleIDs", kRegMultiSz,
               Text(bus + "\\Class_08&SubClass_06&Prot_50" + '\0' + bus + "\\Class_08" + '\0'));
  key.PutValue("ConfigFlags", kRegDword, Dword(0));
  key.PutValue("Capabilities", kRegDword, Dword(0x94));
  key.PutValue("Class", kRegSz, Text("USB"));
  key.PutValue("ClassGUID", kRegSz, Text(ClassGuid(classIndex)));
  key.PutValue("Driver", kRegSz, Text(driver));
  key.PutValue("Mfg", kRegSz, Text("Tarvo Systems"));
  key.PutValue("Service", kRegSz, Text("tarvostor"));
  key.PutValue("LocationInformation", kRegSz, Text(Format("Port_#%04d.Hub_#%04d", number % 8, number % 5)));
  std::vector<std::uint8_t> blob(176);
  for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<std::uint8_t>(i * 7 + number);
  key.EnsureSubkey("LogConf").PutValue("BasicConfigVector", 0xA, blob);
  key.EnsureSubkey("Device Parameters")
      .PutValue("SymbolicName", kRegSz, Text("\\??\\" + bus + "#" + device + "#" + instance));
  key.EnsureSubkey("Control").PutValue("ActiveService", kRegSz, Text("tarvostor"));

  sim::RegNode& driverKey = controlSet.EnsureSubkey("Control")
                                   .EnsureSubkey("Class")
                                   .EnsureSubkey(ClassGuid(classIndex))
                                   .EnsureSubkey(Format("%04d", number / kClasses));
  driverKey.PutValue("InfPath", kRegSz, Text(Format("oem%d.inf", number % 40)));
  driverKey.PutValue("InfSection", kRegSz, Text("TarvoStor_Install"));
  driverKey.PutValue("ProviderName", kRegSz, Text("Tarvo Systems"));
  driverKey.PutValue("DriverDate", kRegSz, Text("7-1-2001"));
  driverKey.PutValue("DriverVersion", kRegSz, Text("5.1.2600.0"));
  driverKey.PutValue("MatchingDeviceId", kRegSz, Text(bus + "\\" + device.substr(0, 17)));
  driverKey.PutValue("DriverDateData", kRegBinary, {0x00, 0x80, 0x8C, 0xA3, 0xC5, 0x94, 0xC6, 0x01});

  const std::string interfaceGuid = InterfaceGuid(number % kInterfaceClasses);
  const std::string link = "##?#" + bus + "#" + device + "#" + instance + "#" + interfaceGuid;
  sim::RegNode& interface =
      controlSet.EnsureSubkey("Control").EnsureSubkey("DeviceClasses").EnsureSubkey(interfaceGuid).EnsureSubkey(link);
  interface.PutValue("DeviceInstance", kRegSz, Text(bus + "\\" + device + "\\" + instance));
  interface.EnsureSubkey("#").PutValue("SymbolicLink", kRegSz, Text("\\\\?\\" + link.substr(4)));
  interface.EnsureSubkey("Control").PutValue("Linked", kRegDword, Dword(0));
}

void AddService(sim::RegNode& controlSet, int number) {
  const std::string name = Format("tarvo%03d", number);
  sim::RegNode& key = controlSet.EnsureSubkey("Services").EnsureSubkey(name);
  key.PutValue("Type", kRegDword, Dword(number % 3 == 0 ? 0x20 : 1));
  key.PutValue("Start", kRegDword, Dword(number % 5));
  key.PutValue("ErrorControl", kRegDword, Dword(1));
  key.PutValue("ImagePath", kRegExpandSz, Text("%SystemRoot%\\system32\\drivers\\" + name + ".sys"));
  key.PutValue("DisplayName", kRegSz, Text(Format("Tarvo Service %d", number)));
  key.PutValue("Group", kRegSz, Text("Extended Base"));
  key.PutValue("Description", kRegSz,
               Text("Keeps the devices of this kind working; stopping it stops every device that depends on it."));
  key.EnsureSubkey("Security").PutValue("Security", kRegBinary, std::vector<std::uint8_t>(160, 0x11));
  if (number % 3 != 0) return;
  key.EnsureSubkey("Enum").PutValue("0", kRegSz, Text("Root\\LEGACY_" + name + "\\0000"));
  sim::RegNode& legacy =
      controlSet.EnsureSubkey("Enum").EnsureSubkey("Root").EnsureSubkey("LEGACY_" + name).EnsureSubkey("0000");
  legacy.PutValue("Service", kRegSz, Text(name));
  legacy.PutValue("Legacy", kRegDword, Dword(1));
  legacy.PutValue("DeviceDesc", kRegSz, Text(Format("Tarvo Service %d", number)));
}

// The two adapters Korvane prepares: Fenwick GigaLink 1000 cards (DEV_103B), their drivers
// keeping PROSetNdi\Params.
void AddAdapters(sim::RegNode& controlSet) {
  const std::string netClass = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
  for (int i = 0; i < 2; ++i) {
    sim::RegNode& instance = controlSet.EnsureSubkey("Enum")
                                    .EnsureSubkey("PCI")
                                    .EnsureSubkey(Format("VEN_5AB1&DEV_103B&SUBSYS_%08X&REV_81", 0x10005AB1 + i))
                                    .EnsureSubkey("4&2a77c1e&0&10F0");
    instance.PutValue("DeviceDesc", kRegSz, Text("Fenwick GigaLink 1000 Server Adapter"));
    instance.PutValue("Driver", kRegSz, Text(Format("%s\\%04d", netClass.c_str(), i)));
    instance.EnsureSubkey("Control");
    sim::RegNode& driver =
        controlSet.EnsureSubkey("Control").EnsureSubkey("Class").EnsureSubkey(netClass).EnsureSubkey(Format("%04d", i));
    driver.PutValue("DriverDesc", kRegSz, Text("Fenwick GigaLink 1000 Server Adapter"));
    driver.EnsureSubkey("PROSetNdi").EnsureSubkey("Params").PutValue("Version", kRegSz, Text("2.1"));
  }
}

// Both control sets alike, as after a good start: `devices` USB device keys and as many
// storage ones, 8 instances each; 360 services, every third a legacy device; 3000
// mounted-device entries.
void BuildInstallation(sim::MemoryRegistry& registry, int devices) {
  sim::RegNode& system = registry.Ensure(kHkeyLocalMachine, "SYSTEM");
  for (const char* name : {"CurrentControlSet", "ControlSet002"}) {
    sim::RegNode& controlSet = system.EnsureSubkey(name);
    int number = 0;
    for (int device = 0; device < devices; ++device)
      for (int instance = 0; instance < kInstancesPerDevice; ++instance, ++number) {
        AddDevice(controlSet, "USB", Format("VID_%04X&PID_%04X", 0x1A00 + device / 16, 0x2000 + device % 16),
                  Format("%08X%04X", 0x5E1A1000 + device, instance), number);
        AddDevice(controlSet, "USBSTOR", Format("Disk&Ven_Tarvo&Prod_Stick_%04d&Rev_1.00", device),
                  Format("%08X%04X&0", 0x7C3D0000 + device, instance), ++number);
      }
    for (int service = 0; service < 360; ++service) AddService(controlSet, service);
    AddAdapters(controlSet);
  }
  sim::RegNode& mounted = system.EnsureSubkey("MountedDevices");
  for (int i = 0; i < 3000; ++i) {
    std::vector<std::uint8_t> id(96);
    for (std::size_t b = 0; b < id.size(); ++b) id[b] = static_cast<std::uint8_t>(b * 13 + i);
    mounted.PutValue(Format("\\??\\Volume{%08x-1c2b-11d9-a1f3-806d6172696f}", i), kRegBinary, id);
  }
}

// The hives of the smallest installation of whole device keys whose SYSTEM hive reaches the
// target size, in DIR/system32/config.
bool WriteInstallation(const std::string& directory, std::size_t* systemBytes, std::size_t* softwareBytes,
                       std::size_t* keys) {
  const std::string config = directory + "/system32/config";
  const sim::HivePaths paths{config + "/SYSTEM", config + "/SOFTWARE"};
  std::filesystem::create_directories(config);
  const auto make = [&](int devices) {
    sim::MemoryRegistry registry;
    BuildInstallation(registry, devices);
    std::string error;
    if (!test::WriteHives(registry, {}, paths, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return false;
    }
    *keys = CountKeys(registry);
    *systemBytes = std::filesystem::file_size(paths.system);
    *softwareBytes = std::filesystem::file_size(paths.software);
    return true;
  };
  constexpr int kSample = 40;
  if (!make(kSample)) return false;
  int devices = static_cast<int>(kTargetBytes / (*systemBytes / kSample)) + 1;
  do {
    if (!make(devices)) return false;
    devices += devices / 50 + 1;
  } while (*systemBytes < kTargetBytes);
  return true;
}

struct Figures {
  bool ok = false;
  double open = 0, load = 0, run = 0, commit = 0, total = 0;
  int applied = 0;
  std::size_t committedBytes = 0;
  unsigned char checksum = 0;  // keeps the reading of the committed bytes
};

// What korvane-sim does with the hives, with the screen left out: open, read the defaults,
// check and load (the keys the run reads are read during the run), run, apply the writes and
// commit the changed hive.
Figures OneRun(const std::string& windows) {
  Figures figures;
  const double start = NowSeconds();
  sim::HivePaths paths;
  std::string error, os;
  std::uint16_t language = 0;
  unsigned codePage = 0;
  sim::HiveStore store;
  auto registry = std::make_unique<sim::MemoryRegistry>();
  if (!sim::FindInstallationHives(windows, &paths, &error) || !store.Open(paths, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return figures;
  }
  const double opened = NowSeconds();
  if (!store.ReadOsName(&os, &error) || !store.ReadLanguage(&language, &error) ||
      !store.ReadCodePage(&codePage, &error) || !store.Load(*registry, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return figures;
  }
  const double loaded = NowSeconds();
  test::ScriptedSystem system;
  system.SetFamily(5);
  test::RecordingWindows windowSystem;
  platform::Install({registry.get(), &system, &windowSystem});
  ResetProcessState();
  theApp.InitInstance();
  for (int i = 0; i < adapterCount && i < kTableSize; ++i) figures.applied += adapterTable[i].applied;
  platform::Install({});
  ResetProcessState();
  const double ran = NowSeconds();
  // Reads every byte, as saving them would.
  std::size_t bytes = 0;
  unsigned char sum = 0;
  const auto measure = [&bytes, &sum](std::string_view committed, std::string*) {
    bytes = committed.size();
    for (char c : committed) sum = static_cast<unsigned char>(sum ^ c);
    return true;
  };
  if (!store.Apply(registry->Writes(), codePage, &error) || !store.Commit(sim::HiveKind::kSystem, measure, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return figures;
  }
  const double committed = NowSeconds();
  figures.ok = true;
  figures.open = opened - start;
  figures.load = loaded - opened;
  figures.run = ran - loaded;
  figures.commit = committed - ran;
  figures.total = committed - start;
  figures.committedBytes = bytes;
  figures.checksum = sum;
  return figures;
}

}  // namespace

int WriteHives(const char* windows) {
  std::size_t systemBytes = 0, softwareBytes = 0, keys = 0;
  if (!WriteInstallation(windows, &systemBytes, &softwareBytes, &keys)) return 1;
  std::printf("SYSTEM hive %zu bytes, SOFTWARE hive %zu bytes, %zu keys\n", systemBytes, softwareBytes, keys);
  return 0;
}

int HiveChild(const char* windows) {
  const long before = StatusKilobytes("VmHWM");
  const Figures figures = OneRun(windows);
  if (!figures.ok) return 1;
  std::printf("%.6f %ld %ld\n", figures.total, before, StatusKilobytes("VmHWM"));
  return 0;
}

int HiveBench(const std::string& self) {
  // glibc raises its mmap threshold once a large block is freed, and the timed runs would then
  // reuse memory of the runs before them, where korvane-sim, one run a process, gets fresh
  // pages for hivex's copy of the hive: the threshold stays at its default.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  const ScratchFolder folder;
  if (folder.Path().empty()) return 1;
  const std::string windows = folder.Path() + "/WINDOWS";
  std::size_t systemBytes = 0, softwareBytes = 0, keys = 0;
  const double start = NowSeconds();
  if (!WriteInstallation(windows, &systemBytes, &softwareBytes, &keys)) return 1;
  std::printf(
      "installation: %s, SYSTEM hive %zu bytes (%.1f MiB), SOFTWARE %zu bytes, %zu keys, "
      "generated in %.1f s\n",
      windows.c_str(), systemBytes, systemBytes / 1048576.0, softwareBytes, keys, NowSeconds() - start);

  std::vector<double> opens, loads, runs, commits, totals;
  Figures last;
  for (int run = 0; run <= kTimedRuns; ++run) {  // run 0 warms the page cache
    last = OneRun(windows);
    if (!last.ok) return 1;
    if (run == 0) continue;
    opens.push_back(last.open);
    loads.push_back(last.load);
    runs.push_back(last.run);
    commits.push_back(last.commit);
    totals.push_back(last.total);
  }
  std::printf(
      "hives, median of %d: reading the files %.3f s, checking them %.3f s, the run %.3f s, "
      "applying and committing %.3f s; in all %.3f s (min %.3f, max %.3f); %d adapters set, "
      "committed SYSTEM hive %zu bytes\n",
      kTimedRuns, Median(opens), Median(loads), Median(runs), Median(commits), Median(totals),
      *std::min_element(totals.begin(), totals.end()), *std::max_element(totals.begin(), totals.end()), last.applied,
      last.committedBytes);

  std::string output;
  long maxRss = 0;
  double seconds = 0;
  long hwmBefore = 0, hwmAfter = 0;
  const bool measured = RunSelf(self, {"hive-child", windows}, &output, &maxRss) &&
                        std::sscanf(output.c_str(), "%lf %ld %ld", &seconds, &hwmBefore, &hwmAfter) == 3;
  if (measured)
    std::printf(
        "peak memory of one in its own process: VmHWM %.1f MiB above the %.1f MiB before it "
        "(ru_maxrss %.1f MiB in all); it took %.3f s\n",
        (hwmAfter - hwmBefore) / 1024.0, hwmBefore / 1024.0, maxRss / 1024.0, seconds);
  else
    std::fprintf(stderr, "the run in a child process failed\n");
  const bool asBuilt = last.applied == 2;
  if (!asBuilt) std::fprintf(stderr, "the run did not set the installation's 2 adapters\n");
  return measured && asBuilt ? 0 : 1;
}

}  // namespace korvane::bench
