#include "ui/result_list_win32.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <utility>

#include "i18n/format_text.h"
#include "ui/app_globals_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/pages_win32.h"

namespace {

constexpr int kStatusTextCapacity = 256;
constexpr int kQueueCapacity = 1024;

ResultStore Rows;
// The order the list shows the rows in; the store keeps them in the order they came.
ResultOrder Shown;
// The rows at the order's places, gathered once when it is shown, as the sort moved the rows
// themselves before orders: painting and copying walk the places in turn, and a row number
// would send each to a random place of the store's index first (bench/README.md has what that
// cost Ctrl+C). Null when memory for them ran short; then each place is looked up.
struct FreeShownRows {
  void operator()(ResultRow* rows) const { free(rows); }
};
std::unique_ptr<ResultRow[], FreeShownRows> ShownRows;
DWORD PaintInterval = kDefaultListPaintIntervalMs;
bool SynchronousUpdates = false;

// The status updates a worker made that the UI thread has not applied yet, oldest first.
struct StatusUpdate {
  int results;
  int scanned;
};
struct UpdateQueue {
  SRWLOCK lock = SRWLOCK_INIT;
  StatusUpdate entries[kQueueCapacity];
  int count = 0;
  bool wakePosted = false;
  // The worker's wakes of the UI thread in this scan (see QueueStatusUpdate).
  bool woken = false;      // the first update's wake went
  bool rowsWoken = false;  // the first rows' wake went
  DWORD lastWake = 0;
};
UpdateQueue Queue;

// Waking the UI thread goes through the system's message queue: under Wine a post and the
// taking of it are requests to Wine's server and switch threads, and at one update per 50 rows
// that made tens of thousands of round trips for a city, costing more than the scan. So the
// worker wakes the UI thread at once for a scan's first update and its first rows, and after
// that at most once per this interval, far below the paint interval: the updates between two
// wakes wait in the queue and are applied, in order, at the next one (or at the page's timer,
// should no update follow). What the user sees is painted at most once per paint interval all
// the same, from the same updates.
constexpr DWORD kWakeIntervalMs = 10;
DWORD WakeInterval = kWakeIntervalMs;

// What the list, the status line and the progress bar show of a running scan. Every status
// update sets the status line's text, but with the line's painting off; the count of the list,
// the progress position and the paint of all three follow at most once per paint interval, and
// once more at the end.
struct ScanView {
  bool active = false;
  HWND statusLine = nullptr;
  HWND progressBar = nullptr;
  int listed = 0;        // the count the list was last given
  int counted = 0;       // the rows that the status line counts: the most the list may show
  int scanned = 0;       // the progress position of the last update
  bool pending = false;  // something not yet shown
  bool painted = false;  // shown at least once in this scan
  DWORD lastPaint = 0;
  size_t fittedLength = 0;  // the longest progress text the status line was fitted to
};
ScanView View;

// The progress text of a city ("1883449/1883450") is wider than the status line the handheld
// laid out for it. When a text is wider, the line grows to the right, up to the progress bar,
// and the bar gives up its left part as far as the text needs (its right edge stays). Counts
// only grow during a scan, so the text is measured only when it gets longer.
void FitStatusLine(const wchar_t* text) {
  const size_t length = wcslen(text);
  if (!View.statusLine || length <= View.fittedLength) return;
  View.fittedLength = length;
  HDC dc = GetDC(View.statusLine);
  if (!dc) return;
  HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageW(View.statusLine, WM_GETFONT, 0, 0));
  HGDIOBJ previous = font ? SelectObject(dc, font) : nullptr;
  SIZE extent = {};
  const BOOL measured = GetTextExtentPoint32W(dc, text, static_cast<int>(length), &extent);
  if (previous) SelectObject(dc, previous);
  ReleaseDC(View.statusLine, dc);
  if (!measured) return;

