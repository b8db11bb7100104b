// Loading the installed-database list into the Search page's selector (1100), saving it, and
// checking every installed file.
#pragma once
#include <windows.h>

#include "db/database_header.h"

// ApplicationDirectory + "vostrel.ini", set at start-up.
extern wchar_t InstalledListPath[kMaxPathChars];

// The file an installed entry names, as a whole wide path in out (kMaxPathChars characters),
// made absolute as Windows would for a program started in its own folder, so that a folder
// holding the program and its databases works wherever it is unzipped or moved:
//   "demo\x.db", ".\x.db", "..\x.db"  from the application directory ("." and ".." resolved);
//   "C:x.db"   the same on the application directory's drive, else the root of drive C:;
//   "\x.db"    the root of the application directory's drive;
//   "C:\x.db", "\\server\share\x.db"  as they stand.
// A path naming a device (NamesAWindowsDevice) comes out unresolved, and every open then takes
// it for a missing file. False when the whole path would be longer than a usable path, since
// once cut it would name another file.
bool InstalledPathToWide(const char* singleBytePath, wchar_t* out);

int LoadInstalledDatabases(HWND page);
// Forgets the list and its path, as at start-up.
void ResetInstalledDatabasesForTests();
// The Search page selector's selection when it names an installed entry, else -1.
int SelectedInstalledEntry(HWND searchPage);
int SaveInstalledDatabases(HWND owner);
int CheckInstalledDatabases(HWND owner);
