// Searching from the Search page: criteria, the worker's status texts and rows, stop, one worker
// at a time, and the failure paths.
#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "i18n/ui_strings.h"
#include "search/result_store.h"
#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/main_window_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/pages_win32.h"
#include "ui/result_list_win32.h"
#include "ui/schema_controls_win32.h"
#include "ui/search_worker_win32.h"
#include "ui_harness.h"

namespace {

// Searches in these tests take a small fraction of this many records; it keeps a scan running
// long enough to be stopped or closed while it runs.
constexpr int kLargeDirectory = 200000;

bool Enabled(HWND control) { return IsWindowEnabled(control) != 0; }

void ExpectIdleControls() {
  EXPECT_TRUE(Enabled(SearchControl(IdDatabaseSelector)));
  EXPECT_TRUE(Enabled(SearchControl(IdResetButton)));
  for (int j = 0; j < TheFieldTable.searchCount; ++j) {
    EXPECT_TRUE(Enabled(SearchControl(CriterionEditId(j)))) << j;
  }
  EXPECT_EQ(WindowText(SearchControl(IdStartButton)), L"Start");
  EXPECT_NE(SearchStopFlag.load(), 0);
  EXPECT_FALSE(IsWindowVisible(ResultControl(IdProgressBar)));
}

// Starts a search over a directory big enough to be caught while it runs, and pumps until the
// first rows are listed.
void StartLongScan() {
  // The worker then waits for each of its updates to be shown: while the test does not pump
  // messages, the scan cannot run away and end before the test looks at it.
  SetSynchronousUpdatesForTests(true);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(SearchWorkerActive());
  ASSERT_TRUE(PumpUntil([] { return ResultRowCount() >= 100 || !SearchWorkerActive(); }));
  ASSERT_TRUE(SearchWorkerActive()) << "the scan ended before it could be caught";
}

DWORD WorkerExitCode() {
  DWORD code = 12345;
  if (SearchWorkerHandle()) GetExitCodeThread(SearchWorkerHandle(), &code);
  return code;
}

HANDLE FailToCreateThread(LPTHREAD_START_ROUTINE) { return nullptr; }

}  // namespace

TEST(UiSearch, NamePrefixSearchListsTheMatchingRows) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", SampleRecords());
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);

  TypeCriterion(1, L"\u041f\u0415\u0422");  // ПЕТ
  StatusLineRecorder status;
  ClickSearch(IdStartButton);
  EXPECT_EQ(CurrentPage, ResultPage);
  ASSERT_TRUE(WaitForWorker());

  ASSERT_EQ(ListItemCount(), 1);
  EXPECT_EQ(ListCell(0, 0), L"1234567");
  EXPECT_EQ(ListCell(0, 1), L"\u041f\u0415\u0422\u0420\u041e\u0412 \u0410.\u0412.");
  const std::vector<std::wstring> texts = status.Texts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), L"Scaned: 3, results: 1");
  EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), L"Scaned: 3, results: 1");
  // The final status line is widened by 140 pixels.
  const RECT line = ChildRect(ResultControl(IdStatusLine));
  EXPECT_EQ(line.right - line.left, 224);
  ExpectIdleControls();
  EXPECT_EQ(WorkerExitCode(), 0u);
  EXPECT_TRUE(GetWindowLongW(ResultListView, GWL_STYLE) & LVS_REPORT);
  EXPECT_TRUE(SendMessageW(ResultListView, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) &
              LVS_EX_FULLROWSELECT);
  std::wstring last;
  ASSERT_TRUE(app.Registry().GetString(L"Last db", &last));
  EXPECT_EQ(last, app.FilePath(L"city.db"));
  EXPECT_EQ(boxes.Count(), 0u);

  // The next search frees the old rows and lists afresh; the criteria stay as typed.
  TypeCriterion(1, L"");
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(ListItemCount(), 3);
  EXPECT_EQ(ListColumn(0), (std::vector<std::wstring>{L"1234567", L"2000001", L"7654321"}));
}

TEST(UiSearch, StatusCadenceWhenNothingMatches) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"big.db", NumberedRecords(2500));
  app.InstallDatabases({{L"big.db", "Big"}});
  ASSERT_EQ(app.Start(), 0);

  TypeCriterion(1, L"NOBODY");
  StatusLineRecorder status;
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  const std::vector<std::wstring> texts = status.Texts();
  // The query summary first, then the updates at 1, 1000, 2000, then the final count.
  EXPECT_EQ(texts, (std::vector<std::wstring>{L"Query: Name: NOBODY", L"0/1", L"0/1000", L"0/2000",
                                              L"Scaned: 2500, results: 0"}));
  EXPECT_EQ(ListItemCount(), 0);
}

