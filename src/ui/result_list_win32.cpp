#include "ui/result_list_win32.h"

#include <commctrl.h>

#include "search/result_store.h"
#include "ui/app_globals_win32.h"
#include "ui/format_text_win32.h"

namespace {

constexpr int kStatusTextCapacity = 256;

ResultStore Rows;
DWORD PaintInterval = kDefaultListPaintIntervalMs;

// What the list, the status line and the progress bar show of a running scan. Every status
// update sets the status line's text at once, but with the line's painting off; the count of
// the list, the progress position and the paint of all three follow at most once per paint
// interval, and once more at the end. Rows handed over without an update (the last ones of a
// scan) wait for the final status before the list shows them.
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
};
ScanView View;

void SetListCount(int count) {
  if (!ResultListView) return;
  SendMessageW(ResultListView, LVM_SETITEMCOUNT, static_cast<WPARAM>(count),
               LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  View.listed = count;
}

// A static under Wine paints itself the moment its text changes, and that paint costs more than
// everything else an update does; with painting off it only keeps the text.
void SetStatusLinePainting(bool on) {
  if (View.statusLine) SendMessageW(View.statusLine, WM_SETREDRAW, on ? TRUE : FALSE, 0);
}

void StartScanView(const ResultRowBatch* batch) {
  View = ScanView();
  View.active = true;
  View.statusLine = batch->statusLine;
  View.progressBar = batch->progressBar;
  View.listed =
      ResultListView ? static_cast<int>(SendMessageW(ResultListView, LVM_GETITEMCOUNT, 0, 0)) : 0;
  View.counted = View.listed;
  SetStatusLinePainting(false);
  // Should the updates stall (a slow disk), the last one still shows within an interval.
  if (PageWindows[ResultPage])
    SetTimer(PageWindows[ResultPage], kScanRefreshTimer, PaintInterval > 0 ? PaintInterval : 10,
             nullptr);
}

void PaintScanView() {
  if (View.listed != View.counted) SetListCount(View.counted);
  if (ResultListView) UpdateWindow(ResultListView);
  if (View.progressBar) {
    SendMessageW(View.progressBar, PBM_SETPOS, static_cast<WPARAM>(View.scanned), 0);
    UpdateWindow(View.progressBar);
  }
  if (View.statusLine) {
    SetStatusLinePainting(true);
    RedrawWindow(View.statusLine, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    SetStatusLinePainting(false);
  }
  View.pending = false;
  View.painted = true;
  View.lastPaint = GetTickCount();
}

}  // namespace

int TakeResultRowBatch(ResultRowBatch* batch) {
  if (!View.active) StartScanView(batch);
  batch->taken = 0;
  for (int i = 0; i < batch->count; ++i) {
    if (!AppendStoredRow(&Rows, batch->rows[i])) return batch->taken;
    batch->taken = i + 1;
    View.pending = true;
  }
  if (!batch->update) return batch->taken;

  wchar_t text[kStatusTextCapacity];
  FormatText(text, kStatusTextCapacity, L"%i/%i", {batch->results, batch->scanned});
  SetWindowTextW(View.statusLine, text);
  View.counted = Rows.count;
  View.scanned = batch->scanned;
  View.pending = true;
  // The first update shows at once, and so do the first rows; after that, at most one paint
  // per interval.
  const bool firstRows = View.listed == 0 && View.counted > 0;
  if (!View.painted || firstRows || GetTickCount() - View.lastPaint >= PaintInterval)
    PaintScanView();
  return batch->taken;
}

void RefreshScanView() {
  if (View.active && View.pending) PaintScanView();
}

void FinishScanView() {
  if (PageWindows[ResultPage]) KillTimer(PageWindows[ResultPage], kScanRefreshTimer);
  if (View.active && View.statusLine) {
    SetStatusLinePainting(true);
    RedrawWindow(View.statusLine, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  }
  SetListCount(Rows.count);
  if (ResultListView) UpdateWindow(ResultListView);
  View = ScanView();
}

void FreeResultRows() {
  // The list forgets its rows before they go, so no paint can ask for a freed one.
  if (ResultListView && IsWindow(ResultListView)) SetListCount(0);
  View.listed = 0;
  FreeStoredRows(&Rows);
}

int ResultRowCount() { return Rows.count; }

ResultRow ResultRowAt(int index) {
  if (index < 0 || index >= Rows.count) return nullptr;
  return Rows.rows[index];
}

ResultRow* ResultRowIndex() { return Rows.rows; }

void ShowAllStoredRows() {
  SetListCount(Rows.count);
  if (ResultListView) InvalidateRect(ResultListView, nullptr, TRUE);
}

void SetListPaintIntervalForTests(DWORD milliseconds) { PaintInterval = milliseconds; }
