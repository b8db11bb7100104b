// Loading "vostrel.ini" into a real database selector, saving it, and checking the installed
// files, with the real registry (a scratch root) and real database files.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "db/file_system.h"
#include "i18n/ui_strings.h"
#include "settings/installed_databases.h"
#include "test_support.h"
#include "ui/app_globals_win32.h"
#include "ui/installed_databases_win32.h"
#include "ui/search_worker_win32.h"
#include "win32_test_support.h"

namespace {

std::string Narrow(const std::wstring& text) { return Cp1251(text); }

class InstalledDatabasesTest : public testing::Test {
 protected:
  void SetUp() override {
    ResetUiStrings();
    InstalledDatabaseList.count = 0;
    combo_ = page_.AddComboBox(1100);
  }
  void TearDown() override {
    InstalledDatabaseList.count = 0;
    ResetUiStrings();
  }

  void WriteIni(const std::string& bytes) { app_.WriteFile(L"vostrel.ini", bytes); }
  std::string Ini() {
    std::string bytes;
    EXPECT_TRUE(app_.ReadFile(L"vostrel.ini", &bytes));
    return bytes;
  }
  // A valid plain database in the application directory; its single-byte path.
  std::string ValidDatabase(const std::wstring& name) {
    std::wstring path = app_.FilePath(name);
    EXPECT_TRUE(WriteFixture(path, FixtureOptions(VariantPlain), SampleRecords()));
    return Narrow(path);
  }

