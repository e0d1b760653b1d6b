#include "app/platform_family.h"

#include "platform/services.h"

namespace korvane {

bool DetectPlatformFamily() {
  platform::OsVersionInfo version{};
  version.size = sizeof(version);
  // A failed query leaves the record zeroed: platform 0, which is refused.
  platform::System().GetVersionEx(&version);

  if (version.platformId == platform::kVerPlatformWin32Windows)
    OsFamily = version.minorVersion == 0 ? kFamilyWindows95 : kFamilyWindows98;
  else if (version.platformId == platform::kVerPlatformWin32Nt)
    OsFamily = version.majorVersion == 5 ? kFamilyNt5 : version.majorVersion == 4 ? kFamilyNt4 : kFamilyOtherNt;

  switch (OsFamily) {
    case kFamilyWindows95:
    case kFamilyWindows98:
      classRoot = "System\\CurrentControlSet\\Services\\Class\\";
      enumRoot = "Enum\\PCI\\";
      configManagerRoot = "Config Manager\\Enum\\";
      return true;
    case kFamilyNt4:
      classRoot = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
      enumRoot = "SYSTEM\\CurrentControlSet\\Services\\";
      return true;
    case kFamilyNt5:
      classRoot = "System\\CurrentControlSet\\Control\\Class\\";
      enumRoot = "System\\CurrentControlSet\\Enum\\PCI\\";
      return true;
    default:
      return false;
  }
}

}  // namespace korvane
