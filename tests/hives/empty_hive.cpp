#include "hives/empty_hive.h"

#include <cstdint>
#include <initializer_list>

namespace korvane::testing {

namespace {

constexpr std::size_t kHeaderSize = 0x1000;
constexpr std::size_t kBinSize = 0x1000;
constexpr std::size_t kBinHeaderSize = 0x20;
constexpr std::size_t kRootCell = kBinHeaderSize;  // offsets in the hive are from the first bin
constexpr std::size_t kChecksumAt = 0x1FC;

void Put16(std::string* bytes, std::size_t at, std::uint16_t value) {
  (*bytes)[at] = static_cast<char>(value & 0xFF);
  (*bytes)[at + 1] = static_cast<char>(value >> 8);
}

void Put32(std::string* bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

std::uint32_t Get32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

void PutBytes(std::string* bytes, std::size_t at, std::initializer_list<unsigned> values) {
  for (unsigned value : values) (*bytes)[at++] = static_cast<char>(value);
}

void UpdateChecksum(std::string* hive) {
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < kChecksumAt; at += 4) sum ^= Get32(*hive, at);
  Put32(hive, kChecksumAt, sum);
}

std::size_t Aligned(std::size_t size) { return (size + 7) & ~std::size_t{7}; }

// Owner Administrators, group SYSTEM, and a DACL that gives Everyone KEY_ALL_ACCESS on the key
// and its subkeys: self-relative, as a security record holds it.
std::string SecurityDescriptor() {
  std::string sd(76, '\0');
  PutBytes(&sd, 0, {1, 0});                     // revision, padding
  Put16(&sd, 2, 0x8004);                        // SE_SELF_RELATIVE | SE_DACL_PRESENT
  Put32(&sd, 4, 20);                            // owner
  Put32(&sd, 8, 36);                            // group
  Put32(&sd, 12, 0);                            // no SACL
  Put32(&sd, 16, 48);                           // DACL
  PutBytes(&sd, 20, {1, 2, 0, 0, 0, 0, 0, 5});  // S-1-5-32-544
  Put32(&sd, 28, 32);
  Put32(&sd, 32, 544);
  PutBytes(&sd, 36, {1, 1, 0, 0, 0, 0, 0, 5});  // S-1-5-18
  Put32(&sd, 44, 18);
  PutBytes(&sd, 48, {2, 0});  // ACL revision
  Put16(&sd, 50, 28);         // ACL size
  Put16(&sd, 52, 1);          // one ACE
  PutBytes(&sd, 56, {0, 2});  // ACCESS_ALLOWED, CONTAINER_INHERIT
  Put16(&sd, 58, 20);
  Put32(&sd, 60, 0xF003F);                      // KEY_ALL_ACCESS
  PutBytes(&sd, 64, {1, 1, 0, 0, 0, 0, 0, 1});  // S-1-1-0
  Put32(&sd, 72, 0);
  return sd;
}

}  // namespace

std::string EmptyHive() {
  std::string hive(kHeaderSize + kBinSize, '\0');
  const std::uint32_t filetime[2] = {0x41648000, 0x01C19257};  // 2002-01-01

  hive.replace(0, 4, "regf");
  Put32(&hive, 4, 1);  // the two sequence numbers
  Put32(&hive, 8, 1);
  Put32(&hive, 12, filetime[0]);
  Put32(&hive, 16, filetime[1]);
  Put32(&hive, 20, 1);  // format 1.3
  Put32(&hive, 24, 3);
  Put32(&hive, 28, 0);  // a primary file
  Put32(&hive, 32, 1);  // in memory as it is on disk
  Put32(&hive, 36, kRootCell);
  Put32(&hive, 40, kBinSize);
  Put32(&hive, 44, 1);  // clustering factor

  const std::size_t bin = kHeaderSize;
  hive.replace(bin, 4, "hbin");
  Put32(&hive, bin + 4, 0);
  Put32(&hive, bin + 8, kBinSize);
  Put32(&hive, bin + 20, filetime[0]);
  Put32(&hive, bin + 24, filetime[1]);

  const std::string rootName = "$$$PROTO.HIV";
  const std::size_t rootSize = Aligned(80 + rootName.size());
  const std::size_t securityCell = kRootCell + rootSize;
  const std::string sd = SecurityDescriptor();
  const std::size_t securitySize = Aligned(24 + sd.size());

  // Allocated cells give their size negated.
  const std::size_t root = bin + kRootCell;
  Put32(&hive, root, static_cast<std::uint32_t>(-static_cast<std::int32_t>(rootSize)));
  hive.replace(root + 4, 2, "nk");
  Put16(&hive, root + 6, 0x2C);  // the hive's root, not deletable, name in 8-bit characters
  Put32(&hive, root + 8, filetime[0]);
  Put32(&hive, root + 12, filetime[1]);
  Put32(&hive, root + 32, 0xFFFFFFFF);  // no subkey lists
  Put32(&hive, root + 36, 0xFFFFFFFF);
  Put32(&hive, root + 44, 0xFFFFFFFF);  // no value list
  Put32(&hive, root + 48, securityCell);
  Put32(&hive, root + 52, 0xFFFFFFFF);  // no class
  Put16(&hive, root + 76, static_cast<std::uint16_t>(rootName.size()));
  hive.replace(root + 80, rootName.size(), rootName);

  const std::size_t security = bin + securityCell;
  Put32(&hive, security, static_cast<std::uint32_t>(-static_cast<std::int32_t>(securitySize)));
  hive.replace(security + 4, 2, "sk");
  Put32(&hive, security + 8, securityCell);  // the list of security records: this one alone
  Put32(&hive, security + 12, securityCell);
  Put32(&hive, security + 16, 1);  // the root uses it
  Put32(&hive, security + 20, static_cast<std::uint32_t>(sd.size()));
  hive.replace(security + 24, sd.size(), sd);

  // The rest of the bin is one free cell.
  const std::size_t freeCell = securityCell + securitySize;
  Put32(&hive, bin + freeCell, static_cast<std::uint32_t>(kBinSize - freeCell));

  UpdateChecksum(&hive);
  return hive;
}

void MarkUnfinished(std::string* hive) {
  // Windows raises the first number before it writes and the second after.
  Put32(hive, 4, Get32(*hive, 8) + 1);
  UpdateChecksum(hive);
}

}  // namespace korvane::testing
