#include "platform/hosted/machine_files/safe_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

namespace korvane::hosted {

namespace {

bool useUnnamedTemporaryFiles = true;

std::string ErrnoText(int number) { return std::strerror(number); }

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string KindOfFile(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "no regular file";
}

void SplitPath(const std::string& path, std::string* folder, std::string* name) {
  const std::size_t slash = path.rfind('/');
  *folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsOneOfOurGroups(gid_t group) {
  if (group == getegid()) return true;
  const int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int got = getgroups(count, groups.data());
  for (int i = 0; i < got; ++i)
    if (groups[static_cast<std::size_t>(i)] == group) return true;
  return false;
}

// Why the regular file `path` may not be replaced, or "" when it may. As editors do, a file
// with no write permission at all is read-only even to root. Only root can give the new file
// to another owner or a group the user is not in, so anyone else may replace only his own.
std::string WhyNotReplaceable(const std::string& path, const struct stat& status) {
  if ((status.st_mode & 0222) == 0) return "it is read-only (mode " + ModeText(status.st_mode) + ")";
  if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
    if (errno != EACCES) return ErrnoText(errno);
    return "you may not write it (owner uid " + std::to_string(status.st_uid) + ", mode " +
           ModeText(status.st_mode) + ")";
  }
  if (geteuid() != 0) {
    if (status.st_uid != geteuid())
      return "it belongs to uid " + std::to_string(status.st_uid) + ": replaced by uid " +
             std::to_string(geteuid()) + ", it would change its owner";
    if (!IsOneOfOurGroups(status.st_gid))
      return "its group (gid " + std::to_string(status.st_gid) +
             ") is none of yours: replaced, it would change its group";
  }
  return "";
}

std::string WhyNoNewFiles(const std::string& folder) {
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
    return "cannot create files in " + folder + ": " + ErrnoText(errno);
  return "";
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

// A signal may come at any moment while a write to a pipe or a device fails: SIGPIPE becomes
// EPIPE, reported as an error, instead of ending the process before its other saves.
class IgnoredSigpipe {
 public:
  IgnoredSigpipe() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &saved_);
  }
  ~IgnoredSigpipe() { sigaction(SIGPIPE, &saved_, nullptr); }
  IgnoredSigpipe(const IgnoredSigpipe&) = delete;
  IgnoredSigpipe& operator=(const IgnoredSigpipe&) = delete;

 private:
  struct sigaction saved_ {};
};

// A hidden name beside the target, as editors and git use for their temporary files.
std::string TemporaryName(const std::string& name) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937 random{std::random_device{}()};
  std::string temporary = ".";
  temporary.append(name, 0, NAME_MAX - 16);
  temporary += '.';
  for (int i = 0; i < 6; ++i) temporary += kLetters[random() % (sizeof kLetters - 1)];
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
    if (linked != 0 && errno != EEXIST) linked = linkat(AT_FDCWD, self.c_str(), folder, temporary->c_str(), AT_SYMLINK_FOLLOW);
    if (linked == 0) Arm(folder, *temporary);
    if (linked == 0 || errno != EEXIST) return linked == 0;
  }
  errno = EEXIST;
  return false;
}

mode_t NewFileMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

bool Replace(const std::string& path, std::string_view contents, bool unnamed, std::string* error) {
  std::string folderPath;
  std::string name;
  SplitPath(path, &folderPath, &name);
  const int folder = open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    *error = "cannot open the folder " + folderPath + ": " + ErrnoText(errno);
    return false;
  }
  // What stands there now decides: the checks before the run are made again.
  struct stat existing {};
  const bool exists = fstatat(folder, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
  std::string why;
  if (exists && !S_ISREG(existing.st_mode))
    why = "it is " + KindOfFile(existing.st_mode) + " now, no regular file";
  else if (exists)
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
    *error = "cannot create a temporary file in " + folderPath + ": " + ErrnoText(errno);
    close(folder);
    return false;
  }
  const auto fail = [&](const std::string& what, int number) {
    if (fd >= 0) close(fd);
    {
      BlockedSignals blocked;
      if (pendingArmed != 0) unlinkat(folder, temporary.c_str(), 0);
      pendingArmed = 0;
    }
    close(folder);
    *error = what + ": " + ErrnoText(number);
    return false;
  };

  // chown clears the set-id bits, so the mode comes after it.
  struct stat created {};
  if (exists && fstat(fd, &created) == 0 && (created.st_uid != existing.st_uid || created.st_gid != existing.st_gid) &&
      fchown(fd, existing.st_uid, existing.st_gid) != 0)
    return fail("cannot keep its owner and group", errno);
  if (fchmod(fd, exists ? existing.st_mode & 07777 : NewFileMode()) != 0)
    return fail("cannot set the permissions of the temporary file", errno);
  if (!WriteAll(fd, contents)) return fail("cannot write the temporary file", errno);
  if (fsync(fd) != 0) return fail("cannot flush the temporary file to disk", errno);
  if (!named && !LinkUnnamedTemporary(fd, folder, name, &temporary)) {
    // Without /proc the unnamed file cannot be linked: the named way, from the start.
    close(fd);
    close(folder);
    return Replace(path, contents, false, error);
  }
  const int closed = close(fd);
  fd = -1;
  if (closed != 0) return fail("cannot close the temporary file", errno);
  {
    BlockedSignals blocked;
    if (renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
      const int number = errno;
      unlinkat(folder, temporary.c_str(), 0);
      pendingArmed = 0;
      close(folder);
      *error = "cannot replace it: " + ErrnoText(number);
      return false;
    }
    pendingArmed = 0;
  }
  // Makes the rename itself durable; the file is complete either way.
  fsync(folder);
  close(folder);
  return true;
}

