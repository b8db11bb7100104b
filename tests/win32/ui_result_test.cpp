// The Result page: texts from the rows, sorting by a header, and the details of a row.
#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>

#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/pages_win32.h"
#include "ui_harness.h"

namespace {

void ActivateItem(int index, int fromId = IdResultList) {
  LVITEMW state = {};
  state.stateMask = LVIS_FOCUSED | LVIS_SELECTED;
  state.state = LVIS_FOCUSED | LVIS_SELECTED;
  SendMessageW(ResultListView, LVM_SETITEMSTATE, index, reinterpret_cast<LPARAM>(&state));
  NMITEMACTIVATE activate = {};
  activate.hdr.hwndFrom = ResultListView;
  activate.hdr.idFrom = fromId;
  activate.hdr.code = LVN_ITEMACTIVATE;
  activate.iItem = index;
  SendMessageW(PageWindows[ResultPage], WM_NOTIFY, fromId, reinterpret_cast<LPARAM>(&activate));
}

std::vector<std::wstring> Lowered(std::vector<std::wstring> texts) {
  for (auto& text : texts) {
    for (auto& c : text) c = static_cast<wchar_t>(towlower(c));
  }
  return texts;
}

// A database whose schema exercises the details rules: detail positions 1, 2, 3 on the first
// three displayed fields, a fourth displayed field repeating position 3, a field that is not
// displayed with position 4, and a displayed field with position 0.
void WriteDetailsDatabase(AppUnderTest& app) {
  app.WriteDatabase(
      L"details.fdb",
      {{"A", "", "C", "D", "E", "Z"}, {"", "B", "", "D", "E", "Z"}, {"", "", "", "", "E", "Z"}},
      VariantFdb,
      {MakeField("First", 1, 0x02, 0, 1, 1, 1, 20), MakeField("Second", 1, 0x02, 0, 0, 2, 2, 20),
       MakeField("Third", 1, 0x02, 0, 0, 3, 3, 20), MakeField("Again", 1, 0x02, 0, 0, 4, 3, 20),
       MakeField("Hidden", 1, 0x02, 0, 0, 0, 4, 20), MakeField("Zero", 1, 0x02, 0, 0, 5, 0, 20)});
  app.InstallDatabases({{L"details.fdb", "Details"}});
}

}  // namespace

TEST(UiResult, HeaderClickSortsAscendingIgnoringCase) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"mixed.db", {{"4000004", "beta", "Z", "1", "1"},
                                  {"1000001", "ALPHA", "Y", "2", "2"},
                                  {"3000003", "Gamma", "X", "3", "3"},
                                  {"2000002", "alpha", "W", "4", "4"}});
  app.InstallDatabases({{L"mixed.db", "Mixed"}});
  ASSERT_EQ(app.Start(), 0);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  ASSERT_EQ(ListItemCount(), 4);

  ClickHeader(1);
  const std::vector<std::wstring> once = ListColumn(1);
  EXPECT_EQ(Lowered(once), (std::vector<std::wstring>{L"alpha", L"alpha", L"beta", L"gamma"}));
  // A second click reverses the order, the equal names keeping theirs; a third sorts
  // ascending again.
  ClickHeader(1);
  EXPECT_EQ(ListColumn(1), (std::vector<std::wstring>{L"Gamma", L"beta", once[0], once[1]}));
  ClickHeader(1);
  EXPECT_EQ(ListColumn(1), once);
  // Rows move whole: each name keeps its own street.
  for (int i = 0; i < 4; ++i) {
    if (ListCell(i, 1) == L"beta") {
      EXPECT_EQ(ListCell(i, 2), L"Z");
    }
    if (ListCell(i, 1) == L"Gamma") {
      EXPECT_EQ(ListCell(i, 2), L"X");
    }
  }

  ClickHeader(2);
  EXPECT_EQ(ListColumn(2), (std::vector<std::wstring>{L"W", L"X", L"Y", L"Z"}));
  ClickHeader(0);
  EXPECT_EQ(ListColumn(0),
            (std::vector<std::wstring>{L"1000001", L"2000002", L"3000003", L"4000004"}));

  // A notification from another control changes nothing.
  ClickHeader(2, 1202);
  EXPECT_EQ(ListColumn(0),
            (std::vector<std::wstring>{L"1000001", L"2000002", L"3000003", L"4000004"}));

  // A new search lists the rows in file order again, and the first click sorts ascending.
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  ClickHeader(0);
  EXPECT_EQ(ListColumn(0),
            (std::vector<std::wstring>{L"1000001", L"2000002", L"3000003", L"4000004"}));
}

TEST(UiResult, DetailsListTheDetailFieldsInOrderSkippingEmptyOnes) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  WriteDetailsDatabase(app);
  ASSERT_EQ(app.Start(), 0);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  ASSERT_EQ(ListItemCount(), 3);
  EXPECT_EQ(ListHeaders(),
            (std::vector<std::wstring>{L"First", L"Second", L"Third", L"Again", L"Zero"}));

  ActivateItem(0);
  ActivateItem(1);
  ActivateItem(2);
  ASSERT_EQ(boxes.Count(), 3u);
  EXPECT_EQ(boxes.At(0).text, L"A,\r\nC");
  EXPECT_EQ(boxes.At(1).text, L"B");
  EXPECT_EQ(boxes.At(2).text, L"");
  for (const RecordedMessageBox& box : boxes.All()) {
    EXPECT_EQ(box.owner, ResultListView);
    EXPECT_EQ(box.caption, L"Info");
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
  }

  // From another control, activation shows nothing.
  ActivateItem(0, 1203);
  EXPECT_EQ(boxes.Count(), 3u);
}

TEST(UiResult, BuiltInSchemaDetailsShowTheFirstColumnOnly) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", SampleRecords());
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  ActivateItem(2);
  ASSERT_EQ(boxes.Count(), 1u);
  EXPECT_EQ(boxes.At(0).text, L"7654321");
}

TEST(UiResult, ActivationWithoutAFocusedItemShowsNothing) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", SampleRecords());
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);
  ShowRowDetails();  // an empty list
  EXPECT_EQ(boxes.Count(), 0u);
}
