#include "ui/result_dialogs.h"

#include "ui/resource.h"

namespace korvane {

namespace {

using platform::CWnd;

void Insert(CWnd* list, const EntryList& entries) {
  // Each entry goes in at its own position, so the lists keep table order although their
  // template gives them the sort style.
  for (int position = 0; position < entries.count; ++position) {
    if (list != nullptr)
      list->SendMessage(platform::kLbInsertString, static_cast<std::uintptr_t>(position),
                        reinterpret_cast<std::intptr_t>(entries.entries[position]));
  }
}

bool InitResultDialog(platform::CDialog& dialog, ResultLayout layout) {
  const platform::IconRef icon = platform::AfxGetApp()->LoadIcon(IDR_MAINFRAME);
  dialog.SendMessage(platform::kWmSetIcon, platform::kIconBig, static_cast<std::intptr_t>(icon));
  CWnd* upper = dialog.GetDlgItem(IDC_UPPER_LIST);
  CWnd* lower = layout == ResultLayout::kBoth ? dialog.GetDlgItem(IDC_LOWER_LIST) : nullptr;
  const ResultLists lists = ListResults(layout);
  Insert(upper, lists.upper);
  if (layout == ResultLayout::kBoth) Insert(lower, lists.lower);
  return true;
}

}  // namespace

bool CBothResultsDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  return InitResultDialog(*this, ResultLayout::kBoth);
}

bool CAppliedResultDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  return InitResultDialog(*this, ResultLayout::kApplied);
}

bool CFailedResultDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  return InitResultDialog(*this, ResultLayout::kFailed);
}

}  // namespace korvane
