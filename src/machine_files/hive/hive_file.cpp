#include "machine_files/hive/hive_file.h"

#include <endian.h>
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

std::uint16_t Read16(std::string_view bytes, std::size_t at) {
  std::uint16_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return le16toh(value);
}

// A cell's length, from the size before it, negative while the cell is in use.
std::size_t CellLength(std::string_view bytes, std::size_t at) {
  const auto raw = static_cast<std::int32_t>(Read32(bytes, at));
  return raw < 0 ? static_cast<std::size_t>(-static_cast<std::int64_t>(raw)) : static_cast<std::size_t>(raw);
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

// A regular file's bytes (through links) straight into a new memory file, without a copy in
// the process's own memory: the first block read, then the rest by the kernel, as far as the
// file goes when it is copied, up to the limit. A file whose first bytes are no hive's is
// copied no further. -1 with `error` saying why.
int CopyRegularFile(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  const auto fail = [&](int number, int memory) {
    *error = "cannot read the hive: " + ErrnoText(number);
    if (memory >= 0) close(memory);
    if (fd >= 0) close(fd);
    return -1;
  };
  if (fd < 0) return fail(errno, -1);
  struct stat status {};
  if (fstat(fd, &status) != 0) return fail(errno, -1);
  if (static_cast<std::uintmax_t>(status.st_size) > kHiveFileLimit) {
    close(fd);
    *error = "the hive is longer than the limit of " + DescribeLimit(kHiveFileLimit);
    return -1;
  }
  const int memory = memfd_create("korvane-hive", MFD_CLOEXEC);
  if (memory < 0) return fail(errno, -1);
  char first[kBaseBlockSize];
  ssize_t count = 0;
  do count = read(fd, first, sizeof first);
  while (count < 0 && errno == EINTR);
  if (count < 0) return fail(errno, memory);
  const std::string_view head(first, static_cast<std::size_t>(count));
  if (!WriteAll(memory, head)) return fail(errno, memory);
  std::size_t copied = head.size();
  while (StartsAsHive(head) && copied <= kHiveFileLimit) {
    const ssize_t sent = sendfile(memory, fd, nullptr, kHiveFileLimit + 1 - copied);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) return fail(errno, memory);
    if (sent == 0) break;
    copied += static_cast<std::size_t>(sent);
  }
  close(fd);
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

namespace {

// The fields hivex reads to find the cells it frees, from the start of each record (its
// 4-byte size included); offsets in the hive are from the end of the base block, and
// 0xFFFFFFFF is none.
constexpr std::size_t kKeySubkeyCount = 24;
constexpr std::size_t kKeySubkeyList = 32;
constexpr std::size_t kKeyValueCount = 40;
constexpr std::size_t kKeyValueList = 44;
constexpr std::size_t kKeyClassName = 52;
constexpr std::size_t kKeyFieldsEnd = 56;
constexpr std::size_t kValueDataLength = 8;
constexpr std::size_t kValueDataOffset = 12;
constexpr std::size_t kValueFieldsEnd = 16;
constexpr std::uint32_t kNoCell = 0xFFFFFFFF;
// A value's data held in its record, not in a cell of its own.
constexpr std::uint32_t kDataInline = 0x80000000;

}  // namespace

void HiveFile::MapCells() {
  if (cells_.empty()) cells_ = inUse_;
}

bool HiveFile::TakeCell(std::size_t offset, std::size_t* length) {
  if (offset % 4 != 0 || offset < kBaseBlockSize || offset >= size || !cells_[offset / 4]) return false;
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

// --- Reading the keys ---

namespace {

// The records hivex reads, and their fields from the start of each cell.
constexpr std::size_t kRootAt = 0x24;
constexpr std::size_t kKeyFlags = 6;
constexpr std::size_t kKeyParent = 20;
constexpr std::size_t kKeyNameLength = 76;
constexpr std::size_t kKeyName = 80;  // where the fixed fields end
constexpr std::uint16_t kKeyNameLatin1 = 0x20;
constexpr std::size_t kValueNameLength = 6;
constexpr std::size_t kValueType = 16;
constexpr std::size_t kValueFlags = 20;
constexpr std::size_t kValueName = 24;
constexpr std::uint16_t kValueNameLatin1 = 0x01;
// hivex's own limits: what it reads of one key, and how deep an index of lists may go.
constexpr std::size_t kMaxSubkeys = 70000;
constexpr std::size_t kMaxValues = 110000;
constexpr std::size_t kMaxValueLength = 8000000;
constexpr std::size_t kMaxListDepth = 32;

// Whether hivex can read the name: iconv takes any Latin-1, and UTF-16LE only as whole code
// units with each surrogate in a pair.
bool NameReadable(std::string_view name, bool utf16) {
  if (!utf16) return true;
  if (name.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < name.size(); i += 2) {
    const unsigned unit = Read16(name, i);
    if (unit >= 0xDC00 && unit < 0xE000) return false;
    if (unit >= 0xD800 && unit < 0xDC00) {
      if (i + 2 >= name.size()) return false;
      const unsigned next = Read16(name, i + 2);
      if (next < 0xDC00 || next >= 0xE000) return false;
      i += 2;
    }
  }
  return true;
}

// Each character of a readable name up to its first NUL, where the text hivex gives ends.
template <typename Use>
void ForEachCharacter(std::string_view name, bool utf16, const Use& use) {
  for (std::size_t i = 0; i < name.size();) {
    char32_t c = 0;
    if (!utf16) {
      c = static_cast<unsigned char>(name[i++]);
    } else {
      c = Read16(name, i);
      i += 2;
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < name.size()) {
        c = 0x10000 + ((c - 0xD800) << 10) + (Read16(name, i) - 0xDC00);
        i += 2;
      }
    }
    if (c == 0) return;
    use(c);
  }
}

// The name as the ANSI functions of Windows NT give it: '?' for a character the code page lacks.
std::string NameToAnsi(std::string_view name, bool utf16, unsigned codePage) {
  std::string ansi;
  ForEachCharacter(name, utf16, [&](char32_t c) {
    if (c < 0x80)
      ansi.push_back(static_cast<char>(c));
    else if (!UnicodeToAnsiChar(codePage, c, &ansi))
      ansi.push_back('?');
  });
  return ansi;
}

std::string NameToUtf8(std::string_view name, bool utf16) {
  std::string utf8;
  ForEachCharacter(name, utf16, [&](char32_t c) { AppendUtf8(c, &utf8); });
  return utf8;
}

// hivex finds keys and values by names compared with ASCII letters folded.
bool SameAsciiName(std::string_view name, bool utf16, const std::string& wanted) {
  return strcasecmp(NameToUtf8(name, utf16).c_str(), wanted.c_str()) == 0;
}

}  // namespace

bool HiveFile::IsRecord(std::size_t offset, std::string_view id, std::size_t fields) const {
  // hivex reads a record's fields without asking whether its cell holds them; every hive
  // Windows writes does, and one that does not is read here as damaged.
  return IsCell(offset) && CellLength(bytes_, offset) >= fields && bytes_[offset + 4] == id[0] &&
         bytes_[offset + 5] == id[1];
}

hive_node_h HiveFile::Root() const { return std::size_t{Read32(bytes_, kRootAt)} + kBaseBlockSize; }

bool HiveFile::Subkeys(hive_node_h node, std::vector<hive_node_h>* subkeys) const {
  subkeys->clear();
  if (!IsRecord(node, "nk", kKeyName)) return false;
  const std::size_t count = Read32(bytes_, node + kKeySubkeyCount);
  if (count == 0) return true;
  const std::size_t list = std::size_t{Read32(bytes_, node + kKeySubkeyList)} + kBaseBlockSize;
  std::size_t lists = 0;
  return count <= kMaxSubkeys && IsCell(list) && AddSubkeys(list, 0, &lists, count, subkeys) &&
         subkeys->size() == count;
}

// A list of subkeys: "lf" and "lh" (offsets with hashes), "li" (offsets), or "ri" (an index
// of lists).
bool HiveFile::AddSubkeys(std::size_t list, std::size_t depth, std::size_t* lists, std::size_t count,
                          std::vector<hive_node_h>* subkeys) const {
  if (++*lists > kMaxSubkeys) return false;
  const std::string_view id = bytes_.substr(list + 4, 2);
  const std::size_t entries = Read16(bytes_, list + 6);
  const std::size_t step = id == "lf" || id == "lh" ? 8 : 4;
  if (id != "lf" && id != "lh" && id != "li" && id != "ri") return false;
  if (8 + entries * step > CellLength(bytes_, list)) return false;
  for (std::size_t i = 0; i < entries; ++i) {
    const std::size_t offset = std::size_t{Read32(bytes_, list + 8 + i * step)} + kBaseBlockSize;
    if (id == "ri") {
      if (!IsCell(offset) || depth + 1 > kMaxListDepth || !AddSubkeys(offset, depth + 1, lists, count, subkeys))
        return false;
      continue;
    }
    if (!IsRecord(offset, "nk", kKeyName) || subkeys->size() >= count) return false;
    subkeys->push_back(offset);
  }
  return true;
}

bool HiveFile::Values(hive_node_h node, std::vector<hive_value_h>* values) const {
  values->clear();
  if (!IsRecord(node, "nk", kKeyName)) return false;
  const std::size_t count = Read32(bytes_, node + kKeyValueCount);
  if (count == 0) return true;
  const std::size_t list = std::size_t{Read32(bytes_, node + kKeyValueList)} + kBaseBlockSize;
  if (count > kMaxValues || !IsCell(list) || 4 + count * 4 > CellLength(bytes_, list)) return false;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t value = std::size_t{Read32(bytes_, list + 4 + 4 * i)} + kBaseBlockSize;
    if (!IsCell(value)) return false;
    values->push_back(value);
  }
  return true;
}

