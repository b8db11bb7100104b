#include "ui/app_globals_win32.h"

HINSTANCE ApplicationInstance = nullptr;
wchar_t ApplicationDirectory[kMaxPathChars] = {};
int LayoutVariant = 0;
int WindowDpi = 96;
HWND MainWindow = nullptr;
HWND TabControl = nullptr;
HWND PageWindows[kPageCount] = {};
int CurrentPage = 0;
LanguageFile TheLanguageFile;
wchar_t CurrentLanguage[kLanguageNameCapacity] = L"RUSSIAN";
UiStrings UiStringTable;
InstalledDatabaseListType InstalledDatabaseList = {};
SettingsKey TheSettingsKey;

FieldTable TheFieldTable;

std::atomic<int> SearchStopFlag{1};

HWND ResultListView = nullptr;
wchar_t MessageBuffer[kMessageBufferCapacity] = {};
