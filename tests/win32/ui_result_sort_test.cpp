// A header click sorts the stored rows by ranks instead of calling lstrcmpiW in every
// comparison: the rows must end in exactly the order that a list view's own sort with
// CompareResultRows gives them, equal texts included, for texts that lstrcmpi's word sort orders in
// ways a plain character comparison would not, and whatever happens to the sort keys on the way.
#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/pages_win32.h"
#include "ui/result_list_win32.h"
#include "ui_harness.h"

namespace {

// Case, Ё beside Е, Latin beside Cyrillic look-alikes, digits as text, hyphens and apostrophes
// (which the word sort sets aside), blanks and punctuation, Ukrainian and Belarusian letters,
// the empty text, and repeats that differ only in case.
const wchar_t* const kTrickyTexts[] = {
    L"alpha",
    L"ALPHA",
    L"Alpha",
    L"beta",
    L"\u0451\u043b\u043a\u0430",
    L"\u0401\u043b\u043a\u0430",
    L"\u0435\u043b\u043a\u0430",
    L"\u0415\u041b\u041a\u0410",
    L"\u0435\u043b\u044c",
    L"co-op",
    L"coop",
    L"co op",
    L"co'op",
    L"a-b",
    L"ab",
    L"a b",
    L"-ab",
    L"ab-",
    L"a--b",
    L"10",
    L"9",
    L"09",
    L"1.5",
    L"1,5",
    L"",
    L" ",
    L"-",
    L"--",
    L"'",
    L"Z",
    L"z",
    L"\u042f",
    L"\u044f",
    L"A",
    L"\u0410",
    L"\u0416-1",
    L"\u04161",
    L"\u0416 1",
    L"!",
    L"#1",
    L"$",
    L"(a)",
    L"[a]",
    L"a.b",
    L"a_b",
    L"\u00aba\u00bb",
    L"\u2116 5",
    L"\u0456",
    L"\u0406",
    L"\u0490",
    L"\u0491",
    L"\u0404",
    L"\u0454",
    L"\u0457",
    L"\u0407",
    L"\u045e",
    L"\u040e",
    L"\u0131" /* not in Windows-1251: stored as '?' */,
    L"\u0418\u0412\u0410\u041d\u041e\u0412 \u0410.\u0410.",
    L"\u0438\u0432\u0430\u043d\u043e\u0432 \u0430.\u0430.",
    L"\u0418\u0412\u0410\u041d\u041e\u0412\u0410 \u0415.\u041a.",
    L"\u0418\u0412\u0410\u041d-\u041e\u0412",
};
constexpr int kTrickyCount = sizeof kTrickyTexts / sizeof kTrickyTexts[0];

// Every tricky text three times over, each time beside other texts in the other columns, so
// equal texts meet in every column and their order among themselves shows.
std::vector<DatabaseRecord> TrickyRecords() {
  std::vector<DatabaseRecord> records;
  for (int copy = 0; copy < 3; ++copy) {
    for (int i = 0; i < kTrickyCount; ++i) {
      const int n = copy * kTrickyCount + i;
      records.push_back({std::to_string(1000000 + (n * 7919) % 100000), Cp1251(kTrickyTexts[i]),
                         Cp1251(kTrickyTexts[(i * 7 + copy) % kTrickyCount]),
                         Cp1251(kTrickyTexts[(i * 3 + 2 * copy) % kTrickyCount]), ""});
    }
  }
  return records;
}

std::vector<LPARAM> ItemRows(HWND list) {
  std::vector<LPARAM> rows;
  const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = i;
    SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    rows.push_back(item.lParam);
  }
  return rows;
}

// The Result page's rows in the order the list shows them.
std::vector<LPARAM> ListedRows() {
  std::vector<LPARAM> rows;
  for (int i = 0; i < ResultRowCount(); ++i)
    rows.push_back(reinterpret_cast<LPARAM>(ResultRowAt(i)));
  return rows;
}

int CALLBACK CompareReversed(LPARAM rowA, LPARAM rowB, LPARAM column) {
  return CompareResultRows(rowB, rowA, column);
}

