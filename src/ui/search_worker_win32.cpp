// The search worker's thread: the scan of one search, from opening the database to the final
// status. Everything here runs on the worker; it reaches windows only through calls that the
// platform carries out on the UI thread.
#include "ui/search_worker_win32.h"

#include <commctrl.h>

#include <atomic>
#include <cstring>

#include "db/codepage.h"
#include "db/record_reader.h"
#include "i18n/format_text.h"
#include "i18n/ui_strings.h"
#include "search/search.h"
#include "settings/installed_databases.h"
#include "ui/app_globals_win32.h"
#include "ui/installed_databases_win32.h"
#include "ui/message_box_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/pages_win32.h"
#include "ui/scan_cache_win32.h"
#include "ui/schema_controls_win32.h"

namespace {

constexpr int kStatusTextCapacity = 256;

// The windows one scan talks to; looked up once when the scan starts.
struct ScanWindows {
  HWND searchPage;
  HWND statusLine;
  HWND progressBar;
};

// What the search's start shows, once its records are open, and where its updates go.
struct ScanStart {
  const ScanWindows* windows;
  const DatabaseHeader* header;
  HWND resultPage;
  ControlRect statusRect{};
};

std::atomic<int> HoldAfterRows{0};
std::atomic<bool> Held{false};
std::atomic<bool> Resume{false};

// Holds the worker once it has stored the rows a test asked for, until the stop request or
// until the test lets it go on.
void HoldIfAsked(int stored) {
  const int hold = HoldAfterRows.load();
  if (hold <= 0 || stored != hold) return;
  Resume.store(false);
  Held.store(true);
  while (SearchStopFlag.load() == 0 && !Resume.load()) Sleep(1);
  Held.store(false);
}

// The worker's sink: each row goes straight into the Result page's store, and each status
// update into its queue.
int OnAppendRow(void*, const FieldTable* table, int, int results) {
  if (AppendResultRow(table) != 0) return -1;
  HoldIfAsked(results + 1);
  return 0;
}

void OnStatusUpdate(void* context, int results, int scanned) {
  QueueStatusUpdate(static_cast<ScanStart*>(context)->resultPage, results, scanned);
}

DWORD FinishWithoutScan(DWORD exitCode) {
  RestoreSearchControls();
  SearchStopFlag.store(1);
  return exitCode;
}

// A database that cannot be searched after all (gone, unreadable, other fields since they were
// loaded) ends the search at once, and the user hears why instead of facing an empty list. The
// box follows the restored controls; a stop asked meanwhile (Install, the close box) is the
// user's own and says nothing.
DWORD FinishWithProblem(DWORD exitCode, HWND owner, const wchar_t* path, DatabaseProblem problem) {
  const bool stopAsked = SearchStopFlag.load() != 0;
  FinishWithoutScan(exitCode);
  if (!stopAsked) ShowDatabaseProblem(owner, path, problem);
  return exitCode;
}

// The text that tells of damage that ended a scan early, or 0 for an ending that is no damage
// of the file: the end mark, the header's record count, a stop, a row the store could not take.
int DamageText(ScanEnd end) {
  if (end == ScanShortRead) return TextRecordsCut;
  if (end == ScanBadLength) return TextZeroLength;
  return 0;
}

// Said once everything else of the scan's end is done: the final counts are on the status line,
// the last rows in the list and Start/Stop reads "Start" again.
void TellOfDamage(HWND owner, const wchar_t* path, const ScanOutcome& outcome, bool stopAsked) {
  const int key = DamageText(outcome.end);
  if (key == 0 || stopAsked) return;
  wchar_t text[kMessageBufferCapacity];
  FormatText(text, kMessageBufferCapacity, UiText(key), {path, outcome.scanned});
  ShowMessageBox(owner, text, UiText(TextError), MB_OK);
}

// The status line makes room for the progress bar, which starts empty; Start/Stop reads "Stop".
void ShowScanStarting(const ScanWindows& windows, const ControlRect& statusRect,
                      const DatabaseHeader& header) {
  MoveWindow(windows.statusLine, statusRect.x, statusRect.y, statusRect.width, statusRect.height,
             TRUE);
  SendMessageW(windows.progressBar, PBM_SETRANGE32, 0, header.recordCount);
  SendMessageW(windows.progressBar, PBM_SETPOS, 0, 0);
  ShowWindow(windows.progressBar, SW_SHOW);
  SetWindowTextW(GetDlgItem(windows.searchPage, IdStartButton), UiText(TextStop));
}

// The progress bar goes and the status line, widened over its place, shows the final counts.
void ShowScanEnded(const ScanWindows& windows, const ControlRect& statusRect,
                   const ScanOutcome& outcome) {
  ShowWindow(windows.progressBar, SW_HIDE);
  SendMessageW(windows.progressBar, PBM_SETPOS, 0, 0);
  UpdateWindow(windows.progressBar);
  MoveWindow(windows.statusLine, statusRect.x, statusRect.y,
             statusRect.width + ScaleToDpi(kFinalStatusExtraWidth), statusRect.height, FALSE);
  wchar_t text[kStatusTextCapacity];
  FormatText(text, kStatusTextCapacity, UiText(TextFinalStatus),
             {outcome.scanned, outcome.results});
  SetWindowTextW(windows.statusLine, text);
  UpdateWindow(windows.statusLine);
}

void OnRecordsOpened(void* context) {
  ScanStart& start = *static_cast<ScanStart*>(context);
  start.statusRect =
      RectForLayout(*ControlRowById(ResultControls, kResultControlCount, IdStatusLine));
  ShowScanStarting(*start.windows, start.statusRect, *start.header);
  SendMessageW(start.resultPage, kScanStartMessage, 0, 0);
}

}  // namespace