  MessageBoxRecorder boxes_;
  ScratchAppDirectory app_;
  ScratchSettingsRoot registry_;
  TestWindow page_;
  HWND combo_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Loading

TEST_F(InstalledDatabasesTest, MissingFileLeavesListAndSelectorAsTheyWere) {
  AppendInstalledDatabase(&InstalledDatabaseList, "Kept", "C:\\kept.db");
  SendMessageW(combo_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Kept"));
  SendMessageW(combo_, CB_SETCURSEL, 0, 0);
  // The file is opened before the registry is read: no registry message either.
  EXPECT_EQ(LoadInstalledDatabases(page_.Handle()), -1);
  EXPECT_EQ(boxes_.Count(), 0u);
  EXPECT_EQ(InstalledDatabaseList.count, 1);
  EXPECT_EQ(ComboBoxItems(combo_), (std::vector<std::wstring>{L"Kept"}));
  EXPECT_EQ(ComboBoxSelection(combo_), 0);
}

TEST_F(InstalledDatabasesTest, FirstRunWithoutKeyTellsAndSelectsTheFirstEntry) {
  WriteIni("C:\\a.db;Alpha\r\nC:\\b.db;Beta\r\n");
  EXPECT_EQ(LoadInstalledDatabases(page_.Handle()), 0);
  ASSERT_EQ(boxes_.Count(), 1u);
  EXPECT_EQ(boxes_.At(0).text, L"Error code - 2");
  EXPECT_EQ(boxes_.At(0).caption, L"RegOpenKeyEx:");
  EXPECT_EQ(boxes_.At(0).owner, page_.Handle());
  EXPECT_EQ(ComboBoxItems(combo_), (std::vector<std::wstring>{L"Alpha", L"Beta"}));
  EXPECT_EQ(ComboBoxSelection(combo_), 0);
  EXPECT_EQ(InstalledDatabaseList.count, 2);
}

TEST_F(InstalledDatabasesTest, KeyWithoutLastDatabaseTellsAndSelectsTheFirstEntry) {
  registry_.CreateSettingsKey();
  WriteIni("C:\\a.db;Alpha\r\nC:\\b.db;Beta\r\n");
  EXPECT_EQ(LoadInstalledDatabases(page_.Handle()), 0);
  ASSERT_EQ(boxes_.Count(), 1u);
  EXPECT_EQ(boxes_.At(0).text, L"Error code - 2");
  EXPECT_EQ(boxes_.At(0).caption, L"RegQueryValueEx:");
  EXPECT_EQ(boxes_.At(0).owner, page_.Handle());
  EXPECT_EQ(ComboBoxSelection(combo_), 0);
  // The unread "Last db" is empty, and so is the path of an entry without one: it is the one
  // preselected.
  WriteIni("C:\\a.db;Alpha\r\n;Nameless\r\n");
  EXPECT_EQ(LoadInstalledDatabases(page_.Handle()), 0);
  EXPECT_EQ(ComboBoxItems(combo_), (std::vector<std::wstring>{L"Alpha", L"Nameless"}));
  EXPECT_EQ(ComboBoxSelection(combo_), 1);
}

TEST_F(InstalledDatabasesTest, LastDatabaseSelectsTheLastEntryWithExactlyThatPath) {
  WriteIni("C:\\a.db;Alpha\r\nC:\\b.db;Beta\r\nC:\\c.db;Gamma\r\nC:\\b.db;Beta again\r\n");
  registry_.SetString(L"Last db", L"C:\\b.db");
  EXPECT_EQ(LoadInstalledDatabases(page_.Handle()), 0);
  EXPECT_EQ(boxes_.Count(), 0u);
  EXPECT_EQ(ComboBoxSelection(combo_), 3);

  // The comparison is case-sensitive: no match, so the first entry.
  registry_.SetString(L"Last db", L"c:\\B.DB");
  EXPECT_EQ(LoadInstalledDatabases(page_.Handle()), 0);
  EXPECT_EQ(ComboBoxSelection(combo_), 0);
  EXPECT_EQ(ComboBoxItems(combo_).size(), 4u) << "a reload replaces the items";

  registry_.SetString(L"Last db", L"C:\\c.db");
  EXPECT_EQ(LoadInstalledDatabases(page_.Handle()), 0);
  EXPECT_EQ(ComboBoxSelection(combo_), 2);
}

TEST_F(InstalledDatabasesTest, EmptyFileEmptiesListAndSelector) {
  AppendInstalledDatabase(&InstalledDatabaseList, "Old", "C:\\old.db");
  SendMessageW(combo_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Old"));
  registry_.SetString(L"Last db", L"C:\\old.db");
  WriteIni("");
  EXPECT_EQ(LoadInstalledDatabases(page_.Handle()), 0);
  EXPECT_EQ(InstalledDatabaseList.count, 0);
  EXPECT_TRUE(ComboBoxItems(combo_).empty());
  EXPECT_EQ(ComboBoxSelection(combo_), CB_ERR);
  EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(InstalledDatabasesTest, LineRulesAsSeenInTheSelector) {
  registry_.SetString(L"Last db", L"ab");
  std::string longName(70, 'N');
  std::string longPath = "C:\\" + std::string(257, 'p');  // 260 characters: unusable
  WriteIni(
      "ab;c\r\n"               // 6 characters: skipped
      "no separator here\r\n"  // skipped
      "ab;cd\r\n"              // two-character path and name
      "C:\\lf.db;Line feed\n"  // LF only: the LF stays in the name
      + longPath + ";Too long\r\n" + "C:\\long.db;" + longName + "\r\n" +
      "C:\\\xC1\xE0\xE7\xE0.db;\xCC\xEE\xF1\xEA\xE2\xE0\r\n");  // "База", "Москва"
  EXPECT_EQ(LoadInstalledDatabases(page_.Handle()), 0);
  EXPECT_EQ(ComboBoxItems(combo_),
            (std::vector<std::wstring>{L"cd", L"Line feed\n", std::wstring(63, L'N'),
                                       L"\u041C\u043E\u0441\u043A\u0432\u0430"}));
  EXPECT_EQ(ComboBoxSelection(combo_), 0);
  ASSERT_EQ(InstalledDatabaseList.count, 4);
  EXPECT_STREQ(InstalledDatabaseList.entries[0].path, "ab");
  EXPECT_STREQ(InstalledDatabaseList.entries[3].path, "C:\\\xC1\xE0\xE7\xE0.db");
}

TEST_F(InstalledDatabasesTest, SixtyLinesLoadFiftyAndTheNextSaveWritesFifty) {
  std::string bytes;
  std::string firstFifty;
  for (int i = 0; i < 60; ++i) {
    std::string line = "C:\\db" + std::to_string(i) + ".db;Base " + std::to_string(i) + "\r\n";
    bytes += line;
    if (i < 50) firstFifty += line;
  }
  WriteIni(bytes);
  registry_.SetString(L"Last db", L"C:\\db55.db");  // beyond the fifty: nothing matches
  EXPECT_EQ(LoadInstalledDatabases(page_.Handle()), 0);
  EXPECT_EQ(ComboBoxItems(combo_).size(), 50u);
  EXPECT_EQ(ComboBoxSelection(combo_), 0);
  EXPECT_EQ(SaveInstalledDatabases(page_.Handle()), 0);
  EXPECT_EQ(Ini(), firstFifty);
}

// ---------------------------------------------------------------------------------------------
// Saving

TEST_F(InstalledDatabasesTest, SaveWritesEveryEntryAsPathSemicolonNameCrLf) {
  WriteIni("garbage\r\nC:\\x.db;Old\r\n");
  AppendInstalledDatabase(&InstalledDatabaseList, "Alpha", "C:\\a.db");
  AppendInstalledDatabase(&InstalledDatabaseList, "\xCC\xEE\xF1\xEA\xE2\xE0",
                          "\\Storage Card\\m.zdb");
  AppendInstalledDatabase(&InstalledDatabaseList, "Line feed\n", "C:\\lf.db");
  EXPECT_EQ(SaveInstalledDatabases(page_.Handle()), 0);
  EXPECT_EQ(Ini(),
            "C:\\a.db;Alpha\r\n\\Storage Card\\m.zdb;\xCC\xEE\xF1\xEA\xE2\xE0\r\n"
            "C:\\lf.db;Line feed\n\r\n");
  EXPECT_EQ(boxes_.Count(), 0u);

  InstalledDatabaseList.count = 0;
  EXPECT_EQ(SaveInstalledDatabases(page_.Handle()), 0);
  EXPECT_EQ(Ini(), "");
}

TEST_F(InstalledDatabasesTest, SaveIntoAMissingDirectoryTellsWithTheFullPath) {
  std::wstring unreachable = app_.Path() + L"missing\\vostrel.ini";
  lstrcpynW(InstalledListPath, unreachable.c_str(), kMaxPathChars);
  wcscpy(UiStringTable[0].text, L"Oshibka");
  AppendInstalledDatabase(&InstalledDatabaseList, "Alpha", "C:\\a.db");
  EXPECT_EQ(SaveInstalledDatabases(page_.Handle()), -1);
  ASSERT_EQ(boxes_.Count(), 1u);
  EXPECT_EQ(boxes_.At(0).text, L"Could not open ini file for save - " + unreachable);
  EXPECT_EQ(boxes_.At(0).caption, L"Oshibka");
  EXPECT_EQ(boxes_.At(0).owner, page_.Handle());
}

// ---------------------------------------------------------------------------------------------
// Checking

TEST_F(InstalledDatabasesTest, CheckDropsBadEntriesAndRewritesTheFileByteForByte) {
  std::string good1 = ValidDatabase(L"good1.db");
  std::string good2 = ValidDatabase(L"good2.db");
  std::string missing = Narrow(app_.FilePath(L"missing.db"));
  std::string broken = Narrow(app_.FilePath(L"broken.db"));
  app_.WriteFile(L"broken.db", "not a database at all, just text");
  WriteIni(good1 + ";One\r\n" + missing + ";Gone\r\n" + good2 + ";Two\r\n" + broken +
           ";Broken\r\n");
  registry_.SetString(L"Last db", L"");
  ASSERT_EQ(LoadInstalledDatabases(page_.Handle()), 0);
  ASSERT_EQ(InstalledDatabaseList.count, 4);
  boxes_.Clear();

  TestWindow setup;
  EXPECT_EQ(CheckInstalledDatabases(setup.Handle()), 0);
  ASSERT_EQ(boxes_.Count(), 3u);
  EXPECT_EQ(boxes_.At(0).text, L"Bad db file  - " + app_.FilePath(L"missing.db"));
  EXPECT_EQ(boxes_.At(0).caption, L"Error");
  EXPECT_EQ(boxes_.At(0).owner, setup.Handle());
  EXPECT_EQ(boxes_.At(1).text, L"Bad db file  - " + app_.FilePath(L"broken.db"));
  EXPECT_EQ(boxes_.At(2).text, L"Found: 2 wrong db files\r\n\r\nBad entrances deleted.");
  EXPECT_EQ(boxes_.At(2).caption, L"Info");
  EXPECT_EQ(boxes_.At(2).owner, setup.Handle());

  EXPECT_EQ(Ini(), good1 + ";One\r\n" + good2 + ";Two\r\n");
  // The list in memory waits for the next load.
  EXPECT_EQ(InstalledDatabaseList.count, 4);
  boxes_.Clear();
  ASSERT_EQ(LoadInstalledDatabases(page_.Handle()), 0);
  EXPECT_EQ(ComboBoxItems(combo_), (std::vector<std::wstring>{L"One", L"Two"}));
}

TEST_F(InstalledDatabasesTest, CheckOfValidFilesRewritesTheSameFile) {
  std::string good = ValidDatabase(L"good.db");
  std::string before = good + ";Good\r\n" + good + ";Same file again\r\n";
  WriteIni(before);
  registry_.SetString(L"Last db", L"");
  ASSERT_EQ(LoadInstalledDatabases(page_.Handle()), 0);
  boxes_.Clear();
  EXPECT_EQ(CheckInstalledDatabases(page_.Handle()), 0);
  ASSERT_EQ(boxes_.Count(), 1u);
  EXPECT_EQ(boxes_.At(0).text, L"All installed db files - ok!");
  EXPECT_EQ(boxes_.At(0).caption, L"Info");
  EXPECT_EQ(Ini(), before);
}

TEST_F(InstalledDatabasesTest, CheckOfAnEmptyListTruncatesTheFile) {
  WriteIni("skipped line\r\n");
  EXPECT_EQ(CheckInstalledDatabases(page_.Handle()), 0);
  ASSERT_EQ(boxes_.Count(), 1u);
  EXPECT_EQ(boxes_.At(0).text, L"All installed db files - ok!");
  EXPECT_EQ(Ini(), "");
}

TEST_F(InstalledDatabasesTest, CheckThatCannotWriteTheFileChecksNothing) {
  std::string missing = Narrow(app_.FilePath(L"missing.db"));
  std::string before = missing + ";Gone\r\n";
  WriteIni(before);
  registry_.SetString(L"Last db", L"");
  ASSERT_EQ(LoadInstalledDatabases(page_.Handle()), 0);
  boxes_.Clear();
  // Another holder of the file who shares nothing keeps it from being opened for writing.
  HANDLE holder =
      CreateFileW(InstalledListPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);

  EXPECT_EQ(CheckInstalledDatabases(page_.Handle()), -1);
  ASSERT_EQ(boxes_.Count(), 1u) << "no file may be reported bad";
  EXPECT_EQ(boxes_.At(0).text,
            std::wstring(L"Could not open ini file for save - ") + InstalledListPath);
  EXPECT_EQ(boxes_.At(0).caption, L"Error");
  EXPECT_EQ(boxes_.At(0).owner, page_.Handle());
  CloseHandle(holder);
  EXPECT_EQ(Ini(), before);
}

// A stand-in for a running search worker: a live thread until the object goes.
class FakeSearchWorker {
 public:
  explicit FakeSearchWorker(const std::string& path) {
    release_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, Wait, release_, 0, nullptr);
    SetSearchWorkerForTests(thread_, path.c_str());
  }
  ~FakeSearchWorker() {
    SetEvent(release_);
    WaitForSingleObject(thread_, INFINITE);
    SetSearchWorkerForTests(nullptr, nullptr);
    CloseHandle(thread_);
    CloseHandle(release_);
  }

 private:
  static DWORD WINAPI Wait(void* event) {
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 0;
  }
  HANDLE thread_ = nullptr;
  HANDLE release_;
};

TEST_F(InstalledDatabasesTest, CheckKeepsTheDatabaseThatASearchIsScanning) {
  std::string scanned = ValidDatabase(L"scanned.db");
  std::string other = ValidDatabase(L"other.db");
  std::string before = scanned + ";Scanned\r\n" + other + ";Other\r\n";
  WriteIni(before);
  registry_.SetString(L"Last db", L"");
  ASSERT_EQ(LoadInstalledDatabases(page_.Handle()), 0);

  // The worker holds its plain file open without sharing, as a scan does.
  ExclusiveFile held;
  ASSERT_TRUE(ExclusiveOpen(app_.FilePath(L"scanned.db").c_str(), &held));
  {
    FakeSearchWorker worker(scanned);
    ASSERT_TRUE(SearchWorkerActive());
    boxes_.Clear();
    EXPECT_EQ(CheckInstalledDatabases(page_.Handle()), 0);
    ASSERT_EQ(boxes_.Count(), 1u);
    EXPECT_EQ(boxes_.At(0).text, L"All installed db files - ok!");
    EXPECT_EQ(Ini(), before);
  }
  // Once no worker is alive, the same held file is what it is: unusable, and dropped.
  boxes_.Clear();
  EXPECT_EQ(CheckInstalledDatabases(page_.Handle()), 0);
  ASSERT_EQ(boxes_.Count(), 2u);
  EXPECT_EQ(boxes_.At(0).text, L"Bad db file  - " + app_.FilePath(L"scanned.db"));
  EXPECT_EQ(boxes_.At(1).text, L"Found: 1 wrong db files\r\n\r\nBad entrances deleted.");
  EXPECT_EQ(Ini(), other + ";Other\r\n");
  ExclusiveClose(&held);
}

}  // namespace
