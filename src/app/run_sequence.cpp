#include "app/run_sequence.h"

#include "app/adapter_table.h"
#include "app/platform_family.h"
#include "discovery/discover.h"
#include "platform/services.h"
#include "provision/provision.h"
#include "ui/result_dialogs.h"
#include "ui/texts.h"

namespace korvane {

namespace {

inline constexpr std::uint16_t kLangJapanese = 0x11;
inline constexpr char kMutexName[] = "tarnel";

void ShowNotice(const char* english, const char* japanese) {
  if (!showNotices) return;
  platform::System().MessageBox(japaneseUi ? japanese : english, kNoticeCaption, platform::kMbOk);
}

platform::CDialog* ChooseResultDialog() {
  switch (Outcome) {
    case kOutcomeSome: return japaneseUi ? bothResultsDlgJapanese : bothResultsDlg;
    case kOutcomeAll: return japaneseUi ? appliedResultDlgJapanese : appliedResultDlg;
    case kOutcomeNone: return japaneseUi ? failedResultDlgJapanese : failedResultDlg;
    default: return nullptr;
  }
}

}  // namespace

void ShowUnsupportedOsNotice() { ShowNotice(kUnsupportedOsText, kUnsupportedOsTextJapanese); }
void ShowNoAdapterNotice() { ShowNotice(kNoAdapterText, kNoAdapterTextJapanese); }

void ClassifyOutcome() {
  int count = 0;
  for (int index = 0; index < cursor && index < kTableSize; ++index)
    if (adapterTable[index].applied != 0) ++count;

  if (count > 0 && count < adapterCount)
    Outcome = kOutcomeSome;
  else if (count == adapterCount)
    Outcome = kOutcomeAll;
  else if (count == 0)
    Outcome = kOutcomeNone;
}

bool CAdapterSetupApp::InitInstance() {
  platform::AfxEnableControlContainer();
  platform::Enable3dControls();

  platform::SystemServices& system = platform::System();

  // The window search comes before the mutex, in every instance.
  const platform::WindowRef found = system.FindDialogClassWindow();
  instanceMutex = system.CreateMutex(kMutexName);
  if (system.GetLastError() == platform::kErrorAlreadyExists) {
    system.CloseHandle(instanceMutex);
    if (found != 0) {
      const platform::WindowRef popup = system.GetLastActivePopup(found);
      system.SetForegroundWindow(found);
      if (system.IsIconic(found)) system.ShowWindow(found, platform::kSwShowNormal);
      if (popup != found) system.SetForegroundWindow(popup);
    }
    return false;
  }
  // The mutex was created unowned, so this changes nothing; the handle stays open for as
  // long as the process runs.
  system.ReleaseMutex(instanceMutex);

  // The Japanese texts are code page 932 bytes for the ANSI functions: on a system whose ANSI
  // code page is another, a Japanese user would see them as junk, and reads English better.
  japaneseUi = (system.GetUserDefaultLangId() & 0x3FF) == kLangJapanese &&
               system.GetACP() == platform::kCodePageShiftJis;

  if (!DetectPlatformFamily()) {
    ShowUnsupportedOsNotice();
    return false;
  }

  DiscoverAdapters();
  ProvisionAdapters();
  ClassifyOutcome();

  if (adapterCount == 0) {
    ShowNoAdapterNotice();
    return false;
  }

  platform::CDialog* dialog = ChooseResultDialog();
  if (dialog != nullptr) {
    m_pMainWnd = dialog;
    dialog->DoModal();
  }
  return false;
}

}  // namespace korvane