TEST(UiSearch, StatusCadenceWhenEverythingMatches) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"all.db", NumberedRecords(120));
  app.InstallDatabases({{L"all.db", "All"}});
  ASSERT_EQ(app.Start(), 0);

  StatusLineRecorder status;
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(status.Texts(), (std::vector<std::wstring>{L"Query: ", L"0/1", L"50/51", L"100/101",
                                                       L"Scaned: 120, results: 120"}));
  ASSERT_EQ(ListItemCount(), 120);
  // Rows follow file order and every column shows its field.
  EXPECT_EQ(ListCell(0, 0), L"1000000");
  EXPECT_EQ(ListCell(119, 1), L"NAME119");
  EXPECT_EQ(ListCell(119, 2), L"STREET");
  EXPECT_EQ(ListCell(119, 3), L"19");
  EXPECT_EQ(ListCell(119, 4), L"0");
}

TEST(UiSearch, QuerySummaryNamesTheActiveCriteriaAsTyped) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", SampleRecords());
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);
  TypeCriterion(0, L"12*");
  TypeCriterion(2, L"\u041b\u0415");
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_STREQ(LastQuerySummary(), L"Query: Phone: 12*, Street: \u041b\u0415");
}

TEST(UiSearch, StopEndsTheScanAndKeepsTheRowsSoFar) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"large.db", NumberedRecords(kLargeDirectory));
  app.InstallDatabases({{L"large.db", "Large"}});
  ASSERT_EQ(app.Start(), 0);

  StartLongScan();
  EXPECT_EQ(WindowText(SearchControl(IdStartButton)), L"Stop");
  EXPECT_FALSE(Enabled(SearchControl(IdDatabaseSelector)));
  EXPECT_FALSE(Enabled(SearchControl(IdResetButton)));
  EXPECT_FALSE(Enabled(SearchControl(IdFirstCriterionEdit)));
  EXPECT_TRUE(Enabled(SearchControl(IdStartButton)));
  EXPECT_TRUE(IsWindowVisible(ResultControl(IdProgressBar)));

  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  ExpectIdleControls();
  const int rows = ListItemCount();
  EXPECT_GT(rows, 0);
  EXPECT_LT(rows, kLargeDirectory);
  // Every record scanned matched, so the final counts equal the rows listed.
  EXPECT_EQ(WindowText(ResultControl(IdStatusLine)),
            L"Scaned: " + std::to_wstring(rows) + L", results: " + std::to_wstring(rows));
}

TEST(UiSearch, StartWhileAStopIsPendingStartsNothing) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"large.db", NumberedRecords(kLargeDirectory));
  app.InstallDatabases({{L"large.db", "Large"}});
  ASSERT_EQ(app.Start(), 0);

  StartLongScan();
  const HANDLE worker = SearchWorkerHandle();
  StatusLineRecorder status;
  // Stop, then Start at once: the worker is still finishing (its window calls wait for this
  // thread), so the flag is set but the second press must not start another.
  ClickSearch(IdStartButton);
  ClickSearch(IdStartButton);
  EXPECT_EQ(SearchWorkerHandle(), worker);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(SearchWorkerHandle(), worker);
  const std::vector<std::wstring> texts = status.Texts();
  EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                          [](const std::wstring& t) { return t.rfind(L"Scaned: ", 0) == 0; }),
            1);
  ExpectIdleControls();

  // Once it has finished, Start starts a new search (and Stop ends it).
  ClickSearch(IdStartButton);
  EXPECT_NE(SearchWorkerHandle(), nullptr);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  const std::vector<std::wstring> after = status.Texts();
  EXPECT_EQ(std::count_if(after.begin(), after.end(),
                          [](const std::wstring& t) { return t.rfind(L"Scaned: ", 0) == 0; }),
            2);
}

TEST(UiSearch, FocusNotificationsOfTheButtonsDoNothing) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", SampleRecords());
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);
  TypeCriterion(1, L"X");
  ClickSearch(IdStartButton, BN_SETFOCUS);
  ClickSearch(IdResetButton, BN_SETFOCUS);
  EXPECT_EQ(SearchWorkerHandle(), nullptr);
  EXPECT_EQ(CurrentPage, SearchPage);
  EXPECT_EQ(WindowText(SearchControl(CriterionEditId(1))), L"X");
}

