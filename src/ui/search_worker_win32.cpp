#include "ui/search_worker_win32.h"

#include <commctrl.h>

#include <cstring>

#include "db/codepage.h"
#include "db/record_reader.h"
#include "i18n/ui_strings.h"
#include "search/result_row.h"
#include "settings/installed_databases.h"
#include "ui/app_globals_win32.h"
#include "ui/format_text_win32.h"
#include "ui/message_box_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/schema_controls_win32.h"

namespace {

constexpr int kStatusTextCapacity = 256;
constexpr int kFinalStatusExtraWidth = 140;

WorkerThreadStarter ThreadStarter = nullptr;
DWORD ListPaintInterval = kDefaultListPaintIntervalMs;

// The windows one scan talks to; looked up once when the scan starts.
struct ScanWindows {
  HWND searchPage;
  HWND statusLine;
  HWND progressBar;
  HWND listView;
};

HWND SearchPageForCommands() {
  return SearchCommandWindow ? SearchCommandWindow : PageWindows[SearchPage];
}

void EnableSearchControls(HWND page, BOOL enable) {
  EnableWindow(GetDlgItem(page, IdDatabaseSelector), enable);
  EnableWindow(GetDlgItem(page, IdResetButton), enable);
  for (int j = 0; j < TheFieldTable.searchCount; ++j) {
    EnableWindow(static_cast<HWND>(TheFieldTable.searchMap[j]->editHandle), enable);
  }
}

// What the worker's sink works with: the batch on its way to the list, and the window that
// inserts it on the UI thread.
struct ScanContext {
  HWND resultPage;
  ResultRowBatch batch;
};

// On the UI thread, inside the batch message: the same calls, in the same order, that the
// worker would make from its own thread, each of which would cost a trip to this thread.
void ShowStatusUpdate(ResultRowBatch* batch) {
  wchar_t text[kStatusTextCapacity];
  FormatText(text, kStatusTextCapacity, L"%i/%i", {batch->results, batch->scanned});
  SetWindowTextW(batch->statusLine, text);
  UpdateWindow(batch->statusLine);
  SendMessageW(batch->progressBar, PBM_SETPOS, static_cast<WPARAM>(batch->scanned), 0);
  UpdateWindow(batch->progressBar);
  // The list paints only here, not once per inserted row: at the first update, which also
  // stops it painting while rows go in; as soon as the first rows are in; and then, when rows
  // came since it last painted, at most once per paint interval. Turning painting on makes the
  // list recompute its scroll bars and lay out its header, which under Wine costs ten
  // milliseconds and more, while an update comes every 50 rows: far more often than anyone
  // could see a new frame, and once the first screenful is in, only the scroll bar changes.
  const DWORD now = GetTickCount();
  if (!batch->listPainted ||
      (batch->rowsSincePaint &&
       (!batch->rowsPainted || now - batch->lastListPaint >= ListPaintInterval))) {
    SendMessageW(batch->listView, WM_SETREDRAW, TRUE, 0);
    UpdateWindow(batch->listView);
    SendMessageW(batch->listView, WM_SETREDRAW, FALSE, 0);
    batch->listPainted = true;
    batch->rowsPainted = batch->rowsPainted || batch->rowsSincePaint;
    batch->rowsSincePaint = false;
    batch->lastListPaint = now;
  }
}

// The row becomes item `index`, with every cell's text asked of the page. False when the list
// refused it (the row then is still the caller's).
bool InsertResultRow(HWND listView, ResultRow row, int index, int displayCount) {
  LVITEMW item = {};
  item.mask = LVIF_TEXT | LVIF_PARAM | LVIF_STATE;
  item.iItem = index;
  item.iSubItem = 0;
  item.pszText = LPSTR_TEXTCALLBACKW;
  item.lParam = reinterpret_cast<LPARAM>(row);
  const int inserted =
      static_cast<int>(SendMessageW(listView, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
  if (inserted == -1) return false;
  for (int column = 1; column < displayCount; ++column) {
    LVITEMW sub = {};
    sub.iSubItem = column;
    sub.pszText = LPSTR_TEXTCALLBACKW;
    SendMessageW(listView, LVM_SETITEMTEXTW, inserted, reinterpret_cast<LPARAM>(&sub));
  }
  return true;
}

int OnAppendRow(void* context, const FieldTable* table, int results) {
  return AppendResultRow(&static_cast<ScanContext*>(context)->batch, table, results);
}

int OnFlushRows(void* context, bool update, int results, int scanned) {
  ScanContext* scan = static_cast<ScanContext*>(context);
  ResultRowBatch& batch = scan->batch;
  batch.update = update;
  batch.results = results;
  batch.scanned = scanned;
  batch.taken = 0;
  // One trip to the UI thread for the whole batch and the update after it. Should the page be
  // gone, nothing was taken and every row is freed below.
  SendMessageW(scan->resultPage, kRowBatchMessage, 0, reinterpret_cast<LPARAM>(&batch));
  const int taken = batch.taken < 0 ? 0 : (batch.taken > batch.count ? batch.count : batch.taken);
  for (int i = taken; i < batch.count; ++i) FreeResultRow(batch.rows[i], batch.displayCount);
  batch.count = 0;
  return taken;
}

DWORD FinishWithoutScan(DWORD exitCode) {
  RestoreSearchControls();
  SearchStopFlag.store(1);
  return exitCode;
}

}  // namespace

void RestoreSearchControls() {
  HWND page = SearchPageForCommands();
  EnableSearchControls(page, TRUE);
  SetWindowTextW(GetDlgItem(page, IdStartButton), UiText(915));
}

void FreeResultRows() {
  if (!ResultListView) return;
  const int count = static_cast<int>(SendMessageW(ResultListView, LVM_GETITEMCOUNT, 0, 0));
  if (count <= 0) return;
  // With painting on, every item changed below would be invalidated one by one, which costs
  // far more than the change itself in a long list. Nothing may paint a freed row meanwhile
  // anyway; turning painting back on afterwards repaints the list once.
  SendMessageW(ResultListView, WM_SETREDRAW, FALSE, 0);
  for (int i = 0; i < count; ++i) {
    LVITEMW item = {};
    item.mask = LVIF_PARAM | LVIF_STATE;
    item.iItem = i;
    item.iSubItem = 0;
    if (!SendMessageW(ResultListView, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item))) continue;
    ResultRow row = reinterpret_cast<ResultRow>(item.lParam);
    if (!row) continue;
    FreeResultRow(row, TheFieldTable.displayCount);
    LVITEMW cleared = {};
    cleared.mask = LVIF_PARAM;
    cleared.iItem = i;
    cleared.lParam = 0;
    SendMessageW(ResultListView, LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&cleared));
  }
  SendMessageW(ResultListView, WM_SETREDRAW, TRUE, 0);
}

