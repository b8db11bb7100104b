// The walk of Find DB: every valid database file below a root that is not installed yet, in the
// order the file system gives, told to a visitor as it is met. Portable; the Setup page's list,
// the limit warning and the thread the walk runs on live in ui/database_finder_win32.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "db/file_system.h"
#include "settings/installed_databases.h"

constexpr int kMaxFoundDatabases = 100;

// One database the walk found.
struct FoundDatabase {
  InstalledDatabase entry;  // its title and path in Windows-1251, as the installed list keeps them
  std::wstring text;        // "title [records] path", the line the found list shows
};

// What the walk tells, on the thread that walks.
class DatabaseWalkVisitor {
 public:
  virtual ~DatabaseWalkVisitor() = default;
  // Asked before each entry of a directory: true ends the walk there.
  virtual bool Cancelled() = 0;
  virtual void Found(const FoundDatabase& database) = 0;
  // A valid database was met after the limit had been found: the walk leaves that directory
  // (and goes on with the next) when this returns.
  virtual void LimitReached() = 0;
  // The walk lists this directory now: as it enters it (the root first), and again when it
  // comes back to it from one below.
  virtual void InDirectory(const std::wstring& directory) { (void)directory; }
  // Lists a directory for the walk, as ForEachDirectoryEntry does (a test may stand in for the
  // disk here).
  virtual bool ListDirectory(const std::wstring& directory,
                             const std::function<bool(const DirectoryEntry& entry)>& visit) {
    return ForEachDirectoryEntry(directory, visit);
  }
};

struct DatabaseWalkOutcome {
  int found = 0;            // databases told to Found
  bool rootListed = false;  // the root itself could be listed
};

// Walks root and every directory below it, not following links (they could lead back up the
// tree forever or list the same files twice) and passing over the host's /proc, /sys and /dev
// (IsHostSystemFolder). A database is a file named *.zdb, *.fdb or *.db
// (any letter case), that opens as a database, whose path is at most 259 characters, can be
// written in Windows-1251 and is not one of installedPaths. At most limit are told to Found.
DatabaseWalkOutcome WalkForDatabases(const std::wstring& root,
                                     const std::vector<std::wstring>& installedPaths, int limit,
                                     DatabaseWalkVisitor& visitor);

// The root Find DB walks for a program in applicationDirectory: the drive part of that path,
// "C:" for "C:\app\", "\\server\share" for a network path, and "" (the root of the current
// drive) for a path without one.
std::wstring DeviceRootOf(const wchar_t* applicationDirectory);
