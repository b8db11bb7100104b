// Finding database files on the device (the drive that holds the program) and installing them.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "db/file_system.h"
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
// Test seam: the walks started from now on list each directory through this call instead of the
// disk's (ForEachDirectoryEntry has its signature), so a test can stand in for a folder that
// takes long or never ends; nullptr lists the disk again.
using WalkListingForTests = bool (*)(const std::wstring& directory,
                                     const std::function<bool(const DirectoryEntry& entry)>& visit);
void SetWalkListingForTests(WalkListingForTests listing);
// Walker threads that have not ended yet, a walker left behind by a stop included.
int WalkersAliveForTests();

// The action of Find DB: empties the found list and list 1302 and walks the device, listing
// each valid database as it is found. Returns when the walk is over, running the program's
// messages meanwhile; pressed while a walk runs, it cancels that walk and returns at once.
int FindDatabases(HWND setupPage, int notificationCode);
// The action of Install. Its rescan of the device runs while the installation goes on, and
// the call returns when both are done, running the program's messages meanwhile.
int InstallFoundDatabase(HWND setupPage, int notificationCode);

// UI thread. True while a walk of Find DB, or the rescan of an installation, is under way.
bool DatabaseSearchRunning();
// UI thread. Ends a running walk at once: what it has listed stays, nothing more is added, and
// the button, the folder line and the cursor come back. A walker in the middle of a call of
// the system (a slow or huge folder, a device) is not waited for: it ends when the call
// returns. Does nothing when no walk runs.
void CancelDatabaseSearch();
// UI thread. The same for the program's close and the test reset, listing and showing nothing
// more; the walker gets 100 ms to end and is then left to the end of the process.
void StopDatabaseSearch();
