// The one place korvane-sim writes users' files, the way careful tools write them. A regular
// file is replaced whole: a temporary file beside it (unnamed where the filesystem allows, so
// that a crash leaves nothing behind; else a named one that SIGINT, SIGTERM and SIGHUP remove),
// flushed to disk and renamed over it (atomic_replace.h). Behind a symbolic link the link's target
// is replaced and the link kept. The replaced file's owner, group and mode are kept, and its
// extended attributes where the file system allows (ACLs, ntfs-3g's security descriptor); a
// read-only file, one the user may not write, and one whose owner or group the user could not
// keep are refused (file_rules.h). A FIFO or a character device is written into in place, and
// "-" is standard output; korvane-sim ignores SIGPIPE, so that a reader who has gone makes such
// a write fail rather than end the process before its other saves.
//
// Targets are checked before anything runs (CheckTarget), so that a refused one is refused
// before the run changes anything, and written afterwards (WriteTarget), where the checks are
// made again against what is there by then.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvane::sim {

// What a target may be.
enum class TargetRule {
  kExistingFile,  // an existing regular file (a machine saved back)
  kFile,          // a regular file, new or existing
  kOutput,        // a regular file, new or existing; a FIFO or a character device; "-"
};

struct FileTarget {
  enum class Kind {
    kStandardOutput,  // "-"
    kNewFile,         // nothing there yet: created with the umask's permissions
    kReplace,         // a regular file, replaced whole
    kInPlace,         // a FIFO or a character device, written into as it is
  };
  Kind kind = Kind::kNewFile;
  std::string given;  // the path as the user gave it
  std::string path;   // what is written: a regular file behind symbolic links is the file itself
};

// Whether `path` may be written under `rule`, and how. False with `error` saying why, in words
// that follow "cannot write PATH: " (e.g. "it is read-only (mode 0444)").
bool CheckTarget(const std::string& path, TargetRule rule, FileTarget* target, std::string* error);

// Writes `contents` to a checked target. On failure a replaced file is as it was, no temporary
// file is left, and `error` says what failed.
bool WriteTarget(const FileTarget& target, std::string_view contents, std::string* error);

// Keeps `contents`, the bytes a file held before it is replaced, as `path` (FILE.bak beside
// it), owned and permitted like the file `like`: written whole or not at all, as a replacement
// is, but never over anything. When something is there already it is left as it is and
// *existed is set, so that the first original survives every later run.
bool KeepOriginal(const std::string& path, std::string_view contents, const std::string& like, bool* existed,
                  std::string* error);

// Whether both paths name one existing file (through symbolic links, hard links, "./").
bool IsSameFile(const std::string& first, const std::string& second);

// Whether `path` is, or once written would be, `other`: one file through symbolic links,
// hard links or bind mounts, or one name in one folder in any letter case, as Windows names
// files.
bool IsSameEntry(const std::string& path, const std::string& other);

// Why `path` cannot be written whole: its name, or the name of the temporary file it is written
// through, is longer than its folder allows; "" when both fit.
std::string WhyNameTooLong(const std::string& path);

// Removes the temporary files that a run ended by SIGKILL or a crash left beside `path` where
// no unnamed one could be made, and returns their paths. Only regular files with the names
// korvane-sim gives its own for `path` are touched: the caller must hold the lock that every
// writer of `path` holds.
std::vector<std::string> RemoveLeftTemporaries(const std::string& path);

// Replacing uses an unnamed temporary file (O_TMPFILE) when the filesystem has them; false
// makes it use a named one always, as on filesystems without, so that tests reach that way.
void UseUnnamedTemporaryFiles(bool use);

}  // namespace korvane::sim
