// Rows reach the list's store in batches, one message per status update, and the list shows
// them by count, at most once per paint interval: the texts, the rows and the failures must look
// exactly as if each row had been listed on its own, at the edges of a batch above all, and the
// list must never show a row that the status line does not count yet.
#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <vector>

#include "search/result_store.h"
#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/result_list_win32.h"
#include "ui/search_worker_win32.h"
#include "ui_harness.h"

namespace {

constexpr int kLargeDirectory = 200000;

// Watches the list: every count it is given, and any count that runs ahead of the stored rows
// or, while a scan runs, of the results its status line shows. It must never hold an item.
struct ListWatch {
  WNDPROC previous = nullptr;
  std::vector<int> counts;
  int ahead = 0;
  int insertions = 0;
};
ListWatch g_watch;

// The results of a running scan's status text "RESULTS/SCANNED"; -1 for any other text.
int ShownResults() {
  const std::wstring text = WindowText(ResultControl(IdStatusLine));
  const size_t slash = text.find(L'/');
  if (slash == std::wstring::npos || slash == 0) return -1;
  for (size_t i = 0; i < slash; ++i)
    if (!iswdigit(text[i])) return -1;
  return std::stoi(text.substr(0, slash));
}

LRESULT CALLBACK WatchingListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == LVM_SETITEMCOUNT) {
    const int count = static_cast<int>(wParam);
    g_watch.counts.push_back(count);
    const int shown = ShownResults();
    if (count > ResultRowCount() || (shown >= 0 && count > shown)) ++g_watch.ahead;
  } else if (message == LVM_INSERTITEMW) {
    ++g_watch.insertions;
  }
  return CallWindowProcW(g_watch.previous, window, message, wParam, lParam);
}

// Installs the watch for its lifetime; also sets the paint interval, the rows the store takes
// before memory "runs out" (negative: no limit), and whether the worker waits for each update
// to be applied (which makes the list's counts follow the updates one by one).
class WatchedList {
 public:
  explicit WatchedList(int storeLimit = -1, DWORD paintInterval = kDefaultListPaintIntervalMs,
                       bool synchronous = false) {
    SetSynchronousUpdatesForTests(synchronous);
    g_watch = ListWatch();
    g_watch.previous = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        ResultListView, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(WatchingListProc)));
    SetListPaintIntervalForTests(paintInterval);
    SetStoredRowLimitForTests(storeLimit);
  }
  ~WatchedList() {
    SetSynchronousUpdatesForTests(false);
    SetStoredRowLimitForTests(-1);
    SetListPaintIntervalForTests(kDefaultListPaintIntervalMs);
    if (IsWindow(ResultListView))
      SetWindowLongPtrW(ResultListView, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_watch.previous));
    EXPECT_EQ(g_watch.ahead, 0) << "the list was given more rows than were stored or counted";
    EXPECT_EQ(g_watch.insertions, 0);
  }
  WatchedList(const WatchedList&) = delete;
  WatchedList& operator=(const WatchedList&) = delete;
};

DWORD WorkerExitCode() {
  DWORD code = 12345;
  if (SearchWorkerHandle()) GetExitCodeThread(SearchWorkerHandle(), &code);
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
SearchResult SearchAll(AppUnderTest& app, int records, int claimed = -1, int storeLimit = -1,
                       DWORD paintInterval = kDefaultListPaintIntervalMs,
                       bool synchronous = false) {
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
  WatchedList watch(storeLimit, paintInterval, synchronous);
  StatusLineRecorder status;
  ClickSearch(IdStartButton);
  EXPECT_TRUE(WaitForWorker());
  result.texts = status.Texts();
  result.exitCode = WorkerExitCode();
  return result;
}

}  // namespace

