// Which files korvane-sim may write, in the words it refuses them with: the rules that the
// check before a run and the write after it both apply, so that a file refused at either
// time is refused for the same reason.
#pragma once

#include <sys/stat.h>

#include <string>

namespace korvane::sim {

// "0644": a mode's permission bits as chmod takes them.
std::string ModeText(mode_t mode);

// "a directory", "a FIFO", "a character device", ...: what a file that is no regular file is.
std::string KindOfFile(mode_t mode);

// Why the regular file `path`, whose status is `status`, may not be replaced, or "" when it
// may. As editors do, a file with no write permission at all is read-only even to root. Only
// root can give the new file to another owner or a group the user is not in, so anyone else
// may replace only his own.
std::string WhyNotReplaceable(const std::string& path, const struct stat& status);

// Why no file may be created in `folder`, or "" when one may.
std::string WhyNoNewFiles(const std::string& folder);

// The folder a path names its file in ("." for a bare name), and the file's name there.
void SplitPath(const std::string& path, std::string* folder, std::string* name);

}  // namespace korvane::sim
