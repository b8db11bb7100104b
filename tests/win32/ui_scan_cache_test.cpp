// A repeated search of a compressed database scans the records the last search kept in memory:
// the same rows, status texts and messages as from the file; released at another selection, at
// a schema load and at exit; read anew when the file changed on disk or while it was read.
#include <gtest/gtest.h>
#include <windows.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/scan_cache_win32.h"
#include "ui/search_worker_win32.h"
#include "ui_harness.h"

namespace {

DWORD WorkerExitCode() {
  DWORD code = 12345;
  if (SearchWorkerHandle()) GetExitCodeThread(SearchWorkerHandle(), &code);
  return code;
}

// Everything a search shows: each status text in order, every cell of the list by column, the
// boxes it said, and the worker's exit code.
struct SearchSeen {
  std::vector<std::wstring> texts;
  std::vector<std::vector<std::wstring>> columns;
  std::vector<std::wstring> boxes;
  DWORD exitCode = 0;
  int rows = 0;
};

SearchSeen SearchOnce(MessageBoxRecorder& boxes) {
  boxes.Clear();
  SearchSeen seen;
  {
    StatusLineRecorder status;
    ClickSearch(IdStartButton);
    EXPECT_TRUE(WaitForWorker());
    seen.texts = status.Texts();
  }
  for (int c = 0; c < TheFieldTable.displayCount; ++c) seen.columns.push_back(ListColumn(c));
  for (const RecordedMessageBox& box : boxes.All()) seen.boxes.push_back(box.text);
  seen.exitCode = WorkerExitCode();
  seen.rows = ListItemCount();
  return seen;
}

void ExpectSameSearch(const SearchSeen& got, const SearchSeen& expected) {
  EXPECT_EQ(got.texts, expected.texts);
  EXPECT_EQ(got.columns, expected.columns);
  EXPECT_EQ(got.boxes, expected.boxes);
  EXPECT_EQ(got.exitCode, expected.exitCode);
  EXPECT_EQ(got.rows, expected.rows);
}

std::wstring FinalStatus(int scanned, int results) {
  return L"Scaned: " + std::to_wstring(scanned) + L", results: " + std::to_wstring(results);
}

// The stream after the header, as the application reads it: what the cache holds when it is
// kept.
size_t RecordBytesOf(const std::wstring& path) {
  return ReadGzBytes(path).size() - kShortHeaderSize;
}

bool SetLastWriteTime(const std::wstring& path, const FILETIME& time) {
  HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool set = SetFileTime(file, nullptr, nullptr, &time) != FALSE;
  CloseHandle(file);
  return set;
}

bool LastWriteTime(const std::wstring& path, FILETIME* time) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  *time = data.ftLastWriteTime;
  return true;
}

// An hour later than the file's own time: far beyond any clock's resolution.
bool TouchLater(const std::wstring& path) {
  FILETIME time;
  if (!LastWriteTime(path, &time)) return false;
  ULARGE_INTEGER t;
  t.LowPart = time.dwLowDateTime;
  t.HighPart = time.dwHighDateTime;
  t.QuadPart += 36000000000ull;
  time.dwLowDateTime = t.LowPart;
  time.dwHighDateTime = t.HighPart;
  return SetLastWriteTime(path, time);
}

