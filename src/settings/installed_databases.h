// The installed-database list and its file "vostrel.ini": lines "path;name\r\n" in Windows-1251.
// This is the portable half: the table, the line rules and the file format. Loading into the
// Search page's selector, saving with messages and checking live in installed_databases_win32.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

constexpr int kMaxInstalledDatabases = 50;
constexpr int kDatabaseNameCapacity = 64;
constexpr int kDatabasePathCapacity = 520;
constexpr int kMaxUsablePathChars = 259;
constexpr int kIniLineBuffer = 512;

struct InstalledDatabase {
  char name[kDatabaseNameCapacity];
  char path[kDatabasePathCapacity];
};

// A list of installed databases; its owner (the application's selector, a test) hands it to
// the calls below.
struct InstalledDatabaseListType {
  InstalledDatabase entries[kMaxInstalledDatabases];
  int8_t count;
};

// Copies name and path into entry count of the list and increments it. The caller keeps count
// below 50.
void AppendInstalledDatabase(InstalledDatabaseListType* list, const char* name, const char* path);

// Splits one line as read (at most 511 bytes, line end included) into an entry. Returns false
// for a line that is skipped (6 characters or fewer, no ";", or a path longer than 259).
bool ParseInstalledDatabaseLine(const char* line, InstalledDatabase* entry);

// The bytes of one entry's line: path, ";", name, CR LF.
std::string FormatInstalledDatabaseLine(const InstalledDatabase& entry);

// Reads every usable line of an open file into the list (count reset to 0, at most 50),
// calling visit for each entry added with its index. Returns the number added.
int ReadInstalledDatabases(InstalledDatabaseListType* list, FILE* file,
                           void (*visit)(void* context, int index), void* context);