  HWND page = GetParent(View.statusLine);
  RECT line, bar = {};
  GetWindowRect(View.statusLine, &line);
  MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&line), 2);
  const int needed = extent.cx + 2;
  if (needed <= line.right - line.left) return;
  int right = line.left + needed;
  if (View.progressBar) {
    GetWindowRect(View.progressBar, &bar);
    MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&bar), 2);
    const int gap = 2;
    if (right + gap > bar.left) {
      const int left = std::min(right + gap, static_cast<int>(bar.right) - 1);
      MoveWindow(View.progressBar, left, bar.top, bar.right - left, bar.bottom - bar.top, FALSE);
      right = left - gap;
    }
  }
  MoveWindow(View.statusLine, line.left, line.top, right - line.left, line.bottom - line.top,
             FALSE);
}

// The rows selected as a whole by Ctrl+A (0: the list keeps its own selection).
int WholeRows = 0;

int StoredCount() { return Rows.count.load(std::memory_order_acquire); }

void SetListCount(int count) {
  if (!ResultListView) return;
  SendMessageW(ResultListView, LVM_SETITEMCOUNT, static_cast<WPARAM>(count),
               LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  View.listed = count;
}

// Under Wine a window's text lives in Wine's server, so every text set on a window is a round
// trip to it, and a scan of 100,000 rows sets the status line's text 2,000 times (every update
// of the cadence). While a scan runs, with the line's painting off, the texts it is given stop
// here, and the last one goes to the window before each paint and at the end: what anyone
// reads of the line (WM_GETTEXT) is the last text given all the same.
constexpr int kHeldTextCapacity = 1024;
WNDPROC StatusLineDefault = nullptr;
wchar_t HeldStatusText[kHeldTextCapacity] = {};
bool StatusTextHeld = false;

LRESULT CALLBACK StatusLineProc(HWND line, UINT message, WPARAM wParam, LPARAM lParam) {
  if (View.active && line == View.statusLine) {
    switch (message) {
      case WM_SETTEXT:
        lstrcpynW(HeldStatusText, lParam ? reinterpret_cast<const wchar_t*>(lParam) : L"",
                  kHeldTextCapacity);
        StatusTextHeld = true;
        return TRUE;
      case WM_GETTEXTLENGTH:
        if (StatusTextHeld) return lstrlenW(HeldStatusText);
        break;
      case WM_GETTEXT:
        if (StatusTextHeld) {
          if (wParam == 0 || !lParam) return 0;
          wchar_t* out = reinterpret_cast<wchar_t*>(lParam);
          lstrcpynW(out, HeldStatusText, static_cast<int>(wParam));
          return lstrlenW(out);
        }
        break;
      default:
        break;
    }
  }
  return CallWindowProcW(StatusLineDefault, line, message, wParam, lParam);
}

// The last text the line was given goes to the window itself.
void ShowHeldStatusText() {
  if (!StatusTextHeld || !View.statusLine || !StatusLineDefault) return;
  StatusTextHeld = false;
  CallWindowProcW(StatusLineDefault, View.statusLine, WM_SETTEXT, 0,
                  reinterpret_cast<LPARAM>(HeldStatusText));
}

// A static under Wine paints itself the moment its text changes, and that paint costs more than
// everything else an update does; with painting off it only keeps the text.
void SetStatusLinePainting(bool on) {
  if (View.statusLine) SendMessageW(View.statusLine, WM_SETREDRAW, on ? TRUE : FALSE, 0);
}

void PaintScanView() {
  if (View.listed != View.counted) SetListCount(View.counted);
  if (ResultListView) UpdateWindow(ResultListView);
  if (View.progressBar) {
    SendMessageW(View.progressBar, PBM_SETPOS, static_cast<WPARAM>(View.scanned), 0);
    UpdateWindow(View.progressBar);
  }
  if (View.statusLine) {
    ShowHeldStatusText();
    SetStatusLinePainting(true);
    RedrawWindow(View.statusLine, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    SetStatusLinePainting(false);
  }
  View.pending = false;
  View.painted = true;
  View.lastPaint = GetTickCount();
}

void ApplyStatusUpdate(const StatusUpdate& update) {
  wchar_t text[kStatusTextCapacity];
  FormatText(text, kStatusTextCapacity, L"%i/%i", {update.results, update.scanned});
  FitStatusLine(text);
  SetWindowTextW(View.statusLine, text);
  // An update counts exactly the rows stored before it was queued.
  View.counted = update.results;
  View.scanned = update.scanned;
  View.pending = true;
}

}  // namespace

bool StoreResultRow(const FieldTable* table) { return AppendStoredRow(&Rows, table); }

void StartRowMemorySupply() { StartRowBlockSupply(&Rows); }

void StopRowMemorySupply() { StopRowBlockSupply(&Rows); }

ChunkSource RowMemoryChunks() {
  ChunkSource source;
  source.take = TakeSuppliedMemory;
  source.context = &Rows;
  return source;
}

void QueueStatusUpdate(HWND resultPage, int results, int scanned) {
  AcquireSRWLockExclusive(&Queue.lock);
  if (Queue.count == kQueueCapacity) {
    // The UI thread is far behind: wait for it to catch up rather than queue without end.
    ReleaseSRWLockExclusive(&Queue.lock);
    SendMessageW(resultPage, kScanDrainMessage, 0, 0);
    AcquireSRWLockExclusive(&Queue.lock);
  }
  bool wake = false;
  if (Queue.count < kQueueCapacity) {
    Queue.entries[Queue.count++] = {results, scanned};
    const DWORD now = GetTickCount();
    const bool due =
        !Queue.woken || (results > 0 && !Queue.rowsWoken) || now - Queue.lastWake >= WakeInterval;
    wake = !Queue.wakePosted && due;
    if (wake) {
      Queue.wakePosted = true;
      Queue.woken = true;
      Queue.rowsWoken = Queue.rowsWoken || results > 0;
      Queue.lastWake = now;
    }
  }
  ReleaseSRWLockExclusive(&Queue.lock);
  if (SynchronousUpdates) {
    SendMessageW(resultPage, kScanDrainMessage, 0, 0);
  } else if (wake && !PostMessageW(resultPage, kScanProgressMessage, 0, 0)) {
    SendMessageW(resultPage, kScanDrainMessage, 0, 0);
  }
}

void StartScanView() {
  AcquireSRWLockExclusive(&Queue.lock);
  Queue.woken = false;
  Queue.rowsWoken = false;
  ReleaseSRWLockExclusive(&Queue.lock);
  View = ScanView();
  View.active = true;
  HWND page = PageWindows[ResultPage];
  View.statusLine = GetDlgItem(page, IdStatusLine);
  View.progressBar = GetDlgItem(page, IdProgressBar);
  View.listed =
      ResultListView ? static_cast<int>(SendMessageW(ResultListView, LVM_GETITEMCOUNT, 0, 0)) : 0;
  View.counted = View.listed;
  // The bar starts each scan where the page lays it out (the last one may have narrowed it).
  if (View.progressBar) {
    const ControlRect bar =
        RectForLayout(*ControlRowById(ResultControls, kResultControlCount, IdProgressBar));
    MoveWindow(View.progressBar, bar.x, bar.y, bar.width, bar.height, FALSE);
  }
  SetStatusLinePainting(false);
  // Should the updates stall (a slow disk), the last one still shows within an interval.
  if (page) SetTimer(page, kScanRefreshTimer, PaintInterval > 0 ? PaintInterval : 10, nullptr);
}

void DrainStatusUpdates() {
  StatusUpdate taken[kQueueCapacity];
  AcquireSRWLockExclusive(&Queue.lock);
  const int count = Queue.count;
  for (int i = 0; i < count; ++i) taken[i] = Queue.entries[i];
  Queue.count = 0;
  Queue.wakePosted = false;
  ReleaseSRWLockExclusive(&Queue.lock);
  if (!View.active || count == 0) return;
  for (int i = 0; i < count; ++i) ApplyStatusUpdate(taken[i]);
  // The first update shows at once, and so do the first rows; after that, at most one paint
  // per interval, however many updates came in.
  const bool firstRows = View.listed == 0 && View.counted > 0;
  if (!View.painted || firstRows || GetTickCount() - View.lastPaint >= PaintInterval)
    PaintScanView();
}

void RefreshScanView() {
  // Updates the worker queued without a wake (none followed them soon) are applied here.
  DrainStatusUpdates();
  if (View.active && View.pending) PaintScanView();
}

void FinishScanView() {
  if (PageWindows[ResultPage]) KillTimer(PageWindows[ResultPage], kScanRefreshTimer);
  ShowHeldStatusText();
  if (View.active && View.statusLine) {
    SetStatusLinePainting(true);
    RedrawWindow(View.statusLine, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  }
  SetListCount(StoredCount());
  if (ResultListView) UpdateWindow(ResultListView);
  View = ScanView();
}

void FreeResultRows() {
  EndWholeSelection(false);
  // The list forgets its rows before they go, so no paint can ask for a freed one.
  if (ResultListView && IsWindow(ResultListView)) SetListCount(0);
  View.listed = 0;
  View.counted = 0;
  FreeStoredRows(&Rows);
  Shown = ResultOrder();
  ShownRows.reset();
  ForgetResultSort();
}

ListWork BeginListWork(int rows) {
  ListWork work;
  if (rows < kLongListRows) return work;
  work.active = true;
  if (ResultListView) SendMessageW(ResultListView, WM_SETREDRAW, FALSE, 0);
  work.previousCursor = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  return work;
}

void EndListWork(const ListWork& work) {
  if (!work.active) return;
  if (ResultListView) {
    SendMessageW(ResultListView, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(ResultListView, nullptr, TRUE);
  }
  SetCursor(work.previousCursor);
}

void DropListSelection(HWND list) {
  const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  const int top = static_cast<int>(SendMessageW(list, LVM_GETTOPINDEX, 0, 0));
  const int focused =
      static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED));
  const int mark = static_cast<int>(SendMessageW(list, LVM_GETSELECTIONMARK, 0, 0));
  RECT row = {};
  row.left = LVIR_BOUNDS;
  const bool measured = SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(top),
                                     reinterpret_cast<LPARAM>(&row)) != 0;
  // Wine's list deselects an owner-data list item by item, a second for two million rows even
  // with its painting off; emptying the list and giving it its count back drops every selected
  // range at once. A list that keeps its selection over that is deselected the usual way.
  SendMessageW(list, LVM_SETITEMCOUNT, 0, LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  SendMessageW(list, LVM_SETITEMCOUNT, static_cast<WPARAM>(count),
               LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  if (SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0) != 0) {
    LVITEMW none = {};
    none.stateMask = LVIS_SELECTED;
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&none));
  }
  const int newTop = static_cast<int>(SendMessageW(list, LVM_GETTOPINDEX, 0, 0));
  if (measured && newTop != top) {
    SendMessageW(list, LVM_SCROLL, 0, (top - newTop) * (row.bottom - row.top));
  }
  if (focused >= 0 && focused < count) {
    LVITEMW focus = {};
    focus.stateMask = LVIS_FOCUSED;
    focus.state = LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(focused),
                 reinterpret_cast<LPARAM>(&focus));
  }
  SendMessageW(list, LVM_SETSELECTIONMARK, 0, mark);
}

