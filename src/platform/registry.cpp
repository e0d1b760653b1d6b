// The rule every registry shares: what a successful string read leaves in the caller's buffer.
#include "platform/registry.h"

namespace korvane::platform {

void TerminateReadText(char* buffer, std::uint32_t length, std::uint32_t capacity) {
  if (capacity == 0) return;
  if (length > 0 && length <= capacity && buffer[length - 1] == '\0') return;
  if (length < capacity)
    buffer[length] = '\0';
  else
    buffer[capacity - 1] = '\0';
}

}  // namespace korvane::platform
