#include "server/catalog.h"

#include <cstdint>
#include <functional>

#include "cli/command_options.h"
#include "db/codepage.h"
#include "settings/database_finder.h"

namespace {

// Far more than Find DB shows in its list: a server's folder may hold every city's directory.
constexpr int kMaxWalkedDatabases = 10000;

// Collects the paths the walk finds.
class PathCollector : public DatabaseWalkVisitor {
 public:
  std::vector<std::wstring> paths;
  bool Cancelled() override { return false; }
  void Found(const FoundDatabase& database) override {
    paths.push_back(SingleByteToWide(database.entry.path));
  }
  void LimitReached() override {}
};

// Collects, beside what the walk finds, every file the walk meets under a database's name:
// those that do not open as databases are what a check must name.
class CandidateCollector : public PathCollector {
 public:
  std::vector<std::wstring> candidates;
  bool ListDirectory(const std::wstring& directory,
                     const std::function<bool(const DirectoryEntry& entry)>& visit) override {
    return ForEachDirectoryEntry(directory, [&](const DirectoryEntry& entry) {
      if (!entry.isDirectory && IsDatabaseFileName(entry.name))
        candidates.push_back(directory + kPathSeparator + entry.name);
      return visit(entry);
    });
  }
};

std::string FileNameOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"/\\");
  return WideToUtf8(slash == std::wstring::npos ? path : path.substr(slash + 1));
}

// Loads the file at path as it is now; null when it is no database.
ServedPointer LoadServed(const std::wstring& path) {
  auto served = std::make_shared<ServedDatabase>();
  if (!StampFileAt(path.c_str(), &served->stamp)) return nullptr;
  served->database = LoadDatabase(path, nullptr, nullptr, nullptr);
  if (served->database == nullptr) return nullptr;
  served->path = path;
  served->id = ServedIdOf(path);
  served->fileName = FileNameOf(path);
  return served;
}

// What is served at path: the loaded entry when its file is unchanged, else the file loaded
// anew (null when it is no database now).
ServedPointer CurrentServed(const std::vector<ServedPointer>& known, const std::wstring& path) {
  for (const ServedPointer& served : known) {
    if (served->path != path) continue;
    FileStamp now;
    if (StampFileAt(path.c_str(), &now) && SameStamp(now, served->stamp)) return served;
    break;
  }
  return LoadServed(path);
}

// The files named and those the folders hold now.
std::vector<std::wstring> ServablePaths(const Catalog& catalog) {
  std::vector<std::wstring> paths = catalog.namedFiles;
  for (const std::wstring& folder : catalog.dataFolders) {
    PathCollector collector;
    WalkForDatabases(folder, {}, kMaxWalkedDatabases, collector);
    paths.insert(paths.end(), collector.paths.begin(), collector.paths.end());
  }
  return paths;
}

void WalkFolders(Catalog* catalog) {
  std::vector<std::wstring> paths = ServablePaths(*catalog);
  std::vector<ServedPointer> known;
  {
    std::lock_guard<std::mutex> hold(catalog->lock);
    known = catalog->served;
  }
  // Files are loaded outside the lock: searches go on meanwhile.
  std::vector<ServedPointer> served;
  for (const std::wstring& path : paths) {
    bool seen = false;
    for (const ServedPointer& s : served) seen = seen || s->path == path;
    if (seen) continue;
    if (ServedPointer now = CurrentServed(known, path)) served.push_back(now);
  }
  std::lock_guard<std::mutex> hold(catalog->lock);
  catalog->served = served;
  catalog->walked = std::chrono::steady_clock::now();
  catalog->everWalked = true;
}

}  // namespace

std::string ServedIdOf(const std::wstring& path) {
  // FNV-1a over the path's UTF-8 bytes.
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : WideToUtf8(path)) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char text[17];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return std::string(text, 12);
}

std::vector<CheckedFile> CheckServableFiles(Catalog* catalog) {
  std::vector<std::wstring> paths = catalog->namedFiles;
  for (const std::wstring& folder : catalog->dataFolders) {
    CandidateCollector collector;
    WalkForDatabases(folder, {}, kMaxWalkedDatabases, collector);
    paths.insert(paths.end(), collector.candidates.begin(), collector.candidates.end());
  }
  std::vector<CheckedFile> checked;
  std::vector<std::wstring> seen;
  for (const std::wstring& path : paths) {
    bool twice = false;
    for (const std::wstring& s : seen) twice = twice || s == path;
    if (twice) continue;
    seen.push_back(path);
    CheckedFile file;
    file.fileName = FileNameOf(path);
    LoadProblem why;
    file.usable = LoadDatabase(path, nullptr, nullptr, &why) != nullptr;
    if (file.usable)
      file.id = ServedIdOf(path);
    else
      file.problem = DescribeLoadProblem(path, why);
    checked.push_back(file);
  }
  return checked;
}

std::vector<ServedPointer> ListServedDatabases(Catalog* catalog) {
  {
    std::lock_guard<std::mutex> hold(catalog->lock);
    const auto age = std::chrono::steady_clock::now() - catalog->walked;
    if (catalog->everWalked && age < std::chrono::seconds(1)) return catalog->served;
  }
  {
    std::lock_guard<std::mutex> walk(catalog->walking);
    bool fresh = false;
    {
      std::lock_guard<std::mutex> hold(catalog->lock);
      fresh = catalog->everWalked &&
              std::chrono::steady_clock::now() - catalog->walked < std::chrono::seconds(1);
    }
    if (!fresh) WalkFolders(catalog);
  }
  std::lock_guard<std::mutex> hold(catalog->lock);
  return catalog->served;
}

namespace {

ServedPointer FindKnown(Catalog* catalog, const std::string& id) {
  std::lock_guard<std::mutex> hold(catalog->lock);
  for (const ServedPointer& served : catalog->served)
    if (served->id == id) return served;
  return nullptr;
}

}  // namespace

ServedPointer FindServedDatabase(Catalog* catalog, const std::string& id) {
  ServedPointer found = FindKnown(catalog, id);
  // An id not known may be a file added since the last walk (a link shared before it was
  // listed here): the folders are walked again, at most once a second.
  if (found == nullptr) {
    ListServedDatabases(catalog);
    found = FindKnown(catalog, id);
  }
  if (found == nullptr) return nullptr;
  FileStamp now;
  if (StampFileAt(found->path.c_str(), &now) && SameStamp(now, found->stamp)) return found;
  // Changed: load it again (outside the lock) and put it in its place. A file that is no
  // database now (gone, or being written) stays known by its id until the next walk of its
  // folder, so that the next request looks again.
  ServedPointer reloaded = LoadServed(found->path);
  if (reloaded == nullptr) return nullptr;
  std::lock_guard<std::mutex> hold(catalog->lock);
  for (ServedPointer& served : catalog->served)
    if (served->id == id) served = reloaded;
  return reloaded;
}
