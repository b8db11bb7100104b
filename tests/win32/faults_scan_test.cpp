// A database file that changes under the application between the schema load and the search,
// or between the search's two opens, and the details of rows whose detail positions lie outside
// the columns. Each scenario runs the whole application in-process.
#include <windows.h>
// commctrl.h needs the base Windows types first.
#include <commctrl.h>
#include <gtest/gtest.h>
#include <winioctl.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "db/file_system.h"
#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/database_finder_win32.h"
#include "ui/message_box_win32.h"
#include "ui/page_controls_win32.h"
#include "ui/search_worker_win32.h"
#include "ui_harness.h"

// In faults_import_patch.cpp.
void* ReplaceImportedFunction(const char* dllName, const char* functionName, void* replacement);

namespace {

DWORD WorkerExitCode() {
  DWORD code = 12345;
  if (SearchWorkerHandle()) GetExitCodeThread(SearchWorkerHandle(), &code);
  return code;
}

// The state of the Search page and the Result page's bar whenever no scan runs.
void ExpectIdle() {
  EXPECT_TRUE(IsWindowEnabled(SearchControl(IdDatabaseSelector)));
  EXPECT_TRUE(IsWindowEnabled(SearchControl(IdResetButton)));
  for (int j = 0; j < TheFieldTable.searchCount; ++j) {
    EXPECT_TRUE(IsWindowEnabled(SearchControl(CriterionEditId(j)))) << j;
  }
  EXPECT_EQ(WindowText(SearchControl(IdStartButton)), L"Start");
  EXPECT_NE(SearchStopFlag.load(), 0);
  EXPECT_FALSE(IsWindowVisible(ResultControl(IdProgressBar)));
}

std::wstring FinalStatus(int scanned, int results) {
  return L"Scaned: " + std::to_wstring(scanned) + L", results: " + std::to_wstring(results);
}

bool AnyScanedStatus(const std::vector<std::wstring>& texts) {
  for (const std::wstring& text : texts) {
    if (text.rfind(L"Scaned: ", 0) == 0) return true;
  }
  return false;
}

// Each message box with what the window showed when it came: the status line's text, the
// caption of Start/Stop and whether the selector was usable again. Stands in for
// MessageBoxRecorder (only one hook lives at a time); boxes may come from the worker.
struct BoxMoment {
  HWND owner;
  std::wstring text;
  std::wstring caption;
  std::wstring status;
  std::wstring startCaption;
  bool selectorEnabled;
};
std::mutex g_momentsLock;
std::vector<BoxMoment> g_moments;

int RecordMoment(HWND owner, const wchar_t* text, const wchar_t* caption, UINT) {
  BoxMoment moment = {owner,
                      text,
                      caption,
                      WindowText(ResultControl(IdStatusLine)),
                      WindowText(SearchControl(IdStartButton)),
                      IsWindowEnabled(SearchControl(IdDatabaseSelector)) != FALSE};
  std::lock_guard<std::mutex> hold(g_momentsLock);
  g_moments.push_back(moment);
  return IDOK;
}

class BoxMoments {
 public:
  BoxMoments() {
    Clear();
    SetMessageBoxHook(RecordMoment);
  }
  ~BoxMoments() { SetMessageBoxHook(nullptr); }
  BoxMoments(const BoxMoments&) = delete;
  BoxMoments& operator=(const BoxMoments&) = delete;
  std::vector<BoxMoment> All() const {
    std::lock_guard<std::mutex> hold(g_momentsLock);
    return g_moments;
  }
  void Clear() {
    std::lock_guard<std::mutex> hold(g_momentsLock);
    g_moments.clear();
  }
};

// One box, captioned "Error" and owned by the Search page, that came once the status line showed
// `status` and Start/Stop read "Start" again with the selector usable.
void ExpectToldOnce(const BoxMoments& boxes, const std::wstring& text, const std::wstring& status) {
  const std::vector<BoxMoment> all = boxes.All();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].text, text);
  EXPECT_EQ(all[0].caption, L"Error");
  EXPECT_EQ(all[0].owner, PageWindows[SearchPage]);
  EXPECT_EQ(all[0].status, status) << "the final status stands before the box";
  EXPECT_EQ(all[0].startCaption, L"Start");
  EXPECT_TRUE(all[0].selectorEnabled);
}

std::wstring RecordsCut(const std::wstring& path, int after) {
  return path + L": the records end without their end mark after record " + std::to_wstring(after);
}

