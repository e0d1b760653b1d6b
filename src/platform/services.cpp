#include "platform/services.h"

namespace korvane::platform {

namespace {
Services installed;
}

void Install(const Services& services) { installed = services; }
const Services& Installed() { return installed; }

}  // namespace korvane::platform
