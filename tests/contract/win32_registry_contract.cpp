// The registry contracts on the Win32 registry service, run against the registry of the
// Windows (or Wine) the test program runs on.
#include "contract/registry_contract.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_system.h"

namespace korvane::contract {
namespace {

bool RunsOnNt() {
  platform::OsVersionInfo version{};
  version.size = sizeof version;
  return win32::Win32System().GetVersionEx(&version) && version.platformId == platform::kVerPlatformWin32Nt;
}

INSTANTIATE_TEST_SUITE_P(Win32, RegistryContract,
                         ::testing::Values(RegistrySubject{
                             "Win32Registry", [] { return std::make_unique<win32::Win32Registry>(); },
                             RunsOnNt()}),
                         SubjectName);

}  // namespace
}  // namespace korvane::contract