TEST(UiSearch, ResetEmptiesTheCriteriaAndLeavesTheList) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", SampleRecords());
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  ASSERT_EQ(ListItemCount(), 3);
  for (int j = 0; j < 5; ++j) TypeCriterion(j, L"A");
  ClickSearch(IdResetButton);
  for (int j = 0; j < 5; ++j) EXPECT_EQ(WindowText(SearchControl(CriterionEditId(j))), L"");
  EXPECT_EQ(ListItemCount(), 3);
  EXPECT_EQ(WindowText(SearchControl(IdStartButton)), L"Start");
}

TEST(UiSearch, ALetterTheDatabaseCannotHoldStartsNothing) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", SampleRecords());
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);
  // "Ü" would become "?", a wildcard that finds MILLER and MOLLER alike.
  TypeCriterion(1, L"M\u00dcLLER");
  ClickSearch(IdStartButton);
  EXPECT_FALSE(SearchWorkerActive());
  EXPECT_EQ(SearchWorkerHandle(), nullptr);
  EXPECT_EQ(CurrentPage, SearchPage);
  ASSERT_EQ(boxes.Count(), 1u);
  EXPECT_EQ(boxes.At(0).text, L"The database has no such letters - M\u00dcLLER");
  EXPECT_EQ(boxes.At(0).caption, L"Error");
  EXPECT_EQ(boxes.At(0).owner, PageWindows[SearchPage]);
  ExpectIdleControls();
  // Without it the search runs.
  TypeCriterion(1, L"MULLER");
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(boxes.Count(), 1u);
}

TEST(UiSearch, NoDatabaseSelectedStartsNothing) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", SampleRecords());
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);
  SendMessageW(SearchControl(IdDatabaseSelector), CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  ClickSearch(IdStartButton);
  EXPECT_EQ(SearchWorkerHandle(), nullptr);
  EXPECT_NE(SearchStopFlag.load(), 0);
  EXPECT_EQ(CurrentPage, SearchPage);
  std::wstring last;
  ASSERT_TRUE(app.Registry().GetString(L"Last db", &last));
  EXPECT_EQ(last, L"");
  EXPECT_EQ(boxes.Count(), 0u);
}

TEST(UiSearch, DatabaseRemovedAfterInstallIsToldAtStart) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", SampleRecords());
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);
  ASSERT_TRUE(DeleteFileW(app.FilePath(L"city.db").c_str()));

  TypeCriterion(1, L"\u041f");
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(WorkerExitCode(), 5u);
  // Nothing is scanned, and the user hears why instead of facing an empty list.
  ASSERT_EQ(boxes.Count(), 1u);
  EXPECT_EQ(boxes.At(0).text, L"No such db file - " + app.FilePath(L"city.db"));
  EXPECT_EQ(boxes.At(0).caption, L"Error");
  EXPECT_EQ(boxes.At(0).owner, PageWindows[SearchPage]);
  EXPECT_EQ(ListItemCount(), 0);
  EXPECT_EQ(WindowText(SearchControl(IdStartButton)), L"Start");
  EXPECT_TRUE(Enabled(SearchControl(IdDatabaseSelector)));
  EXPECT_TRUE(Enabled(SearchControl(CriterionEditId(1))));
  EXPECT_NE(SearchStopFlag.load(), 0);
  // The scan never began, so the status line still shows what was asked.
  EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), L"Query: Name: \u041f");

  // The next press starts a new search, which ends the same way.
  StatusLineRecorder status;
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(status.Texts(), std::vector<std::wstring>{L"Query: Name: \u041f"});
  EXPECT_EQ(WorkerExitCode(), 5u);
  EXPECT_EQ(boxes.Count(), 2u);
}

TEST(UiSearch, ThreadCreationFailureLeavesTheProgramIdle) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", SampleRecords());
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);
  SetWorkerThreadStarterForTests(FailToCreateThread);
  ClickSearch(IdStartButton);
  EXPECT_EQ(SearchWorkerHandle(), nullptr);
  EXPECT_FALSE(SearchWorkerActive());
  ExpectIdleControls();

  // With threads back, the next press searches.
  SetWorkerThreadStarterForTests(nullptr);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(ListItemCount(), 3);
}

TEST(UiSearch, ARefusedRowEndsTheScanWithTheRowsSoFar) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"all.db", NumberedRecords(40));
  app.InstallDatabases({{L"all.db", "All"}});
  ASSERT_EQ(app.Start(), 0);
  // Memory for rows runs out after the first ten.
  SetStoredRowLimitForTests(10);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  SetStoredRowLimitForTests(-1);
  EXPECT_EQ(WorkerExitCode(), static_cast<DWORD>(-1));
  EXPECT_EQ(ListItemCount(), 10);
  EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), L"Scaned: 11, results: 10");
  ExpectIdleControls();
  EXPECT_EQ(boxes.Count(), 0u);
}

