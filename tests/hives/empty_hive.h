// Registry hive files for tests and benchmarks: the bytes of an empty hive (one root key with
// its security record), which hivex then fills, and a hive made to look like one Windows did
// not finish writing.
#pragma once

#include <string>

namespace korvane::testing {

// A regf file of 8 KiB: the header and one bin holding the root key, named "$$$PROTO.HIV" as
// in the hives Windows creates, with a security record that lets everyone in.
std::string EmptyHive();

// Makes the header's two sequence numbers differ, its checksum kept valid.
void MarkUnfinished(std::string* hive);

}  // namespace korvane::testing
