// Module-level state of the user interface, shared by the pages, the worker glue and the
// settings code that fills the pages' controls.
#pragma once
#include <windows.h>

#include <atomic>

#include "db/database_header.h"
#include "db/field_schema.h"
#include "i18n/language_file.h"
#include "i18n/ui_strings.h"
#include "settings/installed_databases.h"
#include "settings/registry_values_win32.h"

enum PageIndex { SearchPage = 0, ResultPage = 1, SetupPage = 2, AboutPage = 3, ExitPage = 4 };
constexpr int kPageCount = 5;
constexpr int kMessageBufferCapacity = 1024;

extern HINSTANCE ApplicationInstance;
extern wchar_t ApplicationDirectory[kMaxPathChars];
extern int LayoutVariant;  // 0 portrait 240 x 295, 1 landscape 640 x 240
// The main window's dots per inch. The control tables, the criteria rows and the saved column
// widths are in 96-DPI units (the handheld's); everything on screen is scaled to this.
extern int WindowDpi;
extern HWND MainWindow;
extern HWND TabControl;
extern HWND PageWindows[kPageCount];
extern int CurrentPage;
extern LanguageFile TheLanguageFile;
// The language the program speaks (the "Language" setting, RUSSIAN without one), and the
// message texts in it.
extern wchar_t CurrentLanguage[kLanguageNameCapacity];
extern UiStrings UiStringTable;
// The databases installed in the Search page's selector.
extern InstalledDatabaseListType InstalledDatabaseList;
// Where the program's settings lie in the registry (tests move it: SetSettingsRootForTests).
extern SettingsKey TheSettingsKey;

// The program's own message texts.
inline const wchar_t* UiText(int key) { return UiText(UiStringTable, key); }
inline void ResetUiStrings() { ResetUiStrings(&UiStringTable); }

// The schema of the database selected on the Search page.
extern FieldTable TheFieldTable;

// Set while no scan runs and when a stop is asked; clear while a scan runs.
extern std::atomic<int> SearchStopFlag;

extern HWND ResultListView;
extern wchar_t MessageBuffer[kMessageBufferCapacity];
