// Finding database files on the device (the drive that holds the program) and installing them.
#pragma once
#include <windows.h>

#include "settings/installed_databases.h"

constexpr int kMaxFoundDatabases = 100;

struct FoundDatabaseListType {
  InstalledDatabase entries[kMaxFoundDatabases];
  int count;
  int longest;
};
extern FoundDatabaseListType FoundDatabaseList;

// The root scanned by Find DB, without a trailing backslash ("" for the root of the drive of
// ApplicationDirectory). Tests point it at a device folder of their own.
void SetFinderRootForTests(const wchar_t* root);

int FindDatabases(HWND setupPage, int notificationCode);
void ScanDirectory(const wchar_t* directory);
int InstallFoundDatabase(HWND setupPage, int notificationCode);
