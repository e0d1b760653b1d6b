#include "machine_files/reg/reg_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "machine_files/reg/reg_format.h"
#include "platform/sim/code_pages.h"

namespace korvane::sim {

namespace {

std::uint64_t Word(const unsigned char* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// Set in a word of four UTF-16LE code units where a unit is 0x80 or more, whatever the byte
// order of the host: the word is made from bytes as the units are.
const std::uint64_t kNotAscii = [] {
  constexpr unsigned char kBytes[8] = {0x80, 0xFF, 0x80, 0xFF, 0x80, 0xFF, 0x80, 0xFF};
  return Word(kBytes);
}();

// Non-zero when one of the four 16-bit lanes of `word` is zero.
constexpr std::uint64_t ZeroLanes(std::uint64_t word) {
  return (word - 0x0001000100010001u) & ~word & 0x8000800080008000u;
}

bool IsByteOrderMark(std::string_view bytes) { return bytes.substr(0, 2) == "\xFF\xFE"; }

}  // namespace

MachineText::MachineText(ReadMachineBytes read, unsigned codePage, std::size_t chunkBytes)
    : read_(std::move(read)), codePage_(codePage), chunkBytes_(std::max<std::size_t>(chunkBytes, 1)) {
  chunk_.resize(chunkBytes_);
}

bool MachineText::ReadChunk(char* buffer, std::size_t size, std::size_t* count) {
  if (read_(buffer, size, count)) return true;
  readFailed_ = ended_ = true;
  *count = 0;
  return false;
}

bool MachineText::Start(int* line, std::string* message) {
  // Enough bytes to tell the encoding: a 5.00 header says, on a double-byte machine, how its
  // 8-bit text is taken. Unless the file is UTF-16, its first NUL byte ends it.
  const std::size_t wanted = kRegHeader5.size();
  std::string first;
  bool atEnd = false;
  bool nul = false;
  while (first.size() < wanted && !IsByteOrderMark(first)) {
    if (!(first.size() < 2 && (first.empty() || first[0] == '\xFF')) &&
        std::memchr(first.data(), '\0', first.size()) != nullptr)
      break;
    std::size_t count = 0;
    if (!ReadChunk(chunk_.data(), chunkBytes_, &count)) return false;
    if (count == 0) {
      atEnd = true;
      break;
    }
    first.append(chunk_.data(), count);
  }
  std::string_view bytes = first;
  if (!IsByteOrderMark(bytes)) bytes = bytes.substr(0, UpToNul(bytes.data(), bytes.size(), &nul));
  const auto refuse = [&](int at, std::string text) {
    *line = at;
    *message = std::move(text);
    if (nul || atEnd) ended_ = true;
    return false;
  };
  if (bytes.empty()) return refuse(0, "the file is empty");
  if (IsByteOrderMark(bytes)) {
    mode_ = Mode::kUtf16;
    bytes.remove_prefix(2);
  } else if (bytes.substr(0, 2) == "\xFE\xFF") {
    return refuse(1, "UTF-16 big-endian text: regedit files are UTF-16LE or 8-bit");
  } else if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    return refuse(1, "UTF-8 text: regedit files are UTF-16LE (with its byte-order mark) or 8-bit ANSI");
  } else if (bytes.size() >= 2 && bytes[0] != '\0' && bytes[1] == '\0') {
    return refuse(1, "UTF-16LE text without its byte-order mark (FF FE)");
  } else if (codePage_ == kCodePageJapanese && bytes.substr(0, kRegHeader5.size()) == kRegHeader5) {
    mode_ = Mode::kCanonicalAnsi;
  }
  const std::size_t kept = UpToNul(bytes.data(), bytes.size(), &nul);
  Decode(bytes.data(), kept);
  if (nul || atEnd) Finish();
  return true;
}

void MachineText::More() {
  if (ended_) return;
  std::size_t count = 0;
  bool nul = false;
  if (mode_ == Mode::kAnsi) {
    // 8-bit text is its own decoding: read straight onto the text held.
    const std::size_t length = held_.size();
    held_.resize(length + chunkBytes_);
    const bool read = ReadChunk(held_.data() + length, chunkBytes_, &count);
    held_.resize(length + (read ? UpToNul(held_.data() + length, count, &nul) : 0));
  } else if (ReadChunk(chunk_.data(), chunkBytes_, &count)) {
    Decode(chunk_.data(), UpToNul(chunk_.data(), count, &nul));
  }
  if (!ended_ && (count == 0 || nul)) Finish();
}

void MachineText::Discard(std::size_t offset) {
  held_.erase(0, offset);
  base_ += offset;
  while (!unmappable_.empty() && unmappable_.front().offset < base_) unmappable_.pop_front();
}

void MachineText::Drain() {
  while (!ended_) {
    std::size_t count = 0;
    if (!ReadChunk(chunk_.data(), chunkBytes_, &count)) return;
    bool nul = false;
    UpToNul(chunk_.data(), count, &nul);
    if (count == 0 || nul) {
      oddEnd_ = !nul && oddByte_ >= 0;
      ended_ = true;
      return;
    }
    if (mode_ == Mode::kUtf16) {
      const bool odd = ((oddByte_ >= 0 ? 1 : 0) + count) % 2 == 1;
      oddByte_ = odd ? static_cast<unsigned char>(chunk_[count - 1]) : -1;
    }
  }
}

// A NUL ends the file for the parser: the line that holds it is refused whatever follows, so
// a device that gives NULs or random bytes forever ends at once.
std::size_t MachineText::UpToNul(const char* bytes, std::size_t size, bool* nul) const {
  *nul = false;
  if (mode_ != Mode::kUtf16) {
    const void* found = std::memchr(bytes, '\0', size);
    if (found == nullptr) return size;
    *nul = true;
    return static_cast<std::size_t>(static_cast<const char*>(found) - bytes) + 1;
  }
  // Code units, four at a time; a byte left over from the chunk before is the first half of
  // this chunk's first unit.
  const auto* in = reinterpret_cast<const unsigned char*>(bytes);
  std::size_t at = 0;
  if (oddByte_ >= 0 && size > 0) {
    if (oddByte_ == 0 && in[0] == 0) {
      *nul = true;
      return 1;
    }
    at = 1;
  }
  while (at + 8 <= size && ZeroLanes(Word(in + at)) == 0) at += 8;
  for (; at + 1 < size; at += 2)
    if (in[at] == 0 && in[at + 1] == 0) {
      *nul = true;
      return at + 2;
    }
  return size;
}

void MachineText::Decode(const char* bytes, std::size_t size) {
  if (mode_ == Mode::kUtf16) {
    DecodeUtf16(reinterpret_cast<const unsigned char*>(bytes), size);
  } else if (mode_ == Mode::kCanonicalAnsi) {
    CanonicalizeAnsi(std::string_view(bytes, size), false);
  } else {
    held_.append(bytes, size);
  }
}

// UTF-16LE into the ANSI text of the code page. Mostly ASCII, which is copied four code
// units at a time.
void MachineText::DecodeUtf16(const unsigned char* in, std::size_t size) {
  std::size_t at = 0;
  if (oddByte_ >= 0 && size > 0) {  // a code unit that came in two chunks
    const unsigned char unit[2] = {static_cast<unsigned char>(std::exchange(oddByte_, -1)), in[0]};
    DecodeUtf16(unit, 2);
    at = 1;
  }
  // A code unit gives one byte, or two for a character of code page 932.
  std::size_t length = held_.size();
  held_.resize(length + size + 2);
  char* out = held_.data();
  const auto put = [&](char32_t c) {
    const std::size_t count = UnicodeToAnsiBytes(codePage_, c, out + length);
    if (count == 0) {
      unmappable_.push_back({base_ + length, c});
      out[length++] = '?';
    }
    length += count;
  };
  while (at + 1 < size) {
    if (highSurrogate_ == 0) {
      for (; at + 8 <= size && (Word(in + at) & kNotAscii) == 0; at += 8, length += 4) {
        out[length] = static_cast<char>(in[at]);
        out[length + 1] = static_cast<char>(in[at + 2]);
        out[length + 2] = static_cast<char>(in[at + 4]);
        out[length + 3] = static_cast<char>(in[at + 6]);
      }
      if (at + 1 >= size) break;
    }
    const auto unit = static_cast<char16_t>(in[at] | (in[at + 1] << 8));
    at += 2;
    if (highSurrogate_ != 0) {
      const char16_t high = std::exchange(highSurrogate_, 0);
      if (unit >= 0xDC00 && unit < 0xE000) {
        put(0x10000 + ((static_cast<char32_t>(high) - 0xD800) << 10) + (unit - 0xDC00));
        continue;
      }
      put(high);
    }
    if (unit < 0x80) {
      out[length++] = static_cast<char>(unit);
    } else if (unit >= 0xD800 && unit < 0xDC00) {
      highSurrogate_ = unit;  // its low surrogate may come with the next chunk
    } else {
      put(unit);
    }
  }
  if (at < size) oddByte_ = in[at];
  held_.resize(length);
}

void MachineText::PutCharacter(char32_t c) {
  char bytes[2];
  const std::size_t count = UnicodeToAnsiBytes(codePage_, c, bytes);
  if (count == 0) {
    unmappable_.push_back({base_ + held_.size(), c});
    held_.push_back('?');
  }
  held_.append(bytes, count);
}

// A 5.00 file in 8-bit text, on a machine whose code page is double-byte: its text is taken
// through Unicode as the ANSI functions of Windows NT take it, so that the registry holds
// each character in the one form Windows gives it back in (code page 932 has two forms for
// some), and every text it holds has a UTF-16 form for a 5.00 file. Bytes that are no
// character are kept, and refused unless they stand in a comment. A lead byte that ends a
// chunk waits for the byte after it.
void MachineText::CanonicalizeAnsi(std::string_view bytes, bool last) {
  const auto put = [&](std::string_view character) {
    if (!IsAnsiCharacter(codePage_, character) ||
        !UnicodeToAnsiChar(codePage_, AnsiCharToUnicode(codePage_, character), &held_)) {
      unmappable_.push_back({base_ + held_.size(), 0, std::string(character)});
      held_.append(character);
    }
  };
  std::size_t at = 0;
  if (!leadByte_.empty()) {
    if (bytes.empty() && !last) return;
    if (!bytes.empty()) leadByte_.push_back(bytes[0]);
    const std::size_t length = AnsiCharLength(codePage_, leadByte_, 0);
    put(std::string_view(leadByte_).substr(0, length));
    at = length - 1;
    leadByte_.clear();
  }
  while (at < bytes.size()) {
    std::size_t ascii = at;
    while (ascii < bytes.size() && static_cast<unsigned char>(bytes[ascii]) < 0x80) ++ascii;
    held_.append(bytes.data() + at, ascii - at);
    at = ascii;
    if (at == bytes.size()) break;
    if (!last && at + 1 == bytes.size() && IsLeadByte932(static_cast<unsigned char>(bytes[at]))) {
      leadByte_.assign(1, bytes[at]);
      return;
    }
    const std::size_t length = AnsiCharLength(codePage_, bytes, at);
    put(bytes.substr(at, length));
    at += length;
  }
}

void MachineText::Finish() {
  ended_ = true;
  if (highSurrogate_ != 0) PutCharacter(std::exchange(highSurrogate_, 0));
  if (oddByte_ >= 0) oddEnd_ = true;
  if (!leadByte_.empty()) CanonicalizeAnsi({}, true);
}

}  // namespace korvane::sim