int AppendResultRow(const FieldTable* table) { return StoreResultRow(table) ? 0 : -1; }

void SetWorkerHoldForTests(int rows) { HoldAfterRows.store(rows); }

bool WorkerHeldForTests() { return Held.load(); }

void ResumeHeldWorkerForTests() { Resume.store(true); }

DWORD WINAPI SearchWorker(LPVOID) {
  ScanWindows windows;
  windows.searchPage = SearchCommandPage();
  HWND resultPage = PageWindows[ResultPage];
  windows.statusLine = GetDlgItem(resultPage, IdStatusLine);
  windows.progressBar = GetDlgItem(resultPage, IdProgressBar);

  EnableSearchControls(windows.searchPage, FALSE);

  // A path longer than a wide path can hold would be cut into another file's name.
  wchar_t widePath[kMaxPathChars] = {};
  if (!InstalledPathToWide(WorkerScanPath(), widePath))
    return FinishWithoutScan(WorkerDatabaseUnusable);

  DatabaseHeader header;
  bool viaGz = false;
  const OpenResult opened = OpenDatabase(widePath, &header, &viaGz);
  if (opened != OpenOk)
    return FinishWithProblem(WorkerDatabaseUnusable, windows.searchPage, widePath,
                             ProblemOfOpening(opened));
  // Replaced since its fields were loaded: reading it with the old layout would list misread
  // bytes, so nothing is scanned until its new fields are loaded.
  if (!FieldsStillDescribe(widePath, header))
    return FinishWithProblem(WorkerDatabaseUnusable, windows.searchPage, widePath,
                             DatabaseFieldsChanged);

  // The search reads the file as the fields on the page describe it, with the criteria typed
  // there. A plain file is read as it stands, held for the scan alone; the records of a
  // compressed one come from memory when the last search kept them and the file is unchanged,
  // otherwise from the file, kept for the next search.
  Database database;
  database.path = widePath;
  database.header = header;
  database.viaGz = viaGz;
  if (!CopyFieldTable(TheFieldTable, &database.schema))
    return FinishWithoutScan(viaGz ? WorkerStreamUnopened : WorkerPlainFileUnopened);
  ScanStart start{&windows, &header, resultPage};
  SearchSink sink;
  sink.context = &start;
  sink.begin = OnRecordsOpened;
  sink.appendRow = OnAppendRow;
  sink.statusUpdate = OnStatusUpdate;
  SearchOptions options;
  options.read = ReadInCalls;
  options.sharing = ShareNothing;
  options.stop = &SearchStopFlag;
  options.pool = ScanCachePool();
  options.chunkSource = RowMemoryChunks();
  StartRowMemorySupply();
  const SearchOutcome searched = Search(database, {CaptureQuery(&TheFieldTable)}, sink, options);
  StopRowMemorySupply();
  if (searched.failure != 0) {
    wchar_t text[kStatusTextCapacity];
    FormatText(text, kStatusTextCapacity, UiText(TextBadDatabase), {widePath});
    ShowMessageBox(windows.searchPage, text, UiText(TextInfo), MB_OK);
    // The search's codes are the worker's: WorkerPlainFileUnopened, WorkerStreamUnopened.
    return FinishWithoutScan(
        static_cast<DWORD>(searched.failure == 3 ? (viaGz ? 2 : 1) : searched.failure));
  }
  if (viaGz) CountCompressedScan(searched.fromPool);
  const ScanOutcome& outcome = searched.scan;
  const bool stopAsked = SearchStopFlag.load() != 0;
  // Every update is on the status line before the end of the scan changes anything.
  SendMessageW(resultPage, kScanDrainMessage, 0, 0);

  RestoreSearchControls();
  ShowScanEnded(windows, start.statusRect, outcome);
  // Only now, with the final counts on the status line, does the list show its last rows: it
  // never shows a row that the status line does not count.
  SendMessageW(resultPage, kScanEndMessage, 0, 0);
  SearchStopFlag.store(1);
  TellOfDamage(windows.searchPage, widePath, outcome, stopAsked);
  return outcome.end == ScanRowFailed ? WorkerRowRefused : WorkerScanned;
}