int AppendResultRow(ResultRowBatch* batch, const FieldTable* table, int results) {
  if (batch->count >= kMaxHeldRows) return -1;
  ResultRow row = BuildResultRow(table);
  if (!row) return -1;
  if (batch->count == 0) batch->firstIndex = results;
  batch->rows[batch->count++] = row;
  return 0;
}

int InsertResultRowBatch(ResultRowBatch* batch) {
  batch->taken = 0;
  for (int i = 0; i < batch->count; ++i) {
    if (!InsertResultRow(batch->listView, batch->rows[i], batch->firstIndex + i,
                         batch->displayCount))
      return batch->taken;
    batch->taken = i + 1;
    batch->rowsSincePaint = true;
  }
  if (batch->update) ShowStatusUpdate(batch);
  return batch->taken;
}

DWORD WINAPI SearchWorker(LPVOID) {
  ScanWindows windows;
  windows.searchPage = SearchPageForCommands();
  HWND resultPage = PageWindows[ResultPage];
  windows.statusLine = GetDlgItem(resultPage, IdStatusLine);
  windows.progressBar = GetDlgItem(resultPage, IdProgressBar);
  windows.listView = ResultListView;

  EnableSearchControls(windows.searchPage, FALSE);

  // A path longer than a wide path can hold would be cut into another file's name.
  const size_t pathLength = strnlen(ActiveScanPath, sizeof ActiveScanPath);
  wchar_t widePath[kMaxPathChars] = {};
  if (pathLength > static_cast<size_t>(kMaxUsablePathChars)) return FinishWithoutScan(5);
  SingleByteToWide(ActiveScanPath, pathLength, widePath, kMaxPathChars);

  DatabaseHeader header;
  bool viaGz = false;
  if (OpenDatabase(widePath, &header, &viaGz) != OpenOk) return FinishWithoutScan(5);
  // Replaced since its fields were loaded: reading it with the old layout would list misread
  // bytes, so it counts as a file that no longer opens.
  if (!FieldsStillDescribe(widePath, header)) return FinishWithoutScan(5);

  RecordReader reader;
  const int openFailure = OpenRecordReader(&reader, widePath, header, viaGz);
  if (openFailure != 0) {
    wchar_t text[kStatusTextCapacity];
    FormatText(text, kStatusTextCapacity, UiText(904), {widePath});
    ShowMessageBox(windows.searchPage, text, UiText(901), MB_OK);
    return FinishWithoutScan(static_cast<DWORD>(openFailure));
  }

  const ControlRect& statusRect = RectForLayout(ResultControls[1]);
  MoveWindow(windows.statusLine, statusRect.x, statusRect.y, statusRect.width, statusRect.height,
             TRUE);
  SendMessageW(windows.progressBar, PBM_SETRANGE32, 0, header.recordCount);
  SendMessageW(windows.progressBar, PBM_SETPOS, 0, 0);
  ShowWindow(windows.progressBar, SW_SHOW);
  SetWindowTextW(GetDlgItem(windows.searchPage, IdStartButton), UiText(916));

  ScanContext scan;
  scan.resultPage = resultPage;
  scan.batch.listView = windows.listView;
  scan.batch.statusLine = windows.statusLine;
  scan.batch.progressBar = windows.progressBar;
  scan.batch.displayCount = TheFieldTable.displayCount;
  ScanSink sink;
  sink.context = &scan;
  sink.appendRow = OnAppendRow;
  sink.flushRows = OnFlushRows;
  const ScanOutcome outcome = RunScan(&reader, header, &TheFieldTable, &SearchStopFlag, sink);

  SendMessageW(windows.listView, WM_SETREDRAW, TRUE, 0);
  UpdateWindow(windows.listView);
  RestoreSearchControls();
  CloseRecordReader(&reader);
  ShowWindow(windows.progressBar, SW_HIDE);
  SendMessageW(windows.progressBar, PBM_SETPOS, 0, 0);
  UpdateWindow(windows.progressBar);
  MoveWindow(windows.statusLine, statusRect.x, statusRect.y,
             statusRect.width + kFinalStatusExtraWidth, statusRect.height, FALSE);
  wchar_t text[kStatusTextCapacity];
  FormatText(text, kStatusTextCapacity, UiText(908), {outcome.scanned, outcome.results});
  SetWindowTextW(windows.statusLine, text);
  UpdateWindow(windows.statusLine);
  SearchStopFlag.store(1);
  return outcome.end == ScanRowFailed ? static_cast<DWORD>(-1) : 0;
}

bool StartSearchWorker() {
  HANDLE thread = ThreadStarter ? ThreadStarter(SearchWorker)
                                : CreateThread(nullptr, 0, SearchWorker, nullptr, 0, nullptr);
  if (!thread) return false;
  SetThreadPriority(thread, THREAD_PRIORITY_NORMAL);
  SearchWorkerThread = thread;
  return true;
}

void StopSearchWorkerAndWait() {
  if (!SearchWorkerThread) return;
  SearchStopFlag.store(1);
  // The worker's window calls are carried out on this thread: a plain wait would leave it
  // blocked in one of them forever. Serve the sent messages (and nothing posted) until it ends.
  for (;;) {
    const DWORD state = MsgWaitForMultipleObjectsEx(1, &SearchWorkerThread, 100, QS_SENDMESSAGE,
                                                    MWMO_INPUTAVAILABLE);
    if (state == WAIT_OBJECT_0 || state == WAIT_FAILED) break;
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
  CloseHandle(SearchWorkerThread);
  SearchWorkerThread = nullptr;
}

void SetWorkerThreadStarterForTests(WorkerThreadStarter starter) { ThreadStarter = starter; }

void SetListPaintIntervalForTests(DWORD milliseconds) { ListPaintInterval = milliseconds; }