bool HiveFile::KeyName(hive_node_h node, std::string_view* name, bool* utf16) const {
  if (!IsRecord(node, "nk", kKeyName)) return false;
  const std::size_t length = Read16(bytes_, node + kKeyNameLength);
  if (kKeyName + length > CellLength(bytes_, node)) return false;
  *name = bytes_.substr(node + kKeyName, length);
  *utf16 = (Read16(bytes_, node + kKeyFlags) & kKeyNameLatin1) == 0;
  return true;
}

bool HiveFile::ValueName(hive_value_h value, std::string_view* name, bool* utf16) const {
  if (!IsRecord(value, "vk", kValueName)) return false;
  const std::size_t length = Read16(bytes_, value + kValueNameLength);
  if (kValueName + length > CellLength(bytes_, value)) return false;
  *name = bytes_.substr(value + kValueName, length);
  *utf16 = (Read16(bytes_, value + kValueFlags) & kValueNameLatin1) == 0;
  return true;
}

// Held in the value itself (4 bytes at most), in a cell of its own, or, beyond what one
// cell holds, in the blocks a "db" record lists, each but its last 4 bytes.
bool HiveFile::ValueData(hive_value_h value, HiveValueType* type, std::string* data) const {
  if (!IsRecord(value, "vk", kValueName)) return false;
  *type = Read32(bytes_, value + kValueType);
  const std::uint32_t declared = Read32(bytes_, value + kValueDataLength);
  const std::size_t length = declared & ~kDataInline;
  if (length > kMaxValueLength || ((declared & kDataInline) != 0 && length > 4)) return false;
  if (data != nullptr) data->clear();
  if ((declared & kDataInline) != 0) {
    if (data != nullptr) data->assign(bytes_.substr(value + kValueDataOffset, length));
    return true;
  }
  const std::size_t cell = std::size_t{Read32(bytes_, value + kValueDataOffset)} + kBaseBlockSize;
  if (!IsCell(cell)) return false;
  if (length <= CellLength(bytes_, cell) - 4) {
    if (data != nullptr) data->assign(bytes_.substr(cell + 4, length));
    return true;
  }
  if (!IsRecord(cell, "db", 12)) return false;
  const std::size_t blocks = Read16(bytes_, cell + 6);
  const std::size_t list = std::size_t{Read32(bytes_, cell + 8)} + kBaseBlockSize;
  if (!IsCell(list) || 4 + blocks * 4 > CellLength(bytes_, list)) return false;
  for (std::size_t i = 0, at = 0; i < blocks; ++i) {
    const std::size_t block = std::size_t{Read32(bytes_, list + 4 + 4 * i)} + kBaseBlockSize;
    if (!IsCell(block)) return false;
    const std::size_t part = std::min(CellLength(bytes_, block) - 8, length - at);
    if (data != nullptr) data->append(bytes_.substr(block + 4, part));
    at += part;
  }
  return true;
}

