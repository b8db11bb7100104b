// The background scan of one search: the worker thread and its sink into the Result page
// (search_worker_win32.cpp, on the worker), and the starting, stopping and restoring around it
// (search_control_win32.cpp, on the UI thread).
#pragma once
#include <windows.h>

#include "ui/result_list_win32.h"

// How the worker thread ended: its exit code.
enum WorkerExit : DWORD {
  WorkerScanned = 0,              // the scan ran to its end, or was stopped
  WorkerPlainFileUnopened = 1,    // the plain file's records could not be opened
  WorkerStreamUnopened = 2,       // the compressed stream's records could not be opened
  WorkerDatabaseUnusable = 5,     // not opened, or no longer described by the loaded fields
  WorkerRowRefused = 0xFFFFFFFF,  // a row found no memory; the rows before it stay
};

DWORD WINAPI SearchWorker(LPVOID unused);

// Re-enables the Search page's selector, Reset and criteria boxes, and captions Start/Stop
// with "Start".
void RestoreSearchControls();
// Enables or disables the Search page's selector, Reset and criteria boxes.
void EnableSearchControls(HWND page, BOOL enable);
// The path the worker scans, set by StartSearchWorker before the thread starts.
const char* WorkerScanPath();
// Builds the row of the record in the table and appends it to the Result page's store. 0 when
// stored; -1 when memory for the row or its place in the store ran out (nothing then stays).
int AppendResultRow(const FieldTable* table);

// Creates the worker thread that scans the installed database at path (single-byte, as the
// installed list holds it); false when the thread could not be created.
bool StartSearchWorker(const char* path);
// The worker thread of the current or last search, kept until it has been waited for, so the
// program can tell a stopping worker from none at all; nullptr when there is none.
HANDLE SearchWorkerHandle();
// True while a worker thread exists, running or stopping. UI thread only.
bool SearchWorkerActive();
// The path of the database that a live worker scans, or nullptr when no worker is alive.
const char* ActiveScanDatabase();
// Forgets the handle of a worker that has ended.
void ForgetEndedSearchWorker();
// Asks a live worker to stop and waits for it, serving the window calls it makes meanwhile;
// then forgets its handle. Does nothing when there is no worker.
void StopSearchWorkerAndWait();

// Test seam: replaces thread creation (nullptr restores CreateThread).
using WorkerThreadStarter = HANDLE (*)(LPTHREAD_START_ROUTINE procedure);
void SetWorkerThreadStarterForTests(WorkerThreadStarter starter);
// Test seam: a stand-in worker thread scanning path (nullptr: none; the caller keeps the handle).
void SetSearchWorkerForTests(HANDLE thread, const char* path);
// Test seam: once a scan has stored this many rows (0: never), its worker holds, with the
// rows stored so far, until it is asked to stop. A test then finds the scan running for as
// long as it needs instead of racing it.
void SetWorkerHoldForTests(int rows);
// True while a worker holds as above.
bool WorkerHeldForTests();
// Lets a held worker go on scanning, as if it had never held: a test changes the file under a
// scan at a moment of its choosing and then sees what the rest of the scan makes of it.
void ResumeHeldWorkerForTests();
// Puts the module back as at start-up, once no worker runs.
void ResetSearchWorkerForTests();
