// The databases a server answers for: the files named on its command line and every database
// under its data folders, each known by an id that never shows a path. A folder is walked
// again when the list is asked for (at most once a second), and a file is loaded again when
// its stamp (size, times, number) differs from the one taken when it was loaded.
#pragma once
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "db/file_system.h"
#include "search/search.h"

struct ServedDatabase {
  std::string id;        // a hash of the path: stable while the file is served
  std::wstring path;     // never shown
  std::string fileName;  // UTF-8, the name without its folder
  FileStamp stamp;       // the file when it was loaded
  std::shared_ptr<const Database> database;
};
using ServedPointer = std::shared_ptr<const ServedDatabase>;

struct Catalog {
  std::vector<std::wstring> namedFiles;
  std::vector<std::wstring> dataFolders;
  std::mutex walking;  // one walk of the folders at a time
  std::mutex lock;     // guards what follows
  std::vector<ServedPointer> served;
  std::chrono::steady_clock::time_point walked{};
  bool everWalked = false;
};

// The served databases now, walking the folders first when the last walk is a second old.
std::vector<ServedPointer> ListServedDatabases(Catalog* catalog);
// The database of that id, loaded again when its file changed; null when none is served under
// that id (or its file is gone, or no longer a database).
ServedPointer FindServedDatabase(Catalog* catalog, const std::string& id);

// A file the server would serve, opened as it is now: usable, or why not (the command line's
// words). Its name without its folder, and its id when usable.
struct CheckedFile {
  std::string fileName;
  std::string id;
  bool usable = false;
  std::string problem;
};
// Every file named or found under the folders (as the walks find them), each opened now.
std::vector<CheckedFile> CheckServableFiles(Catalog* catalog);

// The id of a path: 12 hexadecimal digits of a hash of it.
std::string ServedIdOf(const std::wstring& path);
