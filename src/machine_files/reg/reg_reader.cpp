// The .reg reader's entry: a machine file read with its limit, a piece at a time, its
// encoding told from its first bytes and its text decoded (reg_text.h) as the parser takes
// its lines.
#include "machine_files/reg/reg_reader.h"

#include <algorithm>
#include <cstring>

#include "machine_files/io/input_file.h"
#include "machine_files/reg/reg_parser.h"
#include "machine_files/reg/reg_text.h"

namespace korvane::sim {

namespace {

// `readError` says why `read` failed, when it did.
bool LoadMachine(const ReadMachineBytes& read, const std::string& readError, std::string_view displayName,
                 MemoryRegistry& registry, RegFileEncoding* info, LoadError* error, std::size_t chunkBytes) {
  LoadError unused;
  if (error == nullptr) error = &unused;
  const auto fail = [&](int line, std::string message) {
    *error = LoadError{std::string(displayName), line, std::move(message)};
    return false;
  };
  MachineText text(read, registry.AnsiCodePage(), chunkBytes);
  RegFileEncoding found;
  found.codePage = registry.AnsiCodePage();
  int line = 0;
  std::string message;
  bool started = text.Start(&line, &message);
  bool loaded = false;
  if (started) {
    found.utf16 = text.Utf16();
    RegParser parser(text, displayName, registry, error);
    started = parser.ReadHeader(&found.format);
    loaded = started && parser.Run();
  } else {
    fail(line, std::move(message));
  }
  // What is wrong with the file as a whole comes before any line of it: it is read to its
  // end, or its first NUL, whatever line was refused.
  text.Drain();
  if (text.ReadFailed()) return fail(0, readError);
  if (text.OddEnd()) return fail(0, "the UTF-16LE text ends in half a character");
  if (started && info != nullptr) *info = found;
  return loaded;
}

}  // namespace

std::string LoadError::ToString() const {
  if (line == 0) return file + ": " + message;
  return file + ":" + std::to_string(line) + ": " + message;
}

bool LoadMachineText(std::string_view bytes, std::string_view displayName, MemoryRegistry& registry,
                     RegFileEncoding* info, LoadError* error, std::size_t chunkBytes) {
  std::size_t at = 0;
  const ReadMachineBytes read = [&](char* buffer, std::size_t size, std::size_t* count) {
    *count = std::min(size, bytes.size() - at);
    if (*count > 0) std::memcpy(buffer, bytes.data() + at, *count);
    at += *count;
    return true;
  };
  return LoadMachine(read, {}, displayName, registry, info, error, chunkBytes);
}

bool LoadMachineFile(const std::string& path, MemoryRegistry& registry, RegFileEncoding* info, LoadError* error,
                     std::size_t chunkBytes) {
  InputStream input;
  std::string message;
  if (!input.Open(path, "the machine file", kMachineFileLimit, &message)) {
    if (error != nullptr) *error = LoadError{path, 0, std::move(message)};
    return false;
  }
  const ReadMachineBytes read = [&](char* buffer, std::size_t size, std::size_t* count) {
    return input.Read(buffer, size, count, &message);
  };
  return LoadMachine(read, message, path, registry, info, error, chunkBytes);
}

}  // namespace korvane::sim
