// Loading the installed-database list into the Search page's selector (1100), saving it, and
// checking every installed file.
#pragma once
#include <windows.h>

#include "db/database_header.h"

// ApplicationDirectory + "vostrel.ini", set at start-up.
extern wchar_t InstalledListPath[kMaxPathChars];

// The file an installed entry names, as a wide path in out (kMaxPathChars characters): a
// relative path (one that starts with neither a drive nor a backslash) is taken relative to the
// application directory, so that a folder holding the program and its databases works wherever
// it is unzipped or moved; an absolute path stands as it is. False when the whole path would be
// longer than a usable path, since once cut it would name another file.
bool InstalledPathToWide(const char* singleBytePath, wchar_t* out);

int LoadInstalledDatabases(HWND page);
// Forgets the list and its path, as at start-up.
void ResetInstalledDatabasesForTests();
// The Search page selector's selection when it names an installed entry, else -1.
int SelectedInstalledEntry(HWND searchPage);
int SaveInstalledDatabases(HWND owner);
int CheckInstalledDatabases(HWND owner);
