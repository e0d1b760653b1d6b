#include "platform/hosted/hosted_system.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace korvane::hosted {

namespace {

std::string RuntimeDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string directory = runtime != nullptr && *runtime != '\0' ? runtime : "/tmp";
  directory += "/korvane-sim-" + std::to_string(getuid());
  mkdir(directory.c_str(), 0700);
  return directory;
}

std::string Fingerprint(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

constexpr std::uint32_t kErrorAccessDenied = 5;

}  // namespace

InstanceRegistry::InstanceRegistry(const std::string& machineKey)
    : directory_(RuntimeDirectory()), prefix_(directory_ + "/" + Fingerprint(machineKey)) {}

InstanceRegistry::~InstanceRegistry() { WindowClosed(); }

int InstanceRegistry::OpenMutex(const std::string& name, bool* existed) {
  *existed = false;
  const std::string path = prefix_ + "." + Fingerprint(name) + ".mutex";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) *existed = true;
  return fd;
}

int InstanceRegistry::FindWindowOwner() const {
  std::ifstream file(prefix_ + ".window");
  int pid = 0;
  if (!(file >> pid) || pid <= 0) return 0;
  if (kill(pid, 0) != 0 && errno == ESRCH) return 0;
  return pid;
}

void InstanceRegistry::WindowOpened() {
  const std::string path = prefix_ + ".window";
  const std::string temporary = path + "." + std::to_string(getpid());
  {
    std::ofstream file(temporary, std::ios::trunc);
    file << getpid() << '\n';
  }
  windowOpen_ = std::rename(temporary.c_str(), path.c_str()) == 0;
}

void InstanceRegistry::WindowClosed() {
  if (!windowOpen_) return;
  windowOpen_ = false;
  if (FindWindowOwner() == getpid()) unlink((prefix_ + ".window").c_str());
}

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
  sawRunningInstance_ = sawRunningInstance_ || existed;
  return static_cast<platform::HandleRef>(fd) + 1;
}

bool HostedSystem::CloseHandle(platform::HandleRef handle) {
  if (handle == 0) return false;
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
