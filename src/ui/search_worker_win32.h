// The background scan of one search and the window work around it: the worker thread, its
// sink into the Result page, and the clean-up operations shared with the pages.
#pragma once
#include <windows.h>

#include "search/result_row.h"
#include "search/scan_loop.h"

DWORD WINAPI SearchWorker(LPVOID unused);

// Re-enables the Search page's selector, Reset and criteria boxes, and captions Start/Stop
// with "Start".
void RestoreSearchControls();
// Frees the row of every item of the result list and clears the items' row references, so a
// later repaint or a second call finds nothing to touch. The items themselves stay.
void FreeResultRows();
// The rows a scan built since its last status update, on their way to the list. A cross-thread
// call costs far more than inserting an item, so the worker hands the UI thread each batch, and
// the status update that follows it, in one message (kRowBatchMessage, sent to the Result page
// with the batch as lParam). The list does not paint between updates, so a row listed at the
// update shows exactly as one listed on arrival would.
struct ResultRowBatch {
  HWND listView = nullptr;
  HWND statusLine = nullptr;
  HWND progressBar = nullptr;
  int displayCount = 0;  // strings per row
  int firstIndex = 0;    // the results index of rows[0]; the rest follow
  int count = 0;
  ResultRow rows[kMaxHeldRows] = {};
  bool update = false;  // after the rows, the status update with these counts
  int results = 0;
  int scanned = 0;
  int taken = 0;  // set on the UI thread: how many rows now belong to list items
  // Kept on the UI thread across the batches of one scan: when the list last painted.
  bool listPainted = false;
  bool rowsPainted = false;
  bool rowsSincePaint = false;
  DWORD lastListPaint = 0;
};
// The shortest time between two paints of the list during a scan (the end of a scan always
// paints it).
constexpr DWORD kDefaultListPaintIntervalMs = 100;
constexpr UINT kRowBatchMessage = WM_APP + 1;

// Worker side: builds the row of the record in the table and keeps it in the batch as the row
// of results index `results`. 0 when kept; -1 when the row could not be built or the batch is
// full (nothing then stays).
int AppendResultRow(ResultRowBatch* batch, const FieldTable* table, int results);
// UI thread: inserts the batch's rows as items firstIndex, firstIndex + 1, ... and, when every
// one went in and update is set, makes the status update. Each inserted row passes to its item;
// the rest stay the sender's. Returns (and sets in taken) how many went in.
int InsertResultRowBatch(ResultRowBatch* batch);

// Creates the worker thread; false when the thread could not be created.
bool StartSearchWorker();
// Asks a live worker to stop and waits for it, serving the window calls it makes meanwhile;
// then forgets its handle. Does nothing when there is no worker.
void StopSearchWorkerAndWait();

// Test seam: replaces thread creation (nullptr restores CreateThread).
using WorkerThreadStarter = HANDLE (*)(LPTHREAD_START_ROUTINE procedure);
void SetWorkerThreadStarterForTests(WorkerThreadStarter starter);
// Test seam: the shortest time between two paints of the list during a scan (0: every update
// that follows new rows paints it).
void SetListPaintIntervalForTests(DWORD milliseconds);
