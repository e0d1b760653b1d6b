// Offline Windows NT 4.0, 2000 and XP installations: their SYSTEM and SOFTWARE hive files,
// seen by a MemoryRegistry as HKEY_LOCAL_MACHINE\SYSTEM and \SOFTWARE (each key read the
// first time the run asks for it), and given a run's writes afterwards through hivex. The
// files are read once into memory; nothing touches the files themselves, so the caller
// decides whether and how the changed hives are saved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "machine_files/hive/installation_paths.h"
#include "platform/sim/memory_registry.h"

namespace korvane::sim {

enum class HiveKind { kSystem, kSoftware };

// The most a hive file may hold. The registry of Windows NT 4.0 to XP lives in the kernel's
// paged memory and stays far below it, so a file beyond it is no hive of theirs, and is not
// read whole.
inline constexpr std::size_t kHiveFileLimit = std::size_t{1} << 30;

// The name of a control set in the SYSTEM hive: ControlSet%03u, which CurrentControlSet
// stands for while Windows runs.
std::string ControlSetName(unsigned number);

struct HiveFile;
class HiveKeys;

class HiveStore {
 public:
  HiveStore();
  ~HiveStore();
  HiveStore(const HiveStore&) = delete;
  HiveStore& operator=(const HiveStore&) = delete;

  // Reads the given hive files (at least one), refusing a file that is not a hive, a hive
  // whose two sequence numbers differ (Windows did not finish writing it and its .LOG still
  // holds changes), and a SYSTEM hive without the control set Select\Current names.
  // Messages start with the file's name. Not while a registry loaded from the store lives.
  bool Open(const HivePaths& paths, std::string* error);

  bool IsOpen(HiveKind kind) const { return Find(kind) != nullptr; }

  // The installation's own settings, each false with a message when its hive is not open or
  // does not hold it in a usable form: the release name for --os ("4.0" nt40, "5.0" win2k,
  // "5.1" winxp, "5.2" win2003; another MAJOR.MINOR as "2.MAJOR.MINOR"), the language id
  // (hex text such as "0411") and the ANSI code page (decimal text).
  bool ReadOsName(std::string* name, std::string* error) const;
  bool ReadLanguage(std::uint16_t* languageId, std::string* error) const;
  bool ReadCodePage(unsigned* codePage, std::string* error) const;

  // Gives `registry`'s HKEY_LOCAL_MACHINE SYSTEM (the current control set as
  // CurrentControlSet) and SOFTWARE, names and texts in the registry's ANSI code page; a
  // character the code page lacks reads as '?', as the ANSI functions of Windows NT give it.
  // Every key is read first, keeping nothing, so that a damaged hive is refused here ("damaged
  // hive: ..."); then each key of the registry is filled from its hive the first time the run
  // asks for it, so the store must outlive the registry's keys.
  bool Load(MemoryRegistry& registry, std::string* error);

  // Gives the hives the successful writes of `writes` in their order (creates, sets and
  // deletes), refused when a key the run read could not be filled, CurrentControlSet as the real control set and text data as UTF-16LE. A write
  // no given hive can hold (another root, another HKEY_LOCAL_MACHINE key, a hive left out) is
  // an error. Setting a value to the type and bytes it has already is no change, nor is a key
  // added and deleted again. Where hivex cannot make a change, the message says "damaged
  // hive: ...".
  bool Apply(std::span<const WriteRecord> writes, unsigned codePage, std::string* error);
  bool Changed(HiveKind kind) const;

  // Commits the hive with the writes applied into memory, once for all the writes applied so
  // far, and checks that it reads back as a hive: false with "damaged hive: ..." when hivex
  // cannot write it.
  bool Commit(HiveKind kind, std::string* error);
  // Hands `use` the bytes of the hive with the writes applied (committed as above), or the
  // bytes its file held when Open read it; they are mapped from memory, not copied, and valid
  // only during the call. False when they cannot be made, or when `use` returns false; `error`
  // then says why.
  using BytesUse = std::function<bool(std::string_view bytes, std::string* error)>;
  bool Commit(HiveKind kind, const BytesUse& use, std::string* error);
  bool Original(HiveKind kind, const BytesUse& use, std::string* error) const;

 private:
  HiveFile* Find(HiveKind kind) const;
  // A number written as text under Control\Nls of the current control set: 1 to 0xFFFF.
  bool ReadNlsNumber(const char* key, const char* valueName, int base, const char* what, unsigned* number,
                     std::string* error) const;
  bool Resolve(const std::vector<std::string_view>& parts, bool create, unsigned codePage, HiveFile** hive,
               std::size_t* node, std::string* error);

  std::unique_ptr<HiveFile> system_;
  std::unique_ptr<HiveFile> software_;
  unsigned currentControlSet_ = 0;
  std::vector<std::unique_ptr<HiveKeys>> keys_;  // one for each hive loaded into a registry
};

}  // namespace korvane::sim