// Where each record of a plain ".db" file begins and how long it is: the first length byte
// follows the 29-byte header, and each record's last byte is the length of the next one.
struct RecordSpan {
  size_t start;
  size_t length;
};
std::vector<RecordSpan> PlainRecordSpans(const std::string& bytes) {
  std::vector<RecordSpan> spans;
  size_t position = 29;
  if (bytes.size() <= position) return spans;
  size_t length = static_cast<unsigned char>(bytes[position++]);
  while (length != 0xFF && length != 0 && position + length <= bytes.size()) {
    spans.push_back({position, length});
    position += length;
    length = static_cast<unsigned char>(bytes[position - 1]);
  }
  return spans;
}

// ---- A file that another program takes between the search's two opens.
//
// The search opens the database once for its header and once more for its records. To make the
// second open fail deterministically, this program's own import of the open call is pointed at
// a stand-in for the duration of a test: it lets the first opens of one file through and then
// answers as Windows does for a file someone else holds (a sharing violation).

// Replaces one imported function while it lives.
class ImportReplacement {
 public:
  ImportReplacement(const char* dllName, const char* functionName, void* replacement)
      : dllName_(dllName),
        functionName_(functionName),
        original_(ReplaceImportedFunction(dllName, functionName, replacement)) {}
  ~ImportReplacement() {
    if (original_) ReplaceImportedFunction(dllName_, functionName_, original_);
  }
  ImportReplacement(const ImportReplacement&) = delete;
  ImportReplacement& operator=(const ImportReplacement&) = delete;
  bool Active() const { return original_ != nullptr; }

 private:
  const char* dllName_;
  const char* functionName_;
  void* original_;
};

// The file the stand-ins watch, and how many of its opens still go through.
std::wstring g_heldPath;
std::atomic<int> g_opensLeft{0};
std::atomic<int> g_opensRefused{0};

bool TakesHeldFile(const wchar_t* path) {
  if (!path || g_heldPath.empty() || _wcsicmp(path, g_heldPath.c_str()) != 0) return false;
  if (g_opensLeft.fetch_sub(1) > 0) return false;
  g_opensRefused.fetch_add(1);
  return true;
}

HANDLE WINAPI HeldCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE templateFile) {
  if (TakesHeldFile(path)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  using Real = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  static const Real real = reinterpret_cast<Real>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateFileW")));
  return real(path, access, share, security, disposition, flags, templateFile);
}

// zlib opens wide paths through the C runtime.
int __cdecl HeldWopen(const wchar_t* path, int flags, int mode) {
  if (TakesHeldFile(path)) {
    errno = EACCES;
    return -1;
  }
  using Real = int(__cdecl*)(const wchar_t*, int, int);
  static const Real real = reinterpret_cast<Real>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"msvcrt.dll"), "_wopen")));
  return real(path, flags, mode);
}

// While it lives, `passing` more opens of the file succeed and every later one is refused.
class HeldFile {
 public:
  HeldFile(const std::wstring& path, int passing)
      : createFile_("KERNEL32.dll", "CreateFileW", reinterpret_cast<void*>(HeldCreateFileW)),
        wopen_("msvcrt.dll", "_wopen", reinterpret_cast<void*>(HeldWopen)) {
    g_opensRefused.store(0);
    g_opensLeft.store(passing);
    g_heldPath = path;
  }
  ~HeldFile() { g_heldPath.clear(); }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  bool Active() const { return createFile_.Active() && wopen_.Active(); }
  int Refused() const { return g_opensRefused.load(); }

 private:
  ImportReplacement createFile_;
  ImportReplacement wopen_;
};

