// Machine files: a simulated machine's registry as a .reg file (REGEDIT4, or "Windows
// Registry Editor Version 5.00"; UTF-16LE with BOM or 8-bit; CRLF or LF), read into and
// written back from a MemoryRegistry.
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
// written as UTF-16 they become U+30FB, as Windows converts them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/hosted/memory_registry.h"

namespace korvane::hosted {

enum class RegFileFormat { kRegedit4, kVersion5 };

struct LoadError {
  std::string file;
  int line = 0;  // 1-based; 0 when the error concerns the whole file (unreadable, empty)
  std::string message;
  std::string ToString() const;  // "FILE:LINE: MESSAGE", or "FILE: MESSAGE" for line 0
};

// What was read, and what to write: REGEDIT4 is always written as 8-bit text (the regedit
// of Windows 95 and NT 4.0 reads no UTF-16), 5.00 as UTF-16LE with its BOM when `utf16` is
// set and as 8-bit text otherwise; lines end in CRLF.
struct MachineFileInfo {
  RegFileFormat format = RegFileFormat::kVersion5;
  bool utf16 = false;  // the file was UTF-16LE with a BOM
  unsigned codePage = 1252;  // the ANSI code page of the registry's texts
};

// Reads `bytes` (the whole file) into `registry`, on top of what it holds, as regedit applies
// a file: key lines create keys, later values replace earlier ones of the same name, [-KEY]
// deletes a key with its subtree and "name"=- a value. `displayName` names the file in
// errors. The first malformed line ends the load with its error; `registry` may then hold
// part of the file, and callers discard it.
bool LoadMachineText(std::string_view bytes, std::string_view displayName, MemoryRegistry& registry,
                     MachineFileInfo* info, LoadError* error);
bool LoadMachineFile(const std::string& path, MemoryRegistry& registry, MachineFileInfo* info, LoadError* error);

// The whole registry (both roots, keys in enumeration order, values in stored order, empty
// keys included; a root's own key line only when it holds values) as a .reg file of
// `info`'s format and encoding. Every value's type and bytes round-trip exactly: a REG_SZ is
// written as "text" only when its data is one text with a single terminating zero and no line
// break, and as hex(1) otherwise; a REG_DWORD of other than four bytes as hex(4).
std::string FormatMachine(const MemoryRegistry& registry, const MachineFileInfo& info);

// The keys the run created and the values it set (the successful entries of `writes`), as a
// .reg file that regedit applies to the real machine: in the order of the log, with
// consecutive writes to one key under one key line, values as FormatMachine writes them. A
// key the run created and deleted again is left out, with its values; a deleted key that was
// there before the run is a [-KEY] line.
std::string FormatChanges(const std::vector<WriteRecord>& writes, const MachineFileInfo& info);

// Writes `contents` to `path` atomically: a temporary file beside it, flushed to disk, renamed
// over; it keeps the permissions of the file it replaces. On failure the temporary file is
// removed, `path` is as it was, and `error` says what failed.
bool WriteFileAtomically(const std::string& path, std::string_view contents, std::string* error);

}  // namespace korvane::hosted
