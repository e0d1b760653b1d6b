// The registry contracts on the in-memory registry of the simulated PC: on its own, and with
// HKEY_LOCAL_MACHINE from an offline installation's hives, each key read the first time it is
// asked for.
#include <stdlib.h>

#include <filesystem>

#include "contract/registry_contract.h"
#include "hives/machine_hives.h"
#include "machine_files/hive/installation_registry.h"
#include "platform/sim/memory_registry.h"

namespace korvane::contract {
namespace {

using platform::RegKey;

// Hives made once for the process, whose SOFTWARE already holds the key the scratch keys go
// under, with a subkey and a value: every scratch key is made in a key filled from the hive.
class ContractHives {
 public:
  ContractHives() {
    char pattern[] = "/tmp/korvane-contract-hives-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    folder_ = pattern;
    paths_ = {folder_ + "/SYSTEM", folder_ + "/SOFTWARE"};
    sim::MemoryRegistry machine;
    machine.PutString(platform::kHkeyLocalMachine, "SOFTWARE\\KorvaneContractTest\\Earlier", "Left", "by a run before");
    machine.PutString(platform::kHkeyLocalMachine, "SOFTWARE\\KorvaneContractTest", "Kept", "yes");
    if (std::string error; !test::WriteHives(machine, {}, paths_, &error)) paths_ = {};
  }
  ~ContractHives() {
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }

  const sim::HivePaths& Paths() const { return paths_; }

 private:
  std::string folder_;
  sim::HivePaths paths_;
};

// The registry with the store its keys are read from, which outlives them.
class HiveBackedRegistry final : public platform::RegistryService {
 public:
  explicit HiveBackedRegistry(const sim::HivePaths& paths) {
    std::string error;
    loaded_ = store_.Open(paths, &error) && store_.Load(registry_, &error);
  }
  bool Loaded() const { return loaded_; }

  std::int32_t OpenKey(RegKey key, const char* path, std::uint32_t access, RegKey* result) override {
    return registry_.OpenKey(key, path, access, result);
  }
  std::int32_t EnumKey(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameSize) override {
    return registry_.EnumKey(key, index, name, nameSize);
  }
  std::int32_t QueryValue(RegKey key, const char* valueName, std::uint32_t* type, char* data,
                          std::uint32_t* dataSize) override {
    return registry_.QueryValue(key, valueName, type, data, dataSize);
  }
  std::int32_t CreateKey(RegKey key, const char* path, std::uint32_t access, RegKey* result,
                         std::uint32_t* disposition) override {
    return registry_.CreateKey(key, path, access, result, disposition);
  }
  std::int32_t SetValue(RegKey key, const char* valueName, std::uint32_t type, const void* data,
                        std::uint32_t size) override {
    return registry_.SetValue(key, valueName, type, data, size);
  }
  std::int32_t DeleteKey(RegKey key, const char* path) override { return registry_.DeleteKey(key, path); }
  std::int32_t CloseKey(RegKey key) override { return registry_.CloseKey(key); }

 private:
  sim::HiveStore store_;
  sim::MemoryRegistry registry_;
  bool loaded_ = false;
};

std::unique_ptr<platform::RegistryService> MakeHiveBacked() {
  static const ContractHives hives;
  auto registry = std::make_unique<HiveBackedRegistry>(hives.Paths());
  if (!registry->Loaded()) return nullptr;
  return registry;
}

INSTANTIATE_TEST_SUITE_P(Memory, RegistryContract,
                         ::testing::Values(RegistrySubject{"MemoryRegistry",
                                                           [] { return std::make_unique<sim::MemoryRegistry>(); },
                                                           /*countsFollowingZero=*/false},
                                           RegistrySubject{"MemoryRegistryFromHives", MakeHiveBacked,
                                                           /*countsFollowingZero=*/false}),
                         SubjectName);

}  // namespace
}  // namespace korvane::contract
