#include "settings/database_finder.h"

#include <cwchar>

#include "db/codepage.h"
#include "db/database_header.h"
#include "db/file_system.h"

namespace {

// A file path needs a separator and a name of at least four characters after its directory,
// and must stay within the 259 characters every user of a path can take. A directory whose
// path is longer cannot hold a usable file at any depth, so it is not entered at all; this
// also bounds the recursion when links that are not flagged as such make a loop.
constexpr size_t kMaxScannedDirectoryChars = kMaxUsablePathChars - 5;

struct WalkState {
  const std::vector<std::wstring>& installedPaths;
  int limit;
  DatabaseWalkVisitor& visitor;
  DatabaseWalkOutcome outcome;
};

bool IsInstalled(const WalkState& walk, const std::wstring& path) {
  for (const std::wstring& installed : walk.installedPaths) {
    if (path == installed) return true;
  }
  return false;
}

// False to end the directory: the limit was met.
bool VisitFile(WalkState& walk, const std::wstring& name, const std::wstring& path) {
  if (!IsDatabaseFileName(name)) return true;
  if (path.size() > static_cast<size_t>(kMaxUsablePathChars)) return true;
  if (IsInstalled(walk, path)) return true;
  // The installed list keeps single-byte paths; a path with a character that code page
  // cannot hold would be stored as a different path that opens nothing.
  std::string singleBytePath;
  if (!WideToSingleByteStrict(path, &singleBytePath)) return true;
  DatabaseHeader header;
  bool viaGz = false;
  if (OpenDatabase(path.c_str(), &header, &viaGz) != OpenOk) return true;

  if (walk.outcome.found >= walk.limit) {
    walk.visitor.LimitReached();
    return false;
  }
  FoundDatabase found = {};
  WideToSingleByte(header.title, found.entry.name, kDatabaseNameCapacity);
  found.entry.path[singleBytePath.copy(found.entry.path, kDatabasePathCapacity - 1)] = '\0';
  found.text =
      std::wstring(header.title) + L" [" + std::to_wstring(header.recordCount) + L"] " + path;
  ++walk.outcome.found;
  walk.visitor.Found(found);
  return true;
}

// Lists one directory and, recursively, every directory below it; false when the directory
// could not be listed.
bool ScanDirectory(WalkState& walk, const std::wstring& directory) {
  walk.visitor.InDirectory(directory);
  return walk.visitor.ListDirectory(directory, [&](const DirectoryEntry& entry) {
    if (walk.visitor.Cancelled()) return false;
    const std::wstring path = directory + kPathSeparator + entry.name;
    if (!entry.isDirectory) return VisitFile(walk, entry.name, path);
    if (entry.isLink || path.size() > kMaxScannedDirectoryChars || IsHostSystemFolder(path))
      return true;
    ScanDirectory(walk, path);
    walk.visitor.InDirectory(directory);
    return true;
  });
}

}  // namespace

DatabaseWalkOutcome WalkForDatabases(const std::wstring& root,
                                     const std::vector<std::wstring>& installedPaths, int limit,
                                     DatabaseWalkVisitor& visitor) {
  WalkState walk{installedPaths, limit, visitor, {}};
  walk.outcome.rootListed = ScanDirectory(walk, root);
  return walk.outcome;
}

std::wstring DeviceRootOf(const wchar_t* applicationDirectory) {
  const wchar_t* path = applicationDirectory;
  if (path[0] != L'\0' && path[1] == L':') return std::wstring(path, 2);
  if (path[0] == L'\\' && path[1] == L'\\') {
    // Server and share: everything before the fourth backslash.
    int separators = 2;
    size_t i = 2;
    for (; path[i] != L'\0'; ++i) {
      if (path[i] == L'\\' && ++separators == 4) break;
    }
    return std::wstring(path, i);
  }
  return std::wstring();
}