// What the list's own sort with CompareResultRows (or its reverse) makes of the rows in this
// order: a second list holding the same rows (without owning them) is sorted that way.
std::vector<LPARAM> ReferenceOrder(const std::vector<LPARAM>& rows, int column, bool descending) {
  TestWindow window;
  HWND twin = window.AddChild(WC_LISTVIEWW, 1201, WS_CHILD | LVS_REPORT);
  for (size_t i = 0; i < rows.size(); ++i) {
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = static_cast<int>(i);
    item.lParam = rows[i];
    SendMessageW(twin, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
  }
  SendMessageW(twin, LVM_SORTITEMS, static_cast<WPARAM>(column),
               reinterpret_cast<LPARAM>(descending ? CompareReversed : CompareResultRows));
  return ItemRows(twin);
}

// The header's arrows: the format of each column's header item.
std::vector<int> SortArrows() {
  HWND header = reinterpret_cast<HWND>(SendMessageW(ResultListView, LVM_GETHEADER, 0, 0));
  std::vector<int> arrows;
  const int columns = static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < columns; ++i) {
    HDITEMW item = {};
    item.mask = HDI_FORMAT;
    SendMessageW(header, HDM_GETITEMW, i, reinterpret_cast<LPARAM>(&item));
    arrows.push_back(item.fmt & (HDF_SORTUP | HDF_SORTDOWN));
  }
  return arrows;
}

// Clicks each column in turn (orders of equal texts depend on the order before) and compares
// every result with the reference: a click on the column sorted last reverses its order, a
// click on another sorts that one ascending. The rows may be sorted already, by sortedColumn.
void ExpectClicksSortLikeTheReference(const std::vector<int>& columns, int sortedColumn = -1,
                                      bool descending = false) {
  for (int column : columns) {
    SCOPED_TRACE("column " + std::to_string(column));
    descending = column == sortedColumn && !descending;
    sortedColumn = column;
    const std::vector<LPARAM> expected = ReferenceOrder(ListedRows(), column, descending);
    ClickHeader(column);
    ASSERT_EQ(ListedRows(), expected);
    ASSERT_EQ(ListItemCount(), static_cast<int>(expected.size()));
    // What the list shows at each place is the row now stored there, in every column.
    const std::vector<std::wstring> cells = ListColumn(column);
    for (size_t i = 0; i < cells.size(); ++i) {
      const ResultRow row = reinterpret_cast<ResultRow>(expected[i]);
      ASSERT_EQ(cells[i], row[column]) << i;
      if (i > 0) {
        const int c = lstrcmpiW(cells[i - 1].c_str(), cells[i].c_str());
        EXPECT_TRUE(descending ? c >= 0 : c <= 0) << i;
      }
    }
    std::vector<int> arrows(static_cast<size_t>(TheFieldTable.displayCount), 0);
    arrows[static_cast<size_t>(column)] = descending ? HDF_SORTDOWN : HDF_SORTUP;
    EXPECT_EQ(SortArrows(), arrows);
    EXPECT_EQ(ListCell(static_cast<int>(cells.size()) - 1, 0),
              reinterpret_cast<ResultRow>(expected.back())[0]);
  }
}

class SortKeySeam {
 public:
  explicit SortKeySeam(SortKeyBuilder builder) { SetSortKeyBuilderForTests(builder); }
  ~SortKeySeam() { SetSortKeyBuilderForTests(nullptr); }
  SortKeySeam(const SortKeySeam&) = delete;
  SortKeySeam& operator=(const SortKeySeam&) = delete;
};

// Keys in about the reverse order of the texts: the check against lstrcmpiW must catch it.
int ReversedKey(const wchar_t* text, unsigned char* key, int capacity) {
  if (capacity < 2) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  key[0] = static_cast<unsigned char>(255 - (text[0] & 0xFF));
  key[1] = 0;
  return 2;
}

int FailingKey(const wchar_t*, unsigned char*, int) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}

// The platform's keys, but only once the sort has found a megabyte of room for them.
int RoomyKey(const wchar_t* text, unsigned char* key, int capacity) {
  if (capacity < (1 << 20)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  return LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_SORTKEY | NORM_IGNORECASE, text, -1,
                      reinterpret_cast<LPWSTR>(key), capacity);
}

void StartWithTrickyRows(AppUnderTest& app) {
  app.WriteDatabase(L"tricky.db", TrickyRecords());
  app.InstallDatabases({{L"tricky.db", "Tricky"}});
  ASSERT_EQ(app.Start(), 0);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  ASSERT_EQ(ListItemCount(), 3 * kTrickyCount);
}

}  // namespace

TEST(ResultSort, HeaderClicksOrderTrickyTextsExactlyAsTheListsOwnSort) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  StartWithTrickyRows(app);
  ExpectClicksSortLikeTheReference({1, 1, 1, 2, 3, 3, 1, 0, 2, 4, 4});
}

