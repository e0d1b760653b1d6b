#include "machine_files/io/atomic_replace.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <iterator>
#include <random>
#include <utility>
#include <vector>

#include "machine_files/io/file_rules.h"

namespace korvane::sim {

namespace {

std::string TemporaryPrefix(const std::string& name) { return "." + name + ".korvane-sim-"; }

// --- The named temporary file that a signal must remove ---

// Set and cleared only while the signals below are blocked, so that the handler never sees
// a name half written, nor one that has been renamed over the target.
volatile sig_atomic_t pendingArmed = 0;
int pendingFolder = -1;
char pendingName[NAME_MAX + 1];

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemovePendingAndEnd(int number) {
  if (pendingArmed != 0) unlinkat(pendingFolder, pendingName, 0);
  // SA_RESETHAND has made the action the default one again: the signal, delivered once this
  // handler returns, ends the process as it would have.
  raise(number);
}

// For as long as a replacement is under way, the signals that end a process remove its named
// temporary file first. A signal the process ignores stays ignored.
class CleanupOnSignals {
 public:
  CleanupOnSignals() {
    struct sigaction action {};
    action.sa_handler = RemovePendingAndEnd;
    sigemptyset(&action.sa_mask);
    for (int number : kCleanupSignals) sigaddset(&action.sa_mask, number);
    action.sa_flags = SA_RESETHAND;
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
      sigaction(kCleanupSignals[i], nullptr, &saved_[i]);
      installed_[i] = saved_[i].sa_handler != SIG_IGN && sigaction(kCleanupSignals[i], &action, nullptr) == 0;
    }
  }
  ~CleanupOnSignals() {
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i)
      if (installed_[i]) sigaction(kCleanupSignals[i], &saved_[i], nullptr);
  }
  CleanupOnSignals(const CleanupOnSignals&) = delete;
  CleanupOnSignals& operator=(const CleanupOnSignals&) = delete;

 private:
  struct sigaction saved_[std::size(kCleanupSignals)] {};
  bool installed_[std::size(kCleanupSignals)] = {};
};

class BlockedSignals {
 public:
  BlockedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int number : kCleanupSignals) sigaddset(&set, number);
    sigprocmask(SIG_BLOCK, &set, &saved_);
  }
  ~BlockedSignals() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;

 private:
  sigset_t saved_{};
};

constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr std::size_t kRandomLetters = 6;

// A hidden name beside the target, as editors and git use for their temporary files, marked
// as korvane-sim's own so that one left by a killed run is told from every file of the user's.
std::string TemporaryName(const std::string& name) {
  static std::mt19937 random{std::random_device{}()};
  std::string temporary = TemporaryPrefix(name);
  for (std::size_t i = 0; i < kRandomLetters; ++i) temporary += kLetters[random() % (sizeof kLetters - 1)];
  return temporary;
}

constexpr int kNameAttempts = 100;

