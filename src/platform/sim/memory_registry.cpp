#include "platform/sim/memory_registry.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/code_pages.h"

namespace korvane::sim {

using namespace platform;

const char* RootName(RegKey root) {
  if (root == kHkeyLocalMachine) return "HKEY_LOCAL_MACHINE";
  if (root == kHkeyDynData) return "HKEY_DYN_DATA";
  return "";
}

bool SplitRegistryPath(std::string_view path, std::vector<std::string_view>* parts, unsigned codePage) {
  parts->clear();
  if (!path.empty() && path.front() == '\\') return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = start;
    if (codePage == kCodePageJapanese) {
      while (end < path.size() && path[end] != '\\') end += AnsiCharLength(codePage, path, end);
    } else {
      end = std::min(path.find('\\', start), path.size());  // every character is one byte
    }
    if (end > start) parts->push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

// --- MemoryRegistry: the store ---

MemoryRegistry::MemoryRegistry() = default;

RegNode& MemoryRegistry::Root(RegKey root) { return root == kHkeyDynData ? dynData_ : localMachine_; }
const RegNode& MemoryRegistry::Root(RegKey root) const {
  return root == kHkeyDynData ? dynData_ : localMachine_;
}

RegNode* MemoryRegistry::Find(RegKey root, std::string_view path) {
  std::vector<std::string_view> parts;
  if (!SplitRegistryPath(path, &parts, codePage_)) return nullptr;
  RegNode* node = &Root(root);
  for (std::string_view part : parts) {
    node = node->FindSubkey(part);
    if (node == nullptr) return nullptr;
  }
  return node;
}

RegNode& MemoryRegistry::Ensure(RegKey root, std::string_view path) {
  const std::size_t first = path.find_first_not_of('\\');
  std::vector<std::string_view> parts;
  SplitRegistryPath(first == std::string_view::npos ? std::string_view() : path.substr(first), &parts, codePage_);
  RegNode* node = &Root(root);
  for (std::string_view part : parts) node = &node->EnsureSubkey(part);
  return *node;
}

bool MemoryRegistry::DeleteTree(RegKey root, std::string_view path) {
  std::vector<std::string_view> parts;
  if (!SplitRegistryPath(path, &parts, codePage_) || parts.empty()) return false;
  RegNode* parent = &Root(root);
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    parent = parent->FindSubkey(parts[i]);
    if (parent == nullptr) return false;
  }
  return parent->RemoveSubkey(parts.back());
}

void MemoryRegistry::PutString(RegKey root, std::string_view path, std::string_view name, std::string_view text) {
  std::vector<std::uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  Ensure(root, path).PutValue(name, kRegSz, std::move(data));
}

void MemoryRegistry::FailCall(std::uint64_t callNumber, std::int32_t status) {
  failCall_ = callNumber;
  failCallStatus_ = status;
}

void MemoryRegistry::FailPaths(std::string pattern, std::int32_t status) {
  failPattern_ = FoldName(pattern);
  failPatternStatus_ = status;
}

// --- MemoryRegistry: the seven operations ---

namespace {

bool GlobMatch(std::string_view pattern, std::string_view text) {
  std::size_t p = 0, t = 0, starP = std::string_view::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starT = t;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// A create, set or delete on its way into the write log, which takes it with the status the
// call ends with, whichever way it ends.
class LoggedWrite {
 public:
  LoggedWrite(std::vector<WriteRecord>& log, WriteRecord::Op op, const char* path) : log_(log) {
    record.op = op;
    record.path = path == nullptr ? "" : path;
  }
  std::int32_t Finish(std::int32_t status) {
    record.status = status;
    log_.push_back(std::move(record));
    return status;
  }

  WriteRecord record;

 private:
  std::vector<WriteRecord>& log_;
};

// A handle's value: its slot and the slot's generation, in steps of four from 0x1000. It is
// never null and never a root key (those are two more than a multiple of four), and a handle
// once closed never names another: a slot whose generations run out is not taken again.
constexpr unsigned kSlotBits = sizeof(RegKey) >= 8 ? 24 : 16;
constexpr RegKey kSlotLimit = RegKey{1} << kSlotBits;
constexpr RegKey kFirstCode = 0x1000 / 4;
constexpr RegKey kGenerationLimit = (~RegKey{0} >> 2) / kSlotLimit - 1;
static_assert(kFirstCode < kSlotLimit, "the largest value must fit in a handle");

// ERROR_NOT_ENOUGH_MEMORY, for an open with every slot in use.
constexpr std::int32_t kErrorNotEnoughMemory = 8;

RegKey HandleValue(std::size_t slot, RegKey generation) {
  return (kFirstCode + generation * kSlotLimit + slot) * 4;
}

}  // namespace

bool MemoryRegistry::InjectedFault(std::string_view path, std::int32_t* status) {
  if (failCall_ != 0 && calls_ == failCall_) {
    *status = failCallStatus_;
    return true;
  }
  if (failPattern_.empty()) return false;
  folded_.assign(path);
  for (char& c : folded_) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  if (GlobMatch(failPattern_, folded_)) {
    *status = failPatternStatus_;
    return true;
  }
  return false;
}

MemoryRegistry::Handle* MemoryRegistry::Slot(RegKey key) {
  if (key % 4 != 0 || key / 4 < kFirstCode) return nullptr;
  const RegKey code = key / 4 - kFirstCode;
  const RegKey slot = code % kSlotLimit;
  if (slot >= handles_.size()) return nullptr;
  Handle& handle = handles_[slot];
  return handle.open && handle.generation == code / kSlotLimit ? &handle : nullptr;
}

std::int32_t MemoryRegistry::Resolve(RegKey key, Resolved* out) {
  if (key == kHkeyLocalMachine || key == kHkeyDynData) {
    *out = Resolved{&Root(key), key, kKeyAllAccess, {}, nullptr};
    return kErrorSuccess;
  }
  Handle* handle = Slot(key);
  if (handle == nullptr) return kErrorInvalidHandle;
  if (handle->node == nullptr) return kErrorKeyDeleted;
  *out = Resolved{handle->node, handle->root, handle->access, handle->FullPath(), handle};
  return kErrorSuccess;
}

bool MemoryRegistry::SplitBelow(std::string_view base, std::string_view path) {
  if (!SplitRegistryPath(path, &parts_, codePage_)) return false;
  // The walks open keys on a root key by paths with no separator to collapse but trailing
  // ones: the start of such a path is its full path, and a handle keeps it once.
  std::size_t joinedSize = parts_.empty() ? 0 : parts_.size() - 1;
  for (std::string_view part : parts_) joinedSize += part.size();
  fullInPath_ = base.empty() && (parts_.empty() || static_cast<std::size_t>(parts_.back().data() + parts_.back().size() -
                                                                            path.data()) == joinedSize);
  fullSize_ = joinedSize;
  if (fullInPath_) return true;
  fullPath_.assign(base);
  for (std::string_view part : parts_) {
    if (!fullPath_.empty()) fullPath_ += '\\';
    fullPath_ += part;
  }
  return true;
}

RegKey MemoryRegistry::NewHandle(RegNode* node, RegKey root, std::uint32_t access, std::string_view path) {
  std::size_t slot = 0;
  if (!freeHandles_.empty()) {
    slot = freeHandles_.back();
    freeHandles_.pop_back();
  } else if (handles_.size() < kSlotLimit) {
    slot = handles_.size();
    handles_.emplace_back();
  } else {
    return kNullKey;
  }
  Handle& handle = handles_[slot];
  handle.node = node;
  handle.root = root;
  handle.access = access;
  handle.open = true;
  handle.path.assign(path);
  handle.fullInPath = fullInPath_;
  handle.fullSize = fullSize_;
  if (!fullInPath_) handle.fullPath.swap(fullPath_);
  ++openHandles_;
  return HandleValue(slot, handle.generation);
}

std::int32_t MemoryRegistry::OpenKey(RegKey key, const char* path, std::uint32_t access, RegKey* result) {
  ++calls_;
  if (result == nullptr) return kErrorInvalidParameter;
  *result = kNullKey;
  Resolved base;
  if (const std::int32_t invalid = Resolve(key, &base); invalid != kErrorSuccess) return invalid;
  const std::string_view passed = path == nullptr ? "" : path;
  if (!SplitBelow(base.fullPath, passed)) return kErrorBadPathname;
  std::int32_t status = 0;
  if (Injected(FullPath(passed), &status)) return status;
  RegNode* node = base.node;
  for (std::string_view part : parts_) {
    node = node->FindSubkey(part);
    if (node == nullptr) return kErrorFileNotFound;
  }
  if (refuseWrite_ && (access & kWriteAccessMask) != 0) return kErrorAccessDenied;
  const RegKey handle = NewHandle(node, base.root, access, passed);
  if (handle == kNullKey) return kErrorNotEnoughMemory;
  *result = handle;
  return kErrorSuccess;
}

std::int32_t MemoryRegistry::EnumKey(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameSize) {
  ++calls_;
  Resolved base;
  if (const std::int32_t invalid = Resolve(key, &base); invalid != kErrorSuccess) return invalid;
  std::int32_t status = 0;
  if (Injected(base.fullPath, &status)) return status;
  const std::vector<RegNode*>& subkeys = base.node->Subkeys();
  if (index >= subkeys.size()) return kErrorNoMoreItems;
  const std::string& subkey = subkeys[index]->Name();
  if (name == nullptr || nameSize == nullptr || subkey.size() + 1 > *nameSize) return kErrorMoreData;
  std::memcpy(name, subkey.c_str(), subkey.size() + 1);
  *nameSize = static_cast<std::uint32_t>(subkey.size());
  return kErrorSuccess;
}

std::int32_t MemoryRegistry::QueryValue(RegKey key, const char* valueName, std::uint32_t* type, char* data,
                                        std::uint32_t* dataSize) {
  ++calls_;
  Resolved base;
  if (const std::int32_t invalid = Resolve(key, &base); invalid != kErrorSuccess) return invalid;
  std::int32_t status = 0;
  if (Injected(base.fullPath, &status)) return status;
  const RegValue* value = base.node->FindValue(valueName == nullptr ? "" : valueName);
  if (value == nullptr) return kErrorFileNotFound;
  const auto length = static_cast<std::uint32_t>(value->data.size());
  if (data != nullptr) {
    if (dataSize == nullptr) return kErrorInvalidParameter;
    if (length > *dataSize) return kErrorMoreData;
    if (length > 0) std::memcpy(data, value->data.data(), length);
    TerminateReadText(data, length, *dataSize);
  }
  if (type != nullptr) *type = value->type;
  if (dataSize != nullptr) *dataSize = length;
  return kErrorSuccess;
}

std::int32_t MemoryRegistry::CreateKey(RegKey key, const char* path, std::uint32_t access, RegKey* result,
                                       std::uint32_t* disposition) {
  ++calls_;
  LoggedWrite write(writes_, WriteRecord::Op::kCreate, path);
  WriteRecord& record = write.record;
  const auto finish = [&](std::int32_t status) { return write.Finish(status); };
  if (result == nullptr) return finish(kErrorInvalidParameter);
  *result = kNullKey;
  Resolved base;
  if (const std::int32_t invalid = Resolve(key, &base); invalid != kErrorSuccess) return finish(invalid);
  record.root = base.root;
  if (!SplitBelow(base.fullPath, record.path)) return finish(kErrorBadPathname);
  std::int32_t status = 0;
  if (Injected(FullPath(record.path), &status)) return finish(status);
  if (refuseWrite_ && (access & kWriteAccessMask) != 0) return finish(kErrorAccessDenied);

  RegNode* node = base.node;
  std::size_t existing = 0;
  while (existing < parts_.size()) {
    RegNode* next = node->FindSubkey(parts_[existing]);
    if (next == nullptr) break;
    node = next;
    ++existing;
  }
  const bool creates = existing < parts_.size();
  if (creates && (base.access & kKeyCreateSubKey) == 0) return finish(kErrorAccessDenied);
  // Every slot in use: nothing is made that no handle could be given for.
  if (freeHandles_.empty() && handles_.size() >= kSlotLimit) return finish(kErrorNotEnoughMemory);
  for (std::size_t i = existing; i < parts_.size(); ++i) node = &node->EnsureSubkey(parts_[i]);
  record.disposition = creates ? kCreatedNewKey : kOpenedExistingKey;
  if (disposition != nullptr) *disposition = record.disposition;
  *result = NewHandle(node, base.root, access, record.path);
  return finish(kErrorSuccess);
}

std::int32_t MemoryRegistry::SetValue(RegKey key, const char* valueName, std::uint32_t type, const void* data,
                                      std::uint32_t size) {
  ++calls_;
  LoggedWrite write(writes_, WriteRecord::Op::kSet, nullptr);
  WriteRecord& record = write.record;
  const auto finish = [&](std::int32_t status) { return write.Finish(status); };
  record.name = valueName == nullptr ? "" : valueName;
  record.type = type;
  if (data != nullptr && size > 0) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    record.data.assign(bytes, bytes + size);
  }
  Resolved base;
  if (const std::int32_t invalid = Resolve(key, &base); invalid != kErrorSuccess) return finish(invalid);
  record.root = base.root;
  if (base.handle != nullptr) record.path = base.handle->path;
  std::int32_t status = 0;
  if (Injected(base.fullPath, &status)) return finish(status);
  if ((base.access & kKeySetValue) == 0) return finish(kErrorAccessDenied);
  if (data == nullptr && size > 0) return finish(kErrorNoAccess);
  base.node->PutValue(record.name, type, record.data);
  return finish(kErrorSuccess);
}

std::int32_t MemoryRegistry::DeleteKey(RegKey key, const char* path) {
  ++calls_;
  LoggedWrite write(writes_, WriteRecord::Op::kDelete, path);
  WriteRecord& record = write.record;
  const auto finish = [&](std::int32_t status) { return write.Finish(status); };
  Resolved base;
  if (const std::int32_t invalid = Resolve(key, &base); invalid != kErrorSuccess) return finish(invalid);
  record.root = base.root;
  if (!SplitBelow(base.fullPath, record.path) || parts_.empty()) return finish(kErrorBadPathname);
  std::int32_t status = 0;
  if (Injected(FullPath(record.path), &status)) return finish(status);
  RegNode* parent = base.node;
  for (std::size_t i = 0; i + 1 < parts_.size() && parent != nullptr; ++i) parent = parent->FindSubkey(parts_[i]);
  RegNode* node = parent == nullptr ? nullptr : parent->FindSubkey(parts_.back());
  if (node == nullptr) return finish(kErrorFileNotFound);
  if (refuseWrite_ || !node->Subkeys().empty()) return finish(kErrorAccessDenied);
  // Handles on the key outlive it, as on Windows, and fail from now on.
  for (Handle& handle : handles_)
    if (handle.open && handle.node == node) handle.node = nullptr;
  parent->RemoveSubkey(parts_.back());
  return finish(kErrorSuccess);
}

std::int32_t MemoryRegistry::CloseKey(RegKey key) {
  ++calls_;
  if (key == kHkeyLocalMachine || key == kHkeyDynData) return kErrorSuccess;
  Handle* handle = Slot(key);
  if (handle == nullptr) return kErrorInvalidHandle;
  // The handle goes even when a fault is injected: a close that reports failure has still
  // given the key back. Its slot keeps the path until the slot is taken again.
  handle->open = false;
  handle->node = nullptr;
  --openHandles_;
  if (handle->generation + 1 < kGenerationLimit) {
    ++handle->generation;
    freeHandles_.push_back(static_cast<std::size_t>(handle - handles_.data()));
  }
  std::int32_t status = 0;
  if (Injected(handle->FullPath(), &status)) return status;
  return kErrorSuccess;
}

}  // namespace korvane::sim
