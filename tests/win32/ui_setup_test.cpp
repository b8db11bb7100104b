// The Setup page's command routing: each command reaches its owner only on a click, and the
// commands that touch the Search page do so without switching to it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "settings/installed_databases.h"
#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/database_finder_win32.h"
#include "ui/main_window_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/search_worker_win32.h"
#include "ui_harness.h"

namespace {

void ClickSetup(int id, int code = BN_CLICKED) { SendCommand(PageWindows[SetupPage], id, code); }

// The finder walks the given folder instead of the whole drive while it lives.
struct FinderRoot {
  explicit FinderRoot(const std::wstring& directoryWithBackslash) {
    const std::wstring root = directoryWithBackslash.substr(0, directoryWithBackslash.size() - 1);
    SetFinderRootForTests(root.c_str());
  }
  ~FinderRoot() { SetFinderRootForTests(nullptr); }
};

}  // namespace

TEST(UiSetup, LanguageSelectorIsFilledAndSaveActsOnClicksOnly) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  ASSERT_EQ(app.Start(), 0);
  HWND selector = SetupControl(IdLanguageSelector);
  EXPECT_EQ(ComboBoxItems(selector), (std::vector<std::wstring>{L"RUSSIAN", L"ENGLISH"}));
  EXPECT_EQ(ComboBoxSelection(selector), 0);

  SendMessageW(selector, CB_SETCURSEL, 1, 0);
  ClickSetup(IdSaveLanguageButton, BN_SETFOCUS);
  EXPECT_EQ(boxes.Count(), 0u);
  ClickSetup(IdSaveLanguageButton);
  ASSERT_EQ(boxes.Count(), 1u);
  EXPECT_EQ(boxes.At(0).owner, PageWindows[SetupPage]);
  std::wstring language;
  ASSERT_TRUE(app.Registry().GetString(L"Language", &language));
  EXPECT_EQ(language, L"ENGLISH");
}

TEST(UiSetup, CheckDropsBadEntriesAndRefillsTheSearchSelectorInPlace) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", SampleRecords());
  app.InstallDatabases({{L"gone.db", "Gone"}, {L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);
  SendMessageW(MainWindow, WM_COMMAND, 501, 0);
  ASSERT_EQ(SendMessageW(SearchControl(IdDatabaseSelector), CB_GETCOUNT, 0, 0), 2);

  ClickSetup(IdCheckButton, BN_SETFOCUS);
  EXPECT_EQ(boxes.Count(), 0u);
  ClickSetup(IdCheckButton);
  EXPECT_EQ(boxes.Count(), 2u);  // the bad file, then the summary
  EXPECT_EQ(ComboBoxItems(SearchControl(IdDatabaseSelector)), std::vector<std::wstring>{L"City"});
  EXPECT_EQ(CurrentPage, SetupPage);
}

TEST(UiSetup, InstallDuringAScanStopsItAndLoadsTheNewSchema) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"large.db", NumberedRecords(1000));
  app.WriteDatabase(
      L"two.fdb", {{"AB", "CD"}}, VariantFdb,
      {MakeField("Code", 1, 0x04, 0, 1, 1, 1, 10), MakeField("Note", 1, 0x02, 0, 0, 2, 2, 10)});
  app.InstallDatabases({{L"large.db", "Large"}});
  FinderRoot root(app.Directory().Path());
  ASSERT_EQ(app.Start(), 0);

  ClickSetup(IdFindButton, BN_SETFOCUS);
  EXPECT_EQ(SendMessageW(SetupControl(IdFoundList), LB_GETCOUNT, 0, 0), 0);
  ClickSetup(IdFindButton);
  ASSERT_EQ(SendMessageW(SetupControl(IdFoundList), LB_GETCOUNT, 0, 0), 1);

  // The worker holds after 100 rows until it is asked to stop, so Install finds it running.
  SetWorkerHoldForTests(100);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(PumpUntil([] { return WorkerHeldForTests() || !SearchWorkerActive(); }));
  ASSERT_TRUE(SearchWorkerActive());
  TapTab(SetupPage);

  SendMessageW(SetupControl(IdFoundList), LB_SETCURSEL, 0, 0);
  ClickSetup(IdInstallButton);
  EXPECT_FALSE(SearchWorkerActive());
  EXPECT_EQ(TheFieldTable.searchCount, 1);
  EXPECT_EQ(ListHeaders(), (std::vector<std::wstring>{L"Code", L"Note"}));
  EXPECT_EQ(ListItemCount(), 0);
  EXPECT_EQ(ComboBoxItems(SearchControl(IdDatabaseSelector)),
            (std::vector<std::wstring>{L"Large", L"Test"}));
  EXPECT_EQ(ComboBoxSelection(SearchControl(IdDatabaseSelector)), 1);
  EXPECT_EQ(WindowText(SearchControl(IdStartButton)), L"Start");
  EXPECT_EQ(CurrentPage, SetupPage);
  EXPECT_EQ(boxes.Count(), 0u);

  // The installed database searches at once.
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(ListColumn(1), std::vector<std::wstring>{L"CD"});
}
