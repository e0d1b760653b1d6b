// What the result dialogs list, from the adapter table, and what they do when they open.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/adapter_table.h"
#include "korvane-sim/screen/resource_script.h"
#include "support/utility_test.h"
#include "ui/resource.h"
#include "ui/result_dialogs.h"

namespace korvane::test {
namespace {

class ResultListsTest : public UtilityTest {
 protected:
  // Appends a record as discovery and provisioning would leave it.
  void Add(const char* description, int applied, int supported = 1) {
    AdapterRecord& record = adapterTable[adapterCount++];
    std::strcpy(record.description, description);
    record.applied = static_cast<std::uint8_t>(applied);
    record.supported = supported;
  }

  static std::vector<std::string> Entries(const EntryList& list) {
    return {list.entries, list.entries + list.count};
  }

  using Strings = std::vector<std::string>;
};

TEST_F(ResultListsTest, EachLayoutRoutesByAppliedAndKeepsTableOrder) {
  // Out of alphabetical order, with a duplicate and an empty description: the lists keep
  // each as it stands, in table order; a single-list layout takes only its own records.
  Add("Zeta adapter", 1);
  Add("Alpha adapter", 0);
  Add("Mid adapter", 1);
  Add("Alpha adapter", 0);
  Add("", 1);
  const ResultLists lists = ListResults(ResultLayout::kBoth);
  EXPECT_EQ(Entries(lists.upper), (Strings{"Zeta adapter", "Mid adapter", ""}));
  EXPECT_EQ(Entries(lists.lower), (Strings{"Alpha adapter", "Alpha adapter"}));
  EXPECT_EQ(Entries(ListResults(ResultLayout::kApplied).upper), (Strings{"Zeta adapter", "Mid adapter", ""}));
  EXPECT_EQ(Entries(ListResults(ResultLayout::kFailed).upper), (Strings{"Alpha adapter", "Alpha adapter"}));
  EXPECT_EQ(ListResults(ResultLayout::kApplied).lower.count, 0);
  EXPECT_EQ(ListResults(ResultLayout::kFailed).lower.count, 0);
}

TEST_F(ResultListsTest, UnsupportedRecordsAndRecordsPastTheCountAreNeverListed) {
  Add("listed", 0);
  Add("scratch record", 0, /*supported=*/0);
  // Left behind past adapterCount, as a record filled in but never counted would be.
  std::strcpy(adapterTable[adapterCount].description, "past the count");
  adapterTable[adapterCount].supported = 1;
  adapterTable[adapterCount + 1].supported = 1;
  adapterTable[adapterCount + 1].applied = 1;
  for (const ResultLayout layout : {ResultLayout::kBoth, ResultLayout::kApplied, ResultLayout::kFailed}) {
    const ResultLists lists = ListResults(layout);
    Strings all = Entries(lists.upper);
    for (const std::string& entry : Entries(lists.lower)) all.push_back(entry);
    // The one supported record has failed: the finished list alone shows nothing.
    EXPECT_EQ(all, layout == ResultLayout::kApplied ? Strings{} : Strings{"listed"});
  }
}

TEST_F(ResultListsTest, AFullTableListsAllHundredRecords) {
  for (int i = 0; i < kTableSize; ++i) Add(("adapter " + std::to_string(i)).c_str(), i % 2);
  const ResultLists lists = ListResults(ResultLayout::kBoth);
  ASSERT_EQ(lists.upper.count, kTableSize / 2);
  ASSERT_EQ(lists.lower.count, kTableSize / 2);
  EXPECT_STREQ(lists.upper.entries[0], "adapter 1");
  EXPECT_STREQ(lists.lower.entries[49], "adapter 98");
}

// The dialogs themselves, opened through the framework on the recording window system.
TEST_F(ResultListsTest, EachDialogFillsItsListsSetsTheBigIconAndEndsWithOk) {
  Add("set", 1);
  Add("failed", 0);
  struct Case {
    platform::CDialog* dialog;
    unsigned templateId;
    Strings upper;
    Strings lower;  // list 1005; absent from the single-list templates
    bool hasLower;
  };
  const Case cases[] = {
      {bothResultsDlg, IDD_BOTH_EN, {"set"}, {"failed"}, true},
      {bothResultsDlgJapanese, IDD_BOTH_JA, {"set"}, {"failed"}, true},
      {appliedResultDlg, IDD_APPLIED_EN, {"set"}, {}, false},
      {appliedResultDlgJapanese, IDD_APPLIED_JA, {"set"}, {}, false},
      {failedResultDlg, IDD_FAILED_EN, {"failed"}, {}, false},
      {failedResultDlgJapanese, IDD_FAILED_JA, {"failed"}, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.templateId);
    ASSERT_NE(c.dialog, nullptr);
    EXPECT_EQ(c.dialog->TemplateId(), c.templateId);
    EXPECT_EQ(c.dialog->DoModal(), platform::kIdOk);
    EXPECT_EQ(windows.templatesRun.back(), c.templateId);
    EXPECT_TRUE(windows.iconSet);
    EXPECT_EQ(windows.lists[IDC_UPPER_LIST], c.upper);
    EXPECT_EQ(windows.lists.count(IDC_LOWER_LIST) != 0, c.hasLower);
    if (c.hasLower) {
      EXPECT_EQ(windows.lists[IDC_LOWER_LIST], c.lower);
    }
  }
}

TEST_F(ResultListsTest, ADialogWhoseListIsMissingStillOpens) {
  Add("set", 1);
  Add("failed", 0);
  windows.controlIds = {1};  // a template without its list boxes
  EXPECT_EQ(bothResultsDlg->DoModal(), platform::kIdOk);
  EXPECT_TRUE(windows.lists.empty());
}

// korvane-sim draws the dialogs from the resource script it carries: a script it cannot
// parse is refused at the line where it breaks, never read as one without that dialog.
TEST(DialogTemplates, AreReadFromTheScriptAndABrokenOneIsRefusedAtItsLine) {
  const std::string header = "#define IDD_SOME 200\n#define IDC_LIST 1004\n";
  const std::string script =
      "LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US\n"
      "IDD_SOME DIALOG 0, 0, 240, 120\n"
      "STYLE WS_POPUP | DS_MODALFRAME\n"
      "CAPTION \"Title\"\n"
      "BEGIN\n"
      "    CONTROL \"\", IDC_LIST, \"ListBox\", WS_CHILD | LBS_SORT, 7, 101, 224, 37\n"
      "END\n";
  const auto replaced = [](std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
  };
  const struct {
    std::string script, header, error;
  } cases[] = {
      {script, header, ""},
      {replaced(script, "IDC_LIST,", "IDC_LIST"), header, "korvane.rc:6: expected ','"},
      {replaced(script, "IDC_LIST,", "IDC_NONE,"), header, "korvane.rc:6: unknown name IDC_NONE"},
      {replaced(script, "\"Title\"", "\"Title"), header, "korvane.rc:4: unterminated string"},
      {replaced(script, "BEGIN", "MENU 1"), header, "korvane.rc:5: unknown dialog statement MENU"},
      {replaced(script, "END\n", ""), header, "korvane.rc:7: expected CONTROL or END"},
      {script, header + "#define IDS_X \"x\n\"y\n", "resource.h:4: unterminated string"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    std::vector<sim::DialogTemplate> parsed;
    std::string error;
    EXPECT_EQ(sim::ParseDialogTemplates(c.script, c.header, &parsed, &error), c.error.empty());
    EXPECT_EQ(error, c.error);
    if (!c.error.empty()) {
      EXPECT_TRUE(parsed.empty());
      continue;
    }
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0].id, 200u);
    EXPECT_EQ(parsed[0].language, 0x0409);
    EXPECT_EQ(parsed[0].style, 0x80000080u);
    EXPECT_EQ(parsed[0].caption, "Title");
    ASSERT_EQ(parsed[0].controls.size(), 1u);
    const sim::ControlTemplate& list = parsed[0].controls[0];
    EXPECT_EQ(list.className, "ListBox");
    EXPECT_EQ(list.id, IDC_UPPER_LIST);
    EXPECT_EQ(list.style, 0x40000002u);
    EXPECT_EQ(std::vector<int>({list.x, list.y, list.cx, list.cy}), std::vector<int>({7, 101, 224, 37}));
  }
  std::string error;
  EXPECT_TRUE(sim::CheckDialogTemplates(&error)) << error;
  for (unsigned id : {IDD_FAILED_JA, IDD_BOTH_JA, IDD_APPLIED_JA, IDD_FAILED_EN, IDD_BOTH_EN, IDD_APPLIED_EN})
    EXPECT_NE(sim::FindDialogTemplate(id), nullptr) << id;
}

}  // namespace
}  // namespace korvane::test
