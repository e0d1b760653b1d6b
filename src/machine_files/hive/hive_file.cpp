#include "machine_files/hive/hive_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "machine_files/hive/hive_layout.h"
#include "machine_files/io/input_file.h"
#include "machine_files/io/printable.h"
#include "machine_files/reg/reg_format.h"
#include "machine_files/reg/utf16_text.h"
#include "machine_files/io/atomic_replace.h"
#include "platform/sim/code_pages.h"

namespace korvane::sim {

using namespace hive_layout;

namespace {

std::string ErrnoText(int number) { return std::strerror(number); }

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

// A regular file's bytes (through links) straight into a new memory file, without a copy in
// the process's own memory: the first block read, then the rest by the kernel, as far as the
// file goes when it is copied, up to the limit. A file whose first bytes are no hive's is
// copied no further. -1 with `error` saying why.
int CopyRegularFile(const std::string& path, std::string* error) {
  InputStream input;
  if (!input.Open(path, "the hive", kHiveFileLimit, error)) return -1;
  const int memory = memfd_create("korvane-hive", MFD_CLOEXEC);
  const auto fail = [&](int number) {
    *error = "cannot read the hive: " + ErrnoText(number);
    if (memory >= 0) close(memory);
    return -1;
  };
  if (memory < 0) return fail(errno);
  char first[kBaseBlockSize];
  std::size_t count = 0;
  if (!input.Read(first, sizeof first, &count, error)) {
    close(memory);
    return -1;
  }
  const std::string_view head(first, count);
  if (!WriteAll(memory, head)) return fail(errno);
  std::size_t copied = head.size();
  while (StartsAsHive(head) && copied <= kHiveFileLimit) {
    const ssize_t sent = sendfile(memory, input.Descriptor(), nullptr, kHiveFileLimit + 1 - copied);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) return fail(errno);
    if (sent == 0) break;
    copied += static_cast<std::size_t>(sent);
  }
  if (copied > kHiveFileLimit) {
    close(memory);
    *error = "the hive is longer than the limit of " + DescribeLimit(kHiveFileLimit);
    return -1;
  }
  return memory;
}

}  // namespace

HiveFile::~HiveFile() {
  if (handle != nullptr) hivex_close(handle);
  if (!bytes_.empty()) munmap(const_cast<char*>(bytes_.data()), bytes_.size());
  if (original_ >= 0) close(original_);
  if (committed_ >= 0) close(committed_);
}

bool HiveFile::Open(std::string* error) {
  // Whatever happens to the file afterwards, hivex sees the bytes read here, and they are
  // what a backup of the original keeps. A regular file states its length and is read whole,
  // so that its backup keeps every byte of it; a device or a pipe is read no further than its
  // header says the hive holds. Either stops as soon as its first bytes are no hive's.
  struct stat status {};
  std::string message;
  if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
    original_ = CopyRegularFile(path, &message);
    if (original_ < 0) return Fail(message, error);
  } else {
    InputBytes bytes;
    const FindInputEnd decided = [](std::string_view read, std::size_t) { return HiveInputEnd(read); };
    if (!ReadInputFile(path, "the hive", kHiveFileLimit, &bytes, &message, decided)) return Fail(message, error);
    original_ = HoldInMemory(bytes.View());
    if (original_ < 0) return Fail("cannot hold the hive in memory: " + ErrnoText(errno), error);
  }
  struct stat held {};
  if (fstat(original_, &held) != 0) return Fail("cannot map the hive: " + ErrnoText(errno), error);
  size = static_cast<std::size_t>(held.st_size);
  void* mapped = size == 0 ? nullptr : mmap(nullptr, size, PROT_READ, MAP_SHARED, original_, 0);
  if (mapped == MAP_FAILED) return Fail("cannot map the hive: " + ErrnoText(errno), error);
  bytes_ = std::string_view(static_cast<const char*>(mapped), size);
  if (!CheckHiveLayout(bytes_, &message)) return Fail(message, error);
  // Windows raises the first number before it writes the hive and the second once it has
  // written all of it; hivex checks neither. The two differ when Windows stopped in
  // between, and then the hive's .LOG holds what it lacks.
  if (Read32(bytes_, 4) != Read32(bytes_, 8))
    return Fail("the hive's two sequence numbers differ (" + std::to_string(Read32(bytes_, 4)) + " and " +
                    std::to_string(Read32(bytes_, 8)) +
                    "): Windows did not finish writing it, and its .LOG file still holds changes. "
                    "Start that Windows once and shut it down normally, then try again",
                error);
  // hivex's own checks of the header and the cells, on a mapping of its own that goes again:
  // the keys are read here, and the pages each mapping reads count once each.
  GiveBack();
  hive_h* checked = hivex_open(FdPath(original_).c_str(), 0);
  if (checked == nullptr) {
    const int number = errno;
    if (number == ENOTSUP || number == EINVAL || number == EFAULT)
      return Fail("damaged hive: hivex refuses its header or its cells (" + ErrnoText(number) + ")", error);
    return Fail("cannot open the hive: " + ErrnoText(number), error);
  }
  hivex_close(checked);
  // hivex accepted every bin and cell, which it walks as this does.
  inUse_.assign(size / 4 + 1, false);
  const std::size_t end = kBaseBlockSize + Read32(bytes_, kBinsSizeAt);
  for (std::size_t bin = kBaseBlockSize; bin < end;) {
    const std::size_t binEnd = bin + Read32(bytes_, bin + 8);
    for (std::size_t cell = bin + 0x20; cell + 4 <= binEnd;) {
      const std::size_t length = CellLength(bytes_, cell);
      if (length <= 4 || length % 4 != 0 || length > binEnd - cell) break;
      if (static_cast<std::int32_t>(Read32(bytes_, cell)) < 0) inUse_[cell / 4] = true;
      cell += length;
    }
    bin = binEnd;
  }
  return true;
}

