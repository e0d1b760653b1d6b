#include "machine_files/hive/hive_file.h"

#include <endian.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "machine_files/io/input_file.h"
#include "machine_files/io/printable.h"
#include "machine_files/reg/reg_format.h"
#include "machine_files/reg/utf16_text.h"
#include "machine_files/io/atomic_replace.h"
#include "platform/sim/code_pages.h"

namespace korvane::sim {

namespace {

std::string ErrnoText(int number) { return std::strerror(number); }

// The hive format's fixed facts: a 4096-byte base block (the header) that starts "regf" and
// says at 0x28 how many bytes of bins follow it; bins of multiples of 4096 bytes, each
// starting "hbin" with its own offset (from the end of the base block) and size.
constexpr std::string_view kHiveSignature = "regf";
constexpr std::string_view kBinSignature = "hbin";
constexpr std::size_t kBaseBlockSize = 0x1000;
constexpr std::size_t kBinsSizeAt = 0x28;
constexpr std::size_t kBinUnit = 0x1000;

std::uint32_t Read32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return le32toh(value);
}

std::string Hex(std::size_t number) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%zX", number);
  return text;
}

// Whether what has come so far may still be a hive: its first bytes are the signature's.
bool StartsAsHive(std::string_view read) {
  const std::size_t length = std::min(read.size(), kHiveSignature.size());
  return read.substr(0, length) == kHiveSignature.substr(0, length);
}


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

// The base block and its bins, as they stand in a hive file: the header's size of the bins'
// data against the bytes there are, and the chain of bins it covers. False with a message;
// `bytes` is the whole file, which may hold more after the bins.
bool CheckHiveLayout(std::string_view bytes, std::string* message) {
  if (bytes.substr(0, kHiveSignature.size()) != kHiveSignature) {
    *message = "not a registry hive: it does not start with \"regf\"";
    return false;
  }
  const auto fail = [message](const std::string& why) {
    *message = "damaged hive: " + why;
    return false;
  };
  if (bytes.size() < kBaseBlockSize)
    return fail("the file holds " + std::to_string(bytes.size()) + " bytes, less than the " +
                std::to_string(kBaseBlockSize) + " of a hive's header");
  const std::size_t bins = Read32(bytes, kBinsSizeAt);
  const std::string says = "the header says " + std::to_string(bins) + " bytes of hive data";
  if (bins == 0 || bins % kBinUnit != 0) return fail(says + ", which is no multiple of " + std::to_string(kBinUnit));
  if (bins > kHiveFileLimit - kBaseBlockSize)
    return fail(says + ", more than a hive file may hold (" + DescribeLimit(kHiveFileLimit) + ")");
  if (bins > bytes.size() - kBaseBlockSize)
    return fail(says + ", the file holds " + std::to_string(bytes.size() - kBaseBlockSize));
  // hivex takes the bins as they come and writes new ones where the header says the data
  // ends: a chain with a gap or an overlap would be saved as a hive nothing reads.
  const std::size_t end = kBaseBlockSize + bins;
  for (std::size_t at = kBaseBlockSize; at < end;) {
    if (bytes.substr(at, kBinSignature.size()) != kBinSignature)
      return fail("no hive bin at " + Hex(at) + ", inside the " + std::to_string(bins) +
                  " bytes of hive data the header says");
    if (const std::size_t offset = Read32(bytes, at + 4); offset != at - kBaseBlockSize)
      return fail("the hive bin at " + Hex(at) + " gives its offset as " + Hex(offset));
    const std::size_t size = Read32(bytes, at + 8);
    if (size == 0 || size % kBinUnit != 0 || size > end - at)
      return fail("the hive bin at " + Hex(at) + " has a size of " + std::to_string(size) +
                  ", which is no multiple of " + std::to_string(kBinUnit) + " within the hive data");
    at += size;
  }
  return true;
}

// How much of an input a hive takes: npos while the header has not come whole, else the
// base block and the bins it names, or what has come when that is no hive's header.
std::size_t HiveInputEnd(std::string_view read) {
  if (!StartsAsHive(read)) return read.size();
  if (read.size() < kBinsSizeAt + 4) return std::string_view::npos;
  const std::size_t end = kBaseBlockSize + Read32(read, kBinsSizeAt);
  if (end > kHiveFileLimit) return read.size();
  return read.size() >= end ? end : std::string_view::npos;
}

}  // namespace

HiveFile::~HiveFile() {
  if (handle != nullptr) hivex_close(handle);
  if (original_ >= 0) close(original_);
  if (committed_ >= 0) close(committed_);
}

