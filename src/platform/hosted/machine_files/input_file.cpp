#include "platform/hosted/machine_files/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace korvane::hosted {

std::string DescribeLimit(std::size_t limit) {
  return std::to_string(limit) + " bytes (" + std::to_string(limit >> 20) + " MiB)";
}

bool ReadInputFile(const std::string& path, std::string_view what, std::size_t limit, std::string* bytes,
                   std::string* error, const InputDecided& decided) {
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
  // A regular file says its size, and is read straight into `bytes`; one byte past it shows
  // whether it grew meanwhile. Anything else is read into room for the limit, which costs
  // only the memory it fills, and copied once: growing a buffer as it fills would copy it
  // again and again.
  const bool regular = S_ISREG(status.st_mode);
  if (regular && static_cast<std::uintmax_t>(status.st_size) > limit) {
    close(fd);
    return tooLong();
  }
  std::unique_ptr<char[]> room;
  char* buffer = nullptr;
  if (regular) {
    bytes->resize(static_cast<std::size_t>(status.st_size) + 1);
    buffer = bytes->data();
  } else {
    room = std::make_unique_for_overwrite<char[]>(limit + 1);
    buffer = room.get();
  }
  std::size_t capacity = regular ? bytes->size() : limit + 1;
  std::size_t length = 0;
  for (;;) {
    if (length == capacity) {
      if (length > limit) break;
      // A regular file that grows while it is read: the rest, up to the limit.
      bytes->resize(std::min(2 * capacity, limit + 1));
      buffer = bytes->data();
      capacity = bytes->size();
    }
    const ssize_t count = read(fd, buffer + length, capacity - length);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      const int number = errno;
      close(fd);
      return failWith(number);
    }
    if (count == 0) break;
    const std::size_t from = length;
    length += static_cast<std::size_t>(count);
    if (!decided) continue;
    const std::size_t end = decided(std::string_view(buffer, std::min(length, limit)), from);
    if (end != std::string_view::npos) {
      length = std::min(end, length);
      break;
    }
  }
  close(fd);
  if (length > limit) return tooLong();
  if (regular)
    bytes->resize(length);
  else
    bytes->assign(buffer, length);
  return true;
}

}  // namespace korvane::hosted