const std::vector<FieldDescriptor>& CodeAndNote() {
  static const std::vector<FieldDescriptor> fields = {MakeField("Code", 1, 0x04, 0, 1, 1, 1, 10),
                                                      MakeField("Note", 1, 0x02, 0, 0, 2, 2, 10)};
  return fields;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Cut after installation

TEST(FaultsScan, DatabaseCutInsideARecordListsTheRecordsBeforeTheCut) {
  BoxMoments boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", NumberedRecords(2500));
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);
  ASSERT_EQ(TheFieldTable.searchCount, 5) << "the schema is loaded before the file changes";
  const std::wstring path = app.FilePath(L"city.db");

  std::string whole;
  ASSERT_TRUE(app.Directory().ReadFile(L"city.db", &whole));
  const std::vector<RecordSpan> spans = PlainRecordSpans(whole);
  ASSERT_EQ(spans.size(), 2500u);
  // Record 1001's last byte, the length of the next record, set to 0.
  std::string zeroLength = whole;
  zeroLength[spans[1000].start + spans[1000].length - 1] = '\0';
  // The header says 1000 records of the 2500 that follow.
  std::string fewerInHeader = whole;
  fewerInHeader[0] = static_cast<char>(1000 & 0xFF);
  fewerInHeader[1] = static_cast<char>(1000 >> 8);

  struct Cut {
    const char* what;
    std::string bytes;
    int scanned;        // the records the final status counts
    int records;        // the rows listed
    std::wstring told;  // the box's text; empty: no box
  };
  const Cut cuts[] = {
      {"inside record 1501", whole.substr(0, spans[1500].start + 3), 1500, 1500,
       RecordsCut(path, 1500)},
      // Only the last byte of record 2001 is missing: it is that record's end and the next
      // record's length, so the record goes with it.
      {"one byte short of record 2001", whole.substr(0, spans[2000].start + spans[2000].length - 1),
       2000, 2000, RecordsCut(path, 2000)},
      {"inside the very first record", whole.substr(0, spans[0].start + 1), 0, 0,
       RecordsCut(path, 0)},
      {"right after the first length byte", whole.substr(0, spans[0].start), 0, 0,
       RecordsCut(path, 0)},
      {"a record length of 0 after record 1001", zeroLength, 1001, 1001,
       path + L": a record length of 0 after record 1001 ends the scan"},
      // The endings that are no damage say nothing.
      {"the end mark", whole, 2500, 2500, L""},
      {"more records than the header's count", fewerInHeader, 1050, 1049, L""},
  };
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(cut.what);
    boxes.Clear();
    app.Directory().WriteFile(L"city.db", cut.bytes);
    StatusLineRecorder status;
    ClickSearch(IdStartButton);
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(WorkerExitCode(), 0u);
    ASSERT_EQ(ListItemCount(), cut.records);
    if (cut.records > 0) {
      EXPECT_EQ(ListCell(0, 1), L"NAME0");
      EXPECT_EQ(ListCell(cut.records - 1, 1), L"NAME" + std::to_wstring(cut.records - 1));
    }
    ASSERT_FALSE(status.Texts().empty());
    const std::wstring final = FinalStatus(cut.scanned, cut.records);
    EXPECT_EQ(status.Texts().back(), final) << "the status line says what it always said";
    ExpectIdle();
    if (cut.told.empty()) {
      EXPECT_EQ(boxes.All().size(), 0u);
    } else {
      ExpectToldOnce(boxes, cut.told, final);
    }
  }

  // With a criterion the final status still counts every record read before the cut.
  boxes.Clear();
  app.Directory().WriteFile(L"city.db", whole.substr(0, spans[1500].start + 3));
  TypeCriterion(1, L"NAME149");  // NAME149 and NAME1490 to NAME1499 before the cut
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(ListItemCount(), 11);
  EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), FinalStatus(1500, 11));
  ExpectIdle();
  ExpectToldOnce(boxes, RecordsCut(path, 1500), FinalStatus(1500, 11));
}

// A stop is the user's own ending, also on a damaged file: the scan held after 100 rows of a
// file cut at record 1501 is stopped, and nothing is said.
TEST(FaultsScan, StopOnADamagedDatabaseSaysNothing) {
  BoxMoments boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", NumberedRecords(2500));
  app.InstallDatabases({{L"city.db", "City"}});
  ASSERT_EQ(app.Start(), 0);
  std::string whole;
  ASSERT_TRUE(app.Directory().ReadFile(L"city.db", &whole));
  app.Directory().WriteFile(L"city.db", whole.substr(0, PlainRecordSpans(whole)[1500].start + 3));

  ASSERT_TRUE(StartHeldScan(100));
  ClickSearch(IdStartButton);  // Stop
  ASSERT_TRUE(WaitForWorker());
  SetWorkerHoldForTests(0);
  EXPECT_EQ(ListItemCount(), 100);
  EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), FinalStatus(100, 100));
  ExpectIdle();
  EXPECT_EQ(boxes.All().size(), 0u);
}

TEST(FaultsScan, CompressedDatabaseCutShortListsARunOfLeadingRows) {
  constexpr int kRecords = 20000;
  BoxMoments boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.zdb", NumberedRecords(kRecords), VariantZdb);
  app.InstallDatabases({{L"city.zdb", "City"}});
  ASSERT_EQ(app.Start(), 0);
  ASSERT_EQ(TheFieldTable.searchCount, 5);

  std::string whole;
  ASSERT_TRUE(app.Directory().ReadFile(L"city.zdb", &whole));
  app.Directory().WriteFile(L"city.zdb", whole.substr(0, whole.size() * 6 / 10));

  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(WorkerExitCode(), 0u);
  // zlib hands over what it decoded before the cut; how much of it depends on its buffers, so
  // only the shape is fixed: some rows, not all, in file order, and the status counts them.
  const int rows = ListItemCount();
  ASSERT_GT(rows, 0);
  ASSERT_LT(rows, kRecords);
  EXPECT_EQ(ListCell(rows - 1, 1), L"NAME" + std::to_wstring(rows - 1));
  EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), FinalStatus(rows, rows));
  ExpectIdle();
  ExpectToldOnce(boxes, RecordsCut(app.FilePath(L"city.zdb"), rows), FinalStatus(rows, rows));
}

