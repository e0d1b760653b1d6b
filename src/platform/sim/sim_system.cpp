#include "platform/sim/sim_system.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/registry.h"
#include "platform/window_system.h"

namespace korvane::sim {

namespace {

// Why `status` is no folder that only this user can reach, or "" when it is one.
std::string WhyNotPrivate(const struct stat& status) {
  if (S_ISLNK(status.st_mode)) return "it is a symbolic link";
  if (!S_ISDIR(status.st_mode)) return "it is no directory";
  if (status.st_uid != geteuid())
    return "it belongs to uid " + std::to_string(status.st_uid) + ", not to uid " + std::to_string(geteuid());
  if ((status.st_mode & 07777) != 0700) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    return std::string("its mode is ") + mode + ", not 0700";
  }
  return "";
}

bool IsPrivateFolder(const char* path) {
  struct stat status {};
  return path != nullptr && path[0] == '/' && lstat(path, &status) == 0 && WhyNotPrivate(status).empty();
}

// Opens the runtime directory; -1 with `error` saying why when it is unsafe or unusable.
int OpenRuntimeDirectory(std::string* error) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const char* temporary = std::getenv("TMPDIR");
  const std::string parent = IsPrivateFolder(runtime)                         ? runtime
                             : temporary != nullptr && temporary[0] == '/' ? temporary
                                                                              : "/tmp";
  const std::string path = parent + "/korvane-sim-" + std::to_string(geteuid());
  if (mkdir(path.c_str(), 0700) == 0) {
    chmod(path.c_str(), 0700);  // in case the umask took the owner's bits
  } else if (errno != EEXIST) {
    *error = "cannot create the runtime directory " + path + ": " + std::strerror(errno);
    return -1;
  }
  // Anyone may have made it first in a shared folder: it is checked, and then used only
  // through the descriptor of what was checked.
  struct stat status {};
  std::string why = lstat(path.c_str(), &status) == 0 ? WhyNotPrivate(status) : std::strerror(errno);
  const int fd = why.empty() ? open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
  struct stat opened {};
  if (why.empty() && (fd < 0 || fstat(fd, &opened) != 0 || opened.st_dev != status.st_dev ||
                      opened.st_ino != status.st_ino || !WhyNotPrivate(opened).empty()))
    why = "it changed while it was checked";
  if (!why.empty()) {
    if (fd >= 0) close(fd);
    *error = "unsafe runtime directory " + path + ": " + why +
             " (another user may have made it; remove it, or set XDG_RUNTIME_DIR to a directory of yours "
             "with mode 0700)";
    return -1;
  }
  return fd;
}

std::string Fingerprint(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

// Record locks (fcntl), not flock: the kernel names the process that holds one. One file
// holds both locks, each on a byte of its own.
constexpr off_t kMachineByte = 0;
constexpr off_t kWindowByte = 1;

bool LockByte(int fd, off_t byte, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return fcntl(fd, F_SETLK, &lock) == 0;
}

int LockHolder(int fd, off_t byte) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  if (fd < 0 || fcntl(fd, F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) return 0;
  return lock.l_pid;
}

// The lock file is removed by whoever had the machine, so a file opened just before that
// may be locked by a later run after it has lost its name. A handful of tries is plenty: each
// needs another run to have taken and let go of the machine meanwhile.
constexpr int kLockAttempts = 100;

}  // namespace

InstanceLocks::~InstanceLocks() {
  Release();
  if (directory_ >= 0) close(directory_);
}

bool InstanceLocks::Open(const std::string& machineKey, std::string* error) {
  Release();
  if (directory_ < 0) directory_ = OpenRuntimeDirectory(error);
  if (directory_ < 0) return false;
  name_ = Fingerprint(machineKey) + ".lock";
  // Closing any descriptor of a file drops the process's record locks on it: the file is
  // opened once, here, and kept.
  lockFd_ = openat(directory_, name_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    *error = "cannot open the instance files in the runtime directory: " + std::string(std::strerror(errno));
    return false;
  }
  return true;
}

