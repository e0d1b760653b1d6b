#include "platform/hosted/machine_files/hive_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <hivex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <unordered_set>

#include "platform/hosted/machine_files/input_file.h"
#include "platform/hosted/machine_files/reg_format.h"
#include "platform/hosted/machine_files/utf16_data.h"
#include "platform/hosted/text_encoding.h"

namespace korvane::hosted {

using platform::kHkeyLocalMachine;

namespace {

// The deepest key the registry of Windows allows.
constexpr std::size_t kMaxKeyDepth = 512;

std::string ErrnoText(int number) { return std::strerror(number); }

// --- Names: hivex speaks UTF-8, the utility the machine's ANSI code page ---

std::string AnsiNameToUtf8(std::string_view name, unsigned codePage) {
  std::string utf8;
  for (std::size_t at = 0; at < name.size();) {
    const std::size_t length = AnsiCharLength(codePage, name, at);
    AppendUtf8(AnsiCharToUnicode(codePage, name.substr(at, length)), &utf8);
    at += length;
  }
  return utf8;
}

// hivex's names are well-formed UTF-8 (it fails on a name it cannot convert).
std::string Utf8NameToAnsi(const char* utf8, unsigned codePage) {
  std::string ansi;
  const auto* in = reinterpret_cast<const unsigned char*>(utf8);
  while (*in != 0) {
    if (*in < 0x80) {
      ansi.push_back(static_cast<char>(*in++));
      continue;
    }
    const int extra = *in >= 0xF0 ? 3 : *in >= 0xE0 ? 2 : 1;
    char32_t c = *in++ & (0x3F >> extra);
    for (int i = 0; i < extra && (*in & 0xC0) == 0x80; ++i) c = (c << 6) | (*in++ & 0x3F);
    if (!UnicodeToAnsiChar(codePage, c, &ansi)) ansi.push_back('?');
  }
  return ansi;
}

// What hivex allocates, freed when it goes.
template <typename T>
struct Freed {
  T* pointer;
  explicit Freed(T* p) : pointer(p) {}
  ~Freed() { std::free(pointer); }
  Freed(const Freed&) = delete;
  Freed& operator=(const Freed&) = delete;
};

std::string ControlSetName(unsigned number) {
  char name[24];
  std::snprintf(name, sizeof name, "ControlSet%03u", number);
  return name;
}

// --- Files ---

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

std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The file's bytes in an anonymous memory file: hivex opens only paths, and through this one
// it sees exactly the bytes read here, whatever happens to the file afterwards; they are also
// what a backup of the original keeps. The file is read as every input is, with a limit.
int CopyIntoMemory(const std::string& path, std::string* error) {
  InputBytes bytes;
  std::string message;
  if (!ReadInputFile(path, "the hive", kHiveFileLimit, &bytes, &message)) {
    *error = path + ": " + message;
    return -1;
  }
  const int memory = memfd_create("korvane-hive", MFD_CLOEXEC);
  std::string_view left = bytes.View();
  while (memory >= 0 && !left.empty()) {
    const ssize_t written = write(memory, left.data(), left.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    left.remove_prefix(static_cast<std::size_t>(written));
  }
  if (memory >= 0 && left.empty()) return memory;
  *error = path + ": cannot hold the hive in memory: " + ErrnoText(errno);
  if (memory >= 0) close(memory);
  return -1;
}

std::uint32_t LittleEndian32(const unsigned char* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Finds `name` in `directory` without regard to case; exactly one entry may match.
bool FindEntryFolded(const std::string& directory, const char* name, std::string* path, std::string* error) {
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) {
    *error = "cannot read the folder " + directory + ": " + ErrnoText(errno);
    return false;
  }
  std::string found;
  int matches = 0;
  while (const dirent* entry = readdir(listing)) {
    if (!EqualsFolded(entry->d_name, name)) continue;
    found = entry->d_name;
    ++matches;
  }
  closedir(listing);
  if (matches == 0) {
    *error = "no " + std::string(name) + " in " + directory;
    return false;
  }
  if (matches > 1) {
    *error = std::to_string(matches) + " entries named " + name + " in " + directory +
             " in different letter case: it is not clear which one Windows uses";
    return false;
  }
  *path = directory + (directory.empty() || directory.back() == '/' ? "" : "/") + found;
  return true;
}

}  // namespace

bool FindInstallationHives(const std::string& windowsDir, HivePaths* paths, std::string* error) {
  std::string config;
  if (!FindEntryFolded(windowsDir, "system32", &config, error) || !FindEntryFolded(config, "config", &config, error))
    return false;
  HivePaths found;
  if (!FindEntryFolded(config, "SYSTEM", &found.system, error) ||
      !FindEntryFolded(config, "SOFTWARE", &found.software, error))
    return false;
  *paths = found;
  return true;
}

// --- The open hives ---

struct HiveStore::Hive {
  HiveKind kind;
  std::string path;
  int original = -1;  // the memory file with the bytes that were read
  std::size_t size = 0;
  hive_h* handle = nullptr;
  bool writable = false;
  // What the writes did: a key added is no change when a later write takes it away again,
  // as a run does with a definition whose values did not all take.
  bool changed = false;
  std::unordered_set<hive_node_h> added;

