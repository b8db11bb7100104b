// Rows reach the list in batches, one message per status update: the texts, the rows, the
// failures and the list's painting must look exactly as if each row had been inserted on its
// own, at the edges of a batch above all.
#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/search_worker_win32.h"
#include "ui_harness.h"

namespace {

constexpr int kLargeDirectory = 200000;

// Watches the list: refuses insertions from a given one on, counts the times it is told to
// paint again, and notes any row inserted while it paints.
struct ListWatch {
  WNDPROC previous = nullptr;
  int insertions = 0;
  int refuseFrom = 0;  // 1-based; 0 refuses nothing
  int redrawOn = 0;
  bool redrawing = true;
  int insertedWhileRedrawing = 0;
};
ListWatch g_watch;

LRESULT CALLBACK WatchingListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == LVM_INSERTITEMW) {
    ++g_watch.insertions;
    if (g_watch.refuseFrom > 0 && g_watch.insertions >= g_watch.refuseFrom) return -1;
    if (g_watch.redrawing) ++g_watch.insertedWhileRedrawing;
  } else if (message == WM_SETREDRAW) {
    g_watch.redrawing = wParam != 0;
    if (wParam) ++g_watch.redrawOn;
  }
  return CallWindowProcW(g_watch.previous, window, message, wParam, lParam);
}

// Installs the watch for its lifetime; also sets the list's paint interval.
class WatchedList {
 public:
  explicit WatchedList(int refuseFrom = 0, DWORD paintInterval = kDefaultListPaintIntervalMs) {
    g_watch = ListWatch();
    g_watch.refuseFrom = refuseFrom;
    g_watch.previous = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        ResultListView, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WatchingListProc)));
    SetListPaintIntervalForTests(paintInterval);
  }
  ~WatchedList() {
    SetListPaintIntervalForTests(kDefaultListPaintIntervalMs);
    if (IsWindow(ResultListView))
      SetWindowLongPtrW(ResultListView, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_watch.previous));
  }
  WatchedList(const WatchedList&) = delete;
  WatchedList& operator=(const WatchedList&) = delete;
};

DWORD WorkerExitCode() {
  DWORD code = 12345;
  if (SearchWorkerThread) GetExitCodeThread(SearchWorkerThread, &code);
  return code;
}

std::wstring Final(int scanned, int results) {
  return L"Scaned: " + std::to_wstring(scanned) + L", results: " + std::to_wstring(results);
}

// Every listed row is the record of its place in the file, in every column.
void ExpectRowsInFileOrder(int count) {
  ASSERT_EQ(ListItemCount(), count);
  const std::vector<std::wstring> phones = ListColumn(0);
  for (int i = 0; i < count; ++i) {
    ASSERT_EQ(phones[i], std::to_wstring(1000000 + i)) << i;
  }
  if (count > 0) {
    EXPECT_EQ(ListCell(count - 1, 1), L"NAME" + std::to_wstring(count - 1));
    EXPECT_EQ(ListCell(count - 1, 3), std::to_wstring((count - 1) % 100));
  }
}

// Runs a search over `records` numbered records (all of them matching), the header claiming
// `claimed` records when not negative.
struct SearchResult {
  std::vector<std::wstring> texts;
  DWORD exitCode = 0;
};
SearchResult SearchAll(AppUnderTest& app, int records, int claimed = -1, int refuseFrom = 0,
                       DWORD paintInterval = kDefaultListPaintIntervalMs) {
  DatabaseWriterOptions options = FixtureOptions(VariantPlain);
  if (claimed >= 0) {
    options.overrideRecordCount = true;
    options.recordCountOverride = claimed;
  }
  EXPECT_TRUE(WriteFixture(app.FilePath(L"all.db"), options, NumberedRecords(records)));
  app.InstallDatabases({{L"all.db", "All"}});
  SearchResult result;
  if (app.Start() != 0) {
    ADD_FAILURE() << "the application did not start";
    return result;
  }
  WatchedList watch(refuseFrom, paintInterval);
  StatusLineRecorder status;
  ClickSearch(IdStartButton);
  EXPECT_TRUE(WaitForWorker());
  result.texts = status.Texts();
  result.exitCode = WorkerExitCode();
  return result;
}

}  // namespace

