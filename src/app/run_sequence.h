// The application object and the run it makes in InitInstance: guard, language, platform
// family, discovery, provisioning, classification, then a notice or one result dialog.
#pragma once

#include <cstdint>

#include "platform/framework.h"
#include "platform/system.h"

namespace korvane {

class CAdapterSetupApp : public platform::CWinApp {
 public:
  CAdapterSetupApp() : CWinApp(nullptr) {}
  bool InitInstance() override;
};

extern CAdapterSetupApp theApp;

extern bool japaneseUi;
// The outcome codes that Outcome holds once the adapters are counted.
inline constexpr std::int32_t kOutcomeSome = 1;  // some but not all adapters applied
inline constexpr std::int32_t kOutcomeAll = 2;   // every adapter (also for an empty table)
inline constexpr std::int32_t kOutcomeNone = 3;  // none
extern std::int32_t Outcome;
inline constexpr bool showNotices = true;
extern platform::HandleRef instanceMutex;

void ClassifyOutcome();
void ShowUnsupportedOsNotice();
void ShowNoAdapterNotice();

}  // namespace korvane