void HoldStatusTextsDuringScans(HWND statusLine) {
  if (!statusLine) return;
  // Every status line is a static: the procedure it had is the class's, the same for each.
  const WNDPROC previous = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(statusLine, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(StatusLineProc)));
  if (previous != StatusLineProc) StatusLineDefault = previous;
}

void SelectWholeList() {
  if (!ResultListView) return;
  if (WholeRows == 0 && SendMessageW(ResultListView, LVM_GETSELECTEDCOUNT, 0, 0) != 0) {
    DropListSelection(ResultListView);
  }
  WholeRows = static_cast<int>(SendMessageW(ResultListView, LVM_GETITEMCOUNT, 0, 0));
  SendMessageW(ResultListView, LVM_SETCALLBACKMASK, WholeRows > 0 ? LVIS_SELECTED : 0, 0);
  InvalidateRect(ResultListView, nullptr, FALSE);
}

int WholeSelectionRows() { return WholeRows; }

void EndWholeSelection(bool handOver) {
  if (WholeRows == 0) return;
  const int rows = WholeRows;
  WholeRows = 0;
  if (!ResultListView || !IsWindow(ResultListView)) return;
  SendMessageW(ResultListView, LVM_SETCALLBACKMASK, 0, 0);
  if (!handOver) {
    InvalidateRect(ResultListView, nullptr, FALSE);
    return;
  }
  const int listed = static_cast<int>(SendMessageW(ResultListView, LVM_GETITEMCOUNT, 0, 0));
  const ListWork work = BeginListWork(rows);
  LVITEMW selected = {};
  selected.stateMask = LVIS_SELECTED;
  selected.state = LVIS_SELECTED;
  if (rows >= listed) {
    SendMessageW(ResultListView, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(&selected));
  } else {
    for (int i = 0; i < rows; ++i) {
      SendMessageW(ResultListView, LVM_SETITEMSTATE, static_cast<WPARAM>(i),
                   reinterpret_cast<LPARAM>(&selected));
    }
  }
  EndListWork(work);
}

