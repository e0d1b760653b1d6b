// Every process-wide object of the utility, defined in one file so that they are constructed
// in this order before InitInstance runs (and destroyed in reverse order at exit).
#include "app/adapter_table.h"
#include "app/platform_family.h"
#include "app/process_state.h"
#include "app/run_sequence.h"
#include "ui/resource.h"
#include "ui/result_dialogs.h"

namespace korvane::platform {
ModuleState afxModuleState;
}  // namespace korvane::platform

namespace korvane {

KeyPath classRoot;
KeyPath enumRoot;
KeyPath configManagerRoot;

platform::CDialog* const bothResultsDlgJapanese = new CBothResultsDlg(IDD_BOTH_JA, nullptr);
platform::CDialog* const appliedResultDlgJapanese = new CAppliedResultDlg(IDD_APPLIED_JA, nullptr);
platform::CDialog* const failedResultDlgJapanese = new CFailedResultDlg(IDD_FAILED_JA, nullptr);
platform::CDialog* const bothResultsDlg = new CBothResultsDlg(IDD_BOTH_EN, nullptr);
platform::CDialog* const appliedResultDlg = new CAppliedResultDlg(IDD_APPLIED_EN, nullptr);
platform::CDialog* const failedResultDlg = new CFailedResultDlg(IDD_FAILED_EN, nullptr);

AdapterTable adapterTable;

CAdapterSetupApp theApp;

// Plain data, zero before any constructor runs.
std::int32_t adapterCount = 0;
std::int32_t cursor = 0;
char nameBuf[kBufferSize];
char instanceBuf[kBufferSize];
char valueBuf[kBufferSize];
platform::RegKey mainKey = platform::kNullKey;
platform::RegKey dynKey = platform::kNullKey;
std::uint32_t bufferSize = 0;
std::uint32_t valueType = 0;
std::int32_t OsFamily = kFamilyUnknown;
bool japaneseUi = false;
std::int32_t Outcome = 0;
platform::HandleRef instanceMutex = 0;

void ResetProcessState() {
  for (AdapterRecord& record : adapterTable) record = AdapterRecord{};
  adapterCount = 0;
  cursor = 0;
  for (std::uint32_t i = 0; i < kBufferSize; ++i) nameBuf[i] = instanceBuf[i] = valueBuf[i] = '\0';
  mainKey = dynKey = platform::kNullKey;
  bufferSize = valueType = 0;
  OsFamily = kFamilyUnknown;
  classRoot.clear();
  enumRoot.clear();
  configManagerRoot.clear();
  japaneseUi = false;
  Outcome = 0;
  instanceMutex = 0;
  theApp.m_pMainWnd = nullptr;
}

}  // namespace korvane
