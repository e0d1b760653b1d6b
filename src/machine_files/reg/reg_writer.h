// The .reg writer: the simulated machine's registry written back as a machine file, and the
// changes of a run as a file that regedit applies to the real machine.
#pragma once

#include <string>
#include <vector>

#include "machine_files/reg/reg_format.h"
#include "platform/sim/memory_registry.h"

namespace korvane::sim {

// The whole registry (both roots, keys in enumeration order, values in stored order, empty
// keys included; a root's own key line only when it holds values) as a .reg file of
// `info`'s format and code page: REGEDIT4 as 8-bit text, which the regedit of Windows 95 and
// NT 4.0 needs, and 5.00 as UTF-16LE with its BOM, as regedit writes it (`info.utf16`, how a
// file was read, is not asked). Every value's type and bytes round-trip exactly: a REG_SZ is
// written as "text" only when its data is one text with a single terminating zero and no line
// break, and as hex(1) otherwise; a REG_DWORD of other than four bytes as hex(4).
std::string FormatMachine(const MemoryRegistry& registry, const RegFileEncoding& info);

// The keys the run created and the values it set (the successful entries of `writes`), as a
// .reg file that regedit applies to the real machine: in the order of the log, with
// consecutive writes to one key under one key line, values as FormatMachine writes them. A
// key the run created and deleted again is left out, with its values; a deleted key that was
// there before the run is a [-KEY] line.
std::string FormatChanges(const std::vector<WriteRecord>& writes, const RegFileEncoding& info);

// Whether a .reg file can carry every key and value name of the patch of `writes`: a CR, LF
// or NUL in one would end its line there, and what follows would be read as lines of the
// file's own. False with `error` naming the first that holds one, its control characters
// escaped.
bool CanCarryChanges(const std::vector<WriteRecord>& writes, std::string* error);

}  // namespace korvane::sim
