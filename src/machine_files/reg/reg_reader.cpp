// The .reg reader's entry: a machine file read with its limit, its encoding told from its first
// bytes, and its text decoded into the ANSI text of the machine's code page for the parser.
#include "machine_files/reg/reg_reader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "machine_files/io/input_file.h"
#include "machine_files/reg/reg_parser.h"
#include "platform/sim/code_pages.h"

namespace korvane::sim {

namespace {

// One pass over the UTF-16LE code units (after the byte-order mark), into the ANSI text of
// `codePage`.
void DecodeUtf16(std::string_view bytes, unsigned codePage, std::string* text, std::vector<Unmappable>* unmappable) {
  const std::size_t units = bytes.size() / 2;
  // A code unit gives one byte, or two for a character of code page 932.
  text->resize(codePage == kCodePageJapanese ? 2 * units : units);
  char* out = text->data();
  std::size_t length = 0;
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t unit = static_cast<char16_t>(in[2 * i] | (in[2 * i + 1] << 8));
    if (unit < 0x80) {
      out[length++] = static_cast<char>(unit);
      continue;
    }
    char32_t c = unit;
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units) {
      const char16_t low = static_cast<char16_t>(in[2 * i + 2] | (in[2 * i + 3] << 8));
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    const std::size_t count = UnicodeToAnsiBytes(codePage, c, out + length);
    if (count == 0) {
      unmappable->push_back({length, c});
      out[length++] = '?';
    }
    length += count;
  }
  text->resize(length);
}

// A 5.00 file in 8-bit text, on a machine whose code page is double-byte: its text is taken
// through Unicode as the ANSI functions of Windows NT take it, so that the registry holds
// each character in the one form Windows gives it back in (code page 932 has two forms for
// some), and every text it holds has a UTF-16 form for a 5.00 file. Bytes that are no
// character are kept, and refused unless they stand in a comment.
void CanonicalizeAnsi(std::string_view bytes, unsigned codePage, std::string* text,
                      std::vector<Unmappable>* unmappable) {
  text->clear();
  text->reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t length = AnsiCharLength(codePage, bytes, at);
    const std::string_view character = bytes.substr(at, length);
    at += length;
    if (static_cast<unsigned char>(character[0]) < 0x80) {
      text->push_back(character[0]);
      continue;
    }
    if (!IsAnsiCharacter(codePage, character) ||
        !UnicodeToAnsiChar(codePage, AnsiCharToUnicode(codePage, character), text)) {
      unmappable->push_back({text->size(), 0, std::string(character)});
      text->append(character);
    }
  }
}

// A NUL makes the line that holds it an error whatever follows, so the input read up to it
// decides the load: a device that gives NULs or random bytes forever is refused at once.
std::size_t EndAtNul(std::string_view read, std::size_t from) {
  if (read.substr(0, 2) == "\xFF\xFE") {
    for (std::size_t at = std::max<std::size_t>(2, from - from % 2); at + 1 < read.size(); at += 2)
      if (read[at] == '\0' && read[at + 1] == '\0') return at + 2;
    return std::string_view::npos;
  }
  const void* nul = std::memchr(read.data() + from, '\0', read.size() - from);
  if (nul == nullptr) return std::string_view::npos;
  return static_cast<std::size_t>(static_cast<const char*>(nul) - read.data()) + 1;
}

}  // namespace

std::string LoadError::ToString() const {
  if (line == 0) return file + ": " + message;
  return file + ":" + std::to_string(line) + ": " + message;
}

bool LoadMachineText(std::string_view bytes, std::string_view displayName, MemoryRegistry& registry,
                     RegFileEncoding* info, LoadError* error) {
  LoadError unused;
  if (error == nullptr) error = &unused;
  const auto fail = [&](int line, std::string message) {
    *error = LoadError{std::string(displayName), line, std::move(message)};
    return false;
  };
  if (bytes.empty()) return fail(0, "the file is empty");

  RegFileEncoding found;
  found.codePage = registry.AnsiCodePage();
  std::string decoded;
  std::vector<Unmappable> unmappable;
  std::string_view text = bytes;
  if (bytes.substr(0, 2) == "\xFF\xFE") {
    if (bytes.size() % 2 != 0) return fail(0, "the UTF-16LE text ends in half a character");
    found.utf16 = true;
    DecodeUtf16(bytes.substr(2), registry.AnsiCodePage(), &decoded, &unmappable);
    text = decoded;
  } else if (bytes.substr(0, 2) == "\xFE\xFF") {
    return fail(1, "UTF-16 big-endian text: regedit files are UTF-16LE or 8-bit");
  } else if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    return fail(1, "UTF-8 text: regedit files are UTF-16LE (with its byte-order mark) or 8-bit ANSI");
  } else if (bytes.size() >= 2 && bytes[0] != '\0' && bytes[1] == '\0') {
    return fail(1, "UTF-16LE text without its byte-order mark (FF FE)");
  } else if (registry.AnsiCodePage() == kCodePageJapanese && bytes.substr(0, kRegHeader5.size()) == kRegHeader5) {
    CanonicalizeAnsi(bytes, registry.AnsiCodePage(), &decoded, &unmappable);
    text = decoded;
  }

  RegParser parser(text, displayName, unmappable, registry, error);
  if (!parser.ReadHeader(&found.format)) return false;
  if (info != nullptr) *info = found;
  return parser.Run();
}

bool LoadMachineFile(const std::string& path, MemoryRegistry& registry, RegFileEncoding* info,
                     LoadError* error) {
  InputBytes bytes;
  std::string message;
  if (!ReadInputFile(path, "the machine file", kMachineFileLimit, &bytes, &message, EndAtNul)) {
    if (error != nullptr) *error = LoadError{path, 0, std::move(message)};
    return false;
  }
  return LoadMachineText(bytes.View(), path, registry, info, error);
}

}  // namespace korvane::sim