// A descriptor that closes itself, so that no way out of a replacement leaves one open.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { Reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int Get() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  // Closes it now, where a failure to close counts: a file system may report a failed write
  // only then. False with errno set.
  bool Close() { return close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

// The file a replacement is written to, beside its target. While it has a name and has not
// been placed, that name is removed on every way out, and until then by the signals that end
// the process; an unnamed one vanishes with its descriptor.
class TemporaryFile {
 public:
  TemporaryFile(int folder, std::string target) : folder_(folder), target_(std::move(target)) {}
  ~TemporaryFile() { Remove(); }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Opens it unnamed (O_TMPFILE) when `unnamed` and the file system has them, else named;
  // false with errno set.
  bool Open(bool unnamed) {
#ifdef O_TMPFILE
    if (unnamed) fd_.Reset(openat(folder_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
#else
    (void)unnamed;
#endif
    if (fd_.IsOpen()) return true;
    return TakeName([this](const char* name) {
      fd_.Reset(openat(folder_, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      return fd_.IsOpen();
    });
  }

  // Gives an unnamed file its name. Linking an open file by its descriptor needs a capability
  // that only root has; /proc/self/fd gives every user the same, and without /proc it fails.
  bool GiveName() {
    if (named_) return true;
    const std::string self = "/proc/self/fd/" + std::to_string(fd_.Get());
    return TakeName([&](const char* name) {
      return linkat(fd_.Get(), "", folder_, name, AT_EMPTY_PATH) == 0 ||
             (errno != EEXIST && linkat(AT_FDCWD, self.c_str(), folder_, name, AT_SYMLINK_FOLLOW) == 0);
    });
  }

  int Fd() const { return fd_.Get(); }
  const std::string& Name() const { return name_; }
  bool Close() { return fd_.Close(); }

  // The name now belongs to the target: nothing is removed any more.
  void Placed() {
    BlockedSignals blocked;
    pendingArmed = 0;
    named_ = false;
  }

  void Remove() {
    if (!named_) return;
    BlockedSignals blocked;
    unlinkat(folder_, name_.c_str(), 0);
    pendingArmed = 0;
    named_ = false;
  }

 private:
  // Set with the signals blocked, so that the handler never sees a name half written.
  void Arm() {
    pendingFolder = folder_;
    std::snprintf(pendingName, sizeof pendingName, "%s", name_.c_str());
    pendingArmed = 1;
    named_ = true;
  }

  // Tries fresh names until `make`, which creates the file under the one it is given, does
  // not fail with EEXIST; false with errno set.
  template <typename Make>
  bool TakeName(const Make& make) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      name_ = TemporaryName(target_);
      BlockedSignals blocked;
      if (make(name_.c_str())) {
        Arm();
        return true;
      }
      if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
  }

  const int folder_;
  const std::string target_;
  Descriptor fd_;
  std::string name_;
  bool named_ = false;
};

// --- Extended attributes ---

// Attributes that no listing names: ntfs-3g answers for the file's Windows security
// descriptor and DOS attributes only when asked for them by name.
constexpr const char* kUnlistedAttributes[] = {"system.ntfs_acl", "system.ntfs_attrib_be"};

// Those that say who may read or change the file: a copy without them may give the hive's
// secrets to anyone, so one that cannot be made is a failure, not a loss to accept.
bool ControlsAccess(const std::string& name) {
  return name.compare(0, 9, "security.") == 0 || name == "system.posix_acl_access" || name == "system.ntfs_acl" ||
         name == "system.nfs4_acl" || name == "system.richacl";
}

std::vector<std::string> AttributeNames(const std::string& path) {
  std::vector<std::string> names(std::begin(kUnlistedAttributes), std::end(kUnlistedAttributes));
  std::vector<char> list;
  for (;;) {
    const ssize_t size = llistxattr(path.c_str(), nullptr, 0);
    if (size <= 0) break;
    list.resize(static_cast<std::size_t>(size));
    const ssize_t got = llistxattr(path.c_str(), list.data(), list.size());
    if (got < 0 && errno == ERANGE) continue;  // it grew meanwhile
    list.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    break;
  }
  for (std::size_t at = 0; at < list.size();) {
    const std::string name(list.data() + at);
    at += name.size() + 1;
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  return names;
}

// A value of an attribute; false with errno when there is none or it cannot be read.
bool ReadAttribute(const std::string& path, const std::string& name, std::vector<char>* value) {
  for (;;) {
    const ssize_t size = lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
    if (size < 0) return false;
    value->resize(static_cast<std::size_t>(size));
    const ssize_t got = lgetxattr(path.c_str(), name.c_str(), value->data(), value->size());
    if (got < 0 && errno == ERANGE) continue;
    if (got < 0) return false;
    value->resize(static_cast<std::size_t>(got));
    return true;
  }
}

// Gives `fd` the extended attributes of the file `source` wherever the file system lets them
// be set: its ACLs, its Windows security descriptor and DOS attributes on ntfs-3g, its user.*
// and security.* attributes. One that controls access and cannot be copied is an error.
bool CopyAttributes(const std::string& source, int fd, std::string* error) {
  std::vector<char> value;
  std::vector<char> given(64 * 1024);
  for (const std::string& name : AttributeNames(source)) {
    if (!ReadAttribute(source, name, &value)) {
      // ENODATA: the file has no such attribute; ENOTSUP: its file system has none at all.
      if (errno == ENODATA || errno == ENOTSUP || !ControlsAccess(name)) continue;
      *error = "cannot read its extended attribute " + name + ": " + std::strerror(errno);
      return false;
    }
    // One the new file has already (a label every file in the folder gets) is not set again:
    // setting even the same label may need a permission that reading it does not.
    const ssize_t size = fgetxattr(fd, name.c_str(), given.data(), given.size());
    if (size >= 0 && static_cast<std::size_t>(size) == value.size() &&
        std::equal(value.begin(), value.end(), given.begin()))
      continue;
    if (fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) == 0 || !ControlsAccess(name)) continue;
    *error = "cannot give the new file its extended attribute " + name + ", which controls who may read it: " +
             std::strerror(errno);
    return false;
  }
  return true;
}

mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// Gives the finished temporary file its name, without replacing what may have come there
// since: false with errno EEXIST when something has.
bool PlaceNew(int folder, const std::string& temporary, const std::string& name) {
  if (renameat2(folder, temporary.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL) return false;
  // A filesystem without that rename: a second link to the file, which cannot replace either.
  if (linkat(folder, temporary.c_str(), folder, name.c_str(), 0) == 0) {
    unlinkat(folder, temporary.c_str(), 0);
    return true;
  }
  if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP) return false;
  // Nor links (FAT): checked just before an ordinary rename, under the instance lock.
  struct stat there {};
  if (fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return false;
  }
  return renameat(folder, temporary.c_str(), folder, name.c_str()) == 0;
}

// Gives the temporary file `fd` the contents, and the owner, mode and extended attributes of
// the file `like` (those of a new file when null, whose attributes are `attributesOf`'s),
// then flushes it to disk.
bool FillTemporary(int fd, std::string_view contents, const struct stat* like, const std::string& attributesOf,
                   std::string* error) {
  const auto fail = [error](const std::string& what, int number) {
    *error = what + ": " + std::strerror(number);
    return false;
  };
  // chown clears the set-id bits, so the mode comes after it.
  struct stat created {};
  if (like != nullptr && fstat(fd, &created) == 0 && (created.st_uid != like->st_uid || created.st_gid != like->st_gid) &&
      fchown(fd, like->st_uid, like->st_gid) != 0)
    return fail("cannot keep its owner and group", errno);
  if (fchmod(fd, like != nullptr ? like->st_mode & 07777 : NewFileMode()) != 0)
    return fail("cannot set the permissions of the temporary file", errno);
  if (!WriteAll(fd, contents)) return fail("cannot write the temporary file", errno);
  // After the contents: a write by anyone but root takes security.capability away.
  if (like != nullptr && !CopyAttributes(attributesOf, fd, error)) return false;
  if (fsync(fd) != 0) return fail("cannot flush the temporary file to disk", errno);
  return true;
}

// kNoLinkForUnnamed: the unnamed file was written but cannot be given a name (no /proc).
enum class Written { kDone, kFailed, kNoLinkForUnnamed };

// Writes `path` whole through a temporary file beside it: over what stands there (`like`
// null), or as a new file owned and permitted like `like`, the file `likePath`, that never
// replaces anything.
Written WriteThroughTemporary(const std::string& path, std::string_view contents, bool unnamed,
                              const struct stat* like, const std::string& likePath, bool* existed,
                              std::string* error) {
  std::string folderPath;
  std::string name;
  SplitPath(path, &folderPath, &name);
  const Descriptor folder(open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.IsOpen()) {
    *error = "cannot open the folder " + folderPath + ": " + std::strerror(errno);
    return Written::kFailed;
  }
  // What stands there now decides: the checks before the run are made again.
  struct stat existing {};
  bool exists = fstatat(folder.Get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
  const bool onlyNew = like != nullptr;
  if (onlyNew) {
    *existed = exists;
    if (exists) return Written::kDone;
    existing = *like;
    exists = true;
  }
  std::string why;
  if (exists && !S_ISREG(existing.st_mode))
    why = "it is " + KindOfFile(existing.st_mode) + " now, no regular file";
  else if (exists && !onlyNew)
    why = WhyNotReplaceable(path, existing);
  if (!why.empty()) {
    *error = why;
    return Written::kFailed;
  }

  CleanupOnSignals cleanup;
  TemporaryFile temporary(folder.Get(), name);
  // No O_TMPFILE here (an older kernel, a filesystem without it): a named file, which the
  // signals that end a process remove.
  if (!temporary.Open(unnamed)) {
    *error = "cannot create a temporary file in " + folderPath + ": " + std::strerror(errno);
    return Written::kFailed;
  }
  if (!FillTemporary(temporary.Fd(), contents, exists ? &existing : nullptr,
                     onlyNew ? likePath : folderPath + "/" + name, error))
    return Written::kFailed;
  if (!temporary.GiveName()) return Written::kNoLinkForUnnamed;
  if (!temporary.Close()) {
    *error = std::string("cannot close the temporary file: ") + std::strerror(errno);
    return Written::kFailed;
  }
  {
    BlockedSignals blocked;
    const bool placed = onlyNew ? PlaceNew(folder.Get(), temporary.Name(), name)
                                : renameat(folder.Get(), temporary.Name().c_str(), folder.Get(), name.c_str()) == 0;
    if (!placed) {
      const int number = errno;
      temporary.Remove();
      if (onlyNew && number == EEXIST) {
        *existed = true;
        return Written::kDone;
      }
      *error = std::string(onlyNew ? "cannot create it: " : "cannot replace it: ") + std::strerror(number);
      return Written::kFailed;
    }
    temporary.Placed();
  }
  // Makes the rename itself durable; the file is complete either way.
  fsync(folder.Get());
  return Written::kDone;
}

bool WriteWhole(const std::string& path, std::string_view contents, bool unnamed, const struct stat* like,
                const std::string& likePath, bool* existed, std::string* error) {
  Written written = WriteThroughTemporary(path, contents, unnamed, like, likePath, existed, error);
  // Without /proc the unnamed file cannot be linked: the named way, from the start.
  if (written == Written::kNoLinkForUnnamed)
    written = WriteThroughTemporary(path, contents, false, like, likePath, existed, error);
  return written == Written::kDone;
}

}  // namespace

bool ReplaceWhole(const std::string& path, std::string_view contents, bool unnamed, std::string* error) {
  return WriteWhole(path, contents, unnamed, nullptr, "", nullptr, error);
}

bool CreateWholeLike(const std::string& path, std::string_view contents, const std::string& like, bool unnamed,
                     bool* existed, std::string* error) {
  struct stat status {};
  if (stat(like.c_str(), &status) != 0) {
    *error = "cannot read the owner and mode of " + like + ": " + std::strerror(errno);
    return false;
  }
  return WriteWhole(path, contents, unnamed, &status, like, existed, error);
}

std::size_t TemporaryNameLength(const std::string& name) { return TemporaryPrefix(name).size() + kRandomLetters; }

bool IsTemporaryNameOf(std::string_view entry, const std::string& name) {
  const std::string prefix = TemporaryPrefix(name);
  if (entry.size() != prefix.size() + kRandomLetters || entry.substr(0, prefix.size()) != prefix) return false;
  const std::string_view letters(kLetters, sizeof kLetters - 1);
  return entry.substr(prefix.size()).find_first_not_of(letters) == std::string_view::npos;
}

bool WriteAll(int fd, std::string_view contents) {
  const char* data = contents.data();
  std::size_t left = contents.size();
  while (left > 0) {
    const ssize_t written = write(fd, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace korvane::sim
