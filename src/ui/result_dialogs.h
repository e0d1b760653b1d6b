// The three result dialogs: both lists, the finished list alone, the failed list alone.
#pragma once

#include "app/adapter_table.h"
#include "platform/framework.h"

namespace korvane {

enum class ResultLayout { kBoth, kApplied, kFailed };

// What each list of a layout shows: the descriptions of records 0 to adapterCount - 1, routed
// by `applied`, in table order. `upper` is list 1004, `lower` list 1005 (both-lists only).
struct EntryList {
  const char* entries[kTableSize] = {};
  int count = 0;

  void Add(const char* entry) {
    if (count < kTableSize) entries[count++] = entry;
  }
};
struct ResultLists {
  EntryList upper;
  EntryList lower;
};
ResultLists ListResults(ResultLayout layout);

class CBothResultsDlg : public platform::CDialog {
 public:
  using CDialog::CDialog;
  bool OnInitDialog() override;
};

class CAppliedResultDlg : public platform::CDialog {
 public:
  using CDialog::CDialog;
  bool OnInitDialog() override;
};

class CFailedResultDlg : public platform::CDialog {
 public:
  using CDialog::CDialog;
  bool OnInitDialog() override;
};

// The six dialog objects, created on the heap with the other process-wide objects.
extern platform::CDialog* const bothResultsDlgJapanese;     // 132
extern platform::CDialog* const appliedResultDlgJapanese;   // 133
extern platform::CDialog* const failedResultDlgJapanese;    // 131
extern platform::CDialog* const bothResultsDlg;             // 139
extern platform::CDialog* const appliedResultDlg;           // 140
extern platform::CDialog* const failedResultDlg;            // 136

}  // namespace korvane
