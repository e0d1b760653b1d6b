#include "platform/hosted/machine_files/hive_file.h"

#include <endian.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/hosted/machine_files/input_file.h"
#include "platform/hosted/machine_files/reg_format.h"
#include "platform/hosted/machine_files/utf16_data.h"
#include "platform/hosted/machine_files/whole_file.h"
#include "platform/hosted/text_encoding.h"

namespace korvane::hosted {

namespace {

std::string ErrnoText(int number) { return std::strerror(number); }


// hivex opens only paths; a memory file's path lets it see exactly the bytes held there.
std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Hands `use` the whole memory file, mapped.
bool UseMapped(int fd, const HiveStore::BytesUse& use, std::string* error) {
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    *error = "cannot map the hive: " + ErrnoText(errno);
    return false;
  }
  const auto size = static_cast<std::size_t>(status.st_size);
  void* mapped = size == 0 ? nullptr : mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED) {
    *error = "cannot map the hive: " + ErrnoText(errno);
    return false;
  }
  const bool used = use(std::string_view(static_cast<const char*>(mapped), size), error);
  if (mapped != nullptr) munmap(mapped, size);
  return used;
}

// The bytes in an anonymous memory file, or -1 with errno set.
int HoldInMemory(std::string_view bytes) {
  const int memory = memfd_create("korvane-hive", MFD_CLOEXEC);
  if (memory < 0 || WriteAll(memory, bytes)) return memory;
  const int number = errno;
  close(memory);
  errno = number;
  return -1;
}

}  // namespace

HiveFile::~HiveFile() {
  if (handle != nullptr) hivex_close(handle);
  if (original_ >= 0) close(original_);
}

bool HiveFile::Open(std::string* error) {
  // Whatever happens to the file afterwards, hivex sees the bytes read here, and they are
  // what a backup of the original keeps.
  InputBytes bytes;
  std::string message;
  if (!ReadInputFile(path, "the hive", kHiveFileLimit, &bytes, &message)) return Fail(message, error);
  const std::string_view read = bytes.View();
  size = read.size();
  original_ = HoldInMemory(read);
  if (original_ < 0) return Fail("cannot hold the hive in memory: " + ErrnoText(errno), error);
  handle = hivex_open(FdPath(original_).c_str(), 0);
  if (handle == nullptr) {
    const int number = errno;
    if (number == ENOTSUP || number == EINVAL || number == EFAULT)
      return Fail("not a registry hive: hivex finds no intact hive header", error);
    return Fail("cannot open the hive: " + ErrnoText(number), error);
  }
  // Windows raises the first number before it writes the hive and the second once it has
  // written all of it; hivex checks neither. The two differ when Windows stopped in
  // between, and then the hive's .LOG holds what it lacks. hivex has read the header whole.
  const auto number = [&read](std::size_t at) {
    std::uint32_t value = 0;
    std::memcpy(&value, read.data() + at, sizeof value);
    return le32toh(value);
  };
  if (number(4) != number(8))
    return Fail("the hive's two sequence numbers differ (" + std::to_string(number(4)) + " and " +
                    std::to_string(number(8)) +
                    "): Windows did not finish writing it, and its .LOG file still holds changes. "
                    "Start that Windows once and shut it down normally, then try again",
                error);
  return true;
}

bool HiveFile::MakeWritable(std::string* error) {
  if (writable_) return true;
  hive_h* copy = hivex_open(FdPath(original_).c_str(), HIVEX_OPEN_WRITE);
  if (copy == nullptr) return Fail("cannot open the hive for changes: " + ErrnoText(errno), error);
  hivex_close(handle);
  handle = copy;
  writable_ = true;
  return true;
}

bool HiveFile::Commit(const HiveStore::BytesUse& use, std::string* error) {
  if (!MakeWritable(error)) return false;
  const int memory = memfd_create("korvane-hive-commit", MFD_CLOEXEC);
  if (memory < 0) return Fail("cannot hold the new hive in memory: " + ErrnoText(errno), error);
  if (hivex_commit(handle, FdPath(memory).c_str(), 0) != 0) {
    const int number = errno;
    close(memory);
    return Fail("cannot write the new hive: " + ErrnoText(number), error);
  }
  const bool used = UseMapped(memory, use, error);
  close(memory);
  return used;
}

bool HiveFile::Original(const HiveStore::BytesUse& use, std::string* error) const {
  return UseMapped(original_, use, error);
}

std::string HiveFile::NodePath(hive_node_h node) const {
  std::string names;
  const hive_node_h root = hivex_root(handle);
  for (std::size_t depth = 0; node != 0 && node != root && depth < kMaxKeyDepth; ++depth) {
    Freed<char> name(hivex_node_name(handle, node));
    names = std::string(name == nullptr ? "?" : name.get()) + (names.empty() ? "" : "\\") + names;
    node = hivex_node_parent(handle, node);
  }
  return names.empty() ? std::string("the root key") : names;
}

bool HiveFile::Fail(const std::string& message, std::string* error) const {
  *error = path + ": " + message;
  return false;
}

hive_node_h HiveFile::FindKey(std::initializer_list<std::string> names) const {
  hive_node_h node = hivex_root(handle);
  for (const std::string& name : names) {
    if (node == 0) return 0;
    node = hivex_node_get_child(handle, node, name.c_str());
  }
  return node;
}

bool HiveFile::ReadText(std::initializer_list<std::string> names, const char* valueName, std::string* text) const {
  const hive_node_h node = FindKey(names);
  const hive_value_h value = node == 0 ? 0 : hivex_node_get_value(handle, node, valueName);
  if (value == 0) return false;
  hive_type type{};
  std::size_t length = 0;
  Freed<char> data(hivex_value_value(handle, value, &type, &length));
  if (data == nullptr || !IsTextType(type)) return false;
  text->clear();
  NarrowUtf16Data(std::string_view(data.get(), length), kCodePageWestern, '?', text);
  text->resize(std::strlen(text->c_str()));
  return true;
}

}  // namespace korvane::hosted
