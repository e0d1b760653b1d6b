#include "app/adapter_table.h"
#include "ui/result_dialogs.h"

namespace korvane {

ResultLists ListResults(ResultLayout layout) {
  ResultLists lists;
  for (int index = 0; index < adapterCount && index < kTableSize; ++index) {
    const AdapterRecord& record = adapterTable[index];
    if (record.supported == 0) continue;
    const bool applied = record.applied == 1;
    switch (layout) {
      case ResultLayout::kBoth:
        (applied ? lists.upper : lists.lower).Add(record.description);
        break;
      case ResultLayout::kApplied:
        if (applied) lists.upper.Add(record.description);
        break;
      case ResultLayout::kFailed:
        if (record.applied == 0) lists.upper.Add(record.description);
        break;
    }
  }
  return lists;
}

}  // namespace korvane