int SelectedRowCount() {
  if (WholeRows > 0) return WholeRows;
  return ResultListView ? static_cast<int>(SendMessageW(ResultListView, LVM_GETSELECTEDCOUNT, 0, 0))
                        : 0;
}

int ResultRowCount() { return StoredCount(); }

ResultRow ResultRowAt(int index) {
  if (index < 0 || index >= StoredCount()) return nullptr;
  if (index < Shown.count && ShownRows) return ShownRows[index];
  return StoredRow(&Rows, OrderedRow(Shown, index));
}

int SortableRowCount() {
  const int stored = StoredCount();
  return View.active && View.counted < stored ? View.counted : stored;
}

ResultStore* ResultRowStore() { return &Rows; }

const ResultOrder& ShownResultOrder() { return Shown; }

void ShowSortedRows(ResultOrder* order) {
  if (order) {
    Shown = std::move(*order);
    ShownRows.reset(static_cast<ResultRow*>(
        malloc(static_cast<size_t>(Shown.count > 0 ? Shown.count : 1) * sizeof(ResultRow))));
    if (ShownRows)
      for (int k = 0; k < Shown.count; ++k) ShownRows[k] = StoredRow(&Rows, Shown.rows[k]);
  }
  const int count = SortableRowCount();
  if (View.listed != count) SetListCount(count);
  if (ResultListView) InvalidateRect(ResultListView, nullptr, TRUE);
}

void MarkShownOrder(int column, bool descending) {
  Shown.column = column;
  Shown.descending = descending;
}

void SetListPaintIntervalForTests(DWORD milliseconds) { PaintInterval = milliseconds; }

void SetSynchronousUpdatesForTests(bool synchronous) { SynchronousUpdates = synchronous; }

void SetStoredRowLimitForTests(int rows) { Rows.rowLimit.store(rows); }

void SetWakeIntervalForTests(DWORD milliseconds) { WakeInterval = milliseconds; }

void ResetResultListForTests() {
  EndWholeSelection(false);
  StatusTextHeld = false;
  SetStoredRowLimitForTests(-1);
  PaintInterval = kDefaultListPaintIntervalMs;
  SynchronousUpdates = false;
  WakeInterval = kWakeIntervalMs;
}
