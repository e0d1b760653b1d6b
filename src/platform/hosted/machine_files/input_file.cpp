#include "platform/hosted/machine_files/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvane::hosted {

namespace {

constexpr std::size_t kFirstBlock = std::size_t{1} << 16;

}  // namespace

std::string DescribeLimit(std::size_t limit) {
  return std::to_string(limit) + " bytes (" + std::to_string(limit >> 20) + " MiB)";
}

bool ReadInputFile(const std::string& path, std::string_view what, std::size_t limit, std::string* bytes,
                   std::string* error) {
  const auto failWith = [&](int number) {
    *error = "cannot read " + std::string(what) + ": " + std::strerror(number);
    return false;
  };
  const auto tooLong = [&] {
    *error = std::string(what) + " is longer than the limit of " + DescribeLimit(limit);
    return false;
  };
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return failWith(errno);
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    const int number = errno;
    close(fd);
    return failWith(number);
  }
  // A regular file says its size: one past it shows whether it grew while it was read.
  std::size_t block = kFirstBlock;
  if (S_ISREG(status.st_mode)) {
    if (static_cast<std::uintmax_t>(status.st_size) > limit) {
      close(fd);
      return tooLong();
    }
    block = static_cast<std::size_t>(status.st_size) + 1;
  }
  bytes->clear();
  bytes->resize(std::min(block, limit + 1));
  std::size_t length = 0;
  for (;;) {
    if (length == bytes->size()) {
      if (length > limit) break;
      bytes->resize(std::min(std::max(2 * length, kFirstBlock), limit + 1));
    }
    const ssize_t count = read(fd, bytes->data() + length, bytes->size() - length);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      const int number = errno;
      close(fd);
      return failWith(number);
    }
    if (count == 0) break;
    length += static_cast<std::size_t>(count);
  }
  close(fd);
  if (length > limit) return tooLong();
  bytes->resize(length);
  return true;
}

}  // namespace korvane::hosted
