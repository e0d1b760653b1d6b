#include "machine_files/io/file_rules.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace korvane::sim {

namespace {

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

}  // namespace

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

std::string WhyNotReplaceable(const std::string& path, const struct stat& status) {
  if ((status.st_mode & 0222) == 0) return "it is read-only (mode " + ModeText(status.st_mode) + ")";
  if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
    if (errno != EACCES) return std::strerror(errno);
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
    return "cannot create files in " + folder + ": " + std::strerror(errno);
  return "";
}

void SplitPath(const std::string& path, std::string* folder, std::string* name) {
  const std::size_t slash = path.rfind('/');
  *folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace korvane::sim