// ---------------------------------------------------------------------------------------------
// Selected although it cannot be searched

// A database of the list that cannot be searched says why when it is selected, and again at
// Start, which scans nothing; before, the page silently showed no criteria boxes and Start an
// empty list.
TEST(FaultsScan, SelectedDatabaseThatCannotBeUsedSaysWhy) {
  struct Unusable {
    const char* what;
    std::function<void(AppUnderTest&, const std::wstring& name)> make;
    const wchar_t* name;
    std::wstring told;  // the text before the path
  };
  const Unusable cases[] = {
      {"no such file", [](AppUnderTest&, const std::wstring&) {}, L"gone.db",
       L"No such db file - "},
      {"a folder",
       [](AppUnderTest& app, const std::wstring& name) {
         CreateDirectoryW(app.FilePath(name).c_str(), nullptr);
       },
       L"folder.db", L"No such db file - "},
      {"too short for a header",
       [](AppUnderTest& app, const std::wstring& name) {
         app.Directory().WriteFile(name, "short");
       },
       L"short.db", L"Not a Vostrel db file - "},
      {"a version of no database of ours",
       [](AppUnderTest& app, const std::wstring& name) {
         app.WriteDatabase(name, SampleRecords());
         std::string bytes;
         app.Directory().ReadFile(name, &bytes);
         bytes[4] = 12;
         app.Directory().WriteFile(name, bytes);
       },
       L"version.db", L"Not a Vostrel db file - "},
      {"descriptors that cannot be used",
       [](AppUnderTest& app, const std::wstring& name) {
         // No eleventh criterion box exists.
         app.WriteDatabase(name, {{"X"}}, VariantFdb, {MakeField("CODE", 1, 0, 0, 11, 1, 1, 10)});
       },
       L"fields.fdb", L"Unusable field schema in db file - "},
      // Windows opens a device for these names (for COM1 and AUX a serial port, whose open
      // waits for ever under Wine: not tried here); never opened, they are missing files.
      {"the console's name", [](AppUnderTest&, const std::wstring&) {}, L"CON.db",
       L"No such db file - "},
      {"the null device's name in a folder",
       [](AppUnderTest& app, const std::wstring&) {
         CreateDirectoryW(app.FilePath(L"sub").c_str(), nullptr);
       },
       L"sub\\Nul.zdb", L"No such db file - "},
  };
  for (const Unusable& unusable : cases) {
    SCOPED_TRACE(unusable.what);
    MessageBoxRecorder boxes;
    AppUnderTest app;
    app.WriteDatabase(L"good.db", SampleRecords());
    unusable.make(app, unusable.name);
    app.InstallDatabases({{L"good.db", "Good"}, {unusable.name, "Bad"}});
    ASSERT_EQ(app.Start(), 0);
    ASSERT_EQ(boxes.Count(), 0u);
    const std::wstring told = unusable.told + app.FilePath(unusable.name);

    SelectDatabase(1);
    EXPECT_EQ(TheFieldTable.searchCount, 0);
    ASSERT_EQ(boxes.Count(), 1u);
    EXPECT_EQ(boxes.At(0).text, told);
    EXPECT_EQ(boxes.At(0).caption, L"Error");
    EXPECT_EQ(boxes.At(0).owner, PageWindows[SearchPage]);

    ClickSearch(IdStartButton);
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(ListItemCount(), 0);
    ExpectIdle();
    ASSERT_EQ(boxes.Count(), 2u);
    EXPECT_EQ(boxes.At(1).text, told);

    // A usable database selected next says nothing and searches.
    SelectDatabase(0);
    ClickSearch(IdStartButton);
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(ListItemCount(), 3);
    EXPECT_EQ(boxes.Count(), 2u);
  }
}

// A plain file that another program holds for itself cannot be opened: selecting it says so.
TEST(FaultsScan, SelectedDatabaseHeldByAnotherProgramSaysItCannotBeOpened) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"good.db", SampleRecords());
  app.WriteDatabase(L"held.db", SampleRecords());
  app.InstallDatabases({{L"good.db", "Good"}, {L"held.db", "Held"}});
  ASSERT_EQ(app.Start(), 0);
  ExclusiveFile held;
  ASSERT_TRUE(ExclusiveOpen(app.FilePath(L"held.db").c_str(), &held));
  SelectDatabase(1);
  ExclusiveClose(&held);
  ASSERT_EQ(boxes.Count(), 1u);
  EXPECT_EQ(boxes.At(0).text, L"Could not open db file - " + app.FilePath(L"held.db"));
  EXPECT_EQ(boxes.At(0).caption, L"Error");
}

