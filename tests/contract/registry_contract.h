// The registry service's contracts as tests, written once and run against every
// implementation: each implementation instantiates RegistryContract with a subject of its own.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace korvane::contract {

struct RegistrySubject {
  const char* name;  // the instantiation's name in the test names
  std::function<std::unique_ptr<platform::RegistryService>()> make;
  // NT-family Windows stores a REG_SZ one byte longer than asked when the byte after the
  // caller's data is a zero (it takes the data for a text whose terminator was not counted).
  bool countsFollowingZero = false;
};

// For INSTANTIATE_TEST_SUITE_P: names each test after its subject.
std::string SubjectName(const ::testing::TestParamInfo<RegistrySubject>& info);
inline void PrintTo(const RegistrySubject& subject, std::ostream* out) { *out << subject.name; }

class RegistryContract : public ::testing::TestWithParam<RegistrySubject> {
 protected:
  void SetUp() override;
  void TearDown() override;

  platform::RegistryService& registry() { return *registry_; }

  // Creates `path` under this test's scratch key; the handle is closed after the test.
  platform::RegKey Create(const std::string& path);
  // Creates `path` under `parent`, a handle the test closes itself; returns the disposition,
  // 0 when the create failed.
  std::uint32_t CreateUnder(platform::RegKey parent, const std::string& path, platform::RegKey* key);
  // Opens `path` under the scratch key; kNullKey when that fails.
  platform::RegKey Open(const std::string& path, std::uint32_t access = platform::kKeyRead);
  void Put(platform::RegKey key, const char* name, std::uint32_t type, const void* data, std::uint32_t size);
  void PutText(platform::RegKey key, const char* name, const std::string& text);  // with its terminator

  // The value's bytes as stored, read with a buffer of exactly its size; empty when absent.
  std::vector<std::uint8_t> Stored(platform::RegKey key, const char* name, std::uint32_t* type = nullptr);

  platform::RegKey scratch_ = platform::kNullKey;
  std::string scratchPath_;  // relative to HKEY_LOCAL_MACHINE

 private:
  std::unique_ptr<platform::RegistryService> registry_;
  std::vector<platform::RegKey> opened_;
};

}  // namespace korvane::contract
