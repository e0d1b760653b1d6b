// The fixture for runs of the utility in this process: a fresh in-memory registry, a scripted
// system and a recording window system installed, the process state reset; every key the run
// opened must be closed when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/fakes.h"

namespace korvane::test {

class UtilityTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sets the platform family and its roots as DetectPlatformFamily would on that family.
  void UseFamily(int family);
  // "name=data/size" of every value the run set under `path`, in order.
  std::vector<std::string> SetsIn(const std::string& path) const;

  sim::MemoryRegistry registry;
  ScriptedSystem system;
  RecordingWindows windows;
};

// Registry fixtures shaped like the machines' own keys.
inline constexpr char kXpEnum[] = "System\\CurrentControlSet\\Enum\\PCI\\";
inline constexpr char kXpClass[] = "System\\CurrentControlSet\\Control\\Class\\";
inline constexpr char kNetClass[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
// SetsIn of a new parameter definition: its eight values, in the order they are written.
inline const std::vector<std::string> kDefinitionSets = {
    "=0/1",          "Type=edit/4",    "Default=0/1", "Base=16/2", "ParamDesc=Locally Administered Address/28",
    "UpperCase=1/1", "LimitText=12/2", "Optional=1/1"};

// An XP instance key under a PCI device key: Driver, DeviceDesc and a Control subkey.
void AddXpInstance(sim::MemoryRegistry& registry, const std::string& deviceKey, const std::string& instance,
                   const std::string& driver, const std::string& description, bool withControl = true);
// A driver class key, with PROSetNdi\Params when asked.
void AddDriverKey(sim::MemoryRegistry& registry, const std::string& classRoot, const std::string& driver,
                  bool withDriverParams);

// UTF-16LE text, after its byte-order mark unless `bom` is false. 8-bit text is taken as
// Latin-1, which code page 1252 agrees with below 0x80 and from 0xA0 on.
std::string Utf16File(std::u16string_view text, bool bom = true);
std::string Utf16File(std::string_view latin1, bool bom = true);

// `bytes` converted by the C library's iconv, or "" when they do not convert whole: the
// reference the code page conversions are held to.
std::string Iconv(std::string_view bytes, const char* from, const char* to);

// The value's bytes, terminator included, or "<absent>".
std::string ValueBytes(sim::MemoryRegistry& registry, platform::RegKey root, std::string_view path,
                       std::string_view name);

}  // namespace korvane::test