bool HiveFile::Open(std::string* error) {
  // Whatever happens to the file afterwards, hivex sees the bytes read here, and they are
  // what a backup of the original keeps. A regular file states its length and is read whole,
  // so that its backup keeps every byte of it; a device or a pipe is read no further than its
  // header says the hive holds. Either stops as soon as its first bytes are no hive's.
  struct stat status {};
  const bool regular = stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
  const FindInputEnd decided = [regular](std::string_view read, std::size_t) {
    if (regular) return StartsAsHive(read) ? std::string_view::npos : read.size();
    return HiveInputEnd(read);
  };
  InputBytes bytes;
  std::string message;
  if (!ReadInputFile(path, "the hive", kHiveFileLimit, &bytes, &message, decided)) return Fail(message, error);
  const std::string_view read = bytes.View();
  if (!CheckHiveLayout(read, &message)) return Fail(message, error);
  // Windows raises the first number before it writes the hive and the second once it has
  // written all of it; hivex checks neither. The two differ when Windows stopped in
  // between, and then the hive's .LOG holds what it lacks.
  if (Read32(read, 4) != Read32(read, 8))
    return Fail("the hive's two sequence numbers differ (" + std::to_string(Read32(read, 4)) + " and " +
                    std::to_string(Read32(read, 8)) +
                    "): Windows did not finish writing it, and its .LOG file still holds changes. "
                    "Start that Windows once and shut it down normally, then try again",
                error);
  size = read.size();
  original_ = HoldInMemory(read);
  if (original_ < 0) return Fail("cannot hold the hive in memory: " + ErrnoText(errno), error);
  handle = hivex_open(FdPath(original_).c_str(), 0);
  if (handle == nullptr) {
    const int number = errno;
    if (number == ENOTSUP || number == EINVAL || number == EFAULT)
      return Fail("damaged hive: hivex refuses its header or its cells (" + ErrnoText(number) + ")", error);
    return Fail("cannot open the hive: " + ErrnoText(number), error);
  }
  return true;
}

bool HiveFile::MakeWritable(std::string* error) {
  if (committed_ >= 0) {
    close(committed_);
    committed_ = -1;
  }
  if (writable_) return true;
  hive_h* copy = hivex_open(FdPath(original_).c_str(), HIVEX_OPEN_WRITE);
  if (copy == nullptr) return Fail("cannot open the hive for changes: " + ErrnoText(errno), error);
  hivex_close(handle);
  handle = copy;
  writable_ = true;
  return true;
}

bool HiveFile::Commit(std::string* error) {
  if (committed_ >= 0) return true;
  if (!MakeWritable(error)) return false;
  const int memory = memfd_create("korvane-hive-commit", MFD_CLOEXEC);
  if (memory < 0) return Fail("cannot hold the new hive in memory: " + ErrnoText(errno), error);
  const auto damaged = [&](const std::string& why) {
    close(memory);
    return Fail("damaged hive: " + why, error);
  };
  if (hivex_commit(handle, FdPath(memory).c_str(), 0) != 0) return damaged("hivex cannot write it: " + ErrnoText(errno));
  // What hivex wrote replaces the user's hive: it must read back as one, by these checks and
  // by hivex's own.
  std::string why;
  const auto check = [](std::string_view bytes, std::string* message) { return CheckHiveLayout(bytes, message); };
  if (!UseMapped(memory, check, &why)) return damaged("hivex would write it as no readable hive: " + why);
  hive_h* back = hivex_open(FdPath(memory).c_str(), 0);
  if (back == nullptr) return damaged("hivex cannot read back what it would write: " + ErrnoText(errno));
  hivex_close(back);
  committed_ = memory;
  return true;
}

bool HiveFile::Committed(const HiveStore::BytesUse& use, std::string* error) const {
  if (committed_ < 0) return Fail("the hive was not committed", error);
  return UseMapped(committed_, use, error);
}

bool HiveFile::Original(const HiveStore::BytesUse& use, std::string* error) const {
  return UseMapped(original_, use, error);
}

std::string HiveFile::NodePath(hive_node_h node) const {
  std::string names;
  const hive_node_h root = hivex_root(handle);
  for (std::size_t depth = 0; node != 0 && node != root && depth < kMaxKeyDepth; ++depth) {
    HivexMemory<char> name(hivex_node_name(handle, node));
    names = std::string(name == nullptr ? "?" : name.get()) + (names.empty() ? "" : "\\") + names;
    node = hivex_node_parent(handle, node);
  }
  return names.empty() ? std::string("the root key") : Printable(names);
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
  HiveValueType type = 0;
  std::size_t length = 0;
  HivexMemory<char> data(hivex_value_value(handle, value, TypeOut(&type), &length));
  if (data == nullptr || !IsTextType(type)) return false;
  text->clear();
  NarrowUtf16Data(std::string_view(data.get(), length), kCodePageWestern, '?', text);
  text->resize(std::strlen(text->c_str()));
  return true;
}

}  // namespace korvane::sim