void HiveFile::GiveBack() const {
  if (!bytes_.empty()) madvise(const_cast<char*>(bytes_.data()), bytes_.size(), MADV_DONTNEED);
}

bool HiveFile::OpenHivex(std::string* error) {
  if (handle != nullptr) return true;
  handle = hivex_open(FdPath(original_).c_str(), 0);
  if (handle == nullptr) return Fail("cannot open the hive: " + ErrnoText(errno), error);
  return true;
}

bool HiveFile::MakeWritable(std::string* error) {
  if (committed_ >= 0) {
    close(committed_);
    committed_ = -1;
  }
  if (writable_) return true;
  // The mapping goes before the copy comes: the nodes are the same offsets in both.
  if (handle != nullptr) hivex_close(handle);
  handle = hivex_open(FdPath(original_).c_str(), HIVEX_OPEN_WRITE);
  if (handle == nullptr) return Fail("cannot open the hive for changes: " + ErrnoText(errno), error);
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

// --- What hivex frees ---

void HiveFile::MapCells() {
  if (!cells_.empty()) return;
  cells_ = inUse_;
  CountUses();
}

void HiveFile::CountUses() {
  std::vector<bool> usedOnce(size / 4 + 1);
  shared_.assign(size / 4 + 1, false);
  const auto use = [&](std::size_t offset) {
    if (offset >= size || offset % 4 != 0) return;
    if (usedOnce[offset / 4]) shared_[offset / 4] = true;
    usedOnce[offset / 4] = true;
  };
  // The hive passed Check, so every key below the root reads; each is counted once.
  std::vector<hive_node_h> pending{Root()}, subkeys;
  std::vector<hive_value_h> values;
  std::vector<bool> seen(size / 8 + 1);
  while (!pending.empty()) {
    const hive_node_h node = pending.back();
    pending.pop_back();
    if (!IsRecord(node, "nk", kKeyFieldsEnd) || seen[node / 8]) continue;
    seen[node / 8] = true;
    if (Read32(bytes_, node + kKeySubkeyCount) != 0) {
      const std::size_t lists = std::size_t{Read32(bytes_, node + kKeySubkeyList)} + kBaseBlockSize;
      use(lists);
      if (IsCell(lists) && CellLength(bytes_, lists) >= 8 && bytes_.substr(lists + 4, 2) == "ri") {
        const std::size_t count = Read16(bytes_, lists + 6);
        for (std::size_t i = 0; i < count && 8 + 4 * (i + 1) <= CellLength(bytes_, lists); ++i)
          use(std::size_t{Read32(bytes_, lists + 8 + 4 * i)} + kBaseBlockSize);
      }
    }
    if (Read32(bytes_, node + kKeyValueCount) != 0)
      use(std::size_t{Read32(bytes_, node + kKeyValueList)} + kBaseBlockSize);
    if (Values(node, &values))
      for (const hive_value_h value : values) {
        use(value);
        if (IsRecord(value, "vk", kValueFieldsEnd) && (Read32(bytes_, value + kValueDataLength) & kDataInline) == 0)
          use(std::size_t{Read32(bytes_, value + kValueDataOffset)} + kBaseBlockSize);
      }
    if (const std::uint32_t className = Read32(bytes_, node + kKeyClassName); className != kNoCell)
      use(std::size_t{className} + kBaseBlockSize);
    if (Subkeys(node, &subkeys)) pending.insert(pending.end(), subkeys.begin(), subkeys.end());
  }
  // As after Check: the walk read every page, and the save is about to need memory of its own.
  GiveBack();
}

bool HiveFile::TakeCell(std::size_t offset, std::size_t* length) {
  if (offset % 4 != 0 || offset < kBaseBlockSize || offset >= size || !cells_[offset / 4] || shared_[offset / 4])
    return false;
  cells_[offset / 4] = false;
  *length = CellLength(bytes_, offset);
  return true;
}

bool HiveFile::CanReplaceValues(hive_node_h node, std::string* why) {
  if (added.count(node) != 0 || replaced_.count(node) != 0) return true;
  MapCells();
  if (node % 4 != 0 || node < kBaseBlockSize || node >= size || !cells_[node / 4] ||
      CellLength(bytes_, node) < kKeyFieldsEnd) {
    *why = "the key is no cell in use at " + Hex(node);
    return false;
  }
  return CanFreeValues(node, why);
}

// In hivex's order: the value list, then each value's data cell (unless its data is held in
// the value) and the value itself.
bool HiveFile::CanFreeValues(hive_node_h node, std::string* why) {
  const std::size_t count = Read32(bytes_, node + kKeyValueCount);
  if (count == 0) return true;
  const std::size_t list = std::size_t{Read32(bytes_, node + kKeyValueList)} + kBaseBlockSize;
  std::size_t length = 0;
  if (!TakeCell(list, &length) || length < 4 || count > (length - 4) / 4) {
    *why = "its value list at " + Hex(list) + " is no cell in use of its own";
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t value = std::size_t{Read32(bytes_, list + 4 + 4 * i)} + kBaseBlockSize;
    if (value % 4 != 0 || value < kBaseBlockSize || value > size - kValueFieldsEnd ||
        CellLength(bytes_, value) < kValueFieldsEnd) {
      *why = "its value at " + Hex(value) + " is no cell of a value";
      return false;
    }
    if ((Read32(bytes_, value + kValueDataLength) & kDataInline) == 0) {
      const std::size_t data = std::size_t{Read32(bytes_, value + kValueDataOffset)} + kBaseBlockSize;
      if (!TakeCell(data, &length)) {
        *why = "the data of its value at " + Hex(value) + ", at " + Hex(data) + ", is no cell in use of its own";
        return false;
      }
    }
    if (!TakeCell(value, &length)) {
      *why = "its value at " + Hex(value) + " is no cell in use of its own";
      return false;
    }
  }
  return true;
}

bool HiveFile::CanDeleteKey(hive_node_h node, std::string* why) {
  MapCells();
  return CanFreeKey(node, 0, why);
}

// hivex deletes the subkeys first, then for each key its subkey lists, its values, its
// security (which it checks itself), its class name and the key.
bool HiveFile::CanFreeKey(hive_node_h node, std::size_t depth, std::string* why) {
  if (added.count(node) != 0) return true;
  if (depth > kMaxKeyDepth || node % 4 != 0 || node < kBaseBlockSize || node >= size || !cells_[node / 4] ||
      CellLength(bytes_, node) < kKeyFieldsEnd) {
    *why = "the key at " + Hex(node) + " is no cell in use of its own";
    return false;
  }
  HivexMemory<hive_node_h> children(hivex_node_children(handle, node));
  if (children == nullptr) {
    *why = "the subkeys of the key at " + Hex(node) + " cannot be read";
    return false;
  }
  // A key added below it made hivex write the key's subkey lists anew.
  bool relisted = false;
  for (const hive_node_h* child = children.get(); *child != 0; ++child) {
    relisted = relisted || added.count(*child) != 0;
    if (!CanFreeKey(*child, depth + 1, why)) return false;
  }
  std::size_t length = 0;
  if (!relisted && Read32(bytes_, node + kKeySubkeyCount) != 0) {
    const std::size_t lists = std::size_t{Read32(bytes_, node + kKeySubkeyList)} + kBaseBlockSize;
    bool taken = TakeCell(lists, &length);
    // An index of lists ("ri") names the lists hivex frees with it.
    if (taken && length >= 8 && bytes_.substr(lists + 4, 2) == "ri") {
      const std::size_t count = std::uint16_t(Read32(bytes_, lists + 4) >> 16);
      taken = count <= (length - 8) / 4;
      for (std::size_t i = 0; taken && i < count; ++i) {
        std::size_t listLength = 0;
        taken = TakeCell(std::size_t{Read32(bytes_, lists + 8 + 4 * i)} + kBaseBlockSize, &listLength);
      }
    }
    if (!taken) {
      *why = "the subkey lists of the key at " + Hex(node) + " are no cells in use of their own";
      return false;
    }
  }
  if (replaced_.count(node) == 0 && !CanFreeValues(node, why)) return false;
  if (const std::uint32_t className = Read32(bytes_, node + kKeyClassName); className != kNoCell) {
    if (!TakeCell(std::size_t{className} + kBaseBlockSize, &length)) {
      *why = "the class name of the key at " + Hex(node) + " is no cell in use of its own";
      return false;
    }
  }
  if (!TakeCell(node, &length)) {
    *why = "the key at " + Hex(node) + " is no cell in use of its own";
    return false;
  }
  return true;
}

bool HiveFile::Fail(const std::string& message, std::string* error) const {
  *error = path + ": " + message;
  return false;
}

}  // namespace korvane::sim
