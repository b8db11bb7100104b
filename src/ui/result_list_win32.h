// The result list on the UI thread: the store of rows behind the virtual list view, the rows
// and status updates that a scan hands over, and the clearing of both.
//
// The list view holds no items (LVS_OWNERDATA), only a count: row i of the store is item i, and
// the list asks the Result page for the texts of the rows it paints. Everything here runs on
// the UI thread; the worker reaches it only through the messages below, which the platform
// carries out on that thread.
#pragma once
#include <windows.h>

#include "search/result_row.h"
#include "search/scan_loop.h"

// The rows a scan built since its last status update, on their way to the store. A cross-thread
// call costs far more than storing a row, so the worker hands the UI thread each batch, and the
// status update that follows it, in one message (kRowBatchMessage, sent to the Result page with
// the batch as lParam).
struct ResultRowBatch {
  HWND statusLine = nullptr;
  HWND progressBar = nullptr;
  int count = 0;
  ResultRow rows[kMaxHeldRows] = {};
  bool update = false;  // after the rows, the status update with these counts
  int results = 0;
  int scanned = 0;
  int taken = 0;  // set on the UI thread: how many rows now belong to the store
};
constexpr UINT kRowBatchMessage = WM_APP + 1;
// Sent by the worker to the Result page once its final status is set: the list shows every row.
constexpr UINT kScanEndMessage = WM_APP + 2;
// The Result page's timer that shows a scan's last update when no newer one follows soon.
constexpr UINT_PTR kScanRefreshTimer = 1;

// The shortest time between two repaints of the list, the status line and the progress bar
// during a scan. Each update is applied at once, but painting it costs more than making it
// (under Wine a static and a progress bar paint at once, and a list recomputes its scroll bars
// for a new count), and an update comes every 50 rows: far more often than anyone can read.
constexpr DWORD kDefaultListPaintIntervalMs = 100;

// Moves the batch's rows into the store, in order, and when every one went in and update is
// set, makes the status update. Returns (and sets in taken) how many went in; the rest stay
// the sender's.
int TakeResultRowBatch(ResultRowBatch* batch);
// The end of a scan, once its final status is set: the status line paints again, and the list's
// count becomes the store's.
void FinishScanView();
// What the refresh timer does: shows a pending update.
void RefreshScanView();

// Frees every row and empties the list (its count goes to 0 first, so nothing can ask for a
// freed row).
void FreeResultRows();
// How many rows there are, and row i (nullptr outside 0 .. count - 1).
int ResultRowCount();
ResultRow ResultRowAt(int index);
// The store's index, for sorting it in place: rows[0 .. ResultRowCount() - 1].
ResultRow* ResultRowIndex();
// After the rows were reordered: the list shows every stored row and paints them anew.
void ShowAllStoredRows();

// Test seam: the shortest time between two repaints during a scan (0: every update repaints).
void SetListPaintIntervalForTests(DWORD milliseconds);