// The compressed bytes of a city of count numbered records.
// data as a gzip member of stored blocks: its bytes stand in the file as they are, so an edit of
// the data changes only those bytes and the member's trailer.
std::string StoredMember(const std::string& data) {
  z_stream z = {};
  EXPECT_EQ(deflateInit2(&z, 0, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string CompressedCity(int count, const std::string& namePrefix) {
  TempDir dir;
  const std::wstring path = dir.File(L"city.zdb");
  EXPECT_TRUE(
      WriteFixture(path, FixtureOptions(VariantZdb, L"Test"), NumberedRecords(count, namePrefix)));
  return ReadFileBytes(path);
}

}  // namespace

// The second search of each criterion scans memory and shows exactly what the first showed from
// the file, and what a search that keeps nothing shows: every status text of the cadence, every
// row in order, the counts. When the header's record count ends a scan early, the records are
// kept only if the stream had been read to its end (here: all in the reader's first block),
// since another search's updates, and so that end, may come later.
TEST(ScanCache, ASecondSearchListsTheSameRowsAndStatusTextsFromMemory) {
  struct Case {
    const char* what;
    int records;
    int claimed;  // -1: the true count
    const wchar_t* name;
    bool kept;
  };
  const Case cases[] = {
      {"every record", 3000, -1, L"", true},
      {"a prefix", 3000, -1, L"NAME1", true},
      {"no match", 3000, -1, L"NOBODY", true},
      {"one row", 3000, -1, L"NAME2999", true},
      {"the record count ends it, the stream read whole", 1000, 120, L"", true},
      {"the record count ends it early in the stream", 3000, 120, L"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MessageBoxRecorder boxes;
    AppUnderTest app;
    DatabaseWriterOptions options = FixtureOptions(VariantZdb, L"Test");
    if (c.claimed >= 0) {
      options.overrideRecordCount = true;
      options.recordCountOverride = c.claimed;
    }
    ASSERT_TRUE(WriteFixture(app.FilePath(L"city.zdb"), options, NumberedRecords(c.records)));
    app.InstallDatabases({{L"city.zdb", "City"}});
    ASSERT_EQ(app.Start(), 0);
    TypeCriterion(1, c.name);

    SetScanCacheLimitForTests(1);  // keeps nothing: the file's own answer
    const SearchSeen reference = SearchOnce(boxes);
    EXPECT_EQ(ScanCacheBytesForTests(), 0u);
    SetScanCacheLimitForTests(0);
    const SearchSeen first = SearchOnce(boxes);
    EXPECT_EQ(ScanCacheBytesForTests(), c.kept ? RecordBytesOf(app.FilePath(L"city.zdb")) : 0u);
    const SearchSeen second = SearchOnce(boxes);
    EXPECT_EQ(CompressedFileScansForTests(), c.kept ? 2 : 3);
    EXPECT_EQ(CachedScansForTests(), c.kept ? 1 : 0);
    ExpectSameSearch(first, reference);
    ExpectSameSearch(second, reference);
    EXPECT_GE(reference.texts.size(), 3u);
  }
}

// The kept records go when another database is selected, when the schema is loaded again (the
// same database selected anew), and at exit; each next search reads its file again.
TEST(ScanCache, KeptRecordsAreReleasedAtAnotherSelectionAtASchemaLoadAndAtExit) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"a.zdb", NumberedRecords(500, "AAA"), VariantZdb);
  app.WriteDatabase(L"b.zdb", NumberedRecords(700, "BBB"), VariantZdb);
  app.InstallDatabases({{L"a.zdb", "A"}, {L"b.zdb", "B"}});
  ASSERT_EQ(app.Start(), 0);
  SelectDatabase(0);

  SearchOnce(boxes);
  EXPECT_EQ(ScanCacheBytesForTests(), RecordBytesOf(app.FilePath(L"a.zdb")));
  SelectDatabase(1);
  EXPECT_EQ(ScanCacheBytesForTests(), 0u);
  const SearchSeen b = SearchOnce(boxes);
  EXPECT_EQ(b.rows, 700);
  EXPECT_EQ(ListCell(0, 1), L"BBB0");
  EXPECT_EQ(CompressedFileScansForTests(), 2);
  EXPECT_EQ(ScanCacheBytesForTests(), RecordBytesOf(app.FilePath(L"b.zdb")));

  SelectDatabase(1);  // the same one: its schema is loaded again
  EXPECT_EQ(ScanCacheBytesForTests(), 0u);
  ExpectSameSearch(SearchOnce(boxes), b);
  EXPECT_EQ(CompressedFileScansForTests(), 3);
  ExpectSameSearch(SearchOnce(boxes), b);
  EXPECT_EQ(CachedScansForTests(), 1);
  EXPECT_GT(ScanCacheBytesForTests(), 0u);

  SendMessageW(MainWindow, WM_CLOSE, 0, 0);
  EXPECT_EQ(ScanCacheBytesForTests(), 0u);
  EXPECT_EQ(CachedScansForTests(), 1);
}

// A file that changed on disk is read anew, whichever of its size, its last-write time or its
// bytes alone tell of the change; the new records are then kept in their turn.
TEST(ScanCache, AFileChangedOnDiskIsReadAnew) {
  constexpr int kRecords = 2000;
  enum Change { Rewritten, Truncated, ReplacedSameSize, EditedInPlace };
  struct Case {
    const char* what;
    Change change;
  };
  const Case cases[] = {{"rewritten, a later time", Rewritten},
                        {"truncated", Truncated},
                        {"replaced by another of the same size and time", ReplacedSameSize},
                        {"a name edited in the middle, the size and time kept", EditedInPlace}};
  // Two cities whose files have the same size: the shorter ends in bytes after its member,
  // which every reader passes over.
  std::string first = CompressedCity(kRecords, "NAME");
  std::string other = CompressedCity(kRecords, "NOME");
  ASSERT_NE(first, other);
  if (first.size() < other.size()) first.resize(other.size(), '\0');
  if (other.size() < first.size()) other.resize(first.size(), '\0');
  // Two members of stored blocks, the second longer than the 4 KiB compared at each end: a name
  // edited in the first changes neither the size nor those bytes, only the change time.
  TempDir scratch;
  ASSERT_TRUE(WriteFileBytes(scratch.File(L"c.zdb"), first));
  const std::string stream = ReadGzBytes(scratch.File(L"c.zdb"));
  const size_t edited = stream.find("NAME1000");
  ASSERT_NE(edited, std::string::npos);
  std::string changed = stream;
  changed.replace(edited, 8, "NOMA1000");
  const size_t part = stream.size() - 10000;
  const std::string twoMembers =
      StoredMember(stream.substr(0, part)) + StoredMember(stream.substr(part));
  const std::string twoEdited =
      StoredMember(changed.substr(0, part)) + StoredMember(changed.substr(part));
  ASSERT_EQ(twoMembers.size(), twoEdited.size());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MessageBoxRecorder boxes;
    AppUnderTest app;
    const std::wstring path = app.FilePath(L"city.zdb");
    app.Directory().WriteFile(L"city.zdb", c.change == EditedInPlace ? twoMembers : first);
    app.InstallDatabases({{L"city.zdb", "City"}});
    ASSERT_EQ(app.Start(), 0);
    const SearchSeen before = SearchOnce(boxes);
    ASSERT_EQ(before.rows, kRecords);
    ExpectSameSearch(SearchOnce(boxes), before);
    ASSERT_EQ(CachedScansForTests(), 1);

    FILETIME time;
    ASSERT_TRUE(LastWriteTime(path, &time));
    if (c.change == Rewritten) {
      app.Directory().WriteFile(L"city.zdb", first);
      ASSERT_TRUE(TouchLater(path));
    } else if (c.change == Truncated) {
      app.Directory().WriteFile(L"city.zdb", first.substr(0, first.size() / 2));
    } else if (c.change == ReplacedSameSize) {
      app.Directory().WriteFile(L"city.zdb", other);
      ASSERT_TRUE(SetLastWriteTime(path, time));
    } else {
      app.Directory().WriteFile(L"city.zdb", twoEdited);
      ASSERT_TRUE(SetLastWriteTime(path, time));
    }
    const SearchSeen after = SearchOnce(boxes);
    EXPECT_EQ(CompressedFileScansForTests(), 2);
    EXPECT_EQ(CachedScansForTests(), 1);
    if (c.change == Rewritten) {
      ExpectSameSearch(after, before);
    } else if (c.change == Truncated) {
      ASSERT_GT(after.rows, 0);
      EXPECT_LT(after.rows, kRecords);
      EXPECT_EQ(after.boxes.size(), 1u);
      EXPECT_EQ(after.texts.back(), FinalStatus(after.rows, after.rows));
    } else if (c.change == ReplacedSameSize) {
      EXPECT_EQ(after.rows, kRecords);
      EXPECT_EQ(ListCell(0, 1), L"NOME0");
    } else {
      EXPECT_EQ(after.rows, kRecords);
      EXPECT_EQ(ListCell(1000, 1), L"NOMA1000");
    }
    // Kept again, as the file now is.
    ExpectSameSearch(SearchOnce(boxes), after);
    EXPECT_EQ(CachedScansForTests(), 2);
  }
}

