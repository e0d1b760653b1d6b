// The registry contracts on the in-memory registry of the simulated PC.
#include "contract/registry_contract.h"
#include "platform/sim/memory_registry.h"

namespace korvane::contract {
namespace {

INSTANTIATE_TEST_SUITE_P(Memory, RegistryContract,
                         ::testing::Values(RegistrySubject{
                             "MemoryRegistry", [] { return std::make_unique<sim::MemoryRegistry>(); },
                             /*countsFollowingZero=*/false}),
                         SubjectName);

}  // namespace
}  // namespace korvane::contract