bool HiveFile::Check(std::string* error) {
  struct Pending {
    hive_node_h node;
    std::size_t depth;
  };
  std::vector<Pending> pending{{Root(), 0}};
  // A damaged or hostile hive can link a key below itself; each key is read once. Keys are
  // cells, which start on multiples of 8.
  std::vector<bool> seen(size / 8 + 1);
  std::vector<hive_node_h> subkeys;
  std::vector<hive_value_h> values;
  std::string_view name;
  bool utf16 = false;
  HiveValueType type = 0;
  while (!pending.empty()) {
    const Pending at = pending.back();
    pending.pop_back();
    if (seen[at.node / 8]) return Fail("damaged hive: the key " + NodePath(at.node) + " is linked in twice", error);
    seen[at.node / 8] = true;
    if (!Values(at.node, &values))
      return Fail("damaged hive: the values of " + NodePath(at.node) + " cannot be read", error);
    for (const hive_value_h value : values)
      if (!ValueName(value, &name, &utf16) || !NameReadable(name, utf16) || !ValueData(value, &type, nullptr))
        return Fail("damaged hive: a value of " + NodePath(at.node) + " cannot be read", error);
    if (!Subkeys(at.node, &subkeys))
      return Fail("damaged hive: the subkeys of " + NodePath(at.node) + " cannot be read", error);
    if (!subkeys.empty() && at.depth + 1 > kMaxKeyDepth)
      return Fail("damaged hive: keys nested deeper than " + std::to_string(kMaxKeyDepth) + " levels under " +
                      NodePath(at.node),
                  error);
    for (const hive_node_h subkey : subkeys) {
      if (!KeyName(subkey, &name, &utf16) || !NameReadable(name, utf16))
        return Fail("damaged hive: a subkey name of " + NodePath(at.node) + " cannot be read", error);
      pending.push_back({subkey, at.depth + 1});
    }
  }
  // Checking read every page; the run reads a few of them again, and the rest need not stay.
  GiveBack();
  return true;
}