TEST(SpeedBatch, TheDataEndingRightAfterABatchListsEveryRow) {
  struct Case {
    int records;
    std::vector<std::wstring> texts;
  };
  const Case cases[] = {
      {50, {L"Query: ", L"0/1", Final(50, 50)}},
      {51, {L"Query: ", L"0/1", L"50/51", Final(51, 51)}},
      {100, {L"Query: ", L"0/1", L"50/51", Final(100, 100)}},
      {101, {L"Query: ", L"0/1", L"50/51", L"100/101", Final(101, 101)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.records);
    MessageBoxRecorder boxes;
    AppUnderTest app;
    const SearchResult result = SearchAll(app, c.records);
    EXPECT_EQ(result.texts, c.texts);
    EXPECT_EQ(result.exitCode, 0u);
    ExpectRowsInFileOrder(c.records);
    EXPECT_EQ(boxes.Count(), 0u);
  }
}

TEST(SpeedBatch, ARefusedInsertEndsTheScanAtItsRecordWhereverItFallsInABatch) {
  // The n-th insertion fails: the first and last of a batch, one inside, the last row.
  for (int refused : {1, 49, 50, 51, 75, 100, 101, 120}) {
    SCOPED_TRACE(refused);
    MessageBoxRecorder boxes;
    AppUnderTest app;
    const SearchResult result = SearchAll(app, 120, -1, refused);
    // The updates before the refused row's record are shown, none after it.
    std::vector<std::wstring> expected = {L"Query: ", L"0/1"};
    if (refused >= 51) expected.push_back(L"50/51");
    if (refused >= 101) expected.push_back(L"100/101");
    expected.push_back(Final(refused, refused - 1));
    EXPECT_EQ(result.texts, expected);
    EXPECT_EQ(result.exitCode, static_cast<DWORD>(-1));
    ExpectRowsInFileOrder(refused - 1);
    EXPECT_EQ(WindowText(SearchControl(IdStartButton)), L"Start");
    EXPECT_NE(SearchStopFlag.load(), 0);
    EXPECT_EQ(boxes.Count(), 0u);
  }
}

TEST(SpeedBatch, TheRecordLimitListsTheRowsKeptBeforeIt) {
  MessageBoxRecorder boxes;
  {
    AppUnderTest app;
    // 30 claimed: the update due at record 51 finds too many; the 50 rows before it stay.
    const SearchResult result = SearchAll(app, 120, 30);
    EXPECT_EQ(result.texts, (std::vector<std::wstring>{L"Query: ", L"0/1", Final(51, 50)}));
    EXPECT_EQ(result.exitCode, 0u);
    ExpectRowsInFileOrder(50);
  }
  {
    AppUnderTest app;
    const SearchResult result = SearchAll(app, 400, 75);
    EXPECT_EQ(result.texts,
              (std::vector<std::wstring>{L"Query: ", L"0/1", L"50/51", Final(101, 100)}));
    ExpectRowsInFileOrder(100);
  }
  {
    AppUnderTest app;
    const SearchResult result = SearchAll(app, 120, 0);
    EXPECT_EQ(result.texts, (std::vector<std::wstring>{L"Query: ", Final(1, 0)}));
    ExpectRowsInFileOrder(0);
  }
}

TEST(SpeedBatch, AStopMidBatchListsEveryRowItCounts) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"large.db", NumberedRecords(kLargeDirectory));
  app.InstallDatabases({{L"large.db", "Large"}});
  ASSERT_EQ(app.Start(), 0);
  WatchedList watch;
  // A few stops, each landing wherever the worker happens to be within its batch.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ClickSearch(IdStartButton);
    ASSERT_TRUE(PumpUntil([] { return ListItemCount() >= 100 || !SearchWorkerActive(); }));
    ASSERT_TRUE(SearchWorkerActive()) << "the scan ended before it could be stopped";
    PumpFor(static_cast<DWORD>(7 * round));
    ClickSearch(IdStartButton);
    ASSERT_TRUE(WaitForWorker());
    const int rows = ListItemCount();
    EXPECT_LT(rows, kLargeDirectory);
    EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), Final(rows, rows));
    ExpectRowsInFileOrder(rows);
  }
  // Rows went in only while the list was not painting.
  EXPECT_EQ(g_watch.insertedWhileRedrawing, 0);
}

TEST(SpeedBatch, TheListPaintsAtTheFirstUpdateTheFirstRowsAndTheEnd) {
  struct Case {
    int records;
    DWORD interval;
    int redraws;
  };
  // 120 rows: updates at records 1, 51 and 101, then the end. With a long paint interval the
  // list paints at the first update (still empty), when the first rows are in, and at the end;
  // with none, at every update that follows new rows too.
  const Case cases[] = {{120, 3600000, 3}, {120, 0, 4}, {0, 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.records) + " rows, interval " + std::to_string(c.interval));
    MessageBoxRecorder boxes;
    AppUnderTest app;
    SearchAll(app, c.records, -1, 0, c.interval);
    EXPECT_EQ(g_watch.redrawOn, c.redraws);
    EXPECT_EQ(g_watch.insertedWhileRedrawing, 0);
    EXPECT_TRUE(g_watch.redrawing);  // painting again once the scan is over
    ExpectRowsInFileOrder(c.records);
  }
}

TEST(SpeedBatch, UpdatesWithoutNewRowsDoNotRepaintTheList) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"big.db", NumberedRecords(2500));
  app.InstallDatabases({{L"big.db", "Big"}});
  ASSERT_EQ(app.Start(), 0);
  TypeCriterion(1, L"NAME2499");
  WatchedList watch(0, 0);
  StatusLineRecorder status;
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(status.Texts(), (std::vector<std::wstring>{L"Query: Name: NAME2499", L"0/1", L"0/1000",
                                                       L"0/2000", Final(2500, 1)}));
  // The first update and the end; the updates at 1000 and 2000 found nothing new to show.
  EXPECT_EQ(g_watch.redrawOn, 2);
  ASSERT_EQ(ListItemCount(), 1);
  EXPECT_EQ(ListCell(0, 1), L"NAME2499");
}

TEST(SpeedBatch, FreeingRowsLeavesItemsWithoutRowsAndPaintingOn) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  SearchAll(app, 120);
  ASSERT_EQ(ListItemCount(), 120);
  WatchedList watch;
  FreeResultRows();
  ASSERT_EQ(ListItemCount(), 120);
  for (int i = 0; i < 120; ++i) {
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = i;
    ASSERT_TRUE(SendMessageW(ResultListView, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    EXPECT_EQ(item.lParam, 0) << i;
  }
  // Painting was off while rows were freed and is on again; a repaint and a second call find
  // nothing to touch, and the cells read empty.
  EXPECT_EQ(g_watch.redrawOn, 1);
  EXPECT_TRUE(g_watch.redrawing);
  FreeResultRows();
  UpdateWindow(ResultListView);
  EXPECT_EQ(ListCell(0, 1), L"");
  SendMessageW(ResultListView, LVM_DELETEALLITEMS, 0, 0);
}
