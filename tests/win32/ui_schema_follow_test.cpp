// The criteria and columns always belong to the database a search will read: a file whose
// fields cannot be loaded is not searched, and a Check that changes the selector's entry
// brings that entry's fields along.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/page_controls_win32.h"
#include "ui_harness.h"

TEST(UiSchemaFollow, DatabaseWithUnusableFieldsIsNotSearched) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  // The header opens, but no eleventh criterion box exists: the descriptors are refused.
  app.WriteDatabase(L"bad.fdb", {{"X"}, {"Y"}}, VariantFdb,
                    {MakeField("CODE", 1, 0, 0, 11, 1, 1, 10)});
  app.InstallDatabases({{L"bad.fdb", "Bad"}});
  ASSERT_EQ(app.Start(), 0);
  EXPECT_EQ(TheFieldTable.fieldCount, 0);

  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(ListItemCount(), 0);
  EXPECT_EQ(SearchStopFlag.load(), 1);
  EXPECT_EQ(WindowText(SearchControl(IdStartButton)), L"Start");
  EXPECT_TRUE(IsWindowEnabled(SearchControl(IdDatabaseSelector)));
  // Selected at start-up without a word; Start says why it scans nothing.
  ASSERT_EQ(boxes.Count(), 1u);
  EXPECT_EQ(boxes.At(0).text, L"Unusable field schema in db file - " + app.FilePath(L"bad.fdb"));
  EXPECT_EQ(boxes.At(0).caption, L"Error");
}

TEST(UiSchemaFollow, CheckThatMovesTheSelectionLoadsTheSelectedFields) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", NumberedRecords(3, "CITY"));
  app.WriteDatabase(
      L"two.fdb", {{"7", "NOTE"}}, VariantFdb,
      {MakeField("Code", 2, 0, 2, 1, 1, 1, 5), MakeField("Note", 1, 0, 0, 2, 2, 1, 20)});
  app.InstallDatabases({{L"city.db", "City"}, {L"two.fdb", "Two"}});
  ASSERT_EQ(app.Start(), 0);

  // A search of City makes it "Last db"; then the user picks Two, whose fields are loaded.
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  SelectDatabase(1);
  ASSERT_EQ(ListHeaders(), (std::vector<std::wstring>{L"Code", L"Note"}));

  // Check refills the selector from the list, preselecting "Last db": City again.
  SendCommand(PageWindows[SetupPage], IdCheckButton);
  ASSERT_EQ(SendMessageW(SearchControl(IdDatabaseSelector), CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(ListHeaders(),
            (std::vector<std::wstring>{L"Phone", L"Name", L"Street", L"House", L"Flat"}));

  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  ASSERT_EQ(ListItemCount(), 3);
  EXPECT_EQ(ListCell(0, 1), L"CITY0");
}