TEST(UiSearch, SelectorLoadsTheSchemaOnSelEndOkOnly) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", SampleRecords());
  app.WriteDatabase(
      L"two.fdb", {{"AB", "CD"}}, VariantFdb,
      {MakeField("Code", 1, 0x04, 0, 1, 1, 1, 10), MakeField("Note", 1, 0x02, 0, 0, 2, 2, 10)});
  app.Directory().WriteFile(L"bad.db", "not a database");
  app.InstallDatabases({{L"city.db", "City"}, {L"two.fdb", "Two"}, {L"bad.db", "Bad"}});
  ASSERT_EQ(app.Start(), 0);
  ASSERT_EQ(TheFieldTable.searchCount, 5);

  SendMessageW(SearchControl(IdDatabaseSelector), CB_SETCURSEL, 1, 0);
  SendCommand(PageWindows[SearchPage], IdDatabaseSelector, CBN_SELCHANGE);
  SendCommand(PageWindows[SearchPage], IdDatabaseSelector, CBN_SETFOCUS);
  EXPECT_EQ(TheFieldTable.searchCount, 5);

  SendCommand(PageWindows[SearchPage], IdDatabaseSelector, CBN_SELENDOK);
  EXPECT_EQ(TheFieldTable.searchCount, 1);
  EXPECT_EQ(ListHeaders(), (std::vector<std::wstring>{L"Code", L"Note"}));
  HWND edit = SearchControl(IdFirstCriterionEdit);
  ASSERT_NE(edit, nullptr);
  EXPECT_FALSE(GetWindowLongW(edit, GWL_STYLE) & ES_UPPERCASE);
  EXPECT_EQ(SearchControl(CriterionEditId(1)), nullptr);
  EXPECT_EQ(SearchControl(CriterionLabelId(1)), nullptr);

  // A file that cannot be opened leaves no criteria and no columns; a good one brings them back.
  SelectDatabase(2);
  EXPECT_EQ(TheFieldTable.fieldCount, 0);
  EXPECT_EQ(SearchControl(IdFirstCriterionEdit), nullptr);
  EXPECT_TRUE(ListHeaders().empty());
  SelectDatabase(0);
  EXPECT_EQ(TheFieldTable.searchCount, 5);
  EXPECT_EQ(ListHeaders().size(), 5u);
}

TEST(UiSearch, SchemaReloadWhileScanningStopsAndWaitsForTheWorker) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"large.db", NumberedRecords(kLargeDirectory));
  app.WriteDatabase(
      L"two.fdb", {{"AB", "CD"}}, VariantFdb,
      {MakeField("Code", 1, 0x04, 0, 1, 1, 1, 10), MakeField("Note", 1, 0x02, 0, 0, 2, 2, 10)});
  app.InstallDatabases({{L"large.db", "Large"}, {L"two.fdb", "Two"}});
  ASSERT_EQ(app.Start(), 0);

  StartLongScan();
  // What an install from the Setup page does after it has refreshed the list.
  EXPECT_EQ(LoadSchema(app.SingleBytePath(L"two.fdb").c_str()), SchemaLoaded);
  EXPECT_FALSE(SearchWorkerActive());
  EXPECT_EQ(SearchWorkerHandle(), nullptr);
  EXPECT_EQ(ListItemCount(), 0);
  EXPECT_EQ(ListHeaders(), (std::vector<std::wstring>{L"Code", L"Note"}));
  EXPECT_EQ(WindowText(SearchControl(IdStartButton)), L"Start");
  EXPECT_TRUE(Enabled(SearchControl(IdFirstCriterionEdit)));
  EXPECT_EQ(SearchControl(CriterionEditId(1)), nullptr);
}

TEST(UiSearch, ClosingMidScanStopsAndWaitsBeforeFreeing) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"large.db", NumberedRecords(kLargeDirectory));
  app.InstallDatabases({{L"large.db", "Large"}});
  ASSERT_EQ(app.Start(), 0);

  StartLongScan();
  SendMessageW(MainWindow, WM_CLOSE, 0, 0);
  EXPECT_FALSE(SearchWorkerActive());
  EXPECT_EQ(SearchWorkerHandle(), nullptr);
  EXPECT_EQ(TheFieldTable.fieldCount, 0);
  EXPECT_EQ(TheFieldTable.fields, nullptr);
  EXPECT_EQ(ListItemCount(), 0);
  EXPECT_EQ(TheLanguageFile.file, nullptr);
  EXPECT_TRUE(QuitPosted());
}
