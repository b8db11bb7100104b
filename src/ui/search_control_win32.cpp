// Starting, stopping and waiting for the search worker, and the Search page's controls around
// a search. Everything here runs on the UI thread (RestoreSearchControls also on the worker's,
// through window calls that the platform carries out on the UI thread).
#include <cstring>

#include "i18n/ui_strings.h"
#include "settings/installed_databases.h"
#include "ui/app_globals_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/pages_win32.h"
#include "ui/search_worker_win32.h"

namespace {

WorkerThreadStarter ThreadStarter = nullptr;
HANDLE WorkerThread = nullptr;
// The installed entry's single-byte path that the worker scans, set before it starts.
char ActiveScanPath[kDatabasePathCapacity] = {};

}  // namespace

void EnableSearchControls(HWND page, BOOL enable) {
  EnableWindow(GetDlgItem(page, IdDatabaseSelector), enable);
  EnableWindow(GetDlgItem(page, IdResetButton), enable);
  for (int j = 0; j < TheFieldTable.searchCount; ++j) {
    EnableWindow(static_cast<HWND>(TheFieldTable.searchMap[j]->editHandle), enable);
  }
}

void RestoreSearchControls() {
  HWND page = SearchCommandPage();
  EnableSearchControls(page, TRUE);
  SetWindowTextW(GetDlgItem(page, IdStartButton), UiText(TextStart));
}

const char* WorkerScanPath() { return ActiveScanPath; }

bool StartSearchWorker(const char* path) {
  lstrcpynA(ActiveScanPath, path, sizeof ActiveScanPath);
  HANDLE thread = ThreadStarter ? ThreadStarter(SearchWorker)
                                : CreateThread(nullptr, 0, SearchWorker, nullptr, 0, nullptr);
  if (!thread) return false;
  SetThreadPriority(thread, THREAD_PRIORITY_NORMAL);
  WorkerThread = thread;
  return true;
}

void StopSearchWorkerAndWait() {
  if (!WorkerThread) return;
  SearchStopFlag.store(1);
  // The worker's window calls are carried out on this thread: a plain wait would leave it
  // blocked in one of them forever. Serve the sent messages (and nothing posted) until it ends.
  for (;;) {
    const DWORD state =
        MsgWaitForMultipleObjectsEx(1, &WorkerThread, 100, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
    if (state == WAIT_OBJECT_0 || state == WAIT_FAILED) break;
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
  CloseHandle(WorkerThread);
  WorkerThread = nullptr;
}

void SetWorkerThreadStarterForTests(WorkerThreadStarter starter) { ThreadStarter = starter; }

HANDLE SearchWorkerHandle() { return WorkerThread; }

bool SearchWorkerActive() {
  return WorkerThread != nullptr && WaitForSingleObject(WorkerThread, 0) == WAIT_TIMEOUT;
}

const char* ActiveScanDatabase() { return SearchWorkerActive() ? ActiveScanPath : nullptr; }

void ForgetEndedSearchWorker() {
  if (!WorkerThread || SearchWorkerActive()) return;
  CloseHandle(WorkerThread);
  WorkerThread = nullptr;
}

void SetSearchWorkerForTests(HANDLE thread, const char* path) {
  WorkerThread = thread;
  lstrcpynA(ActiveScanPath, path ? path : "", sizeof ActiveScanPath);
}

void ResetSearchWorkerForTests() {
  ThreadStarter = nullptr;
  SetWorkerHoldForTests(0);
  ActiveScanPath[0] = '\0';
}
