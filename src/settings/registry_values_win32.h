// Settings under HKEY_LOCAL_MACHINE\SOFTWARE\Halvane\Vostrel: "Last db", "Language" and the
// result column widths. The key is opened and closed around every single read or write. These
// calls only report what failed; the user interface decides what the user is told.
#pragma once
#include <windows.h>

extern const wchar_t kSettingsKeyPath[];  // L"SOFTWARE\\Halvane\\Vostrel"

// What failed: the registry call and its status code.
struct RegistryFailure {
  enum Call { None, CreateKey, OpenKey, QueryValue, SetValue } call = None;
  LONG code = ERROR_SUCCESS;
};

// Where the settings key lies: below HKEY_LOCAL_MACHINE, or below another root a test points
// it at (its own scratch key, or a handle that makes every open fail). Its owner hands it to
// every call below.
struct SettingsKey {
  HKEY root = HKEY_LOCAL_MACHINE;
};

// Write access: opens or creates the key. False (and failure filled) when it cannot.
bool OpenSettingsKeyForWriting(const SettingsKey& settings, HKEY* key, RegistryFailure* failure);
// "Last db" from a single-byte path. 0 stored; -1 the key could not be opened; -2 the value
// could not be stored (failure names RegSetValueEx and its code).
int StoreLastDatabase(const SettingsKey& settings, const char* singleBytePath,
                      RegistryFailure* failure);
// "Last db" into out (1040 wide characters = 2080 bytes); false (out empty) on failure.
bool LoadLastDatabase(const SettingsKey& settings, wchar_t* out, RegistryFailure* failure);
// "Language" (64 bytes) into out (32 characters); failures leave it empty.
void ReadLanguageSetting(const SettingsKey& settings, wchar_t* out);
// Stores "Language" from the 32-character buffer. 0; -1 the key could not be opened; -2 the
// value could not be stored.
int StoreLanguage(const SettingsKey& settings, const wchar_t* language, RegistryFailure* failure);
// "Col0Width".."Col{count-1}Width"; a width of 3 pixels or less keeps its stored value. False
// when the key could not be opened (nothing is written) or a width could not be stored (the
// others still are; failure names the first that was not).
bool StoreColumnWidths(const SettingsKey& settings, const int* widths, int count,
                       RegistryFailure* failure);
// "Window size" (the client area's width in the low word and its height in the high word, in
// 96-DPI units, so that a size survives a change of screen) and "Window maximized" (0 or 1),
// written when the program closes. False when the key could not be opened.
bool StoreWindowPlacement(const SettingsKey& settings, int width, int height, bool maximized,
                          RegistryFailure* failure);
// Both values; false (nothing set) when either is missing or not a DWORD. The caller judges the
// size.
bool LoadWindowPlacement(const SettingsKey& settings, int* width, int* height, bool* maximized);
