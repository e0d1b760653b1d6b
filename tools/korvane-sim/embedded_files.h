// Files of the source tree built into korvane-sim (each also ends with a zero byte).
#pragma once

#include <cstddef>

namespace korvane::embedded {

extern const unsigned char kResourceScript[];
extern const std::size_t kResourceScriptSize;
extern const unsigned char kResourceHeader[];
extern const std::size_t kResourceHeaderSize;
extern const unsigned char kDefaultMachine[];
extern const std::size_t kDefaultMachineSize;

}  // namespace korvane::embedded
