#include "machine_files/io/file_targets.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "machine_files/io/file_rules.h"
#include "machine_files/io/atomic_replace.h"
#include "machine_files/io/printable.h"

namespace korvane::sim {

namespace {

bool useUnnamedTemporaryFiles = true;

// A file is replaced, or made, through a temporary file beside it.
std::string WhyNoNewFilesBeside(const std::string& path) {
  std::string folder;
  std::string name;
  SplitPath(path, &folder, &name);
  return WhyNoNewFiles(folder);
}

// The folder a path's file is in, resolved, and the file's name there: the file's own through
// symbolic links when it exists, else the name the path gives.
bool ResolvedEntry(const std::string& path, struct stat* folderStatus, std::string* name) {
  std::string resolvedPath = path;
  if (char* resolved = realpath(path.c_str(), nullptr)) {
    resolvedPath = resolved;
    std::free(resolved);
  }
  std::string folder;
  SplitPath(resolvedPath, &folder, name);
  return stat(folder.c_str(), folderStatus) == 0;
}

bool WriteInPlace(const std::string& path, std::string_view contents, std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = std::strerror(errno);
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
    *error = std::string("cannot close it: ") + std::strerror(errno);
    return false;
  }
  if (!written) *error = std::strerror(number);
  return written;
}

bool WriteStandardOutput(std::string_view contents, std::string* error) {
  if (std::fflush(stdout) != 0 || !WriteAll(STDOUT_FILENO, contents)) {
    *error = std::strerror(errno);
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
    if (number != ENOENT || rule == TargetRule::kExistingFile) return fail(std::strerror(number));
    struct stat link {};
    if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      std::vector<char> text(PATH_MAX + 1);
      const ssize_t length = readlink(path.c_str(), text.data(), text.size() - 1);
      return fail("it is a symbolic link to " +
                  Printable(std::string_view(text.data(), length > 0 ? static_cast<std::size_t>(length) : 0)) +
                  ", which does not exist");
    }
    if (std::string why = WhyNoNewFilesBeside(path); !why.empty()) return fail(why);
    if (std::string why = WhyNameTooLong(path); !why.empty()) return fail(why);
    target->kind = FileTarget::Kind::kNewFile;
    return true;
  }

  if (S_ISREG(status.st_mode)) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return fail(std::strerror(errno));
    target->path = resolved;
    std::free(resolved);
    if (std::string why = WhyNotReplaceable(target->path, status); !why.empty()) return fail(why);
    if (std::string why = WhyNameTooLong(target->path); !why.empty()) return fail(why);
    if (std::string why = WhyNoNewFilesBeside(target->path); !why.empty()) return fail(why);
    target->kind = FileTarget::Kind::kReplace;
    return true;
  }
  if (rule == TargetRule::kOutput && (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode))) {
    if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
      return fail(errno == EACCES ? "you may not write it" : std::strerror(errno));
    target->kind = FileTarget::Kind::kInPlace;
    return true;
  }
  if (rule == TargetRule::kOutput)
    return fail("it is " + KindOfFile(status.st_mode) +
                ": only a regular file, a FIFO or a character device is written");
  return fail("it is " + KindOfFile(status.st_mode) + ", not a regular file");
}

bool WriteTarget(const FileTarget& target, std::string_view contents, std::string* error) {
  switch (target.kind) {
    case FileTarget::Kind::kStandardOutput:
      return WriteStandardOutput(contents, error);
    case FileTarget::Kind::kInPlace:
      return WriteInPlace(target.path, contents, error);
    case FileTarget::Kind::kNewFile:
    case FileTarget::Kind::kReplace:
      break;
  }
  return ReplaceWhole(target.path, contents, useUnnamedTemporaryFiles, error);
}

bool KeepOriginal(const std::string& path, std::string_view contents, const std::string& like, bool* existed,
                  std::string* error) {
  return CreateWholeLike(path, contents, like, useUnnamedTemporaryFiles, existed, error);
}

bool IsSameFile(const std::string& first, const std::string& second) {
  struct stat a {};
  struct stat b {};
  return stat(first.c_str(), &a) == 0 && stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

bool IsSameEntry(const std::string& path, const std::string& other) {
  if (IsSameFile(path, other)) return true;
  struct stat folder {};
  struct stat otherFolder {};
  std::string name;
  std::string otherName;
  return ResolvedEntry(path, &folder, &name) && ResolvedEntry(other, &otherFolder, &otherName) &&
         folder.st_dev == otherFolder.st_dev && folder.st_ino == otherFolder.st_ino &&
         strcasecmp(name.c_str(), otherName.c_str()) == 0;
}

std::string WhyNameTooLong(const std::string& path) {
  std::string folder;
  std::string name;
  SplitPath(path, &folder, &name);
  errno = 0;
  const long limit = pathconf(folder.c_str(), _PC_NAME_MAX);
  if (limit < 0) return errno == 0 || errno == ENOENT ? "" : std::strerror(errno);
  const auto fits = static_cast<std::size_t>(limit);
  if (name.size() > fits)
    return "its name is " + std::to_string(name.size()) + " bytes long, and " + folder + " allows " +
           std::to_string(limit);
  if (TemporaryNameLength(name) > fits)
    return "its name is " + std::to_string(name.size()) + " bytes long, and the temporary file it is written through (" +
           std::to_string(TemporaryNameLength(name)) + " bytes) would be longer than " + folder + " allows (" +
           std::to_string(limit) + ")";
  return "";
}

std::vector<std::string> RemoveLeftTemporaries(const std::string& path) {
  std::string folder;
  std::string name;
  SplitPath(path, &folder, &name);
  std::vector<std::string> removed;
  const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = directory < 0 ? nullptr : fdopendir(directory);
  if (listing == nullptr) {
    if (directory >= 0) close(directory);
    return removed;
  }
  while (const dirent* entry = readdir(listing)) {
    struct stat status {};
    // Only a regular file korvane-sim named: never what a link leads to, never a user's file.
    if (IsTemporaryNameOf(entry->d_name, name) &&
        fstatat(directory, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode) &&
        unlinkat(directory, entry->d_name, 0) == 0)
      removed.push_back(folder + "/" + entry->d_name);
  }
  closedir(listing);
  return removed;
}

void UseUnnamedTemporaryFiles(bool use) { useUnnamedTemporaryFiles = use; }

}  // namespace korvane::sim
