// Fuzz target for the machine-file reader: any bytes either load or are refused with an error
// that names the file, the same whatever size of chunk they are read in; whatever loads is
// saved again in each of the three forms a machine file can take, and reading that back must
// give the same registry, key for key and byte for byte. Each input is read on a Western
// (1252) and on a Japanese (932) machine.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "machine_files/reg/reg_reader.h"
#include "machine_files/reg/reg_writer.h"
#include "platform/sim/memory_registry.h"
#include "platform/sim/code_pages.h"

namespace {

using korvane::sim::LoadError;
using korvane::sim::LoadMachineText;
using korvane::sim::RegFileEncoding;
using korvane::sim::MemoryRegistry;
using korvane::sim::RegFileFormat;
using korvane::sim::RegNode;

constexpr std::string_view kFileName = "fuzz.reg";

[[noreturn]] void Fail(const std::string& what, const std::string& where) {
  std::fprintf(stderr, "fuzz_machine_file: %s (at %s)\n", what.c_str(), where.empty() ? "<root>" : where.c_str());
  std::abort();
}

std::string Describe(const RegFileEncoding& info) {
  if (info.format == RegFileFormat::kRegedit4) return "REGEDIT4";
  return info.utf16 ? "5.00 UTF-16LE" : "5.00 8-bit";
}

// Same names (exactly: a save must not change their letter case), same values in the same
// order with the same types and bytes, same subkeys in the same enumeration order.
void CompareTrees(const RegNode& expected, const RegNode& actual, const std::string& path) {
  if (expected.Name() != actual.Name()) Fail("key name changed to '" + actual.Name() + "'", path);
  const auto& expectedValues = expected.Values();
  const auto& actualValues = actual.Values();
  if (expectedValues.size() != actualValues.size())
    Fail(std::to_string(expectedValues.size()) + " values became " + std::to_string(actualValues.size()), path);
  for (std::size_t i = 0; i < expectedValues.size(); ++i) {
    const auto& want = expectedValues[i];
    const auto& got = actualValues[i];
    if (want.name != got.name) Fail("value name '" + want.name + "' became '" + got.name + "'", path);
    if (want.type != got.type)
      Fail("value '" + want.name + "' of type " + std::to_string(want.type) + " became type " +
               std::to_string(got.type),
           path);
    if (want.data != got.data)
      Fail("value '" + want.name + "' of " + std::to_string(want.data.size()) + " bytes came back as " +
               std::to_string(got.data.size()) + " different bytes",
           path);
  }
  const auto& expectedKeys = expected.Subkeys();
  const auto& actualKeys = actual.Subkeys();
  if (expectedKeys.size() != actualKeys.size())
    Fail(std::to_string(expectedKeys.size()) + " subkeys became " + std::to_string(actualKeys.size()), path);
  for (std::size_t i = 0; i < expectedKeys.size(); ++i)
    CompareTrees(*expectedKeys[i], *actualKeys[i], path + "\\" + expectedKeys[i]->Name());
}

void CheckRoundTrip(const MemoryRegistry& loaded, const RegFileEncoding& format) {
  const std::string saved = korvane::sim::FormatMachine(loaded, format);
  MemoryRegistry reloaded;
  reloaded.SetAnsiCodePage(format.codePage);
  RegFileEncoding reloadedInfo;
  LoadError error;
  if (!LoadMachineText(saved, kFileName, reloaded, &reloadedInfo, &error))
    Fail("the " + Describe(format) + " save does not load again: " + error.ToString(), "");
  // REGEDIT4 is always written as 8-bit text and 5.00 as UTF-16LE, whatever they were read from.
  const bool utf16 = format.format == RegFileFormat::kVersion5;
  if (reloadedInfo.format != format.format || reloadedInfo.utf16 != utf16)
    Fail("a " + Describe(format) + " save reads back as " + Describe(reloadedInfo), "");
  for (const auto root : {korvane::platform::kHkeyLocalMachine, korvane::platform::kHkeyDynData})
    CompareTrees(loaded.Root(root), reloaded.Root(root), korvane::sim::RootName(root));
}

// The input on a machine of one code page.
void LoadAndCheck(std::string_view bytes, unsigned codePage) {
  MemoryRegistry loaded;
  loaded.SetAnsiCodePage(codePage);
  RegFileEncoding info;
  LoadError error;
  const bool ok = LoadMachineText(bytes, kFileName, loaded, &info, &error);
  // Read and decoded a few bytes at a time, the file gives the same registry or the same error.
  MemoryRegistry pieces;
  pieces.SetAnsiCodePage(codePage);
  LoadError piecesError;
  const std::size_t chunk = 1 + bytes.size() % 13;
  if (LoadMachineText(bytes, kFileName, pieces, nullptr, &piecesError, chunk) != ok ||
      (!ok && piecesError.ToString() != error.ToString()))
    Fail("read " + std::to_string(chunk) + " bytes at a time, the file gives '" + piecesError.ToString() +
             "' instead of '" + (ok ? std::string("a registry") : error.ToString()) + "'",
         "");
  for (const auto root : {korvane::platform::kHkeyLocalMachine, korvane::platform::kHkeyDynData})
    if (ok) CompareTrees(loaded.Root(root), pieces.Root(root), korvane::sim::RootName(root));
  if (!ok) {
    // A refusal says where: this file, a line no further than the file has lines.
    if (error.file != kFileName) Fail("an error names the file '" + error.file + "'", "");
    if (error.message.empty()) Fail("an error without a message", "");
    if (error.line < 0 || static_cast<std::size_t>(error.line) > bytes.size() + 1)
      Fail("an error on line " + std::to_string(error.line) + " of a file of " + std::to_string(bytes.size()) +
               " bytes",
           "");
    return;
  }
  if (info.codePage != codePage) Fail("the file was read in code page " + std::to_string(info.codePage), "");
  // The form it was read in first: that is what korvane-sim --save writes.
  CheckRoundTrip(loaded, info);
  // Every 8-bit text of code page 1252 has a UTF-16 form; in 932 a REGEDIT4 file may hold
  // bytes that are no character, and only its REGEDIT4 form keeps them.
  for (const RegFileEncoding other : {RegFileEncoding{RegFileFormat::kRegedit4, false, codePage},
                                      RegFileEncoding{RegFileFormat::kVersion5, true, codePage}}) {
    if (other.format == info.format) continue;
    const bool keepsEveryByte = codePage != korvane::sim::kCodePageJapanese ||
                                info.format == RegFileFormat::kVersion5 || other.format == RegFileFormat::kRegedit4;
    if (keepsEveryByte) CheckRoundTrip(loaded, other);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  LoadAndCheck(bytes, korvane::sim::kCodePageWestern);
  LoadAndCheck(bytes, korvane::sim::kCodePageJapanese);
  return 0;
}
