// Loading the installed-database list into the Search page's selector (1100), saving it, and
// checking every installed file.
#pragma once
#include <windows.h>

#include "db/database_header.h"

// ApplicationDirectory + "vostrel.ini", set at start-up.
extern wchar_t InstalledListPath[kMaxPathChars];

int LoadInstalledDatabases(HWND page);
// Forgets the list and its path, as at start-up.
void ResetInstalledDatabasesForTests();
// The Search page selector's selection when it names an installed entry, else -1.
int SelectedInstalledEntry(HWND searchPage);
int SaveInstalledDatabases(HWND owner);
int CheckInstalledDatabases(HWND owner);
