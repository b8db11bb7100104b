// Loading the installed-database list into the Search page's selector (1100), saving it, and
// checking every installed file.
#pragma once
#include <windows.h>

int LoadInstalledDatabases(HWND page);
// The Search page selector's selection when it names an installed entry, else -1.
int SelectedInstalledEntry(HWND searchPage);
int SaveInstalledDatabases(HWND owner);
int CheckInstalledDatabases(HWND owner);