  ~Hive() {
    if (handle != nullptr) hivex_close(handle);
    if (original >= 0) close(original);
  }

  // hivex reads a hive it may change into memory of its own, which costs a copy of the whole
  // file; one it only reads it maps. Only a write that changes the hive needs the copy, made
  // from the same memory file, so the keys keep their offsets.
  bool MakeWritable(std::string* error) {
    if (writable) return true;
    hive_h* copy = hivex_open(FdPath(original).c_str(), HIVEX_OPEN_WRITE);
    if (copy == nullptr) return Fail("cannot open the hive for changes: " + ErrnoText(errno), error);
    hivex_close(handle);
    handle = copy;
    writable = true;
    return true;
  }

  const char* Label() const { return kind == HiveKind::kSystem ? "SYSTEM" : "SOFTWARE"; }

  // The key's path below the hive's root, for messages.
  std::string NodePath(hive_node_h node) const {
    std::string path;
    const hive_node_h root = hivex_root(handle);
    for (std::size_t depth = 0; node != 0 && node != root && depth < kMaxKeyDepth; ++depth) {
      Freed<char> name(hivex_node_name(handle, node));
      path = std::string(name.pointer == nullptr ? "?" : name.pointer) + (path.empty() ? "" : "\\") + path;
      node = hivex_node_parent(handle, node);
    }
    return path.empty() ? std::string("the root key") : path;
  }

  bool Fail(std::string message, std::string* error) const {
    *error = path + ": " + std::move(message);
    return false;
  }

  // The key at `names` below the root, or 0.
  hive_node_h FindKey(std::initializer_list<std::string> names) const {
    hive_node_h node = hivex_root(handle);
    for (const std::string& name : names) {
      if (node == 0) return 0;
      node = hivex_node_get_child(handle, node, name.c_str());
    }
    return node;
  }