bool InstanceLocks::StillNamed() const {
  struct stat named {};
  struct stat locked {};
  return fstatat(directory_, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(lockFd_, &locked) == 0 &&
         named.st_dev == locked.st_dev && named.st_ino == locked.st_ino;
}

InstanceLocks::Take InstanceLocks::TakeMachine(int* holder) {
  *holder = 0;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    if (!LockByte(lockFd_, kMachineByte, F_WRLCK)) {
      if (errno != EACCES && errno != EAGAIN) return Take::kFailed;
      *holder = LockHolder(lockFd_, kMachineByte);
      return Take::kHeldByAnother;
    }
    if (StillNamed()) {
      hasMachine_ = true;
      return Take::kTaken;
    }
    // The run that had the machine removed this file as it ended: the next run's file is the
    // one that has its name now.
    close(lockFd_);
    lockFd_ = openat(directory_, name_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lockFd_ < 0) return Take::kFailed;
  }
  errno = EAGAIN;
  return Take::kFailed;
}

void InstanceLocks::Release() {
  // Removed while it is still locked, so that no other run can have taken it meanwhile; one
  // that opened it before sees that it lost its name once it has the lock.
  if (hasMachine_) unlinkat(directory_, name_.c_str(), 0);
  hasMachine_ = false;
  if (lockFd_ >= 0) close(lockFd_);
  lockFd_ = -1;
}

int InstanceLocks::OpenMutex(const std::string& name, bool* existed) {
  // Who has the mutex is who has the machine; the handle is only something to close, and
  // names no file, so that none is left behind.
  (void)name;
  *existed = !hasMachine_;
  return openat(directory_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int InstanceLocks::FindWindowOwner() const { return LockHolder(lockFd_, kWindowByte); }

void InstanceLocks::WindowOpened() { LockByte(lockFd_, kWindowByte, F_WRLCK); }

void InstanceLocks::WindowClosed() { LockByte(lockFd_, kWindowByte, F_UNLCK); }

bool SimSystem::GetVersionEx(platform::OsVersionInfo* info) {
  if (info == nullptr || info->size != sizeof(platform::OsVersionInfo)) {
    lastError_ = platform::kErrorInsufficientBuffer;
    return false;
  }
  *info = version_;
  info->size = sizeof(platform::OsVersionInfo);
  return true;
}

platform::WindowRef SimSystem::FindDialogClassWindow() {
  return static_cast<platform::WindowRef>(instances_.FindWindowOwner());
}

platform::HandleRef SimSystem::CreateMutex(const char* name) {
  bool existed = false;
  const int fd = instances_.OpenMutex(name == nullptr ? "" : name, &existed);
  if (fd < 0) {
    lastError_ = static_cast<std::uint32_t>(platform::kErrorAccessDenied);
    return 0;
  }
  lastError_ = existed ? platform::kErrorAlreadyExists : 0;
  const platform::HandleRef handle = static_cast<platform::HandleRef>(fd) + 1;
  openHandles_.push_back(handle);
  return handle;
}

bool SimSystem::CloseHandle(platform::HandleRef handle) {
  // A handle closed twice must not close a descriptor that has taken its number since.
  const auto found = std::find(openHandles_.begin(), openHandles_.end(), handle);
  if (found == openHandles_.end()) {
    lastError_ = static_cast<std::uint32_t>(platform::kErrorInvalidHandle);
    return false;
  }
  openHandles_.erase(found);
  return close(static_cast<int>(handle - 1)) == 0;
}

bool SimSystem::ReleaseMutex(platform::HandleRef handle) {
  // The mutex is never owned by a thread, so there is nothing to release.
  (void)handle;
  lastError_ = platform::kErrorNotOwner;
  return false;
}

bool SimSystem::SetForegroundWindow(platform::WindowRef window) {
  if (window == 0) return false;
  return kill(static_cast<pid_t>(window), SIGUSR1) == 0;
}

int SimSystem::MessageBox(const char* text, const char* caption, unsigned /*style*/) {
  screen_.ShowNotice(caption == nullptr ? "" : caption, text == nullptr ? "" : text);
  return platform::kIdOk;
}

}  // namespace korvane::sim
