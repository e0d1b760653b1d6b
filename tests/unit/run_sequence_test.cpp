// The run spine: platform family and roots, the language rule, the guard, the notices, the
// outcome and the choice of result dialog.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/adapter_table.h"
#include "app/platform_family.h"
#include "app/run_sequence.h"
#include "support/utility_test.h"

namespace korvane::test {
namespace {

struct FamilyCase {
  std::uint32_t platformId, major, minor;
  int family;
};

class PlatformFamilyTest : public UtilityTest, public ::testing::WithParamInterface<FamilyCase> {};

// The roots each family's walk starts from are held to the machines' own keys by the walks
// in discovery_test.cpp, which find adapters under them only where the roots are right.
TEST_P(PlatformFamilyTest, MapsVersionToFamily) {
  const FamilyCase& c = GetParam();
  system.SetVersion(c.platformId, c.major, c.minor);
  EXPECT_EQ(DetectPlatformFamily(), c.family == 1 || c.family == 2 || c.family == 4 || c.family == 5);
  EXPECT_EQ(OsFamily, c.family);
}

INSTANTIATE_TEST_SUITE_P(Releases, PlatformFamilyTest,
                         ::testing::Values(FamilyCase{0, 3, 10, 0},   // Win32s
                                           FamilyCase{1, 4, 0, 1},    // 95
                                           FamilyCase{1, 4, 10, 2},   // 98
                                           FamilyCase{1, 4, 90, 2},   // Me
                                           FamilyCase{2, 3, 51, 3},   // NT 3.51
                                           FamilyCase{2, 4, 0, 4},    // NT 4.0
                                           FamilyCase{2, 5, 0, 5},    // 2000
                                           FamilyCase{2, 5, 1, 5},    // XP
                                           FamilyCase{2, 5, 2, 5},    // 2003
                                           FamilyCase{2, 6, 0, 3},    // Vista
                                           FamilyCase{2, 10, 0, 3},   // 10
                                           FamilyCase{3, 5, 1, 0}));  // an unknown platform

TEST_F(UtilityTest, FailedVersionQueryIsRefused) {
  system.SetVersion(2, 5, 1);
  system.versionQuerySucceeds = false;
  EXPECT_FALSE(DetectPlatformFamily());
  EXPECT_EQ(OsFamily, 0);
}

// --- language and notices ---

std::string Utf8FromCp932(const std::string& bytes) { return Iconv(bytes, "CP932", "UTF-8"); }

struct LanguageCase {
  std::uint16_t languageId;
  std::uint32_t ansiCodePage;
  bool japanese;
};

class LanguageTest : public UtilityTest, public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(LanguageTest, PrimaryLanguageOnACodePage932SystemChoosesTheNoticeText) {
  system.SetVersion(2, 6, 0);  // refused: the notice shows the choice
  system.languageId = GetParam().languageId;
  system.ansiCodePage = GetParam().ansiCodePage;
  EXPECT_FALSE(theApp.InitInstance());
  EXPECT_EQ(japaneseUi, GetParam().japanese);
  ASSERT_EQ(system.messageBoxes.size(), 1u);
  const std::string& text = system.messageBoxes[0].first;
  EXPECT_EQ(GetParam().japanese ? Utf8FromCp932(text) : text,
            GetParam().japanese ? "サポート外のOSです。" : "Unsupported OS");
  EXPECT_EQ(system.messageBoxes[0].second, "Korvane");
  EXPECT_EQ(system.messageBoxStyles[0], 0u);
}

INSTANTIATE_TEST_SUITE_P(Languages, LanguageTest,
                         ::testing::Values(LanguageCase{0x0411, 932, true}, LanguageCase{0x0409, 1252, false},
                                           LanguageCase{0x0811, 932, true}, LanguageCase{0x0C11, 932, true},
                                           LanguageCase{0x0011, 932, true}, LanguageCase{0x0412, 1252, false},
                                           LanguageCase{0x0407, 1252, false},
                                           // Japanese formats on a system whose ANSI code page
                                           // cannot show the Japanese texts.
                                           LanguageCase{0x0411, 1252, false},
                                           // An English user on a Japanese system.
                                           LanguageCase{0x0409, 932, false}));

// --- the run ---

// The guard searches before it creates the mutex, and releases it when the run ends.
TEST_F(UtilityTest, UnsupportedPlatformTouchesNoRegistryAndReleasesTheGuard) {
  system.SetVersion(2, 6, 0);
  EXPECT_FALSE(theApp.InitInstance());
  EXPECT_EQ(OsFamily, 3);
  EXPECT_EQ(registry.Calls(), 0u);
  EXPECT_EQ(windows.templatesRun.size(), 0u);
  ASSERT_GE(system.calls.size(), 3u);
  EXPECT_EQ(system.calls[0], "FindWindow");
  EXPECT_EQ(system.calls[1], "CreateMutex tarnel");
  EXPECT_EQ(system.calls[2], "ReleaseMutex 16962");
  EXPECT_EQ(instanceMutex, 0x4242u);
}

TEST_F(UtilityTest, EmptyMachineEndsWithTheNoAdapterNotice) {
  system.SetVersion(2, 5, 1);
  EXPECT_FALSE(theApp.InitInstance());
  EXPECT_EQ(Outcome, 2);  // the classification of an empty table, shown by no dialog
  ASSERT_EQ(system.messageBoxes.size(), 1u);
  EXPECT_EQ(system.messageBoxes[0].first, "Adapter was not found");
  EXPECT_TRUE(windows.templatesRun.empty());
}

// A second instance finds the first one's mutex: it brings the first one's window forward, if
// any, and ends without touching the registry or showing anything.
struct SecondInstanceCase {
  platform::WindowRef window, popup;
  bool iconic;
  std::vector<std::string> callsAfterTheGuard;
};

class SecondInstanceTest : public UtilityTest, public ::testing::WithParamInterface<SecondInstanceCase> {};

TEST_P(SecondInstanceTest, StepsAsideForTheFirst) {
  system.SetVersion(2, 5, 1);
  system.errorAfterCreateMutex = 183;
  system.dialogWindow = GetParam().window;
  system.popup = GetParam().popup;
  system.iconic = GetParam().iconic;
  EXPECT_FALSE(theApp.InitInstance());
  std::vector<std::string> expected = {"FindWindow", "CreateMutex tarnel", "CloseHandle 16962"};
  expected.insert(expected.end(), GetParam().callsAfterTheGuard.begin(), GetParam().callsAfterTheGuard.end());
  EXPECT_EQ(system.calls, expected);
  EXPECT_EQ(OsFamily, 0);
  EXPECT_EQ(registry.Calls(), 0u);
  EXPECT_TRUE(system.messageBoxes.empty());
  EXPECT_TRUE(windows.templatesRun.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Guard, SecondInstanceTest,
    ::testing::Values(
        // Minimised, with a popup: restored, and the popup brought forward after the window.
        SecondInstanceCase{0x77, 0x88, true,
                           {"GetLastActivePopup 119", "SetForegroundWindow 119", "IsIconic 119", "ShowWindow 119 1",
                            "SetForegroundWindow 136"}},
        SecondInstanceCase{0, 0, false, {}},  // no window: it ends silently
        // No popup: the window is brought forward once.
        SecondInstanceCase{0x77, 0, false, {"GetLastActivePopup 119", "SetForegroundWindow 119", "IsIconic 119"}}));

TEST_F(UtilityTest, MutexThatCannotBeCreatedDoesNotStopTheRun) {
  system.SetVersion(2, 6, 0);
  system.errorAfterCreateMutex = 5;
  theApp.InitInstance();
  EXPECT_EQ(system.messageBoxes.size(), 1u);
}

// --- classification ---

struct OutcomeCase {
  int count;
  int applied;
  int expected;
  int cursor;  // where the provisioning pass stopped; records at or past it are not counted
};

class ClassifyTest : public UtilityTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(ClassifyTest, CountsAppliedRecordsBelowTheCursor) {
  adapterCount = GetParam().count;
  cursor = GetParam().cursor;
  for (int i = 0; i < GetParam().count; ++i) {
    adapterTable[i].supported = 1;
    adapterTable[i].applied = i < GetParam().applied ? 1 : 0;
  }
  ClassifyOutcome();
  EXPECT_EQ(Outcome, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Counts, ClassifyTest,
                         ::testing::Values(OutcomeCase{0, 0, 2, 0}, OutcomeCase{3, 2, 1, 3}, OutcomeCase{3, 3, 2, 3},
                                           OutcomeCase{3, 0, 3, 3}, OutcomeCase{1, 1, 2, 1}, OutcomeCase{1, 0, 3, 1},
                                           OutcomeCase{100, 99, 1, 100}, OutcomeCase{100, 100, 2, 100},
                                           // Two adapters, both applied, none counted below the cursor.
                                           OutcomeCase{2, 2, 3, 0}, OutcomeCase{2, 2, 3, -5}));

// Whole runs on Windows XP: which of the six dialogs each outcome ends with, in each language.
struct DialogCase {
  int setAdapters, failedAdapters;
  bool japanese;
  int outcome;
  unsigned templateId;
};

class ResultDialogChoiceTest : public UtilityTest, public ::testing::WithParamInterface<DialogCase> {};

TEST_P(ResultDialogChoiceTest, OutcomeAndLanguageChooseTheDialog) {
  system.SetVersion(2, 5, 1);
  system.languageId = GetParam().japanese ? 0x0411 : 0x0409;
  system.ansiCodePage = GetParam().japanese ? 932 : 1252;
  const int total = GetParam().setAdapters + GetParam().failedAdapters;
  for (int i = 0; i < total; ++i) {
    const std::string driver = std::string(kNetClass) + "\000" + std::to_string(i);
    AddXpInstance(registry, "VEN_5AB1&DEV_103B&SUBSYS_0000000" + std::to_string(i), "I0", driver, "adapter");
    AddDriverKey(registry, kXpClass, driver, /*withDriverParams=*/i < GetParam().setAdapters);
  }
  EXPECT_FALSE(theApp.InitInstance());
  EXPECT_EQ(Outcome, GetParam().outcome);
  EXPECT_EQ(windows.templatesRun, std::vector<unsigned>{GetParam().templateId});
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ResultDialogChoiceTest,
                         ::testing::Values(DialogCase{1, 1, false, 1, 139}, DialogCase{2, 0, false, 2, 140},
                                           DialogCase{0, 2, false, 3, 136}, DialogCase{1, 1, true, 1, 132},
                                           DialogCase{2, 0, true, 2, 133}, DialogCase{0, 2, true, 3, 131}));

}  // namespace
}  // namespace korvane::test
