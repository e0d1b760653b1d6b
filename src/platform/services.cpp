#include "platform/services.h"

namespace korvane::platform {

namespace {
Services installed;
}

void Install(const Services& services) { installed = services; }
const Services& Installed() { return installed; }

void TerminateReadText(char* buffer, std::uint32_t length, std::uint32_t capacity) {
  if (capacity == 0) return;
  if (length > 0 && length <= capacity && buffer[length - 1] == '\0') return;
  if (length < capacity)
    buffer[length] = '\0';
  else
    buffer[capacity - 1] = '\0';
}

}  // namespace korvane::platform
