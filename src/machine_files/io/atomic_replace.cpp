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

void Arm(int folder, const std::string& name) {
  pendingFolder = folder;
  std::snprintf(pendingName, sizeof pendingName, "%s", name.c_str());
  pendingArmed = 1;
}

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

int CreateNamedTemporary(int folder, const std::string& name, std::string* temporary) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    *temporary = TemporaryName(name);
    BlockedSignals blocked;
    const int fd = openat(folder, temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) Arm(folder, *temporary);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Gives the unnamed file `fd` a name in `folder`. Linking an open file by its descriptor needs
// a capability that only root has; /proc/self/fd gives every user the same.
bool LinkUnnamedTemporary(int fd, int folder, const std::string& name, std::string* temporary) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    *temporary = TemporaryName(name);
    BlockedSignals blocked;
    int linked = linkat(fd, "", folder, temporary->c_str(), AT_EMPTY_PATH);
    if (linked != 0 && errno != EEXIST)
      linked = linkat(AT_FDCWD, self.c_str(), folder, temporary->c_str(), AT_SYMLINK_FOLLOW);
    if (linked == 0) Arm(folder, *temporary);
    if (linked == 0 || errno != EEXIST) return linked == 0;
  }
  errno = EEXIST;
  return false;
}

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

// Writes `path` whole through a temporary file beside it: over what stands there (`like`
// null), or as a new file owned and permitted like `like`, the file `likePath`, that never
// replaces anything.
bool WriteWhole(const std::string& path, std::string_view contents, bool unnamed, const struct stat* like,
                const std::string& likePath, bool* existed, std::string* error) {
  std::string folderPath;
  std::string name;
  SplitPath(path, &folderPath, &name);
  const int folder = open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    *error = "cannot open the folder " + folderPath + ": " + std::strerror(errno);
    return false;
  }
  // What stands there now decides: the checks before the run are made again.
  struct stat existing {};
  bool exists = fstatat(folder, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
  const bool onlyNew = like != nullptr;
  if (onlyNew) {
    *existed = exists;
    if (exists) {
      close(folder);
      return true;
    }
    existing = *like;
    exists = true;
  }
  std::string why;
  if (exists && !S_ISREG(existing.st_mode))
    why = "it is " + KindOfFile(existing.st_mode) + " now, no regular file";
  else if (exists && !onlyNew)
    why = WhyNotReplaceable(path, existing);
  if (!why.empty()) {
    close(folder);
    *error = why;
    return false;
  }

  CleanupOnSignals cleanup;
  int fd = -1;
#ifdef O_TMPFILE
  if (unnamed) fd = openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
#endif
  // No O_TMPFILE here (an older kernel, a filesystem without it): a named file, which the
  // signals that end a process remove.
  const bool named = fd < 0;
  std::string temporary;
  if (named) fd = CreateNamedTemporary(folder, name, &temporary);
  if (fd < 0) {
    *error = "cannot create a temporary file in " + folderPath + ": " + std::strerror(errno);
    close(folder);
    return false;
  }
  const auto failWith = [&](const std::string& message) {
    if (fd >= 0) close(fd);
    {
      BlockedSignals blocked;
      if (pendingArmed != 0) unlinkat(folder, temporary.c_str(), 0);
      pendingArmed = 0;
    }
    close(folder);
    *error = message;
    return false;
  };
  const auto fail = [&](const std::string& what, int number) { return failWith(what + ": " + std::strerror(number)); };

  // chown clears the set-id bits, so the mode comes after it.
  struct stat created {};
  if (exists && fstat(fd, &created) == 0 && (created.st_uid != existing.st_uid || created.st_gid != existing.st_gid) &&
      fchown(fd, existing.st_uid, existing.st_gid) != 0)
    return fail("cannot keep its owner and group", errno);
  if (fchmod(fd, exists ? existing.st_mode & 07777 : NewFileMode()) != 0)
    return fail("cannot set the permissions of the temporary file", errno);
  if (!WriteAll(fd, contents)) return fail("cannot write the temporary file", errno);
  // After the contents: a write by anyone but root takes security.capability away.
  if (exists && !CopyAttributes(onlyNew ? likePath : folderPath + "/" + name, fd, &why)) return failWith(why);
  if (fsync(fd) != 0) return fail("cannot flush the temporary file to disk", errno);
  if (!named && !LinkUnnamedTemporary(fd, folder, name, &temporary)) {
    // Without /proc the unnamed file cannot be linked: the named way, from the start.
    close(fd);
    close(folder);
    return WriteWhole(path, contents, false, like, likePath, existed, error);
  }
  const int closed = close(fd);
  fd = -1;
  if (closed != 0) return fail("cannot close the temporary file", errno);
  {
    BlockedSignals blocked;
    const bool placed =
        onlyNew ? PlaceNew(folder, temporary, name) : renameat(folder, temporary.c_str(), folder, name.c_str()) == 0;
    if (!placed) {
      const int number = errno;
      unlinkat(folder, temporary.c_str(), 0);
      pendingArmed = 0;
      close(folder);
      if (onlyNew && number == EEXIST) {
        *existed = true;
        return true;
      }
      *error = std::string(onlyNew ? "cannot create it: " : "cannot replace it: ") + std::strerror(number);
      return false;
    }
    pendingArmed = 0;
  }
  // Makes the rename itself durable; the file is complete either way.
  fsync(folder);
  close(folder);
  return true;
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
