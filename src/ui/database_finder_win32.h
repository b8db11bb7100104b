// Finding database files on the device (the drive that holds the program) and installing them.
#pragma once
#include <windows.h>

#include "settings/database_finder.h"
#include "settings/installed_databases.h"

struct FoundDatabaseListType {
  InstalledDatabase entries[kMaxFoundDatabases];
  int count;
  int longest;
};
extern FoundDatabaseListType FoundDatabaseList;

// The root scanned by Find DB, without a trailing backslash ("" for the root of the drive of
// ApplicationDirectory). Tests point it at a device folder of their own.
void SetFinderRootForTests(const wchar_t* root);
// Test seam: when gate is an event, the walker waits after each database it lists until the
// event is set (or the walk is cancelled), so a test paces the walk instead of racing it;
// nullptr lets it run free.
void SetWalkGateForTests(HANDLE gate);

// The action of Find DB: empties the found list and list 1302 and walks the device, listing
// each valid database as it is found. Returns when the walk is over, running the program's
// messages meanwhile; pressed while a walk runs, it cancels that walk and returns at once.
int FindDatabases(HWND setupPage, int notificationCode);
// The action of Install. Its rescan of the device runs while the installation goes on, and
// the call returns when both are done, running the program's messages meanwhile.
int InstallFoundDatabase(HWND setupPage, int notificationCode);

// UI thread. True while a walk of Find DB, or the rescan of an installation, is under way.
bool DatabaseSearchRunning();
// UI thread. Ends a running walk early: what it has listed stays, nothing more is added. Does
// nothing when no walk runs.
void CancelDatabaseSearch();
// UI thread. Cancels a running walk and waits for its thread to end, listing and showing
// nothing more: for shutdown and the test reset. Does nothing when no walk runs.
void StopDatabaseSearchAndWait();
