// Files written whole or not at all: the contents go into a temporary file beside the file's
// name (unnamed where the filesystem allows, so that even a crash leaves nothing behind; else
// a named one that SIGINT, SIGTERM and SIGHUP remove before they end the process), flushed to
// disk, and only then given the name. On failure no temporary file is left and `error` says
// what failed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvane::sim {

// Replaces `path` whole. Whatever stands there now is checked again as it was before the run
// (file_rules.h): a regular file that may be replaced, or nothing, which makes a new file
// with the umask's permissions. The replacement keeps the old file's owner, group and mode,
// and its extended attributes wherever the file system lets them be set (ACLs, ntfs-3g's
// Windows security descriptor and DOS attributes, user.* and security.*); one that controls
// access and cannot be kept fails the replacement. `unnamed` false uses a named temporary
// file even where an unnamed one could be made.
bool ReplaceWhole(const std::string& path, std::string_view contents, bool unnamed, std::string* error);

// Creates `path` whole, owned, permitted and with the extended attributes of the file `like`,
// as ReplaceWhole keeps them, but never over anything: when something is there, or comes
// there meanwhile, nothing is written and *existed is set (true is returned: that is no
// failure).
bool CreateWholeLike(const std::string& path, std::string_view contents, const std::string& like, bool unnamed,
                     bool* existed, std::string* error);

// How long the name of a temporary file for the file `name` is: ".NAME.korvane-sim-XXXXXX".
std::size_t TemporaryNameLength(const std::string& name);

// Whether `entry` is a name that a temporary file for the file `name` is given.
bool IsTemporaryNameOf(std::string_view entry, const std::string& name);

// Writes all of `contents` to `fd`, through short writes and interruptions; false with errno
// set.
bool WriteAll(int fd, std::string_view contents);

}  // namespace korvane::sim