// A file that changes while its records are being read keeps nothing: the next search reads it
// again, even when its size and bytes are back as they were.
TEST(ScanCache, AFileChangedWhileItIsReadIsNotKept) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.zdb", NumberedRecords(3000), VariantZdb);
  app.InstallDatabases({{L"city.zdb", "City"}});
  ASSERT_EQ(app.Start(), 0);
  ASSERT_TRUE(StartHeldScan(100));
  ASSERT_TRUE(TouchLater(app.FilePath(L"city.zdb")));
  SetWorkerHoldForTests(0);
  ResumeHeldWorkerForTests();
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(ListItemCount(), 3000);
  EXPECT_EQ(ScanCacheBytesForTests(), 0u);
  const SearchSeen again = SearchOnce(boxes);
  EXPECT_EQ(again.rows, 3000);
  EXPECT_EQ(CompressedFileScansForTests(), 2);
  EXPECT_EQ(CachedScansForTests(), 0);
}

// A damaged or cut file searched again shows exactly what it showed the first time: the rows
// before the damage, the status texts, the message about the damage, the exit code.
TEST(ScanCache, ADamagedFileSearchesAgainExactlyAsTheFirstTime) {
  struct Case {
    const char* what;
    double at;  // where in the file, as a fraction of its size
    bool cut;   // cut there, or one byte flipped there
  };
  const Case cases[] = {{"flipped in the middle", 0.5, false},
                        {"flipped in the trailer", 0.9995, false},
                        {"cut at 60 %", 0.6, true}};
  const std::string whole = CompressedCity(5000, "NAME");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MessageBoxRecorder boxes;
    AppUnderTest app;
    std::string damaged = whole;
    const size_t at = static_cast<size_t>(static_cast<double>(whole.size()) * c.at);
    if (c.cut)
      damaged.resize(at);
    else
      damaged[at] = static_cast<char>(damaged[at] ^ 0x55);
    app.Directory().WriteFile(L"city.zdb", damaged);
    app.InstallDatabases({{L"city.zdb", "City"}});
    ASSERT_EQ(app.Start(), 0);
    SetScanCacheLimitForTests(1);
    const SearchSeen reference = SearchOnce(boxes);
    SetScanCacheLimitForTests(0);
    const SearchSeen first = SearchOnce(boxes);
    const SearchSeen second = SearchOnce(boxes);
    EXPECT_EQ(CachedScansForTests(), 1);
    ExpectSameSearch(first, reference);
    ExpectSameSearch(second, reference);
    // The damage is told once, after the rows inflated before it (in the trailer: all of them).
    EXPECT_EQ(reference.boxes.size(), 1u);
    EXPECT_GT(reference.rows, 0);
    EXPECT_EQ(reference.texts.back(), FinalStatus(reference.rows, reference.rows));
  }
}

