// Input files read as streams with a stated limit, so that no input (a device that never
// ends, a huge sparse file, a pipe that keeps writing) makes korvane-sim read forever or fill
// its memory.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace korvane::sim {

// Called as bytes come in, with everything read so far and where the new bytes start. A
// length makes that the whole input and ends the reading: a reader that refuses what it has
// seen whatever follows need not wait for the rest. npos reads on.
using FindInputEnd = std::function<std::size_t(std::string_view read, std::size_t from)>;

// An input's bytes, in memory of their own: anonymous pages asked to be huge ones, since
// filling 50 MB of ordinary pages costs more, in page faults, than parsing them.
class InputBytes {
 public:
  InputBytes() = default;
  ~InputBytes();
  InputBytes(InputBytes&& other) noexcept;
  InputBytes& operator=(InputBytes&& other) noexcept;
  InputBytes(const InputBytes&) = delete;
  InputBytes& operator=(const InputBytes&) = delete;

  std::string_view View() const { return {data_, size_}; }

 private:
  friend bool ReadInputFile(const std::string& path, std::string_view what, std::size_t limit, InputBytes* bytes,
                            std::string* error, const FindInputEnd& decided);
  bool Reserve(std::size_t capacity);  // false with errno set

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Reads everything `path` gives, through symbolic links, from a regular file, a FIFO or
// pipe (also /dev/fd/N, as process substitution gives), or a character device. A regular
// file larger than `limit` is refused at once, without reading; any other input as soon as
// more than `limit` bytes have come. False with `error` saying why, `what` naming the input
// ("cannot read WHAT: REASON", "WHAT is longer than the limit of N bytes (M MiB)"); `bytes`
// is then unspecified. `decided`, when given, may end the input early: every input is then
// read a block at a time.
bool ReadInputFile(const std::string& path, std::string_view what, std::size_t limit, InputBytes* bytes,
                   std::string* error, const FindInputEnd& decided = {});

// The same input read a piece at a time into the caller's buffer, for a reader that keeps
// only what it has made of the bytes: the limit and the errors are those of ReadInputFile.
class InputStream {
 public:
  InputStream() = default;
  ~InputStream();
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;

  // False with `error` when `path` cannot be opened or is a regular file past `limit`.
  bool Open(const std::string& path, std::string_view what, std::size_t limit, std::string* error);
  // Up to `size` more bytes into `buffer`, *count of them, 0 at the end. False with `error`
  // on a read error, and once more than `limit` bytes have come: the bytes given are never
  // more than the limit.
  bool Read(char* buffer, std::size_t size, std::size_t* count, std::string* error);

  // The size of an open regular file as it was opened, or kNotRegular.
  static constexpr std::size_t kNotRegular = static_cast<std::size_t>(-1);
  std::size_t RegularSize() const { return regularSize_; }
  // The open input, for a reader that has the kernel copy the rest (sendfile): what it takes
  // that way is not counted against the limit here.
  int Descriptor() const { return fd_; }

 private:
  int fd_ = -1;
  std::size_t regularSize_ = kNotRegular;
  std::string what_;
  std::size_t limit_ = 0;
  std::size_t given_ = 0;
};

// "N bytes (M MiB)", the way the limit is named in errors and in the README.
std::string DescribeLimit(std::size_t limit);

}  // namespace korvane::sim