void HiveKeys::Fill(RegNode& node, std::uint64_t id) {
  // Keys whose names are one after conversion are one key, read in the order a walk of the
  // hive from its last subkey to its first meets them: the first one's values stand.
  std::vector<hive_node_h> sources;
  if (const auto same = sameNamed_.find(&node); same != sameNamed_.end()) {
    sources.assign(same->second.rbegin(), same->second.rend());
    sameNamed_.erase(same);
  }
  sources.push_back(id);
  for (const hive_node_h source : sources) FillFromKey(node, source);
}

void HiveKeys::FillFromKey(RegNode& node, hive_node_h key) {
  std::vector<hive_value_h> values;
  std::vector<hive_node_h> subkeys;
  std::string_view name;
  bool utf16 = false;
  // Check read every key this reads; only memory running out can fail here.
  if (!hive_.Values(key, &values) || !hive_.Subkeys(key, &subkeys)) {
    failure_ = hive_.path + ": cannot read the key " + hive_.NodePath(key);
    return;
  }
  std::string data, ansi;
  for (const hive_value_h value : values) {
    HiveValueType type = 0;
    if (!hive_.ValueName(value, &name, &utf16) || !hive_.ValueData(value, &type, &data)) {
      failure_ = hive_.path + ": cannot read a value of " + hive_.NodePath(key);
      return;
    }
    std::vector<std::uint8_t> bytes;
    if (IsTextType(type)) {
      ansi.clear();
      NarrowUtf16Data(data, codePage_, '?', &ansi);
      bytes.assign(ansi.begin(), ansi.end());
    } else {
      bytes.assign(data.begin(), data.end());
    }
    node.PutValue(NameToAnsi(name, utf16, codePage_), type, std::move(bytes));
  }
  const bool systemRoot = hive_.kind == HiveKind::kSystem && key == hive_.Root();
  std::unordered_set<const RegNode*> made;
  for (const hive_node_h subkey : subkeys) {
    if (!hive_.KeyName(subkey, &name, &utf16)) {
      failure_ = hive_.path + ": cannot read a subkey name of " + hive_.NodePath(key);
      return;
    }
    std::string ansiName = NameToAnsi(name, utf16, codePage_);
    if (systemRoot) {
      // On a running Windows CurrentControlSet is a link to the current control set, made
      // at start-up; that control set is seen here under its name only.
      if (EqualsFolded(ansiName, "CurrentControlSet")) continue;
      if (EqualsFolded(ansiName, currentControlSet_)) ansiName = "CurrentControlSet";
    }
    const std::size_t before = node.Subkeys().size();
    RegNode& child = node.AppendSubkey(ansiName);
    if (node.Subkeys().size() > before) {
      child.FillFrom(this, subkey);
      made.insert(&child);
    } else if (made.count(&child) != 0) {
      sameNamed_[&child].push_back(subkey);
    } else {
      FillFromKey(child, subkey);  // a key the registry held before the hive came
    }
  }
}