// Nothing is kept of a stream that reaches the bound (one byte below it is kept), of a stopped
// scan, or of a plain file, which is read as it stands at every search.
TEST(ScanCache, TheBoundAStopAndAPlainFileKeepNothing) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.zdb", NumberedRecords(3000), VariantZdb);
  app.WriteDatabase(L"city.db", NumberedRecords(3000));
  app.InstallDatabases({{L"city.zdb", "Z"}, {L"city.db", "Plain"}});
  ASSERT_EQ(app.Start(), 0);
  SelectDatabase(0);
  const size_t stream = RecordBytesOf(app.FilePath(L"city.zdb"));

  SetScanCacheLimitForTests(stream);
  const SearchSeen full = SearchOnce(boxes);
  EXPECT_EQ(ScanCacheBytesForTests(), 0u);
  SetScanCacheLimitForTests(stream + 1);
  ExpectSameSearch(SearchOnce(boxes), full);
  EXPECT_EQ(ScanCacheBytesForTests(), stream);
  EXPECT_EQ(CompressedFileScansForTests(), 2);
  SetScanCacheLimitForTests(0);

  SelectDatabase(0);  // released
  ASSERT_TRUE(StartHeldScan(100));
  ClickSearch(IdStartButton);  // Stop
  ASSERT_TRUE(WaitForWorker());
  SetWorkerHoldForTests(0);
  EXPECT_EQ(ListItemCount(), 100);
  EXPECT_EQ(ScanCacheBytesForTests(), 0u);
  ExpectSameSearch(SearchOnce(boxes), full);
  EXPECT_EQ(CompressedFileScansForTests(), 4);

  SelectDatabase(1);
  const SearchSeen plain = SearchOnce(boxes);
  EXPECT_EQ(plain.rows, 3000);
  ExpectSameSearch(SearchOnce(boxes), plain);
  EXPECT_EQ(ScanCacheBytesForTests(), 0u);
  EXPECT_EQ(CompressedFileScansForTests(), 4);
  EXPECT_EQ(CachedScansForTests(), 0);
}