TEST(ResultList, TheDataEndingRightAfterABatchListsEveryRow) {
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

TEST(ResultList, ARowTheStoreCannotTakeEndsTheScanAtItsRecordWhereverItFallsInABatch) {
  // The n-th row finds no memory: the first and last of a batch, one inside, the last row.
  for (int refused : {1, 49, 50, 51, 75, 100, 101, 120}) {
    SCOPED_TRACE(refused);
    MessageBoxRecorder boxes;
    AppUnderTest app;
    const SearchResult result = SearchAll(app, 120, -1, refused - 1);
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

TEST(ResultList, TheRecordLimitListsTheRowsKeptBeforeIt) {
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

// Presses Stop from inside the status line when it is given its n-th running-scan text: the
// worker is then somewhere past that update, wherever its own pace has taken it.
WNDPROC g_statusPrevious = nullptr;
int g_stopAtText = 0;
LRESULT CALLBACK StoppingStatusProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const LRESULT result = CallWindowProcW(g_statusPrevious, window, message, wParam, lParam);
  if (message == WM_SETTEXT && ShownResults() >= 0 && --g_stopAtText == 0) {
    EXPECT_TRUE(SearchWorkerActive());
    ClickSearch(IdStartButton);
  }
  return result;
}

TEST(ResultList, AStopAnywhereListsEveryRowItCounts) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"large.db", NumberedRecords(kLargeDirectory));
  app.InstallDatabases({{L"large.db", "Large"}});
  ASSERT_EQ(app.Start(), 0);
  // A short paint interval, so that the list's count follows the scan closely and any count
  // ahead of the rows would show.
  WatchedList watch(-1, 1);
  HWND status = ResultControl(IdStatusLine);
  g_statusPrevious = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(status, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(StoppingStatusProc)));
  for (int stopAt : {2, 5, 9}) {
    SCOPED_TRACE(stopAt);
    g_stopAtText = stopAt;
    ClickSearch(IdStartButton);
    ASSERT_TRUE(WaitForWorker());
    const int rows = ListItemCount();
    EXPECT_LT(rows, kLargeDirectory);
    EXPECT_GE(rows, 50 * (stopAt - 1));
    EXPECT_EQ(ResultRowCount(), rows);
    EXPECT_EQ(WindowText(status), Final(rows, rows));
    ExpectRowsInFileOrder(rows);
  }
  SetWindowLongPtrW(status, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_statusPrevious));
}

TEST(ResultList, TheListCountFollowsTheFirstUpdateTheFirstRowsAndTheEnd) {
  struct Case {
    int records;
    DWORD interval;
    std::vector<int> counts;
  };
  // 120 rows: updates at records 1, 51 and 101, then the end. The list is emptied when the
  // search starts; with a long paint interval its count then changes when the first rows are
  // in and at the end; with none, at every update that brings rows too.
  const Case cases[] = {{120, 3600000, {0, 50, 120}}, {120, 0, {0, 50, 100, 120}}, {0, 0, {0, 0}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.records) + " rows, interval " + std::to_string(c.interval));
    MessageBoxRecorder boxes;
    AppUnderTest app;
    SearchAll(app, c.records, -1, -1, c.interval, true);
    EXPECT_EQ(g_watch.counts, c.counts);
    ExpectRowsInFileOrder(c.records);
  }
}

TEST(ResultList, UpdatesWithoutNewRowsLeaveTheListAlone) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"big.db", NumberedRecords(2500));
  app.InstallDatabases({{L"big.db", "Big"}});
  ASSERT_EQ(app.Start(), 0);
  TypeCriterion(1, L"NAME2499");
  {
    WatchedList watch(-1, 0, true);
    StatusLineRecorder status;
    ClickSearch(IdStartButton);
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(status.Texts(), (std::vector<std::wstring>{L"Query: Name: NAME2499", L"0/1",
                                                         L"0/1000", L"0/2000", Final(2500, 1)}));
  }
  // Emptied at the start, the one row at the end; the updates between found nothing to show.
  EXPECT_EQ(g_watch.counts, (std::vector<int>{0, 1}));
  ASSERT_EQ(ListItemCount(), 1);
  EXPECT_EQ(ListCell(0, 1), L"NAME2499");
}

HANDLE NoThread(LPTHREAD_START_ROUTINE) { return nullptr; }

TEST(ResultList, EveryClearingPathFreesTheRowsAtOnce) {
  enum Path { StartAgain, ReloadSchema, Close };
  for (Path path : {StartAgain, ReloadSchema, Close}) {
    SCOPED_TRACE(path);
    MessageBoxRecorder boxes;
    AppUnderTest app;
    SearchAll(app, 120);
    ASSERT_EQ(ResultRowCount(), 120);
    ASSERT_EQ(ListItemCount(), 120);
    ASSERT_GT(StoredRowBlocks(ResultRowStore()), 0);
    if (path == StartAgain) {
      // Start with no worker to follow: only the clearing shows.
      SetWorkerThreadStarterForTests(NoThread);
      ClickSearch(IdStartButton);
      SetWorkerThreadStarterForTests(nullptr);
    } else if (path == ReloadSchema) {
      SelectDatabase(0);
    } else {
      SendMessageW(MainWindow, WM_CLOSE, 0, 0);
    }
    EXPECT_EQ(ResultRowCount(), 0);
    EXPECT_EQ(ResultRowAt(0), nullptr);
    // The rows' memory went with them, block by block.
    EXPECT_EQ(StoredRowBlocks(ResultRowStore()), 0);
    if (path != Close) {
      EXPECT_EQ(ListItemCount(), 0);
      // Nothing is left for a paint to ask for.
      UpdateWindow(ResultListView);
      EXPECT_EQ(ListCell(0, 1), L"");
    }
  }
}

