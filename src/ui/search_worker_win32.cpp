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

namespace {

constexpr int kStatusTextCapacity = 256;
constexpr int kFinalStatusExtraWidth = 140;

WorkerThreadStarter ThreadStarter = nullptr;

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

void OnStatusUpdate(void* context, int results, int scanned) {
  const ScanWindows* windows = static_cast<const ScanWindows*>(context);
  wchar_t text[kStatusTextCapacity];
  FormatText(text, kStatusTextCapacity, L"%i/%i", {results, scanned});
  SetWindowTextW(windows->statusLine, text);
  UpdateWindow(windows->statusLine);
  SendMessageW(windows->progressBar, PBM_SETPOS, static_cast<WPARAM>(scanned), 0);
  UpdateWindow(windows->progressBar);
  // The list paints only here, once per update, not once per inserted row.
  SendMessageW(windows->listView, WM_SETREDRAW, TRUE, 0);
  UpdateWindow(windows->listView);
  SendMessageW(windows->listView, WM_SETREDRAW, FALSE, 0);
}

int OnAppendRow(void* context, const FieldTable* table, int results) {
  return AppendResultRow(static_cast<const ScanWindows*>(context)->listView, table, results);
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
}

int AppendResultRow(HWND listView, const FieldTable* table, int results) {
  ResultRow row = BuildResultRow(table);
  if (!row) return -1;
  LVITEMW item = {};
  item.mask = LVIF_TEXT | LVIF_PARAM | LVIF_STATE;
  item.iItem = results;
  item.iSubItem = 0;
  item.pszText = LPSTR_TEXTCALLBACKW;
  item.lParam = reinterpret_cast<LPARAM>(row);
  const int index =
      static_cast<int>(SendMessageW(listView, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
  if (index == -1) {
    FreeResultRow(row, table->displayCount);
    return -1;
  }
  for (int column = 1; column < table->displayCount; ++column) {
    LVITEMW sub = {};
    sub.iSubItem = column;
    sub.pszText = LPSTR_TEXTCALLBACKW;
    SendMessageW(listView, LVM_SETITEMTEXTW, index, reinterpret_cast<LPARAM>(&sub));
  }
  return 0;
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

  ScanSink sink;
  sink.context = &windows;
  sink.statusUpdate = OnStatusUpdate;
  sink.appendRow = OnAppendRow;
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
