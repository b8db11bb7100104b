#include "ui/app_globals_win32.h"

HINSTANCE ApplicationInstance = nullptr;
wchar_t ApplicationDirectory[kMaxPathChars] = {};
int LayoutVariant = 0;
HWND MainWindow = nullptr;
HWND TabControl = nullptr;
HWND PageWindows[kPageCount] = {};
int CurrentPage = 0;
LanguageFile TheLanguageFile;
wchar_t InstalledListPath[kMaxPathChars] = {};

FieldTable TheFieldTable;
DatabaseHeader SelectedDatabaseHeader;

std::atomic<int> SearchStopFlag{1};
int SelectedDatabaseIndex = 0;
HANDLE SearchWorkerThread = nullptr;
char ActiveScanPath[520] = {};

HWND ResultListView = nullptr;
wchar_t MessageBuffer[kMessageBufferCapacity] = {};

bool SearchWorkerActive() {
  return SearchWorkerThread != nullptr &&
         WaitForSingleObject(SearchWorkerThread, 0) == WAIT_TIMEOUT;
}

const char* ActiveScanDatabase() { return SearchWorkerActive() ? ActiveScanPath : nullptr; }

HWND SearchCommandWindow = nullptr;
wchar_t QuerySummary[kQuerySummaryCapacity] = {};
