// An in-memory registry that behaves as the Windows registry does wherever the utility could
// notice, with the instruments the tests and korvane-sim's report need: a call counter, a log
// of every create, set and delete, open-handle counting, refused write access and injected faults.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/reg_node.h"
#include "platform/registry.h"

namespace korvane::sim {

using platform::RegKey;

struct WriteRecord {
  enum class Op { kCreate, kSet, kDelete };
  Op op = Op::kCreate;
  RegKey root = 0;       // 0 when the handle was not open
  std::string path;      // create, delete: the path as passed; set: the path the handle was opened with
  std::uint32_t disposition = 0;
  std::string name;      // set only
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  std::int32_t status = 0;
};

const char* RootName(RegKey root);  // "HKEY_LOCAL_MACHINE", "HKEY_DYN_DATA", or ""

class MemoryRegistry final : public platform::RegistryService {
 public:
  MemoryRegistry();

  std::int32_t OpenKey(RegKey key, const char* path, std::uint32_t access, RegKey* result) override;
  std::int32_t EnumKey(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameSize) override;
  std::int32_t QueryValue(RegKey key, const char* valueName, std::uint32_t* type, char* data,
                          std::uint32_t* dataSize) override;
  std::int32_t CreateKey(RegKey key, const char* path, std::uint32_t access, RegKey* result,
                         std::uint32_t* disposition) override;
  std::int32_t SetValue(RegKey key, const char* valueName, std::uint32_t type, const void* data,
                        std::uint32_t size) override;
  std::int32_t DeleteKey(RegKey key, const char* path) override;
  std::int32_t CloseKey(RegKey key) override;

  // The store, for machine files and tests. Paths are relative to a root key.
  RegNode& Root(RegKey root);
  const RegNode& Root(RegKey root) const;
  RegNode* Find(RegKey root, std::string_view path);
  RegNode& Ensure(RegKey root, std::string_view path);
  // Removes a key with everything below it, as a [-KEY] line of a .reg file does.
  bool DeleteTree(RegKey root, std::string_view path);
  void PutString(RegKey root, std::string_view path, std::string_view name, std::string_view text);

  // The ANSI code page of the machine's names and texts (1252, or 932 on a Japanese machine):
  // paths are split a character at a time in it.
  void SetAnsiCodePage(unsigned codePage) { codePage_ = codePage; }
  unsigned AnsiCodePage() const { return codePage_; }

  // Behaviour for the run.
  void RefuseWriteAccess(bool refuse) { refuseWrite_ = refuse; }
  // Fails the call with this 1-based number (counting every one of the seven operations).
  void FailCall(std::uint64_t callNumber, std::int32_t status);
  // Fails every call on a key whose root-relative path matches `pattern` (`*` and `?`
  // wildcards, letter case ignored).
  void FailPaths(std::string pattern, std::int32_t status);

  // Instruments.
  std::uint64_t Calls() const { return calls_; }
  std::size_t OpenHandles() const { return openHandles_; }
  const std::vector<WriteRecord>& Writes() const { return writes_; }

 private:
  // A handle's slot, taken again once the handle is closed. Its strings keep their capacity,
  // so that an open in the steady state allocates nothing; its generation, part of the handle's
  // value, tells the handle from the earlier ones that had the slot.
  struct Handle {
    RegNode* node = nullptr;  // null once the key was deleted
    RegKey root = 0;
    std::uint32_t access = 0;
    bool open = false;
    RegKey generation = 0;
    std::string path;      // as passed to the open or create
    std::string fullPath;  // relative to the root, separators collapsed, unless fullInPath
    // Opened on a root key (or a handle on one) by a path that has no separator to collapse
    // but trailing ones: the full path is the first fullSize bytes of `path`.
    bool fullInPath = false;
    std::size_t fullSize = 0;
    std::string_view FullPath() const {
      return fullInPath ? std::string_view(path).substr(0, fullSize) : std::string_view(fullPath);
    }
  };
  struct Resolved {
    RegNode* node = nullptr;
    RegKey root = 0;
    std::uint32_t access = 0;
    std::string_view fullPath;
    Handle* handle = nullptr;  // null for a root key
  };

  // kErrorSuccess, or the status every operation on `key` fails with.
  std::int32_t Resolve(RegKey key, Resolved* out);
  // The slot of the open handle `key`, or null.
  Handle* Slot(RegKey key);
  bool Injected(std::string_view path, std::int32_t* status) {
    return (failCall_ != 0 || !failPattern_.empty()) && InjectedFault(path, status);
  }
  bool InjectedFault(std::string_view path, std::int32_t* status);
  // Splits `path` into parts_ and joins the parts to `base` in fullPath_, unless that is the
  // start of `path` (fullInPath_); false for a leading backslash.
  bool SplitBelow(std::string_view base, std::string_view path);
  std::string_view FullPath(std::string_view path) const {
    return fullInPath_ ? path.substr(0, fullSize_) : std::string_view(fullPath_);
  }
  // A handle on `node` for `path` and the full path SplitBelow found for it, or kNullKey when
  // no slot is left.
  RegKey NewHandle(RegNode* node, RegKey root, std::uint32_t access, std::string_view path);

  RegNode localMachine_{""};
  RegNode dynData_{""};
  std::vector<Handle> handles_;
  std::vector<std::size_t> freeHandles_;  // slots of closed handles, the last closed last
  std::size_t openHandles_ = 0;
  // Reused by every call, so that splitting, joining and matching paths allocates nothing.
  std::vector<std::string_view> parts_;
  std::string fullPath_;
  bool fullInPath_ = false;
  std::size_t fullSize_ = 0;
  std::string folded_;
  std::uint64_t calls_ = 0;
  std::vector<WriteRecord> writes_;
  unsigned codePage_ = 1252;
  bool refuseWrite_ = false;
  std::uint64_t failCall_ = 0;
  std::int32_t failCallStatus_ = 0;
  std::string failPattern_;
  std::int32_t failPatternStatus_ = 0;
};

// Splits a registry path into its components, a character at a time in `codePage` (a trail
// byte of code page 932 can be a backslash). False for a leading backslash.
bool SplitRegistryPath(std::string_view path, std::vector<std::string_view>* parts, unsigned codePage = 1252);

}  // namespace korvane::sim
