// The .reg reader: a simulated machine's registry from a .reg file (REGEDIT4, or "Windows
// Registry Editor Version 5.00"; UTF-16LE with BOM or 8-bit; CRLF or LF), read into a
// MemoryRegistry.
//
// The registry holds the ANSI view the utility reads, in the machine's code page (the
// registry's AnsiCodePage: 1252, or 932 on a Japanese machine): UTF-16 text (a UTF-16LE
// file, and the hex(1), hex(2) and hex(7) data of a 5.00 file) is converted through it, and
// a character it cannot hold is an error unless it stands in a comment. 8-bit text and the
// text-type data of REGEDIT4 files are ANSI already and kept as they are; in code page 932
// they are read a character at a time, so that a trail byte that is a backslash, a quote or
// a bracket is never taken for syntax. An 8-bit 5.00 file is taken through Unicode as
// Windows NT takes ANSI text, each character in the one form Windows gives back, and bytes
// that are no character of the code page are refused; a REGEDIT4 file (Windows 95/98 keep
// ANSI bytes as they are given) keeps them, and only its REGEDIT4 form can hold them:
// written as UTF-16 they become U+30FB, as Windows converts them. A NUL character is no
// part of any line and refused. Key and value names are limited in characters, as
// Windows limits them: a double-byte character of code page 932 counts once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "machine_files/reg/reg_format.h"
#include "machine_files/reg/reg_text.h"
#include "platform/sim/memory_registry.h"

namespace korvane::sim {

struct LoadError {
  std::string file;
  int line = 0;  // 1-based; 0 when the error concerns the whole file (unreadable, empty)
  std::string message;
  std::string ToString() const;  // "FILE:LINE: MESSAGE", or "FILE: MESSAGE" for line 0
};

// Reads `bytes` (the whole file) into `registry`, on top of what it holds, as regedit applies
// a file: key lines create keys, later values replace earlier ones of the same name, [-KEY]
// deletes a key with its subtree and "name"=- a value. `displayName` names the file in
// errors. The first malformed line ends the load with its error; `registry` may then hold
// part of the file, and callers discard it. The file is read and decoded `chunkBytes` at a
// time (reg_text.h); what it gives does not depend on them.
bool LoadMachineText(std::string_view bytes, std::string_view displayName, MemoryRegistry& registry,
                     RegFileEncoding* info, LoadError* error, std::size_t chunkBytes = kMachineChunkBytes);
// The most a machine file may hold: far above any real registry export (a Windows XP
// machine's whole HKEY_LOCAL_MACHINE is some tens of megabytes as UTF-16 text), and little
// enough to read in a moment.
inline constexpr std::size_t kMachineFileLimit = std::size_t{256} << 20;

// The file at `path` (a regular file, a pipe, a device), read as a stream of at most
// kMachineFileLimit bytes (input_file.h): a longer regular file is refused before it is
// read, any other input once more has come, whatever its lines held.
bool LoadMachineFile(const std::string& path, MemoryRegistry& registry, RegFileEncoding* info, LoadError* error,
                     std::size_t chunkBytes = kMachineChunkBytes);

}  // namespace korvane::sim