  // A REG_SZ value of a key as ASCII text, up to its terminating zero.
  bool ReadText(std::initializer_list<std::string> names, const char* valueName, std::string* text) const {
    const hive_node_h node = FindKey(names);
    if (node == 0) return false;
    const hive_value_h value = hivex_node_get_value(handle, node, valueName);
    if (value == 0) return false;
    hive_type type{};
    std::size_t length = 0;
    Freed<char> data(hivex_value_value(handle, value, &type, &length));
    if (data.pointer == nullptr || !IsTextType(type)) return false;
    text->clear();
    NarrowUtf16Data(std::string_view(data.pointer, length), kCodePageWestern, '?', text);
    text->resize(std::strlen(text->c_str()));
    return true;
  }
};

HiveStore::HiveStore() = default;
HiveStore::~HiveStore() = default;

HiveStore::Hive* HiveStore::Find(HiveKind kind) const {
  return kind == HiveKind::kSystem ? system_.get() : software_.get();
}

bool HiveStore::IsOpen(HiveKind kind) const { return Find(kind) != nullptr; }

const std::string& HiveStore::Path(HiveKind kind) const {
  static const std::string kNone;
  const Hive* hive = Find(kind);
  return hive == nullptr ? kNone : hive->path;
}

bool HiveStore::Changed(HiveKind kind) const {
  const Hive* hive = Find(kind);
  return hive != nullptr && (hive->changed || !hive->added.empty());
}

bool HiveStore::Open(const HivePaths& paths, std::string* error) {
  system_.reset();
  software_.reset();
  if (paths.system.empty() && paths.software.empty()) {
    *error = "no hive given";
    return false;
  }
  for (const HiveKind kind : {HiveKind::kSystem, HiveKind::kSoftware}) {
    const std::string& path = kind == HiveKind::kSystem ? paths.system : paths.software;
    if (path.empty()) continue;
    auto hive = std::make_unique<Hive>();
    hive->kind = kind;
    hive->path = path;
    hive->original = CopyIntoMemory(path, error);
    if (hive->original < 0) return false;
    struct stat status {};
    fstat(hive->original, &status);
    hive->size = static_cast<std::size_t>(status.st_size);
    hive->handle = hivex_open(FdPath(hive->original).c_str(), 0);
    if (hive->handle == nullptr) {
      const int number = errno;
      if (number == ENOTSUP || number == EINVAL || number == EFAULT)
        return hive->Fail("not a registry hive: hivex finds no intact hive header", error);
      return hive->Fail("cannot open the hive: " + ErrnoText(number), error);
    }
    // Windows raises the first number before it writes the hive and the second once it has
    // written all of it; hivex checks neither. The two differ when Windows stopped in
    // between, and then the hive's .LOG holds what it lacks.
    unsigned char header[12];
    if (pread(hive->original, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
      return hive->Fail("cannot read the hive header", error);
    const std::uint32_t primary = LittleEndian32(header + 4);
    const std::uint32_t secondary = LittleEndian32(header + 8);
    if (primary != secondary)
      return hive->Fail("the hive's two sequence numbers differ (" + std::to_string(primary) + " and " +
                            std::to_string(secondary) +
                            "): Windows did not finish writing it, and its .LOG file still holds changes. "
                            "Start that Windows once and shut it down normally, then try again",
                        error);
    (kind == HiveKind::kSystem ? system_ : software_) = std::move(hive);
  }

  if (system_ != nullptr) {
    const hive_node_h select = system_->FindKey({"Select"});
    const hive_value_h current = select == 0 ? 0 : hivex_node_get_value(system_->handle, select, "Current");
    hive_type type{};
    std::size_t length = 0;
    if (current == 0 || hivex_value_type(system_->handle, current, &type, &length) != 0 || type != hive_t_REG_DWORD ||
        length != 4)
      return system_->Fail("no DWORD value Current under Select: not the SYSTEM hive of a Windows installation", error);
    currentControlSet_ = static_cast<std::uint32_t>(hivex_value_dword(system_->handle, current));
    if (system_->FindKey({ControlSetName(currentControlSet_)}) == 0)
      return system_->Fail(
          "Select\\Current names " + ControlSetName(currentControlSet_) + ", which the hive does not hold", error);
  }
  return true;
}

// --- The installation's defaults ---

bool HiveStore::ReadOsName(std::string* name, std::string* error) const {
  if (software_ == nullptr) {
    *error = "no SOFTWARE hive to take the Windows version from";
    return false;
  }
  std::string text;
  if (!software_->ReadText({"Microsoft", "Windows NT", "CurrentVersion"}, "CurrentVersion", &text))
    return software_->Fail("no text value CurrentVersion under Microsoft\\Windows NT\\CurrentVersion", error);
  static constexpr struct {
    const char* version;
    const char* name;
  } kReleases[] = {{"4.0", "nt40"}, {"5.0", "win2k"}, {"5.1", "winxp"}, {"5.2", "win2003"}};
  for (const auto& release : kReleases)
    if (text == release.version) {
      *name = release.name;
      return true;
    }
  const std::size_t dot = text.find('.');
  const bool digits = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos;
  if (!digits || dot == 0 || dot == std::string::npos || dot + 1 == text.size() ||
      text.find('.', dot + 1) != std::string::npos || text.size() > 9)
    return software_->Fail("CurrentVersion \"" + text + "\" is no Windows version", error);
  *name = "2." + text;
  return true;
}

bool HiveStore::ReadNlsNumber(const char* key, const char* valueName, int base, const char* what, unsigned* number,
                              std::string* error) const {
  if (system_ == nullptr) {
    *error = std::string("no SYSTEM hive to take the ") + what + " from";
    return false;
  }
  const std::string controlSet = ControlSetName(currentControlSet_);
  std::string text;
  if (!system_->ReadText({controlSet, "Control", "Nls", key}, valueName, &text))
    return system_->Fail(std::string("no text value ") + valueName + " under " + controlSet + "\\Control\\Nls\\" + key,
                         error);
  const char* digits = base == 16 ? "0123456789ABCDEFabcdef" : "0123456789";
  const unsigned long parsed = std::strtoul(text.c_str(), nullptr, base);
  if (text.empty() || text.size() > 5 || text.find_first_not_of(digits) != std::string::npos || parsed == 0 ||
      parsed > 0xFFFF)
    return system_->Fail(
        std::string("Control\\Nls\\") + key + " value " + valueName + " \"" + text + "\" is no " + what, error);
  *number = static_cast<unsigned>(parsed);
  return true;
}

bool HiveStore::ReadLanguage(std::uint16_t* languageId, std::string* error) const {
  unsigned id = 0;
  if (!ReadNlsNumber("Language", "Default", 16, "language id", &id, error)) return false;
  *languageId = static_cast<std::uint16_t>(id);
  return true;
}

bool HiveStore::ReadCodePage(unsigned* codePage, std::string* error) const {
  return ReadNlsNumber("CodePage", "ACP", 10, "code page", codePage, error);
}

// --- Loading ---

bool HiveStore::Load(MemoryRegistry& registry, std::string* error) {
  const unsigned codePage = registry.AnsiCodePage();
  std::string ansi;
  for (Hive* hive : {system_.get(), software_.get()}) {
    if (hive == nullptr) continue;
    hive_h* const h = hive->handle;
    struct Pending {
      hive_node_h node;
      RegNode* target;
      std::size_t depth;
    };
    std::vector<Pending> pending{{hivex_root(h), &registry.Ensure(kHkeyLocalMachine, hive->Label()), 0}};
    // A damaged or hostile hive can link a key below itself; each key is read once. Keys
    // are cells, which start on multiples of 8.
    std::vector<bool> seen(hive->size / 8 + 1);
    const bool system = hive->kind == HiveKind::kSystem;
    const std::string current = ControlSetName(currentControlSet_);
    while (!pending.empty()) {
      const Pending at = pending.back();
      pending.pop_back();
      if (seen[at.node / 8])
        return hive->Fail("damaged hive: the key " + hive->NodePath(at.node) + " is linked in twice", error);
      seen[at.node / 8] = true;

      Freed<hive_value_h> values(hivex_node_values(h, at.node));
      if (values.pointer == nullptr)
        return hive->Fail("damaged hive: the values of " + hive->NodePath(at.node) + " cannot be read", error);
      for (const hive_value_h* value = values.pointer; *value != 0; ++value) {
        Freed<char> name(hivex_value_key(h, *value));
        hive_type type{};
        std::size_t length = 0;
        Freed<char> data(hivex_value_value(h, *value, &type, &length));
        if (name.pointer == nullptr || data.pointer == nullptr)
          return hive->Fail("damaged hive: a value of " + hive->NodePath(at.node) + " cannot be read", error);
        std::vector<std::uint8_t> bytes;
        if (IsTextType(type)) {
          ansi.clear();
          NarrowUtf16Data(std::string_view(data.pointer, length), codePage, '?', &ansi);
          bytes.assign(ansi.begin(), ansi.end());
        } else {
          bytes.assign(data.pointer, data.pointer + length);
        }
        at.target->PutValue(Utf8NameToAnsi(name.pointer, codePage), static_cast<std::uint32_t>(type), std::move(bytes));
      }

      Freed<hive_node_h> children(hivex_node_children(h, at.node));
      if (children.pointer == nullptr)
        return hive->Fail("damaged hive: the subkeys of " + hive->NodePath(at.node) + " cannot be read", error);
      if (children.pointer[0] != 0 && at.depth + 1 > kMaxKeyDepth)
        return hive->Fail("damaged hive: keys nested deeper than " + std::to_string(kMaxKeyDepth) + " levels under " +
                              hive->NodePath(at.node),
                          error);
      for (const hive_node_h* child = children.pointer; *child != 0; ++child) {
        Freed<char> name(hivex_node_name(h, *child));
        if (name.pointer == nullptr)
          return hive->Fail("damaged hive: a subkey name of " + hive->NodePath(at.node) + " cannot be read", error);
        std::string ansiName = Utf8NameToAnsi(name.pointer, codePage);
        if (system && at.depth == 0) {
          // On a running Windows CurrentControlSet is a link to the current control set, made
          // at start-up; that control set is seen here under its name only.
          if (EqualsFolded(ansiName, "CurrentControlSet")) continue;
          if (EqualsFolded(ansiName, current)) ansiName = "CurrentControlSet";
        }
        pending.push_back({*child, &at.target->AppendSubkey(ansiName), at.depth + 1});
      }
    }
  }
  return true;
}

// --- Writing ---

bool HiveStore::Resolve(const std::vector<std::string_view>& parts, bool create, unsigned codePage, Hive** hive,
                        std::size_t* node, std::string* error) {
  const auto joined = [&] {
    std::string path = "HKEY_LOCAL_MACHINE";
    for (std::string_view part : parts) (path += '\\') += part;
    return path;
  };
  *hive = parts.empty()                        ? nullptr
          : EqualsFolded(parts[0], "SYSTEM")   ? system_.get()
          : EqualsFolded(parts[0], "SOFTWARE") ? software_.get()
                                               : nullptr;
  if (*hive == nullptr) {
    const bool known = !parts.empty() && (EqualsFolded(parts[0], "SYSTEM") || EqualsFolded(parts[0], "SOFTWARE"));
    *error = "the run wrote to " + joined() +
             (known ? ", but its hive was not given" : ", which is in neither the SYSTEM nor the SOFTWARE hive");
    return false;
  }
  hive_node_h at = hivex_root((*hive)->handle);
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::string name = (*hive)->kind == HiveKind::kSystem && i == 1 && EqualsFolded(parts[i], "CurrentControlSet")
                                 ? ControlSetName(currentControlSet_)
                                 : AnsiNameToUtf8(parts[i], codePage);
    hive_node_h child = hivex_node_get_child((*hive)->handle, at, name.c_str());
    if (child == 0 && create) {
      if (!(*hive)->MakeWritable(error)) return false;
      child = hivex_node_add_child((*hive)->handle, at, name.c_str());
      if (child == 0) return (*hive)->Fail("cannot add the key " + joined() + ": " + ErrnoText(errno), error);
      (*hive)->added.insert(child);
    }
    if (child == 0) return (*hive)->Fail("the run wrote to " + joined() + ", which the hive does not hold", error);
    at = child;
  }
  *node = at;
  return true;
}

bool HiveStore::Apply(const std::vector<WriteRecord>& writes, unsigned codePage, std::string* error) {
  std::vector<std::string_view> parts;
  std::vector<std::uint8_t> data;
  for (const WriteRecord& write : writes) {
    if (write.status != platform::kErrorSuccess) continue;
    if (write.root != kHkeyLocalMachine) {
      *error = std::string("the run wrote under ") + RootName(write.root) + ", which no hive holds";
      return false;
    }
    SplitRegistryPath(write.path, &parts, codePage);
    Hive* hive = nullptr;
    hive_node_h node = 0;
    if (!Resolve(parts, write.op == WriteRecord::Op::kCreate, codePage, &hive, &node, error)) return false;
    if (write.op == WriteRecord::Op::kDelete) {
      if (!hive->MakeWritable(error)) return false;
      if (hivex_node_delete_child(hive->handle, node) != 0)
        return hive->Fail("cannot delete the key " + hive->NodePath(node) + ": " + ErrnoText(errno), error);
      if (hive->added.erase(node) == 0) hive->changed = true;
      continue;
    }
    if (write.op != WriteRecord::Op::kSet) continue;

    data.clear();
    if (IsTextType(write.type)) {
      WidenAnsiData(std::string_view(reinterpret_cast<const char*>(write.data.data()), write.data.size()), codePage,
                    &data);
    } else {
      data = write.data;
    }
    const std::string name = AnsiNameToUtf8(write.name, codePage);
    if (const hive_value_h existing = hivex_node_get_value(hive->handle, node, name.c_str()); existing != 0) {
      hive_type type{};
      std::size_t length = 0;
      Freed<char> bytes(hivex_value_value(hive->handle, existing, &type, &length));
      if (bytes.pointer != nullptr && static_cast<std::uint32_t>(type) == write.type && length == data.size() &&
          std::memcmp(bytes.pointer, data.data(), length) == 0)
        continue;
    }
    hive_set_value value{const_cast<char*>(name.c_str()), static_cast<hive_type>(write.type), data.size(),
                         reinterpret_cast<char*>(data.data())};
    if (!hive->MakeWritable(error)) return false;
    if (hivex_node_set_value(hive->handle, node, &value, 0) != 0)
      return hive->Fail("cannot set the value " + write.name + " of " + hive->NodePath(node) + ": " + ErrnoText(errno),
                        error);
    if (hive->added.count(node) == 0) hive->changed = true;
  }
  return true;
}

bool HiveStore::Commit(HiveKind kind, const BytesUse& use, std::string* error) {
  Hive* hive = Find(kind);
  if (hive == nullptr) {
    *error = "no hive to commit";
    return false;
  }
  if (!hive->MakeWritable(error)) return false;
  const int memory = memfd_create("korvane-hive-commit", MFD_CLOEXEC);
  if (memory < 0) return hive->Fail("cannot hold the new hive in memory: " + ErrnoText(errno), error);
  if (hivex_commit(hive->handle, FdPath(memory).c_str(), 0) != 0) {
    const int number = errno;
    close(memory);
    return hive->Fail("cannot write the new hive: " + ErrnoText(number), error);
  }
  const bool used = UseMapped(memory, use, error);
  close(memory);
  return used;
}

bool HiveStore::Original(HiveKind kind, const BytesUse& use, std::string* error) const {
  const Hive* hive = Find(kind);
  if (hive == nullptr) {
    *error = "no hive was read";
    return false;
  }
  return UseMapped(hive->original, use, error);
}

}  // namespace korvane::hosted