// ---------------------------------------------------------------------------------------------
// Replaced after the schema load

// A file replaced by one of the same name with other fields must not be read with the fields
// loaded earlier (rows of misread bytes under the old columns): nothing is scanned, no rows,
// the controls come back, and the user is told to select it again, which loads its new fields.
TEST(FaultsScan, DatabaseReplacedByOneWithOtherFieldsIsNotDecodedWithTheOldOnes) {
  struct Replacement {
    const char* what;
    std::vector<FieldDescriptor> fields;
    std::vector<DatabaseRecord> records;
  };
  const Replacement replacements[] = {
      {"three fields instead of two",
       {MakeField("Code", 1, 0x04, 0, 1, 1, 1, 10), MakeField("Note", 1, 0x02, 0, 0, 2, 2, 10),
        MakeField("More", 1, 0x02, 0, 0, 3, 3, 10)},
       {{"AB", "CD", "EF"}, {"GH", "IJ", "KL"}}},
      {"the same count with an integer where text was",
       {MakeField("Code", 2, 0x04, 4, 1, 1, 1, 10), MakeField("Note", 1, 0x02, 0, 0, 2, 2, 10)},
       {{"123456", "CD"}, {"7", "IJ"}}},
      {"the same types with other lengths and positions",
       {MakeField("Note", 1, 0x02, 0, 0, 1, 1, 40), MakeField("Code", 1, 0x04, 0, 1, 2, 2, 3)},
       {{"A LONGER NOTE THAN BEFORE", "XY"}}},
  };
  for (const Replacement& replacement : replacements) {
    SCOPED_TRACE(replacement.what);
    MessageBoxRecorder boxes;
    AppUnderTest app;
    app.WriteDatabase(L"data.fdb", {{"AB", "CD"}, {"EF", "GH"}}, VariantFdb, CodeAndNote());
    app.InstallDatabases({{L"data.fdb", "Data"}});
    ASSERT_EQ(app.Start(), 0);
    ASSERT_EQ(ListHeaders(), (std::vector<std::wstring>{L"Code", L"Note"}));

    app.WriteDatabase(L"data.fdb", replacement.records, VariantFdb, replacement.fields);
    StatusLineRecorder status;
    ClickSearch(IdStartButton);
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(WorkerExitCode(), 5u) << "ends as for a file that no longer opens";
    EXPECT_EQ(ListItemCount(), 0);
    EXPECT_FALSE(AnyScanedStatus(status.Texts()));
    EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), L"Query: ");
    ExpectIdle();
    ASSERT_EQ(boxes.Count(), 1u);
    EXPECT_EQ(boxes.At(0).text,
              L"Db file " + app.FilePath(L"data.fdb") + L" has other fields now: select it again");
    EXPECT_EQ(boxes.At(0).caption, L"Error");
    EXPECT_EQ(boxes.At(0).owner, PageWindows[SearchPage]);

    SelectDatabase(0);
    EXPECT_EQ(ListHeaders().size(), replacement.fields.size());
    EXPECT_EQ(boxes.Count(), 1u);
  }
}