std::string HiveFile::NodePath(hive_node_h node) const {
  std::string names;
  std::string_view name;
  bool utf16 = false;
  const hive_node_h root = handle != nullptr ? hivex_root(handle) : Root();
  for (std::size_t depth = 0; node != 0 && node != root && depth < kMaxKeyDepth; ++depth) {
    std::string text = "?";
    if (handle != nullptr) {
      // The keys a write added are hivex's alone.
      HivexMemory<char> held(hivex_node_name(handle, node));
      if (held != nullptr) text = held.get();
      node = hivex_node_parent(handle, node);
    } else {
      if (KeyName(node, &name, &utf16) && NameReadable(name, utf16)) text = NameToUtf8(name, utf16);
      const std::size_t parent = std::size_t{Read32(bytes_, node + kKeyParent)} + kBaseBlockSize;
      node = IsRecord(node, "nk", kKeyName) && IsRecord(parent, "nk", kKeyName) ? parent : 0;
    }
    names = text + (names.empty() ? "" : "\\") + names;
  }
  return names.empty() ? std::string("the root key") : Printable(names);
}

bool HiveFile::Fail(const std::string& message, std::string* error) const {
  *error = path + ": " + message;
  return false;
}

hive_node_h HiveFile::FindKey(std::initializer_list<std::string> names) const {
  hive_node_h node = Root();
  std::vector<hive_node_h> subkeys;
  std::string_view name;
  bool utf16 = false;
  for (const std::string& wanted : names) {
    if (!Subkeys(node, &subkeys)) return 0;
    node = 0;
    for (const hive_node_h subkey : subkeys)
      if (KeyName(subkey, &name, &utf16) && NameReadable(name, utf16) && SameAsciiName(name, utf16, wanted)) {
        node = subkey;
        break;
      }
    if (node == 0) return 0;
  }
  return node;
}

bool HiveFile::ReadValue(std::initializer_list<std::string> names, const char* valueName, HiveValueType* type,
                         std::string* data) const {
  const hive_node_h node = FindKey(names);
  std::vector<hive_value_h> values;
  std::string_view name;
  bool utf16 = false;
  if (node == 0 || !Values(node, &values)) return false;
  for (const hive_value_h value : values)
    if (ValueName(value, &name, &utf16) && NameReadable(name, utf16) && SameAsciiName(name, utf16, valueName))
      return ValueData(value, type, data);
  return false;
}

bool HiveFile::ReadText(std::initializer_list<std::string> names, const char* valueName, std::string* text) const {
  HiveValueType type = 0;
  std::string data;
  if (!ReadValue(names, valueName, &type, &data) || !IsTextType(type)) return false;
  text->clear();
  NarrowUtf16Data(data, kCodePageWestern, '?', text);
  text->resize(std::strlen(text->c_str()));
  return true;
}

}  // namespace korvane::sim