bool WriteInPlace(const std::string& path, std::string_view contents, std::string* error) {
  IgnoredSigpipe sigpipe;
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = ErrnoText(errno);
    return false;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0 || !(S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode))) {
    // Written in place, a regular file that took its place would keep the end of its old text.
    close(fd);
    *error = "it is no longer a FIFO or a character device";
    return false;
  }
  const bool written = WriteAll(fd, contents);
  const int number = errno;
  if (close(fd) != 0 && written) {
    *error = "cannot close it: " + ErrnoText(errno);
    return false;
  }
  if (!written) *error = ErrnoText(number);
  return written;
}

bool WriteStandardOutput(std::string_view contents, std::string* error) {
  IgnoredSigpipe sigpipe;
  if (std::fflush(stdout) != 0 || !WriteAll(STDOUT_FILENO, contents)) {
    *error = ErrnoText(errno);
    return false;
  }
  return true;
}

}  // namespace

bool CheckTarget(const std::string& path, TargetRule rule, FileTarget* target, std::string* error) {
  const auto fail = [&](std::string why) {
    *error = std::move(why);
    return false;
  };
  target->given = path;
  target->path = path;
  if (path.empty()) return fail("no file is named");
  if (rule == TargetRule::kOutput && path == "-") {
    target->kind = FileTarget::Kind::kStandardOutput;
    return true;
  }
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    const int number = errno;
    if (number != ENOENT || rule == TargetRule::kExistingFile) return fail(ErrnoText(number));
    struct stat link {};
    if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      std::vector<char> text(PATH_MAX + 1);
      const ssize_t length = readlink(path.c_str(), text.data(), text.size() - 1);
      return fail("it is a symbolic link to " + std::string(text.data(), length > 0 ? length : 0) +
                  ", which does not exist");
    }
    std::string folder;
    std::string name;
    SplitPath(path, &folder, &name);
    if (std::string why = WhyNoNewFiles(folder); !why.empty()) return fail(why);
    target->kind = FileTarget::Kind::kNewFile;
    return true;
  }

  if (S_ISREG(status.st_mode)) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return fail(ErrnoText(errno));
    target->path = resolved;
    std::free(resolved);
    if (std::string why = WhyNotReplaceable(target->path, status); !why.empty()) return fail(why);
    std::string folder;
    std::string name;
    SplitPath(target->path, &folder, &name);
    if (std::string why = WhyNoNewFiles(folder); !why.empty()) return fail(why);
    target->kind = FileTarget::Kind::kReplace;
    return true;
  }
  if (rule == TargetRule::kOutput && (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode))) {
    if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
      return fail(errno == EACCES ? "you may not write it" : ErrnoText(errno));
    target->kind = FileTarget::Kind::kInPlace;
    return true;
  }
  if (rule == TargetRule::kOutput)
    return fail("it is " + KindOfFile(status.st_mode) + ": only a regular file, a FIFO or a character device is written");
  return fail("it is " + KindOfFile(status.st_mode) + ", not a regular file");
}

bool WriteTarget(const FileTarget& target, std::string_view contents, std::string* error) {
  std::string unused;
  if (error == nullptr) error = &unused;
  switch (target.kind) {
    case FileTarget::Kind::kStandardOutput:
      return WriteStandardOutput(contents, error);
    case FileTarget::Kind::kInPlace:
      return WriteInPlace(target.path, contents, error);
    case FileTarget::Kind::kNewFile:
    case FileTarget::Kind::kReplace:
      break;
  }
  return Replace(target.path, contents, useUnnamedTemporaryFiles, error);
}

bool WriteFileSafely(const std::string& path, std::string_view contents, std::string* error) {
  std::string unused;
  if (error == nullptr) error = &unused;
  FileTarget target;
  return CheckTarget(path, TargetRule::kFile, &target, error) && WriteTarget(target, contents, error);
}

bool IsSameFile(const std::string& first, const std::string& second) {
  struct stat a {};
  struct stat b {};
  return stat(first.c_str(), &a) == 0 && stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

void UseUnnamedTemporaryFiles(bool use) { useUnnamedTemporaryFiles = use; }

}  // namespace korvane::hosted