// The counterpart that must keep working once the fault above is mended: a database updated in
// place with the same fields (more records, another title) is searched as it now stands.
TEST(FaultsScan, DatabaseReplacedByOneWithTheSameFieldsIsSearchedAsItNowStands) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"data.fdb", {{"AB", "CD"}}, VariantFdb, CodeAndNote());
  app.InstallDatabases({{L"data.fdb", "Data"}});
  ASSERT_EQ(app.Start(), 0);

  DatabaseWriterOptions options = FixtureOptions(VariantFdb, L"Updated");
  options.version = 12;
  options.descriptors = CodeAndNote();
  ASSERT_TRUE(
      WriteFixture(app.FilePath(L"data.fdb"), options, {{"AB", "CD"}, {"EF", "GH"}, {"IJ", "KL"}}));
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(WorkerExitCode(), 0u);
  EXPECT_EQ(ListColumn(0), (std::vector<std::wstring>{L"AB", L"EF", L"IJ"}));
  EXPECT_EQ(ListColumn(1), (std::vector<std::wstring>{L"CD", L"GH", L"KL"}));
  EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), FinalStatus(3, 3));
  ExpectIdle();
  EXPECT_EQ(boxes.Count(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Taken between the header and the records

TEST(FaultsScan, FileTakenBetweenTheHeaderAndTheRecordsIsReportedAsABadFile) {
  struct Variant {
    const wchar_t* name;
    DatabaseVariant variant;
    DWORD exitCode;  // 1 for a plain file, 2 for a gz stream
  };
  const Variant variants[] = {{L"city.db", VariantPlain, 1}, {L"city.zdb", VariantZdb, 2}};
  for (const Variant& variant : variants) {
    SCOPED_TRACE(testing::Message() << "variant " << variant.variant);
    MessageBoxRecorder boxes;
    AppUnderTest app;
    app.WriteDatabase(variant.name, SampleRecords(), variant.variant);
    app.InstallDatabases({{variant.name, "City"}});
    ASSERT_EQ(app.Start(), 0);
    TypeCriterion(1, L"\u041f");  // П

    StatusLineRecorder status;
    {
      // The header read passes; the open for the records a moment later is refused.
      HeldFile held(app.FilePath(variant.name), 1);
      ASSERT_TRUE(held.Active()) << "the open calls are not imported where expected";
      ClickSearch(IdStartButton);
      ASSERT_TRUE(WaitForWorker());
      EXPECT_EQ(held.Refused(), 1);
    }
    EXPECT_EQ(WorkerExitCode(), variant.exitCode);
    ASSERT_EQ(boxes.Count(), 1u);
    EXPECT_EQ(boxes.At(0).text, L"Bad db file  - " + app.FilePath(variant.name));
    EXPECT_EQ(boxes.At(0).caption, L"Info");
    EXPECT_EQ(boxes.At(0).owner, PageWindows[SearchPage]);
    EXPECT_EQ(boxes.At(0).type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(ListItemCount(), 0);
    EXPECT_FALSE(AnyScanedStatus(status.Texts()));
    ExpectIdle();

    // Once the file is free again, the next Start searches it.
    boxes.Clear();
    ClickSearch(IdStartButton);
    ASSERT_TRUE(WaitForWorker());
    EXPECT_EQ(ListItemCount(), 1);
    EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), FinalStatus(3, 1));
    EXPECT_EQ(boxes.Count(), 0u);
  }
}

// ---------------------------------------------------------------------------------------------
// Detail positions outside the columns

TEST(FaultsScan, DetailPositionsOutsideTheColumnsAreNeverShown) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  // Five columns. Positions 1 and 5 (the last there is) are in range; -1, 100 and 6 (one past
  // the columns) are not, and positions 2 and -128 belong to fields that are not displayed.
  app.WriteDatabase(
      L"odd.fdb", {{"ONE", "MINUS", "HUNDRED", "SIX", "FIVE", "HIDDEN", "LOWEST"}}, VariantFdb,
      {MakeField("One", 1, 0x02, 0, 1, 1, 1, 20), MakeField("Minus", 1, 0x02, 0, 0, 2, -1, 20),
       MakeField("Hundred", 1, 0x02, 0, 0, 3, 100, 20), MakeField("Six", 1, 0x02, 0, 0, 4, 6, 20),
       MakeField("Five", 1, 0x02, 0, 0, 5, 5, 20), MakeField("Hidden", 1, 0x02, 0, 0, 0, 2, 20),
       MakeField("Lowest", 1, 0x02, 0, 0, 0, -128, 20)});
  app.InstallDatabases({{L"odd.fdb", "Odd"}});
  ASSERT_EQ(app.Start(), 0);
  ASSERT_EQ(ListHeaders(),
            (std::vector<std::wstring>{L"One", L"Minus", L"Hundred", L"Six", L"Five"}));
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  ASSERT_EQ(ListItemCount(), 1);

  LVITEMW state = {};
  state.stateMask = LVIS_FOCUSED | LVIS_SELECTED;
  state.state = LVIS_FOCUSED | LVIS_SELECTED;
  SendMessageW(ResultListView, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&state));
  NMITEMACTIVATE activate = {};
  activate.hdr.hwndFrom = ResultListView;
  activate.hdr.idFrom = IdResultList;
  activate.hdr.code = LVN_ITEMACTIVATE;
  SendMessageW(PageWindows[ResultPage], WM_NOTIFY, IdResultList,
               reinterpret_cast<LPARAM>(&activate));
  ASSERT_EQ(boxes.Count(), 1u);
  EXPECT_EQ(boxes.At(0).text, L"ONE,\r\nFIVE");
  EXPECT_EQ(boxes.At(0).caption, L"Info");
}

// ---------------------------------------------------------------------------------------------
// Changed, used or closed while a scan runs

namespace {

bool TruncateFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

}  // namespace

