#include "platform/hosted/hosted_system.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/hosted/machine_files/file_rules.h"

namespace korvane::hosted {

namespace {

// Why `status` is no folder that only this user can reach, or "" when it is one.
std::string WhyNotPrivate(const struct stat& status) {
  if (S_ISLNK(status.st_mode)) return "it is a symbolic link";
  if (!S_ISDIR(status.st_mode)) return "it is no directory";
  if (status.st_uid != geteuid())
    return "it belongs to uid " + std::to_string(status.st_uid) + ", not to uid " + std::to_string(geteuid());
  if ((status.st_mode & 07777) != 0700) return "its mode is " + ModeText(status.st_mode) + ", not 0700";
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

// Record locks (fcntl), not flock: the kernel names the process that holds one.
bool LockWhole(int fd, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return fcntl(fd, F_SETLK, &lock) == 0;
}

int LockHolder(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fd < 0 || fcntl(fd, F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) return 0;
  return lock.l_pid;
}

constexpr std::uint32_t kErrorAccessDenied = 5;

}  // namespace

InstanceRegistry::~InstanceRegistry() {
  for (int fd : {windowFd_, machineFd_, directory_})
    if (fd >= 0) close(fd);
}

bool InstanceRegistry::Open(const std::string& machineKey, std::string* error) {
  directory_ = OpenRuntimeDirectory(error);
  if (directory_ < 0) return false;
  prefix_ = Fingerprint(machineKey);
  // Closing any descriptor of a file drops the process's record locks on it: each file is
  // opened once, here, and kept.
  machineFd_ = OpenFile(".lock");
  windowFd_ = machineFd_ < 0 ? -1 : OpenFile(".window");
  if (windowFd_ < 0) {
    *error = "cannot open the instance files in the runtime directory: " + std::string(std::strerror(errno));
    return false;
  }
  return true;
}

int InstanceRegistry::OpenFile(const std::string& suffix) const {
  return openat(directory_, (prefix_ + suffix).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
}

InstanceRegistry::Take InstanceRegistry::TakeMachine(int* holder) {
  *holder = 0;
  if (LockWhole(machineFd_, F_WRLCK)) {
    hasMachine_ = true;
    return Take::kTaken;
  }
  if (errno != EACCES && errno != EAGAIN) return Take::kFailed;
  *holder = LockHolder(machineFd_);
  return Take::kHeldByAnother;
}

int InstanceRegistry::OpenMutex(const std::string& name, bool* existed) {
  *existed = !hasMachine_;
  std::string suffix = ".";
  suffix += Fingerprint(name);
  suffix += ".mutex";
  return OpenFile(suffix);
}

int InstanceRegistry::FindWindowOwner() const { return LockHolder(windowFd_); }

void InstanceRegistry::WindowOpened() { LockWhole(windowFd_, F_WRLCK); }

void InstanceRegistry::WindowClosed() { LockWhole(windowFd_, F_UNLCK); }

bool HostedSystem::GetVersionEx(platform::OsVersionInfo* info) {
  if (info == nullptr || info->size != sizeof(platform::OsVersionInfo)) {
    lastError_ = 122;  // ERROR_INSUFFICIENT_BUFFER
    return false;
  }
  *info = version_;
  info->size = sizeof(platform::OsVersionInfo);
  return true;
}

platform::WindowRef HostedSystem::FindDialogClassWindow() {
  return static_cast<platform::WindowRef>(instances_.FindWindowOwner());
}

platform::HandleRef HostedSystem::CreateMutex(const char* name) {
  bool existed = false;
  const int fd = instances_.OpenMutex(name == nullptr ? "" : name, &existed);
  if (fd < 0) {
    lastError_ = kErrorAccessDenied;
    return 0;
  }
  lastError_ = existed ? platform::kErrorAlreadyExists : 0;
  const platform::HandleRef handle = static_cast<platform::HandleRef>(fd) + 1;
  openHandles_.push_back(handle);
  return handle;
}

bool HostedSystem::CloseHandle(platform::HandleRef handle) {
  // A handle closed twice must not close a descriptor that has taken its number since.
  const auto found = std::find(openHandles_.begin(), openHandles_.end(), handle);
  if (found == openHandles_.end()) {
    lastError_ = 6;  // ERROR_INVALID_HANDLE
    return false;
  }
  openHandles_.erase(found);
  return close(static_cast<int>(handle - 1)) == 0;
}

bool HostedSystem::ReleaseMutex(platform::HandleRef handle) {
  // The mutex is never owned by a thread, so there is nothing to release.
  (void)handle;
  lastError_ = 288;  // ERROR_NOT_OWNER
  return false;
}

bool HostedSystem::SetForegroundWindow(platform::WindowRef window) {
  if (window == 0) return false;
  return kill(static_cast<pid_t>(window), SIGUSR1) == 0;
}

int HostedSystem::MessageBox(const char* text, const char* caption, unsigned /*style*/) {
  screen_.ShowNotice(caption == nullptr ? "" : caption, text == nullptr ? "" : text);
  return 1;  // IDOK
}

}  // namespace korvane::hosted
