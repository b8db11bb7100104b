// The registry settings (settings/registry_values_win32.h) as the user interface uses them:
// each call tells the user of a failure in a message box owned by the window given.
#pragma once
#include <windows.h>

#include "settings/registry_values_win32.h"

// "RegCreateKeyEx '%s' - %d" with caption "Error" (key 900) for a key that could not be
// created; "Error code - %d" with caption "RegOpenKeyEx:", "RegQueryValueEx:" or, for a value
// the registry could not store, "RegSetValueEx:" otherwise.
void ShowRegistryFailure(HWND owner, const RegistryFailure& failure);

// Write access: opens or creates the key. On failure shows "RegCreateKeyEx '%s' - %d" with
// caption "Error" (key 900) owned by owner, and returns false.
bool OpenSettingsKeyForWrite(HWND owner, HKEY* key);

// "Last db" from a single-byte path. 0 stored; -1 the key could not be opened; -2 the value
// could not be stored. Either failure is shown.
int WriteLastDatabase(HWND owner, const char* singleBytePath);
// "Last db" into out (1040 wide characters = 2080 bytes); messages "Error code - %d" with
// captions "RegOpenKeyEx:" / "RegQueryValueEx:" owned by owner on failure, and out empty.
void ReadLastDatabase(HWND owner, wchar_t* out);
// "Language" (64 bytes) into out (32 characters); failures show nothing and leave it empty.
void ReadLanguageSetting(wchar_t* out);
// Tests point the program's settings at another root (their own scratch key, or a handle that
// makes every open fail); nullptr restores HKEY_LOCAL_MACHINE.
void SetSettingsRootForTests(HKEY root);
// Stores "Language" from the 32-character buffer. 0; -1 the key could not be opened, -2 the
// value could not be stored, each shown.
int WriteLanguageSetting(HWND owner, const wchar_t* language);
// "Col0Width".."Col4Width" from the list view, widths above 3 pixels only; a key that cannot
// be opened or a width that cannot be stored is shown once.
void SaveColumnWidths(HWND listView);