// The application's scan holds a plain file for itself, so another program can neither cut,
// replace nor delete it while the scan runs: each is refused and the scan lists every record.
// A compressed file is opened through the C runtime, which lets others write: cut under the
// scan, it ends early and says so, counting what it read; replaced or deleted, it is refused
// like a plain file.
TEST(FaultsScan, DatabaseTruncatedReplacedOrDeletedDuringAScan) {
  constexpr int kRecords = 20000;
  enum Change { Truncate, Replace, Delete };
  struct Case {
    const char* what;
    const wchar_t* name;
    DatabaseVariant variant;
    Change change;
    bool applied;  // whether the change goes through while the scan holds the file
  };
  const Case cases[] = {
      {"plain, cut", L"city.db", VariantPlain, Truncate, false},
      {"plain, replaced", L"city.db", VariantPlain, Replace, false},
      {"plain, deleted", L"city.db", VariantPlain, Delete, false},
      {"compressed, cut", L"city.zdb", VariantZdb, Truncate, true},
      {"compressed, replaced", L"city.zdb", VariantZdb, Replace, false},
      {"compressed, deleted", L"city.zdb", VariantZdb, Delete, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BoxMoments boxes;
    AppUnderTest app;
    app.WriteDatabase(c.name, NumberedRecords(kRecords), c.variant);
    app.WriteDatabase(L"spare.db", SampleRecords());
    app.InstallDatabases({{c.name, "City"}});
    ASSERT_EQ(app.Start(), 0);
    const std::wstring path = app.FilePath(c.name);

    ASSERT_TRUE(StartHeldScan(100));
    bool applied = false;
    if (c.change == Truncate) applied = TruncateFile(path);
    if (c.change == Replace)
      applied = MoveFileExW(app.FilePath(L"spare.db").c_str(), path.c_str(),
                            MOVEFILE_REPLACE_EXISTING) != FALSE;
    if (c.change == Delete) applied = DeleteFileW(path.c_str()) != FALSE;
    EXPECT_EQ(applied, c.applied);
    ASSERT_TRUE(FinishHeldScan());
    EXPECT_EQ(WorkerExitCode(), 0u);
    ExpectIdle();

    const int rows = ListItemCount();
    if (!c.applied) {
      EXPECT_EQ(rows, kRecords);
      EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), FinalStatus(kRecords, kRecords));
      EXPECT_EQ(boxes.All().size(), 0u);
      continue;
    }
    // What was inflated before the cut is listed, in file order, and the cut is told.
    ASSERT_GE(rows, 100);
    ASSERT_LT(rows, kRecords);
    EXPECT_EQ(ListCell(rows - 1, 1), L"NAME" + std::to_wstring(rows - 1));
    ExpectToldOnce(boxes, RecordsCut(path, rows), FinalStatus(rows, rows));
  }
}

// A database file of 5 GiB that is nearly all hole: choosing it reads only its header, a scan
// of it can be stopped at any moment, and left to run it ends where the records give way to the
// hole's zeros, which it reports as a record length of 0.
TEST(FaultsScan, HugeSparseDatabaseAnswersAndStops) {
  constexpr int kRecords = 3000;
  BoxMoments boxes;
  AppUnderTest app;
  app.WriteDatabase(L"good.db", SampleRecords());
  app.WriteDatabase(L"huge.db", NumberedRecords(kRecords));
  std::string bytes;
  ASSERT_TRUE(app.Directory().ReadFile(L"huge.db", &bytes));
  // Without its end mark: the first byte of the hole is the last record's last byte.
  app.Directory().WriteFile(L"huge.db", bytes.substr(0, bytes.size() - 1));
  const std::wstring path = app.FilePath(L"huge.db");
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD returned = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  LARGE_INTEGER size;
  size.QuadPart = 5LL << 30;
  EXPECT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN));
  EXPECT_TRUE(SetEndOfFile(file));
  CloseHandle(file);
  app.InstallDatabases({{L"good.db", "Good"}, {L"huge.db", "Huge"}});
  ASSERT_EQ(app.Start(), 0);

  SelectDatabase(1);
  EXPECT_EQ(TheFieldTable.searchCount, 5);
  EXPECT_EQ(boxes.All().size(), 0u);

  // Held mid-scan, the window still takes the Stop, and the stop ends the scan silently.
  ASSERT_TRUE(StartHeldScan(100));
  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  SetWorkerHoldForTests(0);
  EXPECT_EQ(ListItemCount(), 100);
  EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), FinalStatus(100, 100));
  ExpectIdle();
  EXPECT_EQ(boxes.All().size(), 0u);

  ClickSearch(IdStartButton);
  ASSERT_TRUE(WaitForWorker());
  EXPECT_EQ(ListItemCount(), kRecords);
  ExpectToldOnce(boxes, path + L": a record length of 0 after record 3000 ends the scan",
                 FinalStatus(kRecords, kRecords));
}

