// The text of a machine file as the parser takes it: ANSI in the registry's code page, read and
// decoded a piece at a time, so that a load holds the registry it builds and about one line of
// the file, never the whole file or the whole of its text.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace korvane::sim {

// A character of the file that has no ANSI form in the machine's code page. It stands in the
// decoded text as '?' (or as its bytes), and the line that holds it is refused unless it is a
// comment.
struct Unmappable {
  std::size_t offset;  // in the decoded text, from its start
  char32_t character;  // 0: the bytes below are no character
  std::string bytes = {};
};

// Gives up to `size` (at least 1) more bytes of the file into `buffer`: true with *count of
// them, 0 at its end; false when the file cannot be read on.
using ReadMachineBytes = std::function<bool(char* buffer, std::size_t size, std::size_t* count)>;

// The bytes a load reads and decodes at a time, unless told otherwise.
inline constexpr std::size_t kMachineChunkBytes = std::size_t{64} << 10;

class MachineText {
 public:
  // `chunkBytes` (at least 1) is the most read at a time.
  MachineText(ReadMachineBytes read, unsigned codePage, std::size_t chunkBytes);

  // Reads the file's first bytes and chooses its decoding from them. False for a file that
  // is empty (line 0) or in an encoding regedit does not write (line 1), with the message.
  bool Start(int* line, std::string* message);
  bool Utf16() const { return mode_ == Mode::kUtf16; }

  // The decoded text held, which starts at Base() in the whole text.
  std::string_view Held() const { return held_; }
  std::size_t Base() const { return base_; }
  // Decodes what the next read gives onto the text held, unless the text has ended: at the
  // end of the file, at its first NUL character (that included), or where it could not be read.
  void More();
  bool Ended() const { return ended_; }
  // Drops the text held before `offset` (in Held()), and the record of what stood there.
  void Discard(std::size_t offset);
  // Characters with no ANSI form from Base() on, in the order of their offsets; a reader
  // may drop those it has passed.
  std::deque<Unmappable>& Unmappables() { return unmappable_; }

  // Reads the rest of the file, as far as it would be decoded, without keeping it: a fault
  // of the file as a whole is then known whatever line was refused first.
  void Drain();
  // The file could not be read to its end (its reader said why).
  bool ReadFailed() const { return readFailed_; }
  // A UTF-16 file that ended in half a code unit.
  bool OddEnd() const { return oddEnd_; }

 private:
  enum class Mode { kAnsi, kCanonicalAnsi, kUtf16 };

  bool ReadChunk(char* buffer, std::size_t size, std::size_t* count);
  // The part of `bytes` up to its first NUL character, that included; *nul says whether
  // there was one. UTF-16 after a byte left over from the chunk before is one byte out of
  // step.
  std::size_t UpToNul(const char* bytes, std::size_t size, bool* nul) const;
  void Decode(const char* bytes, std::size_t size);
  void DecodeUtf16(const unsigned char* in, std::size_t size);
  void PutCharacter(char32_t c);
  void CanonicalizeAnsi(std::string_view bytes, bool last);
  void Finish();

  ReadMachineBytes read_;
  unsigned codePage_;
  std::size_t chunkBytes_;
  Mode mode_ = Mode::kAnsi;
  std::string chunk_;
  std::string held_;
  std::size_t base_ = 0;
  std::deque<Unmappable> unmappable_;
  bool ended_ = false;
  bool readFailed_ = false;
  bool oddEnd_ = false;
  // What a chunk left for the next: half a UTF-16 code unit, a high surrogate whose low
  // one may follow, the lead byte of a double-byte character.
  int oddByte_ = -1;
  char16_t highSurrogate_ = 0;
  std::string leadByte_;
};

}  // namespace korvane::sim
