// The background scan of one search and the window work around it: the worker thread, its
// sink into the Result page, and the clean-up operations shared with the pages.
#pragma once
#include <windows.h>

#include "search/scan_loop.h"

DWORD WINAPI SearchWorker(LPVOID unused);

// Re-enables the Search page's selector, Reset and criteria boxes, and captions Start/Stop
// with "Start".
void RestoreSearchControls();
// Frees the row of every item of the result list and clears the items' row references, so a
// later repaint or a second call finds nothing to touch. The items themselves stay.
void FreeResultRows();
// Builds the row of the record in the table and appends it as item `results` of the list.
// 0 when inserted; -1 when the row could not be built or inserted (nothing then stays).
int AppendResultRow(HWND listView, const FieldTable* table, int results);

// Creates the worker thread; false when the thread could not be created.
bool StartSearchWorker();
// Asks a live worker to stop and waits for it, serving the window calls it makes meanwhile;
// then forgets its handle. Does nothing when there is no worker.
void StopSearchWorkerAndWait();

// Test seam: replaces thread creation (nullptr restores CreateThread).
using WorkerThreadStarter = HANDLE (*)(LPTHREAD_START_ROUTINE procedure);
void SetWorkerThreadStarterForTests(WorkerThreadStarter starter);