// Check while a scan runs checks every other entry (dropping a missing one), keeps the scanned
// database, rewrites the list whole, and leaves the scan running to its end.
TEST(FaultsScan, CheckDuringAScanLeavesTheScanRunning) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", NumberedRecords(2500));
  app.WriteDatabase(L"other.db", SampleRecords());
  app.InstallDatabases({{L"city.db", "City"}, {L"gone.db", "Gone"}, {L"other.db", "Other"}});
  ASSERT_EQ(app.Start(), 0);

  ASSERT_TRUE(StartHeldScan(100));
  SendCommand(PageWindows[SetupPage], IdCheckButton);
  EXPECT_TRUE(WorkerHeldForTests()) << "Check does not stop the scan";
  ASSERT_EQ(boxes.Count(), 2u);
  EXPECT_EQ(boxes.At(0).text, L"Bad db file  - " + app.FilePath(L"gone.db"));
  EXPECT_EQ(boxes.At(1).text, L"Found: 1 wrong db files\r\n\r\nBad entrances deleted.");
  std::string list;
  ASSERT_TRUE(app.Directory().ReadFile(L"vostrel.ini", &list));
  EXPECT_EQ(list, app.SingleBytePath(L"city.db") + ";City\r\n" + app.SingleBytePath(L"other.db") +
                      ";Other\r\n");
  EXPECT_EQ(ComboBoxItems(SearchControl(IdDatabaseSelector)),
            (std::vector<std::wstring>{L"City", L"Other"}));

  ASSERT_TRUE(FinishHeldScan());
  EXPECT_EQ(ListItemCount(), 2500);
  EXPECT_EQ(WindowText(ResultControl(IdStatusLine)), FinalStatus(2500, 2500));
  ExpectIdle();
  EXPECT_EQ(boxes.Count(), 2u);
}

namespace {

// What the window looked like when the close box was used in the middle of a Find DB walk.
struct CloseDuringWalk {
  bool closed = false;
  bool walkingBefore = false;
  bool scanHeldBefore = false;
  bool walkingAfter = true;
  bool scanAfter = true;
};
CloseDuringWalk g_close;
constexpr UINT kCloseNow = WM_APP + 77;

LRESULT CALLBACK CloserProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kCloseNow) return DefWindowProcW(window, message, wParam, lParam);
  g_close.closed = true;
  g_close.walkingBefore = DatabaseSearchRunning();
  g_close.scanHeldBefore = WorkerHeldForTests();
  SendMessageW(MainWindow, WM_CLOSE, 0, 0);
  g_close.walkingAfter = DatabaseSearchRunning();
  g_close.scanAfter = SearchWorkerActive();
  return 0;
}

}  // namespace

// The close box during a Find DB walk (held after its first database by the walk's gate) and a
// scan (held after 100 rows) at once: both end before the close returns, and no box is shown.
TEST(FaultsScan, ClosingDuringAFindDbWalkAndAScanEndsBoth) {
  MessageBoxRecorder boxes;
  AppUnderTest app;
  app.WriteDatabase(L"city.db", NumberedRecords(2500));
  app.WriteDatabase(L"found1.db", SampleRecords());
  app.WriteDatabase(L"found2.db", SampleRecords());
  app.InstallDatabases({{L"city.db", "City"}});
  const std::wstring root = app.Directory().Path();
  SetFinderRootForTests(root.substr(0, root.size() - 1).c_str());
  ASSERT_EQ(app.Start(), 0);

  WNDCLASSW wc = {};
  wc.lpfnWndProc = CloserProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"FaultsScanCloser";
  RegisterClassW(&wc);
  HWND closer = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
  ASSERT_NE(closer, nullptr);
  HANDLE gate = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  SetWalkGateForTests(gate);
  g_close = CloseDuringWalk();

  ASSERT_TRUE(StartHeldScan(100));
  // Taken from the queue by the walk's own message loop, while the walk waits at its gate.
  PostMessageW(closer, kCloseNow, 0, 0);
  SendCommand(PageWindows[SetupPage], IdFindButton);

  SetWalkGateForTests(nullptr);
  SetWorkerHoldForTests(0);
  SetFinderRootForTests(nullptr);
  CloseHandle(gate);
  DestroyWindow(closer);
  ASSERT_TRUE(g_close.closed);
  EXPECT_TRUE(g_close.walkingBefore);
  EXPECT_TRUE(g_close.scanHeldBefore);
  EXPECT_FALSE(g_close.walkingAfter) << "the walk has ended before the close returns";
  EXPECT_FALSE(g_close.scanAfter) << "the scan has ended before the close returns";
  EXPECT_FALSE(DatabaseSearchRunning());
  EXPECT_FALSE(SearchWorkerActive());
  EXPECT_TRUE(QuitPosted());
  EXPECT_EQ(boxes.Count(), 0u);
}
