// Module-level state of the user interface, shared by the pages, the worker glue and the
// settings code that fills the pages' controls.
#pragma once
#include <windows.h>

#include <atomic>

#include "db/database_header.h"
#include "db/field_schema.h"
#include "i18n/language_file.h"

enum PageIndex { SearchPage = 0, ResultPage = 1, SetupPage = 2, AboutPage = 3, ExitPage = 4 };
constexpr int kPageCount = 5;
constexpr int kMessageBufferCapacity = 1024;

extern HINSTANCE ApplicationInstance;
extern wchar_t ApplicationDirectory[kMaxPathChars];
extern int LayoutVariant;  // 0 portrait 240 x 295, 1 landscape 640 x 240
extern HWND MainWindow;
extern HWND TabControl;
extern HWND PageWindows[kPageCount];
extern int CurrentPage;
extern LanguageFile TheLanguageFile;
extern wchar_t InstalledListPath[kMaxPathChars];  // ApplicationDirectory + "vostrel.ini"

// The schema of the database selected on the Search page, and its header.
extern FieldTable TheFieldTable;
extern DatabaseHeader SelectedDatabaseHeader;

// Set while no scan runs and when a stop is asked; clear while a scan runs.
extern std::atomic<int> SearchStopFlag;
extern int SelectedDatabaseIndex;
// The worker thread of the current or last search; kept until it has been waited for, so the
// program can tell a stopping worker from none at all. nullptr when there is none.
extern HANDLE SearchWorkerThread;
// The installed entry's single-byte path that the worker scans (set before it starts).
extern char ActiveScanPath[520];

extern HWND ResultListView;
extern wchar_t MessageBuffer[kMessageBufferCapacity];

// True while a worker thread exists, running or stopping. UI thread only.
bool SearchWorkerActive();
// The path of the database that a live worker scans, or nullptr when no worker is alive.
const char* ActiveScanDatabase();

// The Search page window that received the last Start/Stop command: the owner of the worker's
// message box and the parent of the controls it disables and restores.
extern HWND SearchCommandWindow;
// The one-line summary of the criteria of the last search (at most 255 characters).
constexpr int kQuerySummaryCapacity = 256;
extern wchar_t QuerySummary[kQuerySummaryCapacity];