// A progress text wider than the status line (a city's 7-digit counts; here a large font) makes
// the line grow into the progress bar, whose right edge stays; the next scan puts the bar back.
TEST(ResultList, AProgressTextWiderThanTheStatusLineWidensItIntoTheProgressBar) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"all.db", NumberedRecords(3000));
  app.InstallDatabases({{L"all.db", "All"}});
  ASSERT_EQ(app.Start(), 0);
  HWND status = ResultControl(IdStatusLine);
  HWND bar = ResultControl(IdProgressBar);
  const RECT barAsLaidOut = ChildRect(bar);
  HFONT large = CreateFontW(-40, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0,
                            0, L"Tahoma");
  ASSERT_NE(large, nullptr);
  const WPARAM usual = static_cast<WPARAM>(SendMessageW(status, WM_GETFONT, 0, 0));
  SendMessageW(status, WM_SETFONT, reinterpret_cast<WPARAM>(large), FALSE);

  SetWorkerHoldForTests(101);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(PumpUntil([&] { return WindowText(status) == L"100/101" || !SearchWorkerActive(); }));
  ASSERT_TRUE(WorkerHeldForTests());
  HDC dc = GetDC(status);
  HGDIOBJ previous = SelectObject(dc, large);
  SIZE extent = {};
  GetTextExtentPoint32W(dc, L"100/101", 7, &extent);
  SelectObject(dc, previous);
  ReleaseDC(status, dc);
  const RECT line = ChildRect(status);
  const RECT narrowed = ChildRect(bar);
  EXPECT_GE(line.right - line.left, extent.cx);
  EXPECT_LE(line.right, narrowed.left);
  EXPECT_GT(narrowed.left, barAsLaidOut.left);
  EXPECT_EQ(narrowed.right, barAsLaidOut.right);
  ClickSearch(IdStartButton);  // Stop
  ASSERT_TRUE(WaitForWorker());

  SendMessageW(status, WM_SETFONT, usual, FALSE);
  DeleteObject(large);
  SetWorkerHoldForTests(1);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(PumpUntil([] { return WorkerHeldForTests() || !SearchWorkerActive(); }));
  const RECT again = ChildRect(bar);
  EXPECT_EQ(again.left, barAsLaidOut.left);
  EXPECT_EQ(again.right, barAsLaidOut.right);
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(boxes.Count(), 0u);
}

// The worker wakes the UI thread at most once per few milliseconds after a scan's first update
// and first rows, so an update may wait in the queue with no wake behind it. With no wake after
// those, a scan held once its first rows are shown and then again after 20,000 rows has queued
// its last update (at record 20,000) without one: the page's timer still shows it on the status
// line and in the list, never the list ahead of the status line, and the end shows everything.
TEST(ResultList, AnUpdateQueuedWithoutAWakeStillShowsWhileTheScanHolds) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"all.db", NumberedRecords(21000));
  app.InstallDatabases({{L"all.db", "All"}});
  ASSERT_EQ(app.Start(), 0);
  {
    WatchedList watch;
    SetWakeIntervalForTests(INFINITE);
    ASSERT_TRUE(StartHeldScan(100));
    ASSERT_TRUE(PumpUntil([] { return ListItemCount() > 0; }));
    SetWorkerHoldForTests(20000);
    ResumeHeldWorkerForTests();
    ASSERT_TRUE(PumpUntil([] { return WorkerHeldForTests() && ResultRowCount() == 20000; }));
    const DWORD start = GetTickCount();
    while (WindowText(ResultControl(IdStatusLine)) != L"19999/20000" || ListItemCount() != 19999) {
      ASSERT_LT(GetTickCount() - start, 10 * kDefaultListPaintIntervalMs)
          << "the status line reads "
          << testing::PrintToString(WindowText(ResultControl(IdStatusLine))) << " over "
          << ListItemCount() << " rows";
      PumpFor(5);
    }
    ASSERT_TRUE(FinishHeldScan());
  }
  EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), Final(21000, 21000));
  ExpectRowsInFileOrder(21000);
  EXPECT_EQ(boxes.Count(), 0u);
}