TEST(ResultSort, KeysThatDisagreeWithTheComparisonFallBackToTheSameOrder) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  StartWithTrickyRows(app);
  {
    SortKeySeam seam(ReversedKey);
    ExpectClicksSortLikeTheReference({1, 1, 2, 1});
  }
  {
    SortKeySeam seam(FailingKey);
    ExpectClicksSortLikeTheReference({3, 1});
  }
  {
    // Keys that need more room than the sort first has: it grows its key space and goes on.
    SortKeySeam seam(RoomyKey);
    ExpectClicksSortLikeTheReference({2, 1});
  }
}

TEST(ResultSort, ThousandsOfRowsWithNumberedNames) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  // Names NAME0..NAME4999 compare as text (NAME10 before NAME9); houses repeat every 100 rows
  // and flats every 7, so most rows tie with many others.
  app.WriteDatabase(L"many.db", NumberedRecords(5000));
  app.InstallDatabases({{L"many.db", "Many"}});
  ASSERT_EQ(app.Start(), 0);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  ASSERT_EQ(ListItemCount(), 5000);
  ExpectClicksSortLikeTheReference({1, 3, 3, 4, 0, 4, 4});
}

TEST(ResultSort, SelectionAndFocusFollowTheirRows) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  StartWithTrickyRows(app);
  const std::vector<int> picked = {3, 7, 40};
  std::vector<LPARAM> pickedRows;
  for (int index : picked) {
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED;
    state.state = LVIS_SELECTED;
    SendMessageW(ResultListView, LVM_SETITEMSTATE, index, reinterpret_cast<LPARAM>(&state));
    pickedRows.push_back(reinterpret_cast<LPARAM>(ResultRowAt(index)));
  }
  LVITEMW focus = {};
  focus.stateMask = LVIS_FOCUSED;
  focus.state = LVIS_FOCUSED;
  SendMessageW(ResultListView, LVM_SETITEMSTATE, 7, reinterpret_cast<LPARAM>(&focus));
  for (int column : {1, 2}) {
    SCOPED_TRACE(column);
    ClickHeader(column);
    std::vector<LPARAM> selected;
    for (int i = -1;;) {
      i = static_cast<int>(SendMessageW(ResultListView, LVM_GETNEXTITEM, i, LVNI_SELECTED));
      if (i < 0) break;
      selected.push_back(reinterpret_cast<LPARAM>(ResultRowAt(i)));
    }
    std::sort(selected.begin(), selected.end());
    std::vector<LPARAM> expected = pickedRows;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(selected, expected);
    const int focused =
        static_cast<int>(SendMessageW(ResultListView, LVM_GETNEXTITEM, -1, LVNI_FOCUSED));
    EXPECT_EQ(reinterpret_cast<LPARAM>(ResultRowAt(focused)), pickedRows[1]);
  }
}

TEST(ResultSort, AClickDuringAScanSortsTheCountedRowsAndTheRestFollowInFileOrder) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"tricky.db", TrickyRecords());
  app.InstallDatabases({{L"tricky.db", "Tricky"}});
  ASSERT_EQ(app.Start(), 0);
  ASSERT_TRUE(StartHeldScan(100));
  // The updates after the first may wait for the page's timer rather than a wake of their own.
  ASSERT_TRUE(PumpUntil([] { return SortableRowCount() > 1; }));
  const int counted = SortableRowCount();
  ASSERT_GT(counted, 1);
  ASSERT_LT(counted, 3 * kTrickyCount);
  std::vector<LPARAM> counting = ListedRows();
  counting.resize(static_cast<size_t>(counted));
  const std::vector<LPARAM> sorted = ReferenceOrder(counting, 1, false);
  ClickHeader(1);
  EXPECT_EQ(ListItemCount(), counted);
  ASSERT_TRUE(FinishHeldScan());
  // The rows the scan listed after the click come after the sorted ones, as they came.
  std::vector<LPARAM> expected = sorted;
  for (int i = counted; i < ResultRowCount(); ++i)
    expected.push_back(reinterpret_cast<LPARAM>(StoredRow(ResultRowStore(), i)));
  ASSERT_EQ(ListedRows(), expected);
  ASSERT_EQ(ListItemCount(), 3 * kTrickyCount);
  EXPECT_EQ(ListCell(counted, 0), reinterpret_cast<ResultRow>(expected[counted])[0]);
  // The next click on the column sorts every row, in reverse, from the order they are shown in.
  ExpectClicksSortLikeTheReference({1, 1, 2}, 1, false);
}
