#include "machine_files/io/input_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace korvane::sim {

namespace {

constexpr std::size_t kStreamBlock = std::size_t{1} << 20;

std::string CannotRead(std::string_view what, int number) {
  return "cannot read " + std::string(what) + ": " + std::strerror(number);
}

std::string TooLong(std::string_view what, std::size_t limit) {
  return std::string(what) + " is longer than the limit of " + DescribeLimit(limit);
}

}  // namespace

std::string DescribeLimit(std::size_t limit) {
  return std::to_string(limit) + " bytes (" + std::to_string(limit >> 20) + " MiB)";
}

InputBytes::~InputBytes() {
  if (data_ != nullptr) munmap(data_, capacity_);
}

InputBytes::InputBytes(InputBytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

InputBytes& InputBytes::operator=(InputBytes&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) munmap(data_, capacity_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

// Address space only: a page costs memory once a read fills it.
bool InputBytes::Reserve(std::size_t capacity) {
  void* room = data_ == nullptr
                   ? mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)
                   : mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
  if (room == MAP_FAILED) return false;
  madvise(room, capacity, MADV_HUGEPAGE);  // a hint; without huge pages it is ordinary memory
  data_ = static_cast<char*>(room);
  capacity_ = capacity;
  return true;
}

bool ReadInputFile(const std::string& path, std::string_view what, std::size_t limit, InputBytes* bytes,
                   std::string* error, const FindInputEnd& decided) {
  InputStream input;
  if (!input.Open(path, what, limit, error)) return false;
  // A regular file says its size, and one byte past it shows whether it grew meanwhile.
  // Anything else gets room for the limit, which costs only what it fills.
  const bool regular = input.RegularSize() != InputStream::kNotRegular;
  *bytes = InputBytes();
  if (!bytes->Reserve(regular ? input.RegularSize() + 1 : limit + 1)) {
    *error = CannotRead(what, errno);
    return false;
  }
  std::size_t& length = bytes->size_;
  for (;;) {
    // A regular file that grows while it is read: the rest, up to the limit, which the
    // stream refuses to pass.
    if (length == bytes->capacity_ && !bytes->Reserve(std::min(2 * bytes->capacity_, limit + 1))) {
      *error = CannotRead(what, errno);
      return false;
    }
    // A device fills whatever it is given: a block at a time, it is judged as it comes, and so
    // is a regular file that a reader may refuse from its first bytes.
    const std::size_t wanted = bytes->capacity_ - length;
    std::size_t count = 0;
    if (!input.Read(bytes->data_ + length, regular && !decided ? wanted : std::min(wanted, kStreamBlock), &count,
                    error))
      return false;
    if (count == 0) return true;
    const std::size_t from = length;
    length += count;
    if (!decided) continue;
    const std::size_t end = decided(std::string_view(bytes->data_, length), from);
    if (end != std::string_view::npos) {
      length = std::min(end, length);
      return true;
    }
  }
}

InputStream::~InputStream() {
  if (fd_ >= 0) close(fd_);
}

bool InputStream::Open(const std::string& path, std::string_view what, std::size_t limit, std::string* error) {
  what_ = what;
  limit_ = limit;
  given_ = 0;
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd_ < 0) {
    *error = CannotRead(what, errno);
    return false;
  }
  struct stat status {};
  if (fstat(fd_, &status) != 0) {
    *error = CannotRead(what, errno);
    return false;
  }
  if (S_ISREG(status.st_mode) && static_cast<std::uintmax_t>(status.st_size) > limit) {
    *error = TooLong(what, limit);
    return false;
  }
  regularSize_ = S_ISREG(status.st_mode) ? static_cast<std::size_t>(status.st_size) : kNotRegular;
  return true;
}

bool InputStream::Read(char* buffer, std::size_t size, std::size_t* count, std::string* error) {
  *count = 0;
  // At the limit, one byte more is asked for: it shows whether the input goes on.
  char probe = 0;
  const bool atLimit = given_ == limit_;
  for (;;) {
    const ssize_t got = atLimit ? read(fd_, &probe, 1) : read(fd_, buffer, std::min(size, limit_ - given_));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = CannotRead(what_, errno);
      return false;
    }
    if (atLimit && got > 0) {
      *error = TooLong(what_, limit_);
      return false;
    }
    *count = static_cast<std::size_t>(got);
    given_ += *count;
    return true;
  }
}

}  // namespace korvane::sim
