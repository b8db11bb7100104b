// The background scan of one search: the worker thread, its sink into the Result page, and
// the starting, stopping and restoring around it.
#pragma once
#include <windows.h>

#include "ui/result_list_win32.h"

DWORD WINAPI SearchWorker(LPVOID unused);

// Re-enables the Search page's selector, Reset and criteria boxes, and captions Start/Stop
// with "Start".
void RestoreSearchControls();
// Builds the row of the record in the table and keeps it in the batch, which hands it to the
// Result page's store at the next status update. 0 when kept; -1 when the row could not be
// built or the batch is full (nothing then stays).
int AppendResultRow(ResultRowBatch* batch, const FieldTable* table);

// Creates the worker thread; false when the thread could not be created.
bool StartSearchWorker();
// Asks a live worker to stop and waits for it, serving the window calls it makes meanwhile;
// then forgets its handle. Does nothing when there is no worker.
void StopSearchWorkerAndWait();

// Test seam: replaces thread creation (nullptr restores CreateThread).
using WorkerThreadStarter = HANDLE (*)(LPTHREAD_START_ROUTINE procedure);
void SetWorkerThreadStarterForTests(WorkerThreadStarter starter);
