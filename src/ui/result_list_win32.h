// The result list: the store of rows behind the virtual list view, and the hand-over of a
// scan's rows and status updates from the worker to the UI thread.
//
// The list view holds no items (LVS_OWNERDATA), only a count: row i of the store is item i, and
// the list asks the Result page for the texts of the rows it paints. The worker appends rows to
// the store itself and queues its status updates; the UI thread applies the updates in order
// and lets the list show the rows that the status line counts. A round trip between the threads
// at every status update (one per 50 rows) would cost more than the whole scan, so the worker
// never waits for the UI thread except when the queue is full.
#pragma once
#include <windows.h>

#include "db/record_cache.h"
#include "search/result_row.h"
#include "search/result_sort.h"
#include "search/result_store.h"

// Messages to the Result page. Start, drain and end are sent by the worker (it waits for
// them); progress is posted, at most one at a time, when the queue has updates.
constexpr UINT kScanStartMessage = WM_APP + 1;
constexpr UINT kScanProgressMessage = WM_APP + 2;
constexpr UINT kScanDrainMessage = WM_APP + 3;
constexpr UINT kScanEndMessage = WM_APP + 4;
// The Result page's timer that shows a scan's last update when no newer one follows soon.
constexpr UINT_PTR kScanRefreshTimer = 1;

// The shortest time between two repaints of the list, the status line and the progress bar
// during a scan. Each update is applied at once, but painting it costs more than making it
// (under Wine a static and a progress bar paint at once, and a list recomputes its scroll bars
// for a new count), and an update comes every 50 rows: far more often than anyone can read.
constexpr DWORD kDefaultListPaintIntervalMs = 100;

// Worker thread: appends the row of the table's displayed values to the store (false when
// there is no room; nothing of it stays then), and queues a status update, waking the UI
// thread.
bool StoreResultRow(const FieldTable* table);
// Worker thread, around its scan: the store's memory made ready ahead of the rows on a thread
// of its own (result_store.h), and that thread stopped.
// The records a search keeps in memory take their chunks from the same thread while it runs.
void StartRowMemorySupply();
void StopRowMemorySupply();
ChunkSource RowMemoryChunks();
void QueueStatusUpdate(HWND resultPage, int results, int scanned);

// UI thread, on the messages above: a scan begins (the status line stops painting at each
// text); the queued updates are applied in order (each text set, the list's count following
// at most once per paint interval); the timer applies updates queued without a wake and shows
// a pending update; the scan has ended and its final status is set (the status line paints
// again, and the list shows every row).
void StartScanView();
void DrainStatusUpdates();
void RefreshScanView();
void FinishScanView();

// Frees every row and empties the list (its count goes to 0 first, so nothing can ask for a
// freed row), and forgets the order it showed them in. No worker may run.
void FreeResultRows();
// How many rows are stored, and the row the list shows at index i (nullptr outside
// 0 .. count - 1). UI thread.
int ResultRowCount();
ResultRow ResultRowAt(int index);
// The rows a sort may order: while a scan runs, the ones the status line counts (the worker
// appends behind them, and they show in the order they came after the sorted ones); otherwise
// all of them.
int SortableRowCount();
ResultStore* ResultRowStore();
// The order the list shows the rows in: none (file order) until a sort, and again after the
// rows are freed.
const ResultOrder& ShownResultOrder();
// After a sort: the list takes its order (when given), shows what it may and paints it anew.
void ShowSortedRows(ResultOrder* order);
// A sort that found no room keeps the rows where they are but names its column and direction.
void MarkShownOrder(int column, bool descending);

// Work over many of the list's rows on the UI thread (a sort, a select-all, a copy): from this
// many rows on, the list stops painting while the work changes its items (the platform's list
// repaints each item whose state changes, which for millions of items takes minutes), and the
// pointer shows the wait cursor. EndListWork paints the list anew and gives the pointer back.
constexpr int kLongListRows = 20000;
struct ListWork {
  bool active = false;
  HCURSOR previousCursor = nullptr;
};
ListWork BeginListWork(int rows);
void EndListWork(const ListWork& work);
// Lets the status line keep the texts a scan gives it while its painting is off (called when the
// Result page makes the line, before anything else subclasses it).
void HoldStatusTextsDuringScans(HWND statusLine);

// Deselects every row of the list at once, keeping its top row, focused row and selection mark,
// so that the click or key that follows acts as it would have over the selection.
void DropListSelection(HWND list);

// Ctrl+A over a long list. The platform's list selects item by item (a second for two million
// rows under Wine), so the program keeps this one selection itself: the rows listed at Ctrl+A
// are selected, and the list asks for their state (its callback mask holds LVIS_SELECTED
// meanwhile) as it does for their texts. Input that changes the selection ends it first.
void SelectWholeList();
// How many rows, from the first, the program keeps selected as a whole; 0 when the list keeps
// its own selection.
int WholeSelectionRows();
// Ends the whole-list selection: dropped (nothing selected) for input that selects afresh, or
// handed to the list's own keeping (the same rows selected) for input that changes one row of
// the selection or keeps it.
void EndWholeSelection(bool handOver);
// The rows selected, without asking the list item by item.
int SelectedRowCount();

// Test seams: the shortest time between two repaints during a scan (0: every update repaints),
// and a worker that waits for each update to be applied, which makes the list's counts follow
// the updates one by one.
void SetListPaintIntervalForTests(DWORD milliseconds);
void SetSynchronousUpdatesForTests(bool synchronous);
// The list's store refuses rows beyond this many, as if memory had run out (negative: none).
void SetStoredRowLimitForTests(int rows);
// Test seam: the shortest time between two wakes of the UI thread by the worker after a scan's
// first update and first rows (the program's own is 10 ms).
void SetWakeIntervalForTests(DWORD milliseconds);
// Puts the seams back as at start-up.
void ResetResultListForTests();
